// sViewer_Message: one trace message as the viewer shows it, copied out of the stream reader's
// borrowed fields (CClTextSink::sLog) so that it outlives the Log call: the live ring keeps it,
// a stored query filters and pages it, the JSON layer writes it.
//
// Texts are cut to fixed lengths (kMax_Text for the message and the rendered line, kMax_Name for
// names) so that the memory one message takes has a bound that the live ring's cap multiplies.
//
// Thread-safety: plain values.
#ifndef TRACE_VIEWER_VIEWER_MESSAGE_H_
#define TRACE_VIEWER_VIEWER_MESSAGE_H_

#include <stdint.h>

#include <string>

#include <mqtt-wrapper/TRTextSink.h>

struct sViewer_Message {
  static constexpr size_t kMax_Text = 2048;
  static constexpr size_t kMax_Name = 128;

  uint64_t sequence = 0;  // live: the ring's number; stored: the ordinal in the scanned source
  int64_t time_us = 0;    // microseconds since 1970-01-01 UTC
  std::string host;       // the client's directory name, or the stored source's
  std::string channel;
  uint32_t level = 0;  // 0 trace .. 5 critical
  uint32_t thread_id = 0;
  std::string thread;
  std::string module;
  std::string file;
  uint32_t line = 0;
  std::string function;
  std::string text;
  std::string rendered;  // the whole line in the line format (export as text)
};

// Fills `out` from `log` and its rendered `line`, reusing the capacity of out's strings (the ring
// overwrites its slots this way without allocating once they have grown).
void Viewer_Message_From_Log(const CClTextSink::sLog& log, const char* line, uint64_t length,
                             const std::string& host, sViewer_Message* out);

// 100-ns units since 1601-01-01 UTC to microseconds since 1970-01-01 UTC; defined for every
// input (the whole uint64_t range maps into int64_t).
int64_t Viewer_Unix_Microseconds(uint64_t absolute_time);

// Local time of `time_us` as "YYYY-MM-DD hh:mm:ss.uuuuuu" (written only for what is shown, never
// while scanning); any value is taken (years beyond 9999 get more digits, before year 0 a sign).
std::string Viewer_Local_Time(int64_t time_us);

// "trace" .. "critical"; "critical" for anything above 5.
const char* Viewer_Level_Name(uint32_t level);

#endif  // TRACE_VIEWER_VIEWER_MESSAGE_H_
