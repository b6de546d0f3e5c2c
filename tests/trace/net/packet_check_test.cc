// Checking received datagrams: well-formed packets of every type pass; truncated, corrupt,
// unknown and malformed ones are refused. Every datagram lives in a heap block of exactly its
// length, so the sanitizer build turns a read past the end into a failure.
#include "trace/net/packet_check.h"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <mqtt-wrapper/TR.h>

#include "trace/net/crc32.h"
#include "trace/net/tpacket.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes* bytes, uint16_t value) {
  bytes->push_back(static_cast<uint8_t>(value));
  bytes->push_back(static_cast<uint8_t>(value >> 8));
}
void Put32(Bytes* bytes, uint32_t value) {
  Put16(bytes, static_cast<uint16_t>(value));
  Put16(bytes, static_cast<uint16_t>(value >> 16));
}

// A packet: header (size field = whole packet unless `size_field` is given), the body, a CRC.
Bytes Packet(uint16_t type_flags, const Bytes& body, int size_field = -1) {
  Bytes bytes;
  Put32(&bytes, 0);
  Put32(&bytes, 42);
  Put16(&bytes, type_flags);
  Put16(&bytes,
        static_cast<uint16_t>(size_field >= 0 ? size_field : static_cast<int>(14 + body.size())));
  Put16(&bytes, 3);
  bytes.insert(bytes.end(), body.begin(), body.end());
  uint32_t size = TP_Load16(bytes.data() + kTP_Offset_Size);
  if (size <= bytes.size()) TP_Store32(bytes.data(), TP_Packet_CRC(bytes.data(), size));
  return bytes;
}

