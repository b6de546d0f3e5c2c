#include "trace/viewer/viewer_message.h"

#include <stdio.h>
#include <time.h>

namespace {

constexpr uint64_t k1601_To_1970 = 116444736000000000ull;

void Assign(std::string* out, const char* text, uint64_t length, size_t cap) {
  if (!text) {
    out->clear();
    return;
  }
  out->assign(text, length < cap ? length : cap);
}

}  // namespace

int64_t Viewer_Unix_Microseconds(uint64_t absolute_time) {
  // Worked on magnitudes in 64 unsigned bits: each quotient is at most (2^64 - 1) / 10 < 2^63, so
  // the result is defined for every input, rounded towards 1970.
  if (absolute_time >= k1601_To_1970)
    return static_cast<int64_t>((absolute_time - k1601_To_1970) / 10);
  return -static_cast<int64_t>((k1601_To_1970 - absolute_time) / 10);
}

std::string Viewer_Local_Time(int64_t time_us) {
  int64_t seconds = time_us / 1000000;
  int64_t micros = time_us % 1000000;
  if (micros < 0) {
    micros += 1000000;
    --seconds;
  }
  char text[64];
  const time_t when = static_cast<time_t>(seconds);
  tm local;
  // With 64-bit time_t every second of an int64_t microsecond count has a calendar date (years
  // of at most six digits); should the C library still refuse one, the count itself is shown.
  size_t length = 0;
  if (localtime_r(&when, &local))
    length = strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
  if (length == 0) {
    snprintf(text, sizeof(text), "%lld us", static_cast<long long>(time_us));
    return text;
  }
  snprintf(text + length, sizeof(text) - length, ".%06lld", static_cast<long long>(micros));
  return text;
}

const char* Viewer_Level_Name(uint32_t level) {
  static const char* const kNames[] = {"trace", "debug", "info", "warning", "error", "critical"};
  return kNames[level > 5 ? 5 : level];
}

void Viewer_Message_From_Log(const CClTextSink::sLog& log, const char* line, uint64_t length,
                             const std::string& host, sViewer_Message* out) {
  out->time_us = Viewer_Unix_Microseconds(log.absolute_time);
  out->host.assign(host, 0, sViewer_Message::kMax_Name);
  Assign(&out->channel, log.channel_name, log.channel_name_length, sViewer_Message::kMax_Name);
  out->level = log.level > 5 ? 5 : log.level;
  out->thread_id = log.thread_id;
  Assign(&out->thread, log.thread_name, log.thread_name_length, sViewer_Message::kMax_Name);
  Assign(&out->module, log.module_name, log.module_name_length, sViewer_Message::kMax_Name);
  if (log.descriptor) {
    Assign(&out->file, log.descriptor->file_name, log.descriptor->file_name_length,
           sViewer_Message::kMax_Name);
    out->line = log.descriptor->line;
    Assign(&out->function, log.descriptor->function, log.descriptor->function_length,
           sViewer_Message::kMax_Name);
  } else {
    out->file.clear();
    out->line = 0;
    out->function.clear();
  }
  Assign(&out->text, log.message, log.message_length, sViewer_Message::kMax_Text);
  Assign(&out->rendered, line, length, sViewer_Message::kMax_Text);
}
