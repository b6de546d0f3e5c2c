#include "trace/net/crc32.h"

#include "trace/net/transport_format.h"

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320;

struct sTable {
  uint32_t entries[256];
};

constexpr sTable Make_Table() {
  sTable table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? (value >> 1) ^ kPolynomial : value >> 1;
    table.entries[i] = value;
  }
  return table;
}

constexpr sTable kTable = Make_Table();
static_assert(kTable.entries[1] == 0x77073096 && kTable.entries[255] == 0x2D02EF8D,
              "standard CRC-32 table");

}  // namespace

const uint32_t* const g_pCRC32_Table = kTable.entries;

uint32_t TP_CRC32(const uint8_t* bytes, uint32_t size, uint32_t crc) {
  for (uint32_t i = 0; i < size; ++i) crc = g_pCRC32_Table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

uint32_t TP_Packet_CRC(const uint8_t* packet, uint32_t size) {
  uint32_t span = size >= kTP_Header_Size ? size - kTP_Offset_ID : kTP_Short_CRC_Span;
  return TP_CRC32(packet + kTP_Offset_ID, span);
}
