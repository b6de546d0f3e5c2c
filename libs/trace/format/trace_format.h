// The trace stream: the binary records a trace channel hands to its client, and the one record
// (verbosity) and command (close request) a server sends back to a channel.
//
// Every record starts with a 32-bit header = size * 1024 + subtype * 32 + type, where type is
// always 0 (trace stream) and size counts the whole record, header included. Records are packed
// (no padding; 64-bit fields may be unaligned) and written in host byte order, which is
// little-endian on every supported target. A reader walks a packet record by record by the size
// in each header.
//
// Thread-safety: plain data and constexpr helpers; no shared state.
#ifndef TRACE_FORMAT_TRACE_FORMAT_H_
#define TRACE_FORMAT_TRACE_FORMAT_H_

#include <stdint.h>
#include <string.h>

// Stream type carried in bits 0..4 of every header.
constexpr uint32_t kTRStream_Trace = 0;

// Record subtypes (bits 5..9 of the header).
enum eTRTrace_Subtype : uint32_t {
  eTRTrace_Info = 0,           // channel information, sTRTrace_Info
  eTRTrace_Format = 1,         // call-site descriptor, sTRTrace_Format
  eTRTrace_Data = 2,           // one trace call, sTRTrace_Data
  eTRTrace_Verbosity = 3,      // verbosity change (both directions), sTRTrace_Verbosity
  eTRTrace_Close = 4,          // the last record of a channel, sTRTrace_Close
  eTRTrace_Thread_Start = 5,   // sTRTrace_Thread_Start
  eTRTrace_Thread_Stop = 6,    // sTRTrace_Thread_Stop
  eTRTrace_Module = 7,         // sTRTrace_Module
  eTRTrace_Close_Request = 8,  // from the server: final flush, then stop
  eTRTrace_UTC_Offset = 9,     // sTRTrace_UTC_Offset
};

// Largest size a header can express (22 bits).
constexpr uint32_t kTRTrace_Max_Record = 0x3FFFFF;

constexpr uint32_t TRTrace_Make_Header(uint32_t size, uint32_t subtype) {
  return (size << 10) | ((subtype & 0x1F) << 5) | kTRStream_Trace;
}
constexpr uint32_t TRTrace_Header_Size(uint32_t header) { return header >> 10; }
constexpr uint32_t TRTrace_Header_Subtype(uint32_t header) { return (header >> 5) & 0x1F; }
constexpr uint32_t TRTrace_Header_Type(uint32_t header) { return header & 0x1F; }

// Argument descriptor types (sTRTrace_Arg::type).
enum eTRTrace_Arg_Type : uint8_t {
  eTRArg_Char = 1,          // 8-bit character (%c, %hhd ...)
  eTRArg_UTF16_Char = 2,    // understood by readers, never produced by a channel
  eTRArg_Int16 = 3,         // %hd ...
  eTRArg_Int32 = 4,         // %d, %I32d, %wd, every '*'
  eTRArg_Int64 = 5,         // %lld, %ld, %I64d, %Id, %zd, %td
  eTRArg_Double = 6,        // %a %A %e %E %f %g %G
  eTRArg_Pointer = 7,       // %p
  eTRArg_UTF16_String = 8,  // understood by readers, never produced by a channel
  eTRArg_String_H = 9,      // %hs, %hS
  eTRArg_String = 10,       // %s
  eTRArg_WString = 11,      // %S, %ls: 4-byte units
  eTRArg_WChar = 12,        // %lc, %lC
  eTRArg_IntMax = 13,       // %jd
};

// Bytes every numeric argument occupies in a data record, whatever its declared width.
constexpr uint8_t kTRTrace_Numeric_Size = 8;

constexpr bool TRTrace_Is_Numeric(uint8_t type) {
  return type == eTRArg_Char || type == eTRArg_Int16 || type == eTRArg_Int32 ||
         type == eTRArg_Int64 || type == eTRArg_Double || type == eTRArg_Pointer ||
         type == eTRArg_WChar || type == eTRArg_IntMax || type == eTRArg_UTF16_Char;
}

// Extension types of the data record trailer.
constexpr uint8_t kTRTrace_Ext_Module = 0;

// Text sent in place of a string argument whose conversion has a width or precision
// (27 characters + NUL = 28 bytes; as 4-byte units 112 bytes).
constexpr char kTRTrace_Unsupported_Text[] = "([x]s is unsupported by TR)";
// Text sent in place of a null string argument (7 bytes) and of a null managed message (5 bytes).
constexpr char kTRTrace_Null_Text[] = "(NULL)";
constexpr char kTRTrace_Null_Message[] = "NULL";

