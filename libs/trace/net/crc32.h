// The transport packets' checksum: CRC-32 of the reflected polynomial 0xEDB88320, register
// started at 0xFFFFFFFF, and no final inversion (so the result is the
// complement of the common CRC-32 of the same bytes: "abc" gives 0xCADBBE3D).
//
// Computed with the CPU's CRC instructions where an aarch64 host has them, with carry-less
// multiplication where an x86-64 host has it, else eight bytes per step with sliced tables; every
// path gives the same register as the bit-by-bit definition.
//
// Thread-safety: the table is constant; the functions have no state.
#ifndef TRACE_NET_CRC32_H_
#define TRACE_NET_CRC32_H_

#include <stdint.h>

// The 256 entries of the standard CRC-32 table of that polynomial (built at compile time).
extern const uint32_t* const g_pCRC32_Table;

// The register after `size` bytes, started from `crc`.
uint32_t TP_CRC32(const uint8_t* bytes, uint32_t size, uint32_t crc = 0xFFFFFFFF);

// The checksum stored at offset 0 of a packet whose size field reads `size`: it covers bytes 4 ..
// size-1, or the 10 remaining header bytes when `size` is below the header size.
// REQUIRES: `packet` holds at least max(size, 14) bytes.
uint32_t TP_Packet_CRC(const uint8_t* packet, uint32_t size);

#endif  // TRACE_NET_CRC32_H_
