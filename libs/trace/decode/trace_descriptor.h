// CTraceDescriptor: one call site of a channel, built from its format record. It owns a private
// copy of the record (file and function names point into it), the format string converted to
// UTF-8 and the formatter that renders the call site's data records.
//
// Thread-safety: owned by one CTxtChannel and used only by the thread that parses its stream.
#ifndef TRACE_DECODE_TRACE_DESCRIPTOR_H_
#define TRACE_DECODE_TRACE_DESCRIPTOR_H_

#include <stdint.h>

#include <mqtt-wrapper/TRTextSink.h>

#include "trace/decode/formatter.h"

class CTraceDescriptor : public sTraceDescEx {
 public:
  // Parses a format record of `size` bytes (header included). Returns null when the record is
  // too short for its fixed part and argument table, or when memory runs out. Texts that run
  // past the record's end are cut there.
  static CTraceDescriptor* Create(const uint8_t* record, uint32_t size,
                                  CFormatter::sBuffer* digits);
  // What Create keeps for the record (its copy, the UTF-8 format, the formatter's segments and
  // the allocator's overhead), an upper estimate computed without allocating, so that a memory
  // account can be charged before the descriptor exists.
  static uint64_t Cost(const uint8_t* record, uint32_t size);
  ~CTraceDescriptor();

  CTraceDescriptor(const CTraceDescriptor&) = delete;
  CTraceDescriptor& operator=(const CTraceDescriptor&) = delete;

  uint16_t Id() const { return m_Id; }
  uint32_t Args_Count() const { return m_ArgsCount; }
  // The argument table: Args_Count() pairs of type byte and size byte.
  const uint8_t* Args() const { return m_Args; }
  CFormatter* Formatter() { return m_Formatter; }
  const char* Format_Text() const { return m_Format; }

 private:
  CTraceDescriptor() = default;

  uint16_t m_Id = 0;
  uint8_t* m_Copy = nullptr;  // owned copy of the record, plus a terminating NUL
  uint32_t m_CopySize = 0;
  char* m_Format = nullptr;         // owned UTF-8 format string
  const uint8_t* m_Args = nullptr;  // argument table inside m_Copy
  uint32_t m_ArgsCount = 0;
  CFormatter* m_Formatter = nullptr;  // owned
};

#endif  // TRACE_DECODE_TRACE_DESCRIPTOR_H_