Bytes Chunk(uint32_t channel, const std::string& payload) {
  Bytes bytes;
  Put32(&bytes, sTRC_User_Header::Make(static_cast<uint32_t>(payload.size() + 4), channel));
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

Bytes Extension(uint16_t type, const Bytes& content, int length = -1) {
  Bytes bytes;
  Put16(&bytes, type);
  Put16(&bytes, static_cast<uint16_t>(length >= 0 ? length : static_cast<int>(content.size() + 4)));
  bytes.insert(bytes.end(), content.begin(), content.end());
  return bytes;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes bytes;
  for (const Bytes& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
  return bytes;
}

// Acknowledgement body: acknowledged ID 7, result 1, then `payload`.
Bytes Ack_Body(const Bytes& payload) {
  Bytes body;
  Put32(&body, 7);
  Put16(&body, 1);
  body.insert(body.end(), payload.begin(), payload.end());
  return body;
}

Bytes Byte_Count_Extension(uint32_t count) {
  Bytes content(8, 0xEE);  // record offsets 4 .. 11 are the server's
  Put32(&content, count);
  return Extension(kTP_Extension_Buffer, content);
}

// Checks a copy of `datagram` held in a block of exactly `length` bytes (default: all of it).
eTP_Check Check(const Bytes& datagram, sTP_View* view, int length = -1) {
  size_t n = length >= 0 ? static_cast<size_t>(length) : datagram.size();
  static std::vector<std::unique_ptr<uint8_t[]>> keep;  // views point into the block
  keep.emplace_back(new uint8_t[n ? n : 1]);
  std::copy(datagram.begin(), datagram.begin() + static_cast<std::ptrdiff_t>(n), keep.back().get());
  return TP_Check_Datagram(keep.back().get(), static_cast<uint32_t>(n), view);
}

TEST(PacketCheckTest, AcceptsWellFormedPacketsOfEveryType) {
  CTPClient_Hello hello;
  hello.Fill(1472, 1, 2, "client");
  hello.Finalize(1, kTP_No_Client);
  CTPData_Window window;
  window.Set_Window(3, 9);
  window.Finalize(10, 4);
  CTPClient_Ping ping;
  ping.Finalize(11, 4);
  CTPClient_Bye bye;
  bye.Finalize(12, 4);
  auto of = [](const CTPacket& p) { return Bytes(p.Get_Buffer(), p.Get_Buffer() + p.Get_Size()); };

  struct Case {
    const char* name;
    Bytes datagram;
    uint32_t type;
  } const cases[] = {
      {"hello", of(hello), eTP_Hello},
      {"data window", of(window), eTP_Data_Window},
      {"ping", of(ping), eTP_Ping},
      {"bye", of(bye), eTP_Bye},
      {"empty data", Packet(eTP_Data, {}), eTP_Data},
      {"data with stale flags", Packet(0x8000 | 0x0050 | eTP_Data, Chunk(1, "abc")), eTP_Data},
      {"data whose payload continues in the next packet",
       Packet(eTP_Data, Bytes{200, 0, 0, 8, 'x'}), eTP_Data},
      {"acknowledgement", Packet(eTP_Acknowledgment, Ack_Body({})), eTP_Acknowledgment},
      {"acknowledgement with user data",
       Packet(eTP_Acknowledgment | kTP_Flag_User_Data,
              Ack_Body(Join({Chunk(2, "x"), Chunk(3, "")}))),
       eTP_Acknowledgment},
      {"acknowledgement with extensions",
       Packet(eTP_Acknowledgment | kTP_Flag_Extensions | kTP_Flag_User_Data,
              Ack_Body(Join({Byte_Count_Extension(65536), Extension(1, Chunk(4, "hi")),
                             Extension(9, {1, 2})}))),
       eTP_Acknowledgment},
      {"extension flag with only 4 bytes after the result",
       Packet(eTP_Acknowledgment | kTP_Flag_Extensions, Ack_Body({0xFF, 0xFF, 0xFF, 0xFF})),
       eTP_Acknowledgment},
      {"user data with fewer than 4 trailing bytes",
       Packet(eTP_Acknowledgment | kTP_Flag_User_Data,
              Ack_Body(Join({Chunk(2, "x"), Bytes{1, 2}}))),
       eTP_Acknowledgment},
      {"window report without bitmap", Packet(eTP_Window_Report, Bytes{5, 0, 0, 0}),
       eTP_Window_Report},
      {"window report", Packet(eTP_Window_Report, Bytes{5, 0, 0, 0, 0xFF, 0x01}),
       eTP_Window_Report},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sTP_View view;
    ASSERT_EQ(Check(c.datagram, &view), eTP_Check_OK);
    EXPECT_EQ(view.type, c.type);
    EXPECT_EQ(view.size, c.datagram.size());
  }
}

TEST(PacketCheckTest, RefusesMalformedDatagramsWithoutReadingPastThem) {
  Bytes ack = Packet(eTP_Acknowledgment, Ack_Body({}));
  Bytes hello_body(208, 0);
  Bytes flipped = ack;
  flipped[19] ^= 0x01;
  Bytes crc_flipped = ack;
  crc_flipped[0] ^= 0x80;

  struct Case {
    const char* name;
    Bytes datagram;
    int length;  // bytes received; -1: the whole datagram
    eTP_Check expected;
  } const cases[] = {
      {"nothing", {}, -1, eTP_Check_Truncated},
      {"13 bytes", Bytes(13, 0), -1, eTP_Check_Truncated},
      {"size field below a header", Packet(eTP_Ping, {}, 13), -1, eTP_Check_Bad_Size},
      {"size field zero", Packet(eTP_Ping, {}, 0), -1, eTP_Check_Bad_Size},
      {"size field beyond the datagram", Packet(eTP_Ping, {}, 15), -1, eTP_Check_Bad_Size},
      {"datagram cut short", ack, 19, eTP_Check_Bad_Size},
      {"size field 0xFFFF", Packet(eTP_Data, Bytes(20, 1), 0xFFFF), -1, eTP_Check_Bad_Size},
      {"flipped body bit", flipped, -1, eTP_Check_Bad_CRC},
      {"flipped CRC bit", crc_flipped, -1, eTP_Check_Bad_CRC},
      {"type 5", Packet(5, {}), -1, eTP_Check_Unknown_Type},
      {"type 8", Packet(8, Ack_Body({})), -1, eTP_Check_Unknown_Type},
      {"type 11", Packet(11, {}), -1, eTP_Check_Unknown_Type},
      {"type 15", Packet(15, Bytes(40, 0)), -1, eTP_Check_Unknown_Type},
      {"hello of 221 bytes", Packet(eTP_Hello, Bytes(207, 0)), -1, eTP_Check_Short_Body},
      {"data window of 21 bytes", Packet(eTP_Data_Window, Bytes(7, 0)), -1, eTP_Check_Short_Body},
      {"acknowledgement of 19 bytes", Packet(eTP_Acknowledgment, Bytes(5, 0)), -1,
       eTP_Check_Short_Body},
      {"window report of 17 bytes", Packet(eTP_Window_Report, Bytes(3, 0)), -1,
       eTP_Check_Short_Body},
      {"extension shorter than its header",
       Packet(eTP_Acknowledgment | kTP_Flag_Extensions, Ack_Body(Extension(1, {0, 0}, 2))), -1,
       eTP_Check_Bad_Payload},
      {"extension of length 0 (a reader would never advance)",
       Packet(eTP_Acknowledgment | kTP_Flag_Extensions, Ack_Body(Extension(9, {0, 0, 0, 0}, 0))),
       -1, eTP_Check_Bad_Payload},
      {"extension beyond the packet",
       Packet(eTP_Acknowledgment | kTP_Flag_Extensions, Ack_Body(Extension(9, {1, 2, 3}, 12))), -1,
       eTP_Check_Bad_Payload},
      {"second extension beyond the packet",
       Packet(eTP_Acknowledgment | kTP_Flag_Extensions,
              Ack_Body(Join({Byte_Count_Extension(1), Extension(9, {1, 2}, 9)}))),
       -1, eTP_Check_Bad_Payload},
      {"chunk beyond its user-data extension",
       Packet(eTP_Acknowledgment | kTP_Flag_Extensions | kTP_Flag_User_Data,
              Ack_Body(Join({Extension(1, Bytes{9, 0, 0, 0, 'a'}), Byte_Count_Extension(1)}))),
       -1, eTP_Check_Bad_Payload},
      {"chunk beyond the packet",
       Packet(eTP_Acknowledgment | kTP_Flag_User_Data, Ack_Body(Bytes{50, 0, 0, 0, 'a', 'b'})), -1,
       eTP_Check_Bad_Payload},
      {"chunk shorter than its header",
       Packet(eTP_Acknowledgment | kTP_Flag_User_Data, Ack_Body(Bytes{3, 0, 0, 0x08, 'a', 'b'})),
       -1, eTP_Check_Bad_Payload},
      {"second chunk beyond the packet",
       Packet(eTP_Acknowledgment | kTP_Flag_User_Data,
              Ack_Body(Join({Chunk(1, "ok"), Bytes{9, 0, 0, 0, 'x'}}))),
       -1, eTP_Check_Bad_Payload},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sTP_View view;
    EXPECT_EQ(Check(c.datagram, &view, c.length), c.expected)
        << TP_Check_Text(Check(c.datagram, &view, c.length));
  }
  // A mismatch only in the bytes after the size field is no corruption: they are not covered.
  Bytes trailing = ack;
  trailing.push_back(0x55);
  sTP_View view;
  EXPECT_EQ(Check(trailing, &view), eTP_Check_OK);
  EXPECT_EQ(view.size, ack.size());
}

TEST(PacketCheckTest, RefusedPacketsStillDescribeTheirHeader) {
  Bytes ack = Packet(eTP_Acknowledgment, Ack_Body({}));
  ack[16] ^= 0x01;
  sTP_View view;
  ASSERT_EQ(Check(ack, &view), eTP_Check_Bad_CRC);
  EXPECT_EQ(view.id, 42u);
  EXPECT_EQ(view.size_field, 20);
  EXPECT_EQ(view.type, uint32_t{eTP_Acknowledgment});
  EXPECT_EQ(view.crc, TP_Load32(ack.data()));

  ASSERT_EQ(Check(Packet(eTP_Ping, {}, 300), &view), eTP_Check_Bad_Size);
  EXPECT_EQ(view.size_field, 300);
  EXPECT_EQ(view.size, 0u);
}

TEST(PacketCheckTest, ReadersWalkExtensionsAndChunksInOrder) {
  Bytes datagram = Packet(
      eTP_Acknowledgment | kTP_Flag_Extensions | kTP_Flag_User_Data,
      Ack_Body(Join({Byte_Count_Extension(131072),
                     Extension(1, Join({Chunk(4, "hi"), Chunk(31, "")})), Extension(7, {1, 2})})));
  sTP_View view;
  ASSERT_EQ(Check(datagram, &view), eTP_Check_OK);
  CTP_Extension_Reader records(TP_Ack_Payload(view), TP_Ack_Payload_Size(view));
  sTP_Extension record;
  ASSERT_TRUE(records.Next(&record));
  EXPECT_EQ(record.type, kTP_Extension_Buffer);
  uint32_t count = 0;
  ASSERT_TRUE(TP_Extension_Byte_Count(record, &count));
  EXPECT_EQ(count, 131072u);

  ASSERT_TRUE(records.Next(&record));
  EXPECT_EQ(record.type, kTP_Extension_User_Data);
  EXPECT_FALSE(TP_Extension_Byte_Count(record, &count));  // 14 bytes: too short for a count
  CTP_Chunk_Reader chunks(record.content, record.content_size);
  sTP_Chunk chunk;
  ASSERT_TRUE(chunks.Next(&chunk));
  EXPECT_EQ(chunk.channel, 4u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(chunk.payload), chunk.payload_size), "hi");
  ASSERT_TRUE(chunks.Next(&chunk));
  EXPECT_EQ(chunk.channel, 31u);
  EXPECT_EQ(chunk.payload_size, 0u);
  EXPECT_FALSE(chunks.Next(&chunk));
  EXPECT_FALSE(chunks.Malformed());

  ASSERT_TRUE(records.Next(&record));
  EXPECT_EQ(record.type, 7);
  EXPECT_EQ(record.length, 6);
  EXPECT_FALSE(records.Next(&record));
  EXPECT_FALSE(records.Malformed());
}

TEST(PacketCheckTest, ReportBitmapPositionsBeyondItCountAsArrived) {
  Bytes datagram = Packet(eTP_Window_Report, Bytes{5, 0, 0, 0, 0x81, 0x02});
  sTP_View view;
  ASSERT_EQ(Check(datagram, &view), eTP_Check_OK);
  std::vector<uint32_t> lost;
  for (uint32_t distance = 0; distance < 64; ++distance) {
    if (TP_Report_Lost(view, distance)) lost.push_back(distance);
  }
  EXPECT_EQ(lost, (std::vector<uint32_t>{0, 7, 9}));
  EXPECT_FALSE(TP_Report_Lost(view, 0xFFFFFFFF));

  ASSERT_EQ(Check(Packet(eTP_Window_Report, Bytes{5, 0, 0, 0}), &view), eTP_Check_OK);
  EXPECT_FALSE(TP_Report_Lost(view, 0));
}

}  // namespace
