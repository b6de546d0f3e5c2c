// Test reader of the trace stream: splits one Sent call's bytes into records. Shared by the
// channel and logger tests.
#ifndef TESTS_TRACE_CHANNEL_STREAM_READER_H_
#define TESTS_TRACE_CHANNEL_STREAM_READER_H_

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "trace/format/trace_format.h"

struct Record {
  uint32_t subtype;
  std::vector<uint8_t> bytes;  // the whole record, header included

  template <class T>
  T As() const {
    T value{};
    memcpy(&value, bytes.data(), sizeof(T) < bytes.size() ? sizeof(T) : bytes.size());
    return value;
  }
  // Bytes after the fixed part of `fixed` bytes.
  std::vector<uint8_t> Tail(size_t fixed) const {
    return std::vector<uint8_t>(bytes.begin() + static_cast<long>(fixed), bytes.end());
  }
};

// Records of one packet; an empty vector when the sizes do not add up exactly.
inline std::vector<Record> Parse_Records(const std::vector<uint8_t>& packet) {
  std::vector<Record> records;
  size_t offset = 0;
  while (offset + 4 <= packet.size()) {
    uint32_t header = TRTrace_Read_Header(packet.data() + offset);
    uint32_t size = TRTrace_Header_Size(header);
    if (size < 4 || offset + size > packet.size() || TRTrace_Header_Type(header) != 0) return {};
    records.push_back(
        Record{TRTrace_Header_Subtype(header),
               std::vector<uint8_t>(packet.begin() + static_cast<long>(offset),
                                    packet.begin() + static_cast<long>(offset + size))});
    offset += size;
  }
  if (offset != packet.size()) return {};
  return records;
}

inline std::vector<uint32_t> Subtypes(const std::vector<Record>& records) {
  std::vector<uint32_t> subtypes;
  for (const Record& record : records) subtypes.push_back(record.subtype);
  return subtypes;
}

// The UTF-16 text at `units` (up to the NUL unit) as ASCII/'?' for checks.
inline std::string Narrow(const uint16_t* units, size_t max) {
  std::string text;
  for (size_t i = 0; i < max && units[i]; ++i)
    text.push_back(units[i] < 128 ? char(units[i]) : '?');
  return text;
}

// The format text of a descriptor record (UTF-16 after the argument array), narrowed.
inline std::string Format_Text(const Record& format) {
  const auto fixed = format.As<sTRTrace_Format>();
  const size_t offset = sizeof(sTRTrace_Format) + fixed.args_count * sizeof(sTRTrace_Arg);
  std::vector<uint16_t> units((format.bytes.size() - offset) / 2 + 1, 0);
  memcpy(units.data(), format.bytes.data() + offset, format.bytes.size() - offset);
  return Narrow(units.data(), units.size());
}

#endif  // TESTS_TRACE_CHANNEL_STREAM_READER_H_