#pragma pack(push, 1)

// Subtype 0: channel information (164 bytes).
struct sTRTrace_Info {
  uint32_t header;
  uint32_t time_hi;          // creation time, 100-ns units since 1601-01-01 UTC, high half
  uint32_t time_lo;          // low half
  uint64_t timer_value;      // the channel's timer at creation
  uint64_t timer_frequency;  // ticks per second of that timer
  uint64_t flags;            // always kTRTrace_Info_Flags
  uint16_t name[64];         // UTF-16, at most 63 units and a NUL, zero-filled
};
constexpr uint64_t kTRTrace_Info_Flags = 12;
constexpr uint32_t kTRTrace_Name_Units = 63;

// One argument descriptor of a format record.
struct sTRTrace_Arg {
  uint8_t type;  // eTRTrace_Arg_Type
  uint8_t size;  // 8 for numeric types, 0 for strings
};

// Subtype 1: call-site descriptor. Fixed part (12 bytes), followed by
// sTRTrace_Arg args[args_count], the UTF-16 format with a NUL unit, the file name with its NUL
// and the function name with its NUL.
struct sTRTrace_Format {
  uint32_t header;
  uint16_t id;
  uint16_t line;
  uint16_t module_id;
  uint16_t args_count;
};

// Subtype 2: one trace call. Fixed part (24 bytes), followed by the argument values and the
// trailer (one byte 0, or module ID uint16, extension type 0, count 1).
struct sTRTrace_Data {
  uint32_t header;
  uint16_t id;
  uint8_t level;
  uint8_t cpu;
  uint32_t thread_id;
  uint32_t sequence;
  uint64_t timer;
};

// Subtype 3: verbosity change (10 bytes).
struct sTRTrace_Verbosity {
  uint32_t header;
  uint32_t level;
  uint16_t module_id;  // 0 = the whole channel
};

// Subtype 4: close (4 bytes).
struct sTRTrace_Close {
  uint32_t header;
};

// Subtype 5: thread start (64 bytes).
struct sTRTrace_Thread_Start {
  uint32_t header;
  uint32_t thread_id;
  uint64_t timer;
  char name[48];  // NUL-terminated, at most 47 bytes of text
};

// Subtype 6: thread stop (16 bytes).
struct sTRTrace_Thread_Stop {
  uint32_t header;
  uint32_t thread_id;
  uint64_t timer;
};

// Subtype 7: module (64 bytes). Also the channel's in-memory module record: a module handle
// points at it, and its level field is the module's verbosity.
struct sTRTrace_Module {
  uint32_t header;
  uint16_t id;
  uint32_t level;
  char name[54];  // NUL-terminated, at most 53 bytes of text
};

// Subtype 9: UTC offset (8 bytes).
struct sTRTrace_UTC_Offset {
  uint32_t header;
  int32_t offset;  // local time zone offset from UTC in seconds, east positive
};

#pragma pack(pop)

static_assert(sizeof(sTRTrace_Info) == 164);
static_assert(sizeof(sTRTrace_Arg) == 2);
static_assert(sizeof(sTRTrace_Format) == 12);
static_assert(sizeof(sTRTrace_Data) == 24);
static_assert(sizeof(sTRTrace_Verbosity) == 10);
static_assert(sizeof(sTRTrace_Close) == 4);
static_assert(sizeof(sTRTrace_Thread_Start) == 64);
static_assert(sizeof(sTRTrace_Thread_Stop) == 16);
static_assert(sizeof(sTRTrace_Module) == 64);
static_assert(sizeof(sTRTrace_UTC_Offset) == 8);
static_assert(sizeof(kTRTrace_Unsupported_Text) == 28);
static_assert(TRTrace_Make_Header(164, eTRTrace_Info) == 0x00029000);
static_assert(TRTrace_Make_Header(8, eTRTrace_UTC_Offset) == 0x00002120);
static_assert(TRTrace_Make_Header(10, eTRTrace_Verbosity) == 0x00002860);
static_assert(TRTrace_Make_Header(4, eTRTrace_Close) == 0x00001080);
static_assert(TRTrace_Make_Header(64, eTRTrace_Thread_Start) == 0x000100A0);
static_assert(TRTrace_Make_Header(16, eTRTrace_Thread_Stop) == 0x000040C0);
static_assert(TRTrace_Make_Header(64, eTRTrace_Module) == 0x000100E0);

// Reads a header from possibly unaligned bytes (host order).
inline uint32_t TRTrace_Read_Header(const void* record) {
  uint32_t header;
  memcpy(&header, record, sizeof(header));
  return header;
}

#endif  // TRACE_FORMAT_TRACE_FORMAT_H_
