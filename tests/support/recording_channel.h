// RecordingChannel: an ITRC_Channel for tests that records every call a client makes on it
// (On_Init, On_Status, On_Flush, On_Receive) in order. It is owned by the test (usually on the
// stack); Add_Ref/Release only count, so a test can check that a client handed out a reference.
// An optional hook runs inside On_Flush (for example to unregister the channel from within the
// client's callback).
//
// Thread-safety: all operations may be called from any thread; the log is guarded by a mutex.
#ifndef TESTS_SUPPORT_RECORDING_CHANNEL_H_
#define TESTS_SUPPORT_RECORDING_CHANNEL_H_

#include <stdint.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include <mqtt-wrapper/TR.h>

class RecordingChannel final : public ITRC_Channel {
 public:
  enum class Kind { Init, Status, Flush, Receive };

  struct Event {
    Kind kind;
    uint32_t id;                // slot ID passed with the call
    sTRC_Status status;         // On_Status only
    uint32_t flag;              // On_Flush only: the flag's value on entry
    std::vector<uint8_t> data;  // On_Receive only
    uint32_t swap;              // On_Receive only
  };

  RecordingChannel() = default;
  ~RecordingChannel() = default;
  RecordingChannel(const RecordingChannel&) = delete;
  RecordingChannel& operator=(const RecordingChannel&) = delete;

  uint32_t Get_Type() override { return 0; }
  uint32_t Add_Ref() override { return ++refs_; }
  uint32_t Release() override { return --refs_; }

  void On_Init(sTRC_Channel_Info* info) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(Event{Kind::Init, info != nullptr ? info->id : UINT32_MAX, {}, 0, {}, 0});
  }
  void On_Receive(uint32_t id, uint8_t* data, uint32_t size, uint32_t swap) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(
        Event{Kind::Receive, id, {}, 0, std::vector<uint8_t>(data, data + size), swap});
  }
  void On_Status(uint32_t id, const sTRC_Status* status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(
        Event{Kind::Status, id, status != nullptr ? *status : sTRC_Status{-1, 0}, 0, {}, 0});
  }
  void On_Flush(uint32_t id, uint32_t* flag) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(Event{Kind::Flush, id, {}, flag != nullptr ? *flag : UINT32_MAX, {}, 0});
    }
    if (on_flush_) on_flush_(id);
  }

  // Runs after an On_Flush call has been recorded, on the calling thread.
  void Set_Flush_Hook(std::function<void(uint32_t id)> hook) { on_flush_ = std::move(hook); }

  std::vector<Event> Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }
  // The ID given by the last On_Init, or UINT32_MAX when none arrived.
  uint32_t Id() const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
      if (it->kind == Kind::Init) return it->id;
    }
    return UINT32_MAX;
  }
  int32_t Refs() const { return refs_; }

 private:
  mutable std::mutex mutex_;
  std::vector<Event> events_;  // guarded by mutex_
  std::atomic<int32_t> refs_{1};
  std::function<void(uint32_t)> on_flush_;  // set before the channel is used
};

#endif  // TESTS_SUPPORT_RECORDING_CHANNEL_H_
