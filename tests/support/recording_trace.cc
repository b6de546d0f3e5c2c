#include "support/recording_trace.h"

#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

namespace mqw_test {

namespace {

// One record per line: level, '|', format, '|', text; '\\', '|' and line breaks escaped.
std::string Escape(const std::string& in) {
  std::string out;
  for (char c : in) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '|')
      out += "\\p";
    else
      out += c;
  }
  return out;
}

std::vector<std::string> Split_Escaped(const std::string& line) {
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '|') {
      fields.emplace_back();
    } else if (c == '\\' && i + 1 < line.size()) {
      const char e = line[++i];
      fields.back() += e == 'n' ? '\n' : e == 'p' ? '|' : e;
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

void Write_All(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

bool RecordingTrace::Register_Module(const char*, void** module) {
  if (module != nullptr) *module = nullptr;
  return true;
}

bool RecordingTrace::Trace(uint16_t, eTRTrace_Level level, void*, uint16_t line, const char* file,
                           const char* function, const char* format, ...) {
  Record record;
  record.level = level;
  record.format = format != nullptr ? format : "";
  record.function = function != nullptr ? function : "";
  record.file = file != nullptr ? file : "";
  record.line = line;
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int size = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (size > 0) {
      record.text.resize(static_cast<size_t>(size) + 1);
      vsnprintf(record.text.data(), record.text.size(), format, args);
      record.text.resize(static_cast<size_t>(size));
    }
    va_end(args);
  }
  Add(std::move(record));
  return true;
}

bool RecordingTrace::Trace_Managed(uint16_t, eTRTrace_Level level, void*, uint16_t line,
                                   const char* file, const char* function, const char* message) {
  Record record;
  record.level = level;
  record.text = message != nullptr ? message : "";
  record.format = record.text;
  record.function = function != nullptr ? function : "";
  record.file = file != nullptr ? file : "";
  record.line = line;
  Add(std::move(record));
  return true;
}

void RecordingTrace::Add(Record record) {
  const int fd = m_EchoFd.load();
  if (fd >= 0) {
    Write_All(fd, std::to_string(static_cast<uint32_t>(record.level)) + "|" +
                      Escape(record.format) + "|" + Escape(record.text) + "\n");
  }
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Records.push_back(record);
  }
  m_Added.notify_all();
  if (m_Hook) m_Hook(record);
}

std::vector<RecordingTrace::Record> RecordingTrace::Records() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Records;
}

std::vector<RecordingTrace::Record> RecordingTrace::Matching(eTRTrace_Level level,
                                                             const std::string& format) const {
  std::vector<Record> out;
  std::lock_guard<std::mutex> lock(m_Mutex);
  for (const Record& r : m_Records) {
    if (r.level == level && r.format == format) out.push_back(r);
  }
  return out;
}

size_t RecordingTrace::Count(eTRTrace_Level level, const std::string& format) const {
  return Matching(level, format).size();
}

bool RecordingTrace::Wait_For(eTRTrace_Level level, const std::string& format,
                              unsigned timeout_ms) const {
  std::unique_lock<std::mutex> lock(m_Mutex);
  return m_Added.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    for (const Record& r : m_Records) {
      if (r.level == level && r.format == format) return true;
    }
    return false;
  });
}

void RecordingTrace::Clear() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_Records.clear();
}

std::vector<RecordingTrace::Record> RecordingTrace::Parse_Echo(const std::string& output) {
  std::vector<Record> out;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    const std::vector<std::string> fields = Split_Escaped(line);
    if (fields.size() != 3 || fields[0].empty() || fields[0].size() > 1 || fields[0][0] < '0' ||
        fields[0][0] > '5') {
      continue;  // not a record (other output of the child)
    }
    Record record;
    record.level = static_cast<eTRTrace_Level>(fields[0][0] - '0');
    record.format = fields[1];
    record.text = fields[2];
    out.push_back(std::move(record));
  }
  return out;
}

}  // namespace mqw_test
