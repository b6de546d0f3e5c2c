// Binary trace files as trace-cat reads them: the file reader fed the bytes in the pieces a
// reading loop might get. Whatever the bytes, the reader ends with a verdict (read completely, or
// one problem reported with an offset inside the file) and never reads outside the bytes given.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "fuzz_support.h"
#include "trace/decode/trace_file_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::CLine_Collector collector(false);
  CTrace_File_Reader reader;
  fuzz::Check(reader.Init(fuzz::kAll_Elements, &collector), "reader initialisation");
  uint64_t offset = 0;
  bool ok = true;
  for (uint64_t piece : fuzz::Pieces(data, size)) {
    // Each piece in a buffer of its own, as read() would fill one: overreads are caught.
    std::vector<uint8_t> buffer(data + offset, data + offset + piece);
    ok = reader.Feed(buffer.data(), buffer.size());
    offset += piece;
    if (!ok) break;
  }
  bool complete = reader.End();
  fuzz::Check(!complete || ok, "a file with a problem was read as complete");
  if (!complete) {
    fuzz::Check(reader.Error_Text()[0] != '\0', "a problem without a description");
  } else {
    fuzz::Check(size >= kTRD_Header_Size, "a file shorter than its header was read as complete");
  }
  return 0;
}
