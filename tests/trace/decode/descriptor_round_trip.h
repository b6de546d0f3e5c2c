// The round trip of a call site: the format record a channel builds for (format, file, function)
// must read back through the stream reader's descriptor with the same argument table, line,
// module, file and function, and with the whole format (one UTF-16 unit per UTF-8 sequence, none
// of them 0, and the text read back converting to those same units). Shared by the regression
// tests and the descriptor fuzz target.
#ifndef TESTS_TRACE_DECODE_DESCRIPTOR_ROUND_TRIP_H_
#define TESTS_TRACE_DECODE_DESCRIPTOR_ROUND_TRIP_H_

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "trace/base/utf.h"
#include "trace/channel/memory_manager.h"
#include "trace/channel/trace_desc.h"
#include "trace/decode/trace_descriptor.h"

namespace round_trip {

// Empty when the round trip holds, otherwise what differs. `reader_format` receives the format
// text the reader gives back (when it accepted the record).
inline std::string Problem(const char* format, const char* file, const char* function,
                           std::string* reader_format = nullptr) {
  CMemoryManager arena;
  if (!arena.Init()) return "no arena";
  const uint64_t key[2] = {1, 2};
  const char* text = format;
  CTRTrace_Desc built(&arena, 1025, 77, 3, file, function, &text, key);
  if (!built.Is_Initialized()) return "the channel did not build the descriptor";
  uint32_t size = 0;
  const auto* record = static_cast<const uint8_t*>(built.Get_Buffer(&size));

  struct Release {
    void operator()(CFormatter::sBuffer* b) const { b->Release(); }
  };
  std::unique_ptr<CFormatter::sBuffer, Release> digits(new CFormatter::sBuffer());
  std::unique_ptr<CTraceDescriptor> read(CTraceDescriptor::Create(record, size, digits.get()));
  if (!read) return "the reader refused the record";
  if (read->Id() != 1025 || read->line != 77 || read->module_id != 3)
    return "id, line or module differ";
  if (read->Args_Count() != built.Get_Arguments_Count() ||
      memcmp(read->Args(), built.Get_Arguments(), 2ull * built.Get_Arguments_Count()) != 0) {
    return "argument tables differ";
  }
  if (std::string(read->file_path, read->file_path_length) != (file ? file : ""))
    return "file differs";
  if (std::string(read->function, read->function_length) != (function ? function : ""))
    return "function differs";

  // The format: as many units as the UTF-8 text has sequences, and the text read back gives
  // exactly those units again.
  const uint32_t units = UTF8_Code_Points(format);
  std::vector<uint16_t> sent(units + 1);
  memcpy(sent.data(), record + sizeof(sTRTrace_Format) + 2ull * built.Get_Arguments_Count(),
         2ull * (units + 1));
  for (uint32_t i = 0; i < units; ++i) {
    if (sent[i] == 0) return "the format holds a 0 unit at " + std::to_string(i);
  }
  if (sent[units] != 0) return "the format is not terminated after its units";
  const char* back = read->Format_Text();
  if (reader_format) *reader_format = back;
  std::vector<uint16_t> again(units + 2);
  if (static_cast<uint32_t>(Convert_UTF8_To_UTF16(back, again.data(), units + 2)) != units ||
      memcmp(again.data(), sent.data(), 2ull * units) != 0) {
    return "the format read back differs";
  }
  return {};
}

}  // namespace round_trip

#endif  // TESTS_TRACE_DECODE_DESCRIPTOR_ROUND_TRIP_H_
