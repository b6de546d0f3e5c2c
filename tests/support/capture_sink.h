// CaptureSink: a text output for tests that keeps every line (and the fields it came with).
// Optionally blocks inside Log until released, to hold a text client's worker still.
#ifndef TESTS_SUPPORT_CAPTURE_SINK_H_
#define TESTS_SUPPORT_CAPTURE_SINK_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <mqtt-wrapper/TRTextSink.h>

#include "support/call_gate.h"

namespace text_test {

class CaptureSink : public CClTextSink {
 public:
  struct Line {
    std::string text;
    uint32_t level;
    std::string thread;
    std::string module;
    std::string message;
  };

  uint32_t Initialize(char**, int) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++initialized_;
    return 0;
  }
  uint32_t Log(const sLog* log, const char* line, uint64_t length) override {
    std::unique_lock<std::mutex> lock(mutex_);
    lines_.push_back(Line{std::string(line, length), log->level, log->thread_name, log->module_name,
                          std::string(log->message, log->message_length)});
    changed_.notify_all();
    lock.unlock();
    gate_.Pass();
    return 0;
  }
  uint32_t DumpBuffers() override { return 0; }

  std::vector<Line> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> texts;
    for (const Line& line : lines_) texts.push_back(line.text);
    return texts;
  }
  // Waits until at least `count` lines arrived; false after `timeout`.
  bool Wait_Lines(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return lines_.size() >= count; });
  }
  void Block() { gate_.Close(); }
  bool Wait_Blocked(std::chrono::milliseconds timeout) { return gate_.Wait_Held(timeout); }
  void Release() { gate_.Open(); }
  int Initialized() {
    std::lock_guard<std::mutex> lock(mutex_);
    return initialized_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Line> lines_;  // guarded by mutex_
  int initialized_ = 0;      // guarded by mutex_
  CallGate gate_;
};

}  // namespace text_test

#endif  // TESTS_SUPPORT_CAPTURE_SINK_H_
