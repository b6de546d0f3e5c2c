// RecordingClient: an ITR_Client for tests that records, byte for byte, what its channels hand
// over. Every Sent call becomes one entry holding the concatenation of its chunks (exactly what a
// sink would put after its 4-byte user header). It can refuse Sent calls with a chosen code and
// lets a test drive the status a channel sees (On_Status), deliver server commands (On_Receive)
// and request the final flush (On_Flush). It owns its option strings for Get_Argument.
//
// Lifetime: heap-allocated, reference counted like a real client (1 at creation); a channel
// holds one reference while it lives. Tests usually keep their own reference and Release() it
// at the end.
//
// Thread-safety: every operation may be called from any thread. Like a real client it has two
// locks: channel_mutex_ (recursive) guards the channel table and is held while calling back into
// channels; data_mutex_ guards what Sent records and the status. Lock order: channel_mutex_, then
// a channel's own lock, then data_mutex_ (channels call Sent holding their lock).
#ifndef TESTS_SUPPORT_RECORDING_CLIENT_H_
#define TESTS_SUPPORT_RECORDING_CLIENT_H_

#include <stdint.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <mqtt-wrapper/TR.h>

#include "support/call_gate.h"

class RecordingClient final : public ITR_Client {
 public:
  explicit RecordingClient(std::vector<std::string> args = {}) : args_(std::move(args)) {}

  RecordingClient(const RecordingClient&) = delete;
  RecordingClient& operator=(const RecordingClient&) = delete;

  // --- ITR_Client ---
  eType Get_Type() override { return eNull; }
  uint32_t Add_Ref() override { return ++refs_; }
  uint32_t Release() override {
    uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  uint32_t Get_Status() override { return 0; }
  bool Get_Status(sTRC_Status* status) override {
    std::lock_guard<std::mutex> lock(data_mutex_);
    if (!status) return false;
    *status = status_;
    return true;
  }
  bool Get_Info(sTRC_Info* info) override {
    if (info) memset(info, 0, sizeof(*info));
    return info != nullptr;
  }
  uint32_t Register_Channel(ITRC_Channel* channel) override {
    std::lock_guard<std::recursive_mutex> lock(channel_mutex_);
    if (!channel) return eCode_Bad_Args;
    sTRC_Status status;
    {
      std::lock_guard<std::mutex> data(data_mutex_);
      if (refuse_registration_) return eCode_No_Slot;
      status = status_;
    }
    for (uint32_t id = 0; id < 32; ++id) {
      if (channels_[id]) continue;
      channels_[id] = channel;
      sTRC_Channel_Info info{id};
      channel->On_Init(&info);
      channel->On_Status(id, &status);
      return eCode_Ok;
    }
    return eCode_No_Slot;
  }
  uint32_t Unregister_Channel(uint32_t id) override {
    std::lock_guard<std::recursive_mutex> lock(channel_mutex_);
    if (id >= 32 || !channels_[id]) return eCode_Bad_Args;
    channels_[id] = nullptr;
    std::lock_guard<std::mutex> data(data_mutex_);
    ++unregistered_;
    return eCode_Ok;
  }
  uint32_t Sent(uint32_t id, sTRC_Data_Chunk* chunks, uint32_t count, uint32_t size) override {
    gate_.Pass();  // a closed gate holds the caller here, with its channel's lock held
    std::lock_guard<std::mutex> lock(data_mutex_);
    ++sent_calls_;
    if (!chunks || count == 0 || id >= 32) return eCode_Bad_Args;
    std::vector<uint8_t> bytes;
    bytes.reserve(size);
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* data = static_cast<const uint8_t*>(chunks[i].data);
      bytes.insert(bytes.end(), data, data + chunks[i].size);
    }
    if (bytes.size() != size) ++size_mismatches_;
    const uint32_t code = refuse_code_ == eCode_Ok && room_ && !room_() ? eCode_No_Room : refuse_code_;
    if (code != eCode_Ok) {
      refused_.push_back(std::move(bytes));
      return code;
    }
    packets_.push_back(std::move(bytes));
    return eCode_Ok;
  }
  bool Share(const char*) override { return false; }
  const char* Get_Argument(const char* prefix) override {
    if (!prefix) return nullptr;
    size_t length = strlen(prefix);
    for (const std::string& arg : args_) {
      if (arg.compare(0, length, prefix) == 0 && arg.size() >= length) return arg.c_str() + length;
    }
    return nullptr;
  }
  uint32_t Get_Channels_Count() override {
    std::lock_guard<std::recursive_mutex> lock(channel_mutex_);
    uint32_t count = 0;
    for (ITRC_Channel* channel : channels_) count += channel != nullptr;
    return count;
  }
  ITRC_Channel* Get_Channel(size_t index) override {
    std::lock_guard<std::recursive_mutex> lock(channel_mutex_);
    for (ITRC_Channel* channel : channels_) {
      if (channel && index-- == 0) {
        channel->Add_Ref();
        return channel;
      }
    }
    return nullptr;
  }
  void Flush() override {}
  bool Unshare() override { return true; }
  bool Close() override { return true; }

