// CTRS_Stream_Context: what a reader needs to decode a client's stream from any point on, kept
// per channel so that a server writing the stream into rolling files can begin every new file
// with it (each file then decodes by itself, as the binary file sink's files do, where the
// channels describe themselves again at every roll).
//
// Per channel, from its information record on: the information and UTC offset records, the
// thread start records of the live threads (a thread stop removes the first start of that ID),
// the module records by module ID and the format descriptors by trace ID (the latest of each).
// A close record forgets the channel; a new information record starts it over (a new channel in
// the slot, or the channel describing itself again after a reconnection).
//
// Replay hands back those records, channel by channel, framed as user-data chunks
// (sTRC_User_Header + records) of at most kMax_Chunk bytes each, in the order a channel sends
// them after a reconnection: information, UTC offset, threads, modules, descriptors.
//
// The observer hears of every information record (channel name) and module record as they pass,
// which is when a server can send commands that name them.
//
// Robustness: records are walked with their sizes checked against the chunk; a malformed chunk
// ends the walk (the rest of it is not remembered). Memory is bounded by kMax_Bytes of kept
// records per context; records beyond it are not kept (counted in Overflow).
//
// Thread-safety: none; one owner.
#ifndef TRACE_SERVER_STREAM_CONTEXT_H_
#define TRACE_SERVER_STREAM_CONTEXT_H_

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

class CTRS_Stream_Context {
 public:
  class IObserver {
   public:
    // A channel described itself; `name` is its UTF-8 name.
    virtual void On_Channel(uint32_t channel, const std::string& name) = 0;
    // A channel registered (or described again) module `module_id` named `name`.
    virtual void On_Module(uint32_t channel, uint16_t module_id, const std::string& name) = 0;

   protected:
    ~IObserver() = default;
  };

  static constexpr uint64_t kMax_Bytes = 16u << 20;
  static constexpr uint32_t kMax_Chunk = 0x20000;
  static constexpr uint32_t kChannels = 32;

  // Walks the records of one user-data chunk of `channel` (payload without its header).
  // `observer` may be null.
  void Feed(uint32_t channel, const uint8_t* payload, uint32_t size, IObserver* observer);
  // Appends the context as user-data chunks to `out`.
  void Replay(std::vector<uint8_t>* out) const;
  // Forgets everything (the client started over).
  void Clear();

  uint64_t Bytes() const { return m_Bytes; }
  uint64_t Overflow() const { return m_Overflow; }
  // Whether `channel` has described itself and not closed.
  bool Is_Live(uint32_t channel) const { return channel < kChannels && m_Channels[channel].live; }

 private:
  using tRecord = std::vector<uint8_t>;
  struct sChannel {
    bool live = false;
    tRecord info;
    tRecord utc;
    std::vector<tRecord> threads;
    std::map<uint16_t, tRecord> modules;
    std::map<uint16_t, tRecord> formats;
  };

  void Forget(sChannel* channel);
  // Stores `record` into `slot` within the memory bound.
  void Keep(tRecord* slot, const uint8_t* record, uint32_t size);
  static uint64_t Size_Of(const sChannel& channel);

  sChannel m_Channels[kChannels];
  uint64_t m_Bytes = 0;
  uint64_t m_Overflow = 0;
};

#endif  // TRACE_SERVER_STREAM_CONTEXT_H_
