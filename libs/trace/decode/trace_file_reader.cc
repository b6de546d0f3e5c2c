#include "trace/decode/trace_file_reader.h"

#include <stdarg.h>
#include <string.h>

#include "trace/base/psprint.h"

bool CTrace_File_Reader::Init(const char* format_template, CClTextSink* output) {
  if (!m_Parser.Init(format_template)) return Fail("out of memory");
  m_Parser.Set_Lenient(true);
  m_Parser.Set_Output(output);
  return true;
}

bool CTrace_File_Reader::Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PSPrintV(m_Error, sizeof(m_Error), format, args);
  va_end(args);
  m_Failed = true;
  return false;
}

bool CTrace_File_Reader::Feed(const uint8_t* data, uint64_t size) {
  if (m_Failed) return false;
  if (m_Header < kTRD_Header_Size) {
    uint64_t take = kTRD_Header_Size - m_Header;
    if (take > size) take = size;
    memcpy(m_Header_Bytes + m_Header, data, take);
    m_Header += static_cast<uint32_t>(take);
    data += take;
    size -= take;
    if (m_Header == kTRD_Header_Size) {
      uint64_t magic = 0;
      for (int i = 7; i >= 0; --i) magic = (magic << 8) | m_Header_Bytes[i];
      if (magic != kTRD_Magic)
        return Fail("not a binary trace file (wrong magic number at offset 0)");
    }
  }
  if (size && m_Parser.Parse_Buffer(data, size) != eDecode_Ok) {
    return Fail("damaged at offset %llu: %s",
                static_cast<unsigned long long>(kTRD_Header_Size + m_Parser.Error_Offset()),
                m_Parser.Error_Text());
  }
  return true;
}

bool CTrace_File_Reader::End() {
  if (m_Failed) return false;
  if (m_Header < kTRD_Header_Size) {
    return Fail("truncated at offset %u: the file header needs %u bytes", m_Header,
                kTRD_Header_Size);
  }
  if (m_Parser.Pending_Bytes()) {
    uint64_t end = kTRD_Header_Size + m_Parser.Stream_Offset();
    return Fail("truncated at offset %llu: the last packet (from offset %llu) is incomplete",
                static_cast<unsigned long long>(end),
                static_cast<unsigned long long>(end - m_Parser.Pending_Bytes()));
  }
  return true;
}
