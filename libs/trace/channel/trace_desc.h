// CTRTrace_Desc: the description of one trace call site - its format descriptor record, its
// argument list and the transmission plan that turns a call's arguments into data chunks.
//
// A descriptor lives in its channel's arena (CMemoryManager) and is never freed before the
// channel; it is built once, on the first call of its site, and only its hand-over stamp
// (resets) changes afterwards. A descriptor whose format was null, whose record cannot be
// expressed (too many arguments, too large) or whose memory ran out is "not initialized": it
// stays cached so that every call of that site is dropped cheaply.
//
// Call-site keys are two 64-bit words compared as a pair (first, then second):
//   printf-style sites: {address of the function-name string, address of the format string};
//   already formatted sites: {file name length * 65536 + line, FNV-style hash of the file name}.
//
// Thread-safety: none; the owning channel serialises every access under its lock.
#ifndef TRACE_CHANNEL_TRACE_DESC_H_
#define TRACE_CHANNEL_TRACE_DESC_H_

#include <stdint.h>

#include "trace/channel/memory_manager.h"
#include "trace/format/trace_format.h"

class CTRTrace_Desc {
 public:
  // Transmission plan codes: a positive block is a run of numeric values of that many bytes;
  // a string argument is a block of its own with one of these codes.
  enum eBlock : int32_t {
    eBlock_String = -1,               // 8-bit string
    eBlock_WString = -4,              // wide string, 4-byte units
    eBlock_String_Unsupported = -5,   // 8-bit string with width or precision: not sent
    eBlock_WString_Unsupported = -6,  // wide string with width or precision: not sent
  };

  static constexpr int64_t kNever_Sent = -1;

  // Parses `*format` (null pointer or null format: not initialized) and builds the record.
  CTRTrace_Desc(CMemoryManager* arena, uint16_t id, uint16_t line, uint16_t module_id,
                const char* file, const char* function, const char** format, const uint64_t* key);
  // An already formatted site: one 8-bit string argument and the format "%s".
  CTRTrace_Desc(CMemoryManager* arena, uint16_t id, uint16_t line, uint16_t module_id,
                const char* file, const char* function, const uint64_t* key);

  CTRTrace_Desc(const CTRTrace_Desc&) = delete;
  CTRTrace_Desc& operator=(const CTRTrace_Desc&) = delete;

  bool Is_Initialized() const { return m_Initialized; }
  const void* Get_Buffer(uint32_t* size) const {
    *size = m_Record_Size;
    return m_Record;
  }
  const int32_t* Get_Blocks(uint32_t* count) const {
    *count = m_Blocks_Count;
    return m_Blocks;
  }
  // The sink's resets value when the record was last handed over, or kNever_Sent.
  int64_t Get_Resets() const { return m_Resets; }
  void Set_Resets(int64_t resets) { m_Resets = resets; }
  uint32_t Get_Arguments_Count() const { return m_Args_Count; }
  const sTRTrace_Arg* Get_Arguments() const { return m_Args; }
  uint16_t Get_ID() const { return m_ID; }
  uint16_t Get_MID() const { return m_Module_ID; }
  const uint64_t* Get_Key() const { return m_Key; }

  bool Is_Equal(const uint64_t* key) const { return key[0] == m_Key[0] && key[1] == m_Key[1]; }
  // True when this descriptor's key orders after `key`.
  bool Is_Greater(const uint64_t* key) const {
    return m_Key[0] > key[0] || (m_Key[0] == key[0] && m_Key[1] > key[1]);
  }

  // The key of an already formatted site.
  static void Make_Managed_Key(const char* file, uint16_t line, uint64_t key[2]);

  // True when a call with `format` can be packed with this descriptor's plan without reading
  // its variadic arguments as the wrong types: the same format pointer as the first call, or a
  // format whose arguments begin with exactly this descriptor's argument types. Guards fixed IDs,
  // which later calls share whatever their format.
  bool Accepts_Format(CMemoryManager* arena, const char* format) const;
  // True when an already formatted message can be packed with this descriptor (one 8-bit
  // string argument).
  bool Accepts_Message() const;

 private:
  // Parses the format into the arena's argument scratch buffer; returns the count or -1.
  static int64_t Parse(CMemoryManager* arena, const char* format);
  // Builds the plan and the record from `count` parsed arguments.
  bool Build(CMemoryManager* arena, const sTRTrace_Arg* parsed, uint32_t count, const char* format,
             const char* file, const char* function, uint16_t line);

  uint16_t m_ID;
  uint16_t m_Module_ID;
  int64_t m_Resets = kNever_Sent;
  uint32_t m_Record_Size = 0;
  uint8_t* m_Record = nullptr;           // arena memory
  const sTRTrace_Arg* m_Args = nullptr;  // points into m_Record
  uint32_t m_Args_Count = 0;
  int32_t* m_Blocks = nullptr;  // arena memory
  uint32_t m_Blocks_Count = 0;
  uint64_t m_Key[2];
  bool m_Initialized = false;
  bool m_Managed = false;  // built for already formatted messages (key is not a format address)
};

#endif  // TRACE_CHANNEL_TRACE_DESC_H_
