// Received datagrams as the network sink and the trace server read them: the datagram check and
// every bounded reader over its variable parts.
//
// Input: one mode byte, then the datagram. Mode bit 0 stores the datagram's length in its size
// field and bit 1 stores the right CRC (both only when there is a header), so that most inputs
// get past the size and CRC checks and reach the type-specific checks and the readers.
//
// Properties: the datagram sits in a heap block of exactly its length (any read past it is an
// AddressSanitizer report); the check gives the result an independent reading of the refusal
// order predicts, and fills the header fields from the bytes; an accepted packet's size field
// fits the datagram, its CRC is the one recomputed, its size reaches its type's minimum, and
// the readers walk its payload without a malformed record, each record and chunk inside the
// packet and together covering it exactly; on any bytes, whatever the check said, the readers
// stay inside the range they were given and TP_Report_Lost agrees with the bitmap bits.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>

#include "fuzz_support.h"
#include "trace/net/crc32.h"
#include "trace/net/packet_check.h"

namespace {

// The chunks in [begin, begin + size), checking each lies inside the range and follows the last.
// Returns false when the reader ended on a malformed chunk; `whole` tells whether the chunks
// (and at most 3 trailing bytes) cover the range.
bool Walk_Chunks(const uint8_t* begin, uint32_t size, bool* whole) {
  CTP_Chunk_Reader chunks(begin, size);
  sTP_Chunk chunk;
  const uint8_t* expected = begin;
  while (chunks.Next(&chunk)) {
    fuzz::Check(chunk.payload == expected + kTP_Chunk_Header,
                "a chunk does not follow the previous one");
    fuzz::Check(chunk.payload + chunk.payload_size <= begin + size, "a chunk ends past its range");
    fuzz::Check(chunk.channel < 32, "a chunk names a channel beyond 31");
    expected = chunk.payload + chunk.payload_size;
  }
  *whole = !chunks.Malformed() && begin + size - expected < kTP_Chunk_Header;
  if (!chunks.Malformed()) fuzz::Check(*whole, "the chunk reader stopped with a whole header left");
  return !chunks.Malformed();
}

// The extension records in [begin, begin + size), as Walk_Chunks; chunks inside user-data
// records are walked too. False when a record or a chunk inside one is malformed.
bool Walk_Extensions(const uint8_t* begin, uint32_t size) {
  CTP_Extension_Reader records(begin, size);
  sTP_Extension record;
  const uint8_t* expected = begin;
  bool chunks_ok = true;
  while (records.Next(&record)) {
    fuzz::Check(record.content == expected + kTP_Extension_Header,
                "a record does not follow the previous one");
    fuzz::Check(record.length >= kTP_Extension_Header, "a record shorter than its header");
    fuzz::Check(record.content_size == record.length - kTP_Extension_Header,
                "a record's content size");
    fuzz::Check(record.content + record.content_size <= begin + size,
                "a record ends past its range");
    uint32_t count = 0;
    bool has_count = TP_Extension_Byte_Count(record, &count);
    fuzz::Check(has_count == (record.length >= kTP_Extension_Offset_Bytes + 4),
                "byte count read from a short record");
    if (has_count) {
      fuzz::Check(count == TP_Load32(expected + kTP_Extension_Offset_Bytes),
                  "byte count read from the wrong offset");
    }
    if (record.type == kTP_Extension_User_Data) {
      bool whole = false;
      if (!Walk_Chunks(record.content, record.content_size, &whole)) chunks_ok = false;
    }
    expected = record.content + record.content_size;
  }
  if (!records.Malformed()) {
    fuzz::Check(begin + size - expected <= kTP_Extension_Header,
                "the record reader stopped with records left");
  }
  return !records.Malformed() && chunks_ok;
}

// The expected verdict, read from the refusal order the check promises.
eTP_Check Expected(const uint8_t* bytes, uint32_t length) {
  if (length < kTP_Header_Size) return eTP_Check_Truncated;
  uint32_t size = TP_Load16(bytes + kTP_Offset_Size);
  if (size < kTP_Header_Size || size > length) return eTP_Check_Bad_Size;
  if (TP_Packet_CRC(bytes, size) != TP_Load32(bytes + kTP_Offset_CRC)) return eTP_Check_Bad_CRC;
  uint16_t type_flags = TP_Load16(bytes + kTP_Offset_Type);
  uint32_t type = type_flags & kTP_Type_Mask;
  static const uint32_t kMinimum[16] = {kTP_Hello_Size,
                                        kTP_Ping_Size,
                                        kTP_Header_Size,
                                        kTP_Data_Window_Size,
                                        kTP_Bye_Size,
                                        0,
                                        0,
                                        0,
                                        0,
                                        kTP_Ack_Min_Size,
                                        kTP_Report_Min_Size};
  if (kMinimum[type] == 0) return eTP_Check_Unknown_Type;
  if (size < kMinimum[type]) return eTP_Check_Short_Body;
  if (type == eTP_Acknowledgment) {
    const uint8_t* payload = bytes + kTP_Ack_Offset_Payload;
    uint32_t payload_size = size - kTP_Ack_Offset_Payload;
    bool whole = false;
    if (type_flags & kTP_Flag_Extensions) {
      if (!Walk_Extensions(payload, payload_size)) return eTP_Check_Bad_Payload;
    } else if (type_flags & kTP_Flag_User_Data) {
      if (!Walk_Chunks(payload, payload_size, &whole)) return eTP_Check_Bad_Payload;
    }
  }
  return eTP_Check_OK;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 0x20000) return 0;
  const uint8_t mode = data[0];
  const uint32_t length = static_cast<uint32_t>(size - 1);
  // Exactly `length` bytes on the heap: a read one past the datagram is caught.
  std::unique_ptr<uint8_t[]> block(new uint8_t[length ? length : 1]);
  uint8_t* bytes = block.get();
  if (length) memcpy(bytes, data + 1, length);
  if (length >= kTP_Header_Size) {
    if (mode & 1)
      TP_Store16(bytes + kTP_Offset_Size, static_cast<uint16_t>(length > 0xFFFF ? 0xFFFF : length));
    uint32_t covered = TP_Load16(bytes + kTP_Offset_Size);
    if ((mode & 2) && covered >= kTP_Header_Size && covered <= length) {
      TP_Store32(bytes + kTP_Offset_CRC, TP_Packet_CRC(bytes, covered));
    }
  }

