// The fixed 1044-byte header at offset 0 of every binary trace file (".trd"): it identifies the
// writing process and host; the channels' user-data stream follows it. Little-endian, packed.
//
// Thread-safety: plain data; Build_File_Header has no shared state.
#ifndef TRACE_FORMAT_FILE_HEADER_H_
#define TRACE_FORMAT_FILE_HEADER_H_

#include <stdint.h>

constexpr uint64_t kTRD_Magic = 0x45D2AC71ECF32CA6ULL;
constexpr uint32_t kTRD_Name_Units = 256;
// Bytes of the header; the stream starts at this offset.
constexpr uint32_t kTRD_Header_Size = 1044;

#pragma pack(push, 1)
struct sTRD_File_Header {
  uint64_t magic;  // kTRD_Magic
  uint32_t process_id;
  uint32_t start_hi;  // process start, 100-ns units since 1601 (0: unknown)
  uint32_t start_lo;
  uint16_t client_name[kTRD_Name_Units];  // UTF-16, NUL-terminated
  uint16_t host_name[kTRD_Name_Units];    // UTF-16, NUL-terminated
};
#pragma pack(pop)
static_assert(sizeof(sTRD_File_Header) == kTRD_Header_Size, "the file header is 1044 bytes");

// Fills `header` for this process. `client_name` is the "/TR.Name=" value or null, in which
// case the executable's file name (or "Unknown") is used; the host name is "Unknown:Error" when
// it cannot be read.
void Build_File_Header(const char* client_name, sTRD_File_Header* header);

#endif  // TRACE_FORMAT_FILE_HEADER_H_
