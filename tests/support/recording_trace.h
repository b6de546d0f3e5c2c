// RecordingTrace: an ITR_Trace test double that records every Trace call (level, format, the
// printf-formatted text, call site) so a test can check exact log formats and levels. Install it
// as the process's channel with ScopedTraceInstall; the facade's TR::getTrace() then returns it.
//
// For code that ends its process (signal handlers, exit paths), Echo_To(fd) also writes each
// record at once, unbuffered, as one line to a descriptor (a forked child's standard output), and
// Parse_Echo turns such output back into records.
//
// Thread-safety: all operations may be called from any thread; the records are guarded by a mutex.
// Ownership: owned by the test; Add_Ref/Release only count.
#ifndef TESTS_SUPPORT_RECORDING_TRACE_H_
#define TESTS_SUPPORT_RECORDING_TRACE_H_

#include <stdarg.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <mqtt-wrapper/TR.h>
#include <mqtt-wrapper/trhelper.h>

namespace mqw_test {

class RecordingTrace final : public ITR_Trace {
 public:
  struct Record {
    eTRTrace_Level level = TRL_TRACE;
    std::string format;
    std::string text;  // the format applied to the arguments
    std::string function;
    std::string file;
    uint16_t line = 0;
  };

  RecordingTrace() = default;
  ~RecordingTrace() override = default;
  RecordingTrace(const RecordingTrace&) = delete;
  RecordingTrace& operator=(const RecordingTrace&) = delete;

  std::vector<Record> Records() const;
  // Records with this level and exactly this format.
  std::vector<Record> Matching(eTRTrace_Level level, const std::string& format) const;
  size_t Count(eTRTrace_Level level, const std::string& format) const;
  // Waits until a record with this level and format exists; false after `timeout_ms`.
  bool Wait_For(eTRTrace_Level level, const std::string& format, unsigned timeout_ms) const;
  void Clear();
  // Also writes each record as one line to `fd` (-1: stop).
  void Echo_To(int fd) { m_EchoFd = fd; }
  // Runs after each record has been added, on the tracing thread (set before use).
  void Set_Hook(std::function<void(const Record&)> hook) { m_Hook = std::move(hook); }
  static std::vector<Record> Parse_Echo(const std::string& output);

  // ITRC_Channel
  uint32_t Get_Type() override { return 0; }
  uint32_t Add_Ref() override { return ++m_Refs; }
  uint32_t Release() override { return --m_Refs; }
  void On_Init(sTRC_Channel_Info*) override {}
  void On_Receive(uint32_t, uint8_t*, uint32_t, uint32_t) override {}
  void On_Status(uint32_t, const sTRC_Status*) override {}
  void On_Flush(uint32_t, uint32_t*) override {}

  // ITR_Trace
  void Set_Verbosity(void*, eTRTrace_Level) override {}
  eTRTrace_Level Get_Verbosity(void*) override { return TRL_TRACE; }
  bool Register_Thread(const char*, uint32_t) override { return true; }
  bool Unregister_Thread(uint32_t) override { return true; }
  bool Register_Module(const char*, void** module) override;
  bool Share(const char*) override { return false; }
  bool Trace(uint16_t id, eTRTrace_Level level, void* module, uint16_t line, const char* file,
             const char* function, const char* format, ...) override
      __attribute__((format(printf, 8, 9)));
  bool Trace_Embedded(uint16_t, eTRTrace_Level, void*, uint16_t, const char*, const char*,
                      const char**) override {
    return false;
  }
  bool Trace_Embedded(uint16_t, eTRTrace_Level, void*, uint16_t, const char*, const char*,
                      const char**, va_list*) override {
    return false;
  }
  bool Trace_Managed(uint16_t id, eTRTrace_Level level, void* module, uint16_t line,
                     const char* file, const char* function, const char* message) override;

 private:
  void Add(Record record);

  mutable std::mutex m_Mutex;
  mutable std::condition_variable m_Added;  // notified under m_Mutex's protection of m_Records
  std::vector<Record> m_Records;            // guarded by m_Mutex
  std::atomic<int> m_EchoFd{-1};
  std::atomic<uint32_t> m_Refs{1};
  std::function<void(const Record&)> m_Hook;  // set before the channel is used
};

// Installs a channel as TR::l_pTrace for its scope and restores the previous one afterwards.
// Inline, so that only tests which link the facade need its globals.
class ScopedTraceInstall {
 public:
  explicit ScopedTraceInstall(ITR_Trace* trace) : m_Previous(TR::l_pTrace) { TR::l_pTrace = trace; }
  ~ScopedTraceInstall() { TR::l_pTrace = m_Previous; }
  ScopedTraceInstall(const ScopedTraceInstall&) = delete;
  ScopedTraceInstall& operator=(const ScopedTraceInstall&) = delete;

 private:
  ITR_Trace* m_Previous;
};

// For a forked child that ends its process: creates a console client and one channel on it and
// installs them as the facade's globals (TR::l_pClient, TR::l_pTrace), where the process's exit
// path finds them to flush and close. Both stay for the rest of the process. Returns 0, or the
// child's exit status for a failure: 97 when the client cannot be created, 98 for the channel.
// Inline for the same reason as ScopedTraceInstall.
inline int Install_Console_Trace() {
  ITR_Client* client = TR_Create_Client("/TR.Sink=Console");
  if (client == nullptr) return 97;
  ITR_Trace* channel = TR_Create_Trace(client, "Trace channel 1", nullptr);
  if (channel == nullptr) return 98;
  TR::l_pClient = client;
  TR::l_pTrace = channel;
  return 0;
}

}  // namespace mqw_test

#endif  // TESTS_SUPPORT_RECORDING_TRACE_H_
