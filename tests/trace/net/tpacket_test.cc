// Transport packets: the checksum, the layouts and sizes of the packet classes, byte-order
// conversion, Finalize and Attach, packet IDs.
#include "trace/net/tpacket.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "trace/net/crc32.h"
#include "trace/net/transport_format.h"

namespace {

std::vector<uint8_t> Bytes(const CTPacket& packet) {
  return std::vector<uint8_t>(packet.Get_Buffer(), packet.Get_Buffer() + packet.Get_Buffer_Size());
}

// Fills a packet's bytes with a pattern in which no two bytes of a field are equal.
void Fill_Pattern(CTPacket* packet) {
  for (uint32_t i = 0; i < packet->Get_Buffer_Size(); ++i)
    packet->Get_Buffer()[i] = static_cast<uint8_t>(i * 7 + 1);
}

// The checksum has no final inversion, so it is the complement of the common CRC-32 of the
// same bytes. The common values below are the published check values of CRC-32 (the one that
// zlib and most tools compute), not values produced by this code.
TEST(TransportCrcTest, IsTheComplementOfTheCommonCrc32) {
  struct Case {
    const char* text;
    uint32_t common_crc32;
  } const cases[] = {
      {"abc", 0x352441C2},
      {"123456789", 0xCBF43926},
      {"", 0x00000000},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint32_t crc =
        TP_CRC32(reinterpret_cast<const uint8_t*>(c.text), static_cast<uint32_t>(strlen(c.text)));
    EXPECT_EQ(crc, ~c.common_crc32);
  }
  EXPECT_EQ(TP_CRC32(reinterpret_cast<const uint8_t*>("abc"), 3), 0xCADBBE3Du);
  EXPECT_EQ(g_pCRC32_Table[0], 0u);
  EXPECT_EQ(g_pCRC32_Table[128], 0xEDB88320u);
}

// The fast paths fold several bytes per step: every length and start alignment around their step
// must give the register of the bit-by-bit definition, also when continued from a partial result.
TEST(TransportCrcTest, EveryLengthAndAlignmentMatchesTheBitwiseDefinition) {
  auto bitwise = [](const uint8_t* bytes, size_t size, uint32_t crc) {
    for (size_t i = 0; i < size; ++i) {
      crc ^= bytes[i];
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
  };
  uint8_t data[4096];
  uint32_t seed = 12345;
  for (uint8_t& byte : data) byte = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
  std::vector<uint32_t> sizes;
  for (uint32_t size = 0; size <= 96; ++size) sizes.push_back(size);
  sizes.insert(sizes.end(), {1000, 1471, 4088});
  for (uint32_t start = 0; start < 8; ++start) {
    for (uint32_t size : sizes) {
      SCOPED_TRACE(testing::Message() << "start " << start << " size " << size);
      ASSERT_EQ(TP_CRC32(data + start, size), bitwise(data + start, size, 0xFFFFFFFF));
      const uint32_t half = size / 2;
      ASSERT_EQ(TP_CRC32(data + start + half, size - half, TP_CRC32(data + start, half)),
                bitwise(data + start, size, 0xFFFFFFFF));
    }
  }
}

TEST(TransportCrcTest, CoversBytesFromOffsetFourToTheSizeField) {
  uint8_t packet[40];
  for (uint32_t i = 0; i < sizeof(packet); ++i) packet[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(TP_Packet_CRC(packet, 30), TP_CRC32(packet + 4, 26));
  EXPECT_EQ(TP_Packet_CRC(packet, 14), TP_CRC32(packet + 4, 10));
  // A size field below the header size still covers the rest of the header.
  EXPECT_EQ(TP_Packet_CRC(packet, 3), TP_CRC32(packet + 4, 10));
  // The stored CRC itself is not covered.
  uint32_t before = TP_Packet_CRC(packet, 30);
  packet[0] ^= 0xFF;
  EXPECT_EQ(TP_Packet_CRC(packet, 30), before);
  packet[29] ^= 0xFF;
  EXPECT_NE(TP_Packet_CRC(packet, 30), before);
}

TEST(TransportPacketTest, OwnBuffersHaveTheFixedSizeAndTypeOfTheirClass) {
  struct Case {
    const char* name;
    std::unique_ptr<CTPacket> packet;
    uint32_t size;
    uint32_t type;
  };
  Case cases[] = {
      {"hello", std::make_unique<CTPClient_Hello>(), 222, eTP_Hello},
      {"ping", std::make_unique<CTPClient_Ping>(), 14, eTP_Ping},
      {"bye", std::make_unique<CTPClient_Bye>(), 14, eTP_Bye},
      {"data window", std::make_unique<CTPData_Window>(), 22, eTP_Data_Window},
      {"acknowledgement", std::make_unique<CTPAcknowledgment>(uint16_t{24}), 24,
       eTP_Acknowledgment},
      {"short acknowledgement", std::make_unique<CTPAcknowledgment>(uint16_t{3}), 20,
       eTP_Acknowledgment},
      {"window report", std::make_unique<CTPData_Window_Report>(uint16_t{30}), 30,
       eTP_Window_Report},
      {"base", std::make_unique<CTPacket>(uint16_t{eTP_Data}, uint16_t{100}), 100, eTP_Data},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CTPacket& packet = *c.packet;
    ASSERT_TRUE(packet.Is_Valid());
    EXPECT_FALSE(packet.Is_External());
    EXPECT_EQ(packet.Get_Buffer_Size(), c.size);
    EXPECT_EQ(packet.Get_Size(), c.size);
    EXPECT_EQ(packet.Get_Type_Flags(), c.type);
    EXPECT_EQ(packet.Get_ID(), 0u);
    EXPECT_EQ(packet.Get_Client_ID(), 0u);
    std::vector<uint8_t> body(packet.Get_Buffer() + kTP_Header_Size, packet.Get_Buffer() + c.size);
    EXPECT_EQ(body, std::vector<uint8_t>(c.size - kTP_Header_Size, 0));
  }
}

TEST(TransportPacketTest, HelloBodyLayout) {
  CTPClient_Hello hello;
  hello.Fill(1472, 0x01020304, 0x1122334455667788ull, "name");
  const uint8_t* b = hello.Get_Buffer();
  EXPECT_EQ(TP_Load16(b + 8), 0x0060);
  EXPECT_EQ(TP_Load16(b + 10), 222);
  EXPECT_EQ(TP_Load16(b + 14), 7);
  EXPECT_EQ(TP_Load16(b + 16), 1472);
  EXPECT_EQ(TP_Load32(b + 18), 0x01020304u);
  EXPECT_EQ(TP_Load32(b + 22), 0x11223344u);
  EXPECT_EQ(TP_Load32(b + 26), 0x55667788u);
  const char* name = "name";
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(TP_Load16(b + 30 + 2 * i), name[i]);
  EXPECT_EQ(TP_Load16(b + 38), 0);
  EXPECT_EQ(hello.Get_Start_Time(), 0x1122334455667788ull);
  // Little-endian on the wire: the low byte of the version comes first.
  EXPECT_EQ(b[14], 7);
  EXPECT_EQ(b[15], 0);
}

TEST(TransportPacketTest, HelloNameIsCutTo95UnitsAndAlwaysTerminated) {
  struct Case {
    const char* label;
    std::string name;
    std::vector<uint16_t> first_units;
    uint32_t length;  // units before the terminator
  } const cases[] = {
      {"empty", "", {0}, 0},
      {"95 characters", std::string(95, 'x'), {'x', 'x'}, 95},
      {"100 characters", std::string(100, 'y'), {'y'}, 95},
      {"two-byte sequence", "\xC3\xA9t\xC3\xA9", {0xE9, 't', 0xE9}, 3},
      {"four-byte sequence becomes one star",
       "a\xF0\x9F\x98\x80"
       "b",
       {'a', '*', 'b'},
       3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    CTPClient_Hello hello;
    // Leftovers of an earlier, longer name must not survive.
    hello.Fill(512, 1, 0, std::string(120, 'z').c_str());
    hello.Fill(512, 1, 0, c.name.c_str());
    for (uint32_t i = 0; i < c.first_units.size(); ++i)
      EXPECT_EQ(hello.Get_Name_Unit(i), c.first_units[i]);
    EXPECT_EQ(hello.Get_Name_Unit(c.length), 0);
    EXPECT_EQ(hello.Get_Name_Unit(95), 0);
    for (uint32_t i = c.length; i < kTP_Hello_Name_Units; ++i)
      EXPECT_EQ(hello.Get_Name_Unit(i), 0) << i;
  }
}

TEST(TransportPacketTest, DataWindowHoldsFirstThenLast) {
  CTPData_Window window;
  window.Set_Window(0x0A0B0C0D, 0x0A0B0C20);
  EXPECT_EQ(TP_Load32(window.Get_Buffer() + 14), 0x0A0B0C0Du);
  EXPECT_EQ(TP_Load32(window.Get_Buffer() + 18), 0x0A0B0C20u);
  EXPECT_EQ(window.Get_First(), 0x0A0B0C0Du);
  EXPECT_EQ(window.Get_Last(), 0x0A0B0C20u);
}

TEST(TransportPacketTest, FinalizeStampsIdClientAndCrcOverTheSizeField) {
  CTPClient_Ping ping;
  ping.Finalize(0x0FFFFFFF, 0x1234);
  EXPECT_EQ(ping.Get_ID(), 0x0FFFFFFFu);
  EXPECT_EQ(ping.Get_Client_ID(), 0x1234);
  EXPECT_EQ(ping.Get_CRC(), TP_CRC32(ping.Get_Buffer() + 4, 10));

  // Only the bytes up to the size field count, not the whole buffer.
  CTPacket packet(eTP_Data, 64);
  Fill_Pattern(&packet);
  packet.Set_Size(40);
  packet.Finalize(9, 1);
  EXPECT_EQ(packet.Get_CRC(), TP_CRC32(packet.Get_Buffer() + 4, 36));
  // A size field beyond the buffer is capped at the buffer.
  packet.Set_Size(1000);
  packet.Finalize(9, 1);
  EXPECT_EQ(packet.Get_CRC(), TP_CRC32(packet.Get_Buffer() + 4, 60));
}

TEST(TransportPacketTest, DataFinalizeSetsTypeTwoAndKeepsTheOtherBits) {
  CTPacket slot(eTP_Acknowledgment, 64);
  slot.Set_Type_Flags(0x8059);  // a received packet's flags left in a reused buffer
  slot.Set_Size(30);
  CTPData data;
  ASSERT_TRUE(data.Attach(&slot));
  data.Finalize(5, 7);
  EXPECT_EQ(slot.Get_Type_Flags(), 0x8052);
  EXPECT_EQ(slot.Get_Type(), uint32_t{eTP_Data});
  EXPECT_EQ(slot.Get_CRC(), TP_CRC32(slot.Get_Buffer() + 4, 26));
}

TEST(TransportPacketTest, AttachSharesTheBufferWithoutCopying) {
  uint8_t memory[64] = {};
  CTPacket pooled(memory, sizeof(memory), 3);
  TP_Store16(memory + kTP_Offset_Size, 24);
  TP_Store32(memory + kTP_Ack_Offset_ID, 77);
  TP_Store16(memory + kTP_Ack_Offset_Result, 1);

  CTPAcknowledgment ack;
  EXPECT_FALSE(ack.Is_Valid());
  ASSERT_TRUE(ack.Attach(&pooled));
  EXPECT_TRUE(ack.Is_Valid());
  EXPECT_TRUE(ack.Is_External());
  EXPECT_EQ(ack.Get_Buffer(), memory);
  EXPECT_EQ(ack.Get_Buffer_Size(), sizeof(memory));
  EXPECT_EQ(ack.Get_Pool_ID(), 3u);
  EXPECT_EQ(ack.Get_Acknowledged_ID(), 77u);
  EXPECT_EQ(ack.Get_Result(), 1);
  ack.Set_Acknowledged(78, 0);
  EXPECT_EQ(TP_Load32(memory + kTP_Ack_Offset_ID), 78u);

  // A packet that owned a buffer gives it up (the sanitizer build catches a leak) and no longer
  // frees anything when it dies.
  auto window = std::make_unique<CTPData_Window>();
  ASSERT_TRUE(window->Attach(&pooled));
  window->Set_Window(1, 2);
  EXPECT_EQ(TP_Load32(memory + kTP_Window_Offset_First), 1u);
  window.reset();
  EXPECT_EQ(TP_Load32(memory + kTP_Window_Offset_Last), 2u);
}

TEST(TransportPacketTest, AttachOfNullLeavesTheTargetAndOnlyDataMarksItInvalid) {
  CTPClient_Ping ping;
  EXPECT_FALSE(ping.Attach(nullptr));
  EXPECT_TRUE(ping.Is_Valid());
  EXPECT_EQ(ping.Get_Size(), 14);

  uint8_t memory[32] = {};
  CTPacket pooled(memory, sizeof(memory), 0);
  CTPData data;
  ASSERT_TRUE(data.Attach(&pooled));
  EXPECT_TRUE(data.Is_Valid());
  EXPECT_FALSE(data.Attach(nullptr));
  EXPECT_FALSE(data.Is_Valid());

  CTPacket empty;
  EXPECT_FALSE(data.Attach(&empty));
  EXPECT_FALSE(data.Is_Valid());
}

// Each class swaps exactly its own fields: the header for the base class and the classes
// without a body, only the body for the others.
TEST(TransportPacketTest, ChageEndiannessSwapsTheFieldsOfEachClass) {
  struct Field {
    uint32_t offset;
    uint32_t width;
  };
  const std::vector<Field> header = {{0, 4}, {4, 4}, {8, 2}, {10, 2}, {12, 2}};
  struct Case {
    const char* name;
    std::unique_ptr<CTPacket> packet;
    std::vector<Field> swapped;
  };
  std::vector<Field> hello_body = {{14, 2}, {16, 2}, {18, 4}, {22, 4}, {26, 4}};
  for (uint32_t i = 0; i < kTP_Hello_Name_Units; ++i) hello_body.push_back({30 + 2 * i, 2});
  Case cases[] = {
      {"base", std::make_unique<CTPacket>(uint16_t{eTP_Data}, uint16_t{40}), header},
      {"ping", std::make_unique<CTPClient_Ping>(), header},
      {"bye", std::make_unique<CTPClient_Bye>(), header},
      {"hello", std::make_unique<CTPClient_Hello>(), hello_body},
      {"data window", std::make_unique<CTPData_Window>(), {{14, 4}, {18, 4}}},
      {"acknowledgement", std::make_unique<CTPAcknowledgment>(uint16_t{28}), {{14, 4}, {18, 2}}},
      {"window report", std::make_unique<CTPData_Window_Report>(uint16_t{28}), {{14, 4}}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fill_Pattern(c.packet.get());
    std::vector<uint8_t> expected = Bytes(*c.packet);
    for (const Field& field : c.swapped) {
      std::reverse(expected.begin() + field.offset, expected.begin() + field.offset + field.width);
    }
    std::vector<uint8_t> original = Bytes(*c.packet);
    c.packet->Chage_Endianness();
    EXPECT_EQ(Bytes(*c.packet), expected);
    c.packet->Chage_Endianness();
    EXPECT_EQ(Bytes(*c.packet), original);
  }
}

TEST(TransportPacketTest, HelloNameSwapStopsAtTheTerminator) {
  CTPClient_Hello hello;
  hello.Fill(512, 1, 0, "ab");
  uint8_t* name = hello.Get_Buffer() + kTP_Hello_Offset_Name;
  name[8] = 0x12;  // a stray byte after the terminator (unit 4)
  name[9] = 0x34;
  hello.Chage_Endianness();
  EXPECT_EQ(TP_Load16(name), 0x6100);
  EXPECT_EQ(TP_Load16(name + 2), 0x6200);
  EXPECT_EQ(name[8], 0x12);
  EXPECT_EQ(name[9], 0x34);
}

// A reply for a peer of the other byte order: every field and the CRC are converted, and the
// CRC is the one of the converted bytes.
TEST(TransportPacketTest, FinalizeWithSwapConvertsTheWholeReply) {
  CTPAcknowledgment ack(uint16_t{24});
  ack.Set_Acknowledged(0x01020304, 1);
  ack.Finalize(0x0A0B0C0D, 0x0102, 1);
  const uint8_t* b = ack.Get_Buffer();
  EXPECT_EQ(TP_Load32(b + 4), __builtin_bswap32(0x0A0B0C0Du));
  EXPECT_EQ(TP_Load16(b + 8), __builtin_bswap16(uint16_t{eTP_Acknowledgment}));
  EXPECT_EQ(TP_Load16(b + 10), __builtin_bswap16(uint16_t{24}));
  EXPECT_EQ(TP_Load16(b + 12), __builtin_bswap16(uint16_t{0x0102}));
  EXPECT_EQ(TP_Load32(b + 14), __builtin_bswap32(0x01020304u));
  EXPECT_EQ(TP_Load16(b + 18), __builtin_bswap16(uint16_t{1}));
  EXPECT_EQ(TP_Load32(b), __builtin_bswap32(TP_CRC32(b + 4, 20)));

  CTPData_Window_Report report(uint16_t{20});
  report.Set_Window_ID(0x11);
  report.Set_Lost(3);
  report.Finalize(0x22, 0x33, 0);
  EXPECT_EQ(report.Get_ID(), 0x22u);
  EXPECT_EQ(report.Get_CRC(), TP_CRC32(report.Get_Buffer() + 4, 16));
  report.Finalize(0x22, 0x33, 1);
  EXPECT_EQ(TP_Load32(report.Get_Buffer() + 14), __builtin_bswap32(0x11u));
  EXPECT_EQ(report.Get_Buffer()[18], 0x08);  // the bitmap is bytes: never swapped
  EXPECT_EQ(TP_Load32(report.Get_Buffer()),
            __builtin_bswap32(TP_CRC32(report.Get_Buffer() + 4, 16)));
}

TEST(TransportPacketTest, ReportBitmapSetsOnlyBitsInsideThePacket) {
  CTPData_Window_Report report(uint16_t{20});  // two bitmap bytes
  EXPECT_TRUE(report.Set_Lost(0));
  EXPECT_TRUE(report.Set_Lost(9));
  EXPECT_TRUE(report.Set_Lost(15));
  EXPECT_FALSE(report.Set_Lost(16));
  EXPECT_FALSE(report.Set_Lost(0xFFFFFFFF));
  EXPECT_EQ(report.Get_Buffer()[18], 0x01);
  EXPECT_EQ(report.Get_Buffer()[19], 0x82);
}

TEST(TransportIdTest, IdsWrapAfterTheLargestToOne) {
  struct Case {
    uint32_t last;
    uint32_t next;
  } const cases[] = {{0, 1}, {1, 2}, {0x0FFFFFFE, 0x0FFFFFFF}, {0x0FFFFFFF, 1}, {0x10000000, 1}};
  for (const Case& c : cases) EXPECT_EQ(TP_Next_ID(c.last), c.next) << c.last;

  // A new window starts at 1 when its IDs could run past the end of the space.
  struct Window_Case {
    uint32_t last;
    uint32_t window;
    uint32_t next;
  } const windows[] = {
      {100, 3952, 101},
      {0x0FFFFFFE - 128 - 3952, 3952, 0x0FFFFFFE - 128 - 3952 + 1},
      {0x0FFFFFFE - 128 - 3951, 3952, 1},
      {0x0FFFFFFF, 1, 1},
      {0xFFFFFFFF, 0xFFFFFFFF, 1},  // no overflow in the test itself
  };
  for (const Window_Case& c : windows)
    EXPECT_EQ(TP_Next_Window_ID(c.last, c.window), c.next) << c.last;

  // Distances within a window continue across the wrap.
  uint32_t first = 0x0FFFFFFE;
  uint32_t id = first;
  for (uint32_t distance = 0; distance < 5; ++distance, id = TP_Next_ID(id)) {
    EXPECT_EQ(TP_ID_Distance(id, first), distance) << id;
  }
}

}  // namespace