  // --- test controls ---
  // A closed gate makes every Sent call wait until it opens again, so a test can hold a channel's
  // lock (its caller waits in Sent) for as long as it likes.
  void Close_Gate() { gate_.Close(); }
  void Open_Gate() { gate_.Open(); }
  // Waits until a Sent call waits at the closed gate; false after `timeout`.
  bool Wait_At_Gate(std::chrono::milliseconds timeout) { return gate_.Wait_Held(timeout); }
  // Nonzero: every Sent call is refused with this code (its bytes go to Refused()).
  void Refuse(uint32_t code) {
    std::lock_guard<std::mutex> lock(data_mutex_);
    refuse_code_ = code;
  }
  // Set: a Sent call for which `room` returns false is refused with eCode_No_Room (a sink whose
  // room depends on who calls, or when). Called with the client's data lock held.
  void Room_When(std::function<bool()> room) {
    std::lock_guard<std::mutex> lock(data_mutex_);
    room_ = std::move(room);
  }
  // Register_Channel answers eCode_No_Slot (no callbacks), as a client with all slots taken.
  void Refuse_Registration(bool refuse) {
    std::lock_guard<std::mutex> lock(data_mutex_);
    refuse_registration_ = refuse;
  }
  // Sets the status reported at registration and, to every registered channel, now.
  void Set_Status(int32_t connected, uint32_t resets) {
    std::lock_guard<std::recursive_mutex> lock(channel_mutex_);
    sTRC_Status status{connected, resets};
    {
      std::lock_guard<std::mutex> data(data_mutex_);
      status_ = status;
    }
    for (uint32_t id = 0; id < 32; ++id) {
      if (channels_[id]) channels_[id]->On_Status(id, &status);
    }
  }
  // Status used for the next registrations only (no notification).
  void Preset_Status(int32_t connected, uint32_t resets) {
    std::lock_guard<std::mutex> lock(data_mutex_);
    status_ = sTRC_Status{connected, resets};
  }
  void Receive(uint32_t id, std::vector<uint8_t> data, uint32_t swap = 0) {
    std::lock_guard<std::recursive_mutex> lock(channel_mutex_);
    if (id < 32 && channels_[id]) {
      channels_[id]->On_Receive(id, data.data(), static_cast<uint32_t>(data.size()), swap);
    }
  }
  void Flush_Channel(uint32_t id) {
    std::lock_guard<std::recursive_mutex> lock(channel_mutex_);
    uint32_t flag = 1;
    if (id < 32 && channels_[id]) channels_[id]->On_Flush(id, &flag);
  }

  // Accepted Sent calls, each the concatenated bytes of its chunks.
  std::vector<std::vector<uint8_t>> Packets() {
    std::lock_guard<std::mutex> lock(data_mutex_);
    return packets_;
  }
  std::vector<std::vector<uint8_t>> Refused() {
    std::lock_guard<std::mutex> lock(data_mutex_);
    return refused_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(data_mutex_);
    packets_.clear();
    refused_.clear();
  }
  // Sent calls whose `size` differed from the sum of their chunks (must stay 0).
  uint32_t Size_Mismatches() {
    std::lock_guard<std::mutex> lock(data_mutex_);
    return size_mismatches_;
  }
  uint32_t Sent_Calls() {
    std::lock_guard<std::mutex> lock(data_mutex_);
    return sent_calls_;
  }
  uint32_t Unregistered() {
    std::lock_guard<std::mutex> lock(data_mutex_);
    return unregistered_;
  }
  uint32_t Refs() const { return refs_; }

 private:
  ~RecordingClient() override = default;

  std::atomic<uint32_t> refs_{1};
  CallGate gate_;
  const std::vector<std::string> args_;
  std::recursive_mutex channel_mutex_;
  ITRC_Channel* channels_[32] = {};  // guarded by channel_mutex_; not owned
  std::mutex data_mutex_;
  sTRC_Status status_{1, 0};                   // guarded by data_mutex_
  uint32_t refuse_code_ = eCode_Ok;            // guarded by data_mutex_
  std::function<bool()> room_;                  // guarded by data_mutex_
  bool refuse_registration_ = false;           // guarded by data_mutex_
  std::vector<std::vector<uint8_t>> packets_;  // guarded by data_mutex_
  std::vector<std::vector<uint8_t>> refused_;  // guarded by data_mutex_
  uint32_t size_mismatches_ = 0;               // guarded by data_mutex_
  uint32_t sent_calls_ = 0;                    // guarded by data_mutex_
  uint32_t unregistered_ = 0;                  // guarded by data_mutex_
};

#endif  // TESTS_SUPPORT_RECORDING_CLIENT_H_
