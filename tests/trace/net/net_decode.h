// Decoding a network sink's rebuilt stream in tests: the engine's stream reader feeds a text
// output that checks the messages "<thread> <index>" as they come (per thread strictly
// increasing indexes) and keeps every other message, so that a million calls need no storage.
#ifndef TESTS_TRACE_NET_NET_DECODE_H_
#define TESTS_TRACE_NET_NET_DECODE_H_

#include <stdio.h>

#include <string>
#include <vector>

#include <mqtt-wrapper/TRTextSink.h>

#include "trace/decode/stream_parser.h"

namespace net_test {

class CheckingOutput : public CClTextSink {
 public:
  explicit CheckingOutput(size_t threads) : last_(threads, -1), seen_(threads, 0) {}

  uint32_t Initialize(char**, int) override { return 0; }
  uint32_t DumpBuffers() override { return 0; }
  uint32_t Log(const sLog* log, const char*, uint64_t) override {
    const std::string message(log->message, log->message_length);
    unsigned thread = 0;
    long index = 0;
    char tail = 0;
    if (sscanf(message.c_str(), "%u %ld%c", &thread, &index, &tail) == 2 && thread < last_.size()) {
      if (index <= last_[thread]) ++disorders_;
      last_[thread] = index;
      ++seen_[thread];
    } else {
      others_.push_back(message);
    }
    return 0;
  }

  const std::vector<uint64_t>& Seen() const { return seen_; }
  const std::vector<long>& Last() const { return last_; }
  uint64_t Disorders() const { return disorders_; }
  const std::vector<std::string>& Others() const { return others_; }

 private:
  std::vector<long> last_;
  std::vector<uint64_t> seen_;
  uint64_t disorders_ = 0;
  std::vector<std::string> others_;
};

// Parses a whole stream into `output`; the parser's error text, or "" when it decoded cleanly
// and completely.
inline std::string Decode_Stream(const std::vector<uint8_t>& stream, CClTextSink* output) {
  CStreamParser parser;
  if (!parser.Init("")) return "parser init";
  parser.Set_Output(output);
  if (parser.Parse_Buffer(stream.data(), stream.size()) != 0)
    return parser.Error_Text() ? parser.Error_Text() : "parse error";
  if (parser.Pending_Bytes() != 0) return "incomplete record at the end";
  return "";
}

}  // namespace net_test

#endif  // TESTS_TRACE_NET_NET_DECODE_H_