  sTP_View view;
  const eTP_Check check = TP_Check_Datagram(bytes, length, &view);
  fuzz::Check(
      check == Expected(bytes, length),
      std::string("the check gave \"") + TP_Check_Text(check) + "\" against the refusal order");
  fuzz::Check(view.bytes == bytes, "the view does not point at the datagram");
  if (length >= kTP_Header_Size) {
    fuzz::Check(view.crc == TP_Load32(bytes + kTP_Offset_CRC) &&
                    view.id == TP_Load32(bytes + kTP_Offset_ID) &&
                    view.type_flags == TP_Load16(bytes + kTP_Offset_Type) &&
                    view.type == (view.type_flags & kTP_Type_Mask) &&
                    view.size_field == TP_Load16(bytes + kTP_Offset_Size) &&
                    view.client_id == TP_Load16(bytes + kTP_Offset_Client),
                "the header fields of the view differ from the bytes");
  }
  fuzz::Check(view.size == 0 || (view.size == view.size_field && view.size >= kTP_Header_Size &&
                                 view.size <= length),
              "the view's size does not fit the datagram");

  if (check == eTP_Check_OK) {
    fuzz::Check(TP_Packet_CRC(bytes, view.size) == view.crc,
                "accepted with a CRC that does not match");
    fuzz::Check(TP_Min_Size(view.type) != 0 && view.size >= TP_Min_Size(view.type),
                "accepted below its minimum");
    fuzz::Check(
        view.Body() == bytes + kTP_Header_Size && view.Body_Size() == view.size - kTP_Header_Size,
        "the body of an accepted packet");
    if (view.type == eTP_Acknowledgment) {
      fuzz::Check(TP_Ack_Payload(view) + TP_Ack_Payload_Size(view) == bytes + view.size,
                  "the ack payload's end");
    }
    if (view.type == eTP_Window_Report) {
      const uint32_t bits = (view.size - kTP_Report_Offset_Bitmap) * 8;
      for (uint32_t distance = 0; distance < bits + 16; ++distance) {
        bool lost = distance < bits &&
                    ((bytes[kTP_Report_Offset_Bitmap + distance / 8] >> (distance % 8)) & 1);
        fuzz::Check(TP_Report_Lost(view, distance) == lost, "a loss bit read wrong");
      }
      fuzz::Check(!TP_Report_Lost(view, 0xFFFFFFFFu), "a loss bit far beyond the bitmap");
    }
  } else {
    fuzz::Check(check >= eTP_Check_Truncated && check <= eTP_Check_Bad_Payload,
                "a refusal without a known code");
    fuzz::Check(strcmp(TP_Check_Text(check), "unknown result") != 0, "a refusal without a text");
  }

  // The readers on the whole datagram and on its tail from each header offset, whatever the
  // check said: they must stay inside the range.
  for (uint32_t offset = 0; offset <= length && offset <= 24; offset += 2) {
    bool whole = false;
    Walk_Chunks(bytes + offset, length - offset, &whole);
    Walk_Extensions(bytes + offset, length - offset);
  }
  return 0;
}
