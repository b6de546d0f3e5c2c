// CallGate: holds the threads that pass it while it is closed, so a test can keep a caller still
// at a chosen point (inside a sink's Sent, a text output's Log) for as long as it likes.
//
// Thread-safety: every operation may be called from any thread. Its mutex is innermost: Pass may
// be called with any other lock held.
#ifndef TESTS_SUPPORT_CALL_GATE_H_
#define TESTS_SUPPORT_CALL_GATE_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

class CallGate {
 public:
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  // Returns at once while the gate is open; else waits until it opens.
  void Pass() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (open_) return;
    ++held_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
    --held_;
  }
  // Waits until a caller is held at the closed gate; false after `timeout`.
  bool Wait_Held(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return held_ > 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = true;  // guarded by mutex_
  int held_ = 0;      // guarded by mutex_
};

#endif  // TESTS_SUPPORT_CALL_GATE_H_
