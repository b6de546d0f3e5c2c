// RecordingJournal: an IJournal that keeps every entry (level, function, formatted message)
// instead of printing it, so tests can check which reports a component made.
//
// Ownership: lives on the test's stack; Add_Ref/Release only count (a component that holds a
// reference must have released it when the journal goes out of scope).
#ifndef TESTS_TRACE_NET_RECORDING_JOURNAL_H_
#define TESTS_TRACE_NET_RECORDING_JOURNAL_H_

#include <stdarg.h>
#include <stdio.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "trace/core/journal.h"

namespace net_test {

class RecordingJournal final : public IJournal {
 public:
  struct Entry {
    eLevel level;
    std::string function;
    std::string message;
  };

  ~RecordingJournal() override = default;

  bool Initialize(const char*) override { return true; }
  void Set_Verbosity(eLevel) override {}
  eLevel Get_Verbosity() override { return eTrace; }
  uint32_t Register_Thread(const char*, uint32_t) override { return 0; }
  uint32_t Unregister_Thread(uint32_t) override { return 0; }
  uint32_t Register_Module(const char*, void** module) override {
    if (module) *module = nullptr;
    return 0;
  }
  bool Log(eLevel level, void*, const char*, const char* function, uint32_t, const char* format,
           ...) override __attribute__((format(printf, 7, 8))) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.push_back({level, function ? function : "", text});
    return true;
  }
  uint64_t Get_Count(eLevel level) override {
    std::lock_guard<std::mutex> guard(mutex_);
    uint64_t count = 0;
    for (const Entry& entry : entries_) count += entry.level == level;
    return count;
  }
  int32_t Add_Ref() override { return ++refs_; }
  int32_t Release() override { return --refs_; }

  std::vector<Entry> Entries() {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_;
  }
  // Whether an entry of `level` from `function` reads exactly `message`.
  bool Has(eLevel level, const std::string& function, const std::string& message) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const Entry& entry : entries_) {
      if (entry.level == level && entry.function == function && entry.message == message)
        return true;
    }
    return false;
  }
  int32_t References() const { return refs_; }

 private:
  std::mutex mutex_;
  std::vector<Entry> entries_;
  std::atomic<int32_t> refs_{0};
};

}  // namespace net_test

#endif  // TESTS_TRACE_NET_RECORDING_JOURNAL_H_
