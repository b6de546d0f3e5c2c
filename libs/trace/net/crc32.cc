#include "trace/net/crc32.h"

#include <string.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif
#if defined(__aarch64__)
#include <arm_acle.h>
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

#include "trace/net/transport_format.h"

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320;

// tables[0] is the classic byte table; tables[k][b] is the register change of byte b followed by
// k zero bytes, so that eight bytes are folded with eight independent lookups.
struct sTables {
  uint32_t entries[8][256];
};

constexpr sTables Make_Tables() {
  sTables tables{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? (value >> 1) ^ kPolynomial : value >> 1;
    tables.entries[0][i] = value;
  }
  for (uint32_t i = 0; i < 256; ++i)
    for (int k = 1; k < 8; ++k) {
      const uint32_t previous = tables.entries[k - 1][i];
      tables.entries[k][i] = (previous >> 8) ^ tables.entries[0][previous & 0xFF];
    }
  return tables;
}

constexpr sTables kTables = Make_Tables();
static_assert(kTables.entries[0][1] == 0x77073096 && kTables.entries[0][255] == 0x2D02EF8D,
              "standard CRC-32 table");

uint32_t Bytewise(const uint8_t* bytes, uint32_t size, uint32_t crc) {
  for (uint32_t i = 0; i < size; ++i) crc = kTables.entries[0][(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

// Eight bytes per step (the register is little-endian on every target we build for; a big-endian
// host takes the byte loop).
uint32_t Sliced(const uint8_t* bytes, uint32_t size, uint32_t crc) {
  if constexpr (__BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__) return Bytewise(bytes, size, crc);
  const auto& t = kTables.entries;
  while (size >= 8) {
    uint32_t low, high;
    memcpy(&low, bytes, 4);
    memcpy(&high, bytes + 4, 4);
    low ^= crc;
    crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
          t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^
          t[0][high >> 24];
    bytes += 8;
    size -= 8;
  }
  return Bytewise(bytes, size, crc);
}

#if defined(__aarch64__)
// The CRC32X/W/B instructions compute this very polynomial's register update, without any
// inversion: exact, and several times faster than the tables. Optional before ARMv8.1, so chosen
// at run time.
__attribute__((target("+crc"))) uint32_t Instruction(const uint8_t* bytes, uint32_t size,
                                                      uint32_t crc) {
  while (size >= 8) {
    uint64_t word;
    memcpy(&word, bytes, 8);
    crc = __crc32d(crc, word);
    bytes += 8;
    size -= 8;
  }
  while (size-- > 0) crc = __crc32b(crc, *bytes++);
  return crc;
}

using Crc_Function = uint32_t (*)(const uint8_t*, uint32_t, uint32_t);
const Crc_Function kChosen = (getauxval(AT_HWCAP) & HWCAP_CRC32) ? Instruction : Sliced;
#endif

#if defined(__x86_64__)
// Carry-less multiplication folds 16 bytes per step: the running 128-bit value X stands for
// everything folded so far (X followed by the rest has the CRC of the whole input), and one step
// replaces X by X·x^128 mod P plus the next 16 bytes, with the two 64-bit halves multiplied by
// x^(128+32) and x^(128-32) mod P (bit-reflected). At the end the 16 bytes of X go through the
// tables from a zero register and the tail follows.
__attribute__((target("pclmul,sse4.1"))) uint32_t Folded(const uint8_t* bytes, uint32_t size,
                                                          uint32_t crc) {
  if (size < 32) return Sliced(bytes, size, crc);
  const __m128i constants = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
  __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
  x = _mm_xor_si128(x, _mm_cvtsi32_si128(static_cast<int>(crc)));
  bytes += 16;
  size -= 16;
  while (size >= 16) {
    const __m128i low = _mm_clmulepi64_si128(x, constants, 0x00);
    const __m128i high = _mm_clmulepi64_si128(x, constants, 0x11);
    x = _mm_xor_si128(_mm_xor_si128(low, high),
                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)));
    bytes += 16;
    size -= 16;
  }
  uint8_t folded[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(folded), x);
  return Sliced(bytes, size, Sliced(folded, 16, 0));
}

using Crc_Function = uint32_t (*)(const uint8_t*, uint32_t, uint32_t);
const Crc_Function kChosen =
    (__builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1")) ? Folded : Sliced;
#endif

}  // namespace

const uint32_t* const g_pCRC32_Table = kTables.entries[0];

uint32_t TP_CRC32(const uint8_t* bytes, uint32_t size, uint32_t crc) {
#if defined(__aarch64__) || defined(__x86_64__)
  return kChosen(bytes, size, crc);
#else
  return Sliced(bytes, size, crc);
#endif
}

uint32_t TP_Packet_CRC(const uint8_t* packet, uint32_t size) {
  uint32_t span = size >= kTP_Header_Size ? size - kTP_Offset_ID : kTP_Short_CRC_Span;
  return TP_CRC32(packet + kTP_Offset_ID, span);
}
