// CTrace_File_Reader: reads one binary trace file (".trd") given piece by piece: checks its
// 1044-byte header (the magic number), then feeds the stream after it to a CStreamParser and
// renders every message through the line format to an output. A file is complete by itself
// (channels describe themselves again at the start of every file), so records of channels not
// described in it are skipped and counted rather than refused.
//
// Errors are reported as one text (Error_Text) that names the offset in the file where the
// problem is: a wrong magic number, a damaged stream, or, at End, a header or packet cut short.
// The bytes given may be anything: nothing is read outside them, and the work per byte and per
// record is bounded by the stream parser.
//
// Thread-safety: none; one thread at a time uses a reader.
#ifndef TRACE_DECODE_TRACE_FILE_READER_H_
#define TRACE_DECODE_TRACE_FILE_READER_H_

#include <stdint.h>

#include <mqtt-wrapper/TRTextSink.h>

#include "trace/decode/stream_parser.h"
#include "trace/format/file_header.h"

class CTrace_File_Reader {
 public:
  CTrace_File_Reader() = default;
  CTrace_File_Reader(const CTrace_File_Reader&) = delete;
  CTrace_File_Reader& operator=(const CTrace_File_Reader&) = delete;

  // `format_template` as for CStreamParser::Init; lines go to `output` (not owned, must outlive
  // the reader; null drops them). False when memory runs out (Error_Text tells).
  bool Init(const char* format_template, CClTextSink* output);

  // The next `size` bytes of the file. False after a problem (reported once in Error_Text);
  // later calls do nothing and return false.
  bool Feed(const uint8_t* data, uint64_t size);
  // The end of the file was reached: false when the header or the last packet is incomplete.
  bool End();

  const char* Error_Text() const { return m_Error; }
  // Records of channels the file does not describe, skipped.
  uint64_t Orphan_Records() const { return m_Parser.Orphan_Records(); }
  // Offset in the file of the first byte not yet given.
  uint64_t File_Offset() const { return m_Header + m_Parser.Stream_Offset(); }

 private:
  bool Fail(const char* format, ...) __attribute__((format(printf, 2, 3)));

  CStreamParser m_Parser;
  uint8_t m_Header_Bytes[kTRD_Header_Size] = {};
  uint32_t m_Header = 0;  // header bytes seen so far
  bool m_Failed = false;
  char m_Error[256] = {};
};

#endif  // TRACE_DECODE_TRACE_FILE_READER_H_
