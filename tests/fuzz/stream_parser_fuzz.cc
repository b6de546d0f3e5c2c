// The stream reader on arbitrary bytes: the whole stream and the same stream cut into pieces
// (cuts anywhere, inside packet headers too) give the same lines, the same result and the same
// incomplete rest.
#include <stddef.h>
#include <stdint.h>

#include "fuzz_support.h"
#include "trace/decode/stream_parser.h"

namespace {

struct sOutcome {
  std::vector<std::string> lines;
  uint32_t result = 0;
  uint64_t pending = 0;
};

sOutcome Parse(const uint8_t* data, size_t size, const std::vector<uint64_t>& pieces) {
  fuzz::CLine_Collector collector;
  CStreamParser parser;
  fuzz::Check(parser.Init(fuzz::kAll_Elements), "parser initialisation");
  parser.Set_Output(&collector);
  // The live sink's limit on packets, so that a reassembly never asks for 128 MB.
  parser.Set_Max_Packet(1 << 20);
  sOutcome outcome;
  uint64_t offset = 0;
  for (uint64_t piece : pieces) {
    outcome.result = parser.Parse_Buffer(data + offset, piece);
    offset += piece;
    if (outcome.result) break;
  }
  (void)size;
  outcome.lines = collector.Lines();
  outcome.pending = outcome.result ? 0 : parser.Pending_Bytes();
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  sOutcome whole = Parse(data, size, {size});
  sOutcome cut = Parse(data, size, fuzz::Pieces(data, size));
  fuzz::Check(whole.result == cut.result, "the result depends on where the stream is cut");
  fuzz::Check(whole.pending == cut.pending,
              "the incomplete rest depends on where the stream is cut");
  fuzz::Check(whole.lines == cut.lines, "the lines depend on where the stream is cut");
  return 0;
}
