// Fixtures of the viewer's tests: messages and binary trace files (".trd") built byte by byte
// from the stream builders, so that a test states exactly which levels, times and texts a file
// holds.
#ifndef TESTS_TRACE_VIEWER_VIEWER_FIXTURE_H_
#define TESTS_TRACE_VIEWER_VIEWER_FIXTURE_H_

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "support/stream_builder.h"
#include "trace/format/file_header.h"
#include "trace/viewer/viewer_message.h"

namespace viewer_test {

struct Line {
  uint8_t level;
  uint32_t second;  // after the channel's creation (text_test::kTimeBase)
  std::string text;
};

// A whole file: header, one channel "Chan" with one call site "%s", then one data record per line.
inline std::string Trd_File(const std::vector<Line>& lines) {
  using namespace text_test;
  sTRD_File_Header header;
  memset(&header, 0, sizeof(header));
  header.magic = kTRD_Magic;
  Bytes bytes(reinterpret_cast<const uint8_t*>(&header),
              reinterpret_cast<const uint8_t*>(&header) + sizeof(header));
  const Bytes head = Packet(0, Cat({Info("Chan"), Format(7, "%s", {10, 0})}));
  bytes.insert(bytes.end(), head.begin(), head.end());
  uint32_t sequence = 1;
  for (const Line& line : lines) {
    const Bytes packet = Packet(
        0, Data(7, kTimer0 + uint64_t{line.second} * 10000000, Str(line.text), line.level, 0x42,
                sequence++));
    bytes.insert(bytes.end(), packet.begin(), packet.end());
  }
  return std::string(bytes.begin(), bytes.end());
}

// Microseconds since 1970 of `second` after the builders' channel creation.
inline int64_t Time_Of(uint32_t second) {
  return Viewer_Unix_Microseconds(text_test::kTimeBase) + int64_t{second} * 1000000;
}

inline sViewer_Message Message(const std::string& host, uint32_t level, const std::string& text,
                               int64_t time_us = 0) {
  sViewer_Message message;
  message.host = host;
  message.channel = "Chan";
  message.level = level;
  message.text = text;
  message.rendered = host + " " + text;
  message.time_us = time_us;
  message.thread = "Worker";
  message.thread_id = 7;
  message.module = "net";
  return message;
}

}  // namespace viewer_test

#endif  // TESTS_TRACE_VIEWER_VIEWER_FIXTURE_H_
