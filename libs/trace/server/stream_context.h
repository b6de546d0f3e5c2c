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
// ends the walk (the rest of it is not remembered).
//
// Memory: every kept record costs its bytes plus CMemory_Budget::kNode_Overhead for its heap
// block, and one more kNode_Overhead for each map entry it takes (modules, formats, threads; a
// thread start also takes an entry in the index by thread ID). The costs together never exceed
// kMax_Bytes, and, with a budget set, each cost is charged to the budget before anything is created
// for the record (no map entry, vector element or copy) and released when the record is forgotten
// or replaced. A record that does not fit is not kept (counted in Overflow); when the budget
// refused it, Over_Budget turns true for good (the owner then ends the client). Destroying the
// context releases nothing: the budget's owner drops the account with the client.
//
// Thread-safety: none; one owner.
#ifndef TRACE_SERVER_STREAM_CONTEXT_H_
#define TRACE_SERVER_STREAM_CONTEXT_H_

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "trace/base/memory_budget.h"

class CTRS_Stream_Context {
 public:
  class IObserver {
   public:
    // A channel described itself; `name` is its UTF-8 name.
    virtual void On_Channel(uint32_t channel, const std::string& name) = 0;
    // A channel registered (or described again) module `module_id` named `name`, whose level the
    // record gives as `level`.
    virtual void On_Module(uint32_t channel, uint16_t module_id, const std::string& name,
                           uint32_t level) = 0;
    // The channel reported a level of its own choosing (its Set_Verbosity): of module
    // `module_id`, or of the whole channel when it is 0.
    virtual void On_Verbosity(uint32_t /*channel*/, uint16_t /*module_id*/, uint32_t /*level*/) {}

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
  // Forgets everything (the client started over), releasing its charges.
  void Clear();

  // Charges the context's records to `budget` from now on (null: only kMax_Bytes bounds them).
  // What is kept moves from the previous budget to the new one; if the new one cannot take it,
  // everything is forgotten and Over_Budget turns true. `budget` must outlive the context's use
  // of it (until it is replaced or the context goes).
  void Set_Budget(CMemory_Budget* budget);

  // The cost of what is kept (see Memory).
  uint64_t Bytes() const { return m_Bytes; }
  uint64_t Overflow() const { return m_Overflow; }
  // A record was refused because the budget was exhausted.
  bool Over_Budget() const { return m_OverBudget; }
  // Whether `channel` has described itself and not closed.
  bool Is_Live(uint32_t channel) const { return channel < kChannels && m_Channels[channel].live; }

 private:
  using tRecord = std::vector<uint8_t>;
  struct sChannel {
    bool live = false;
    tRecord info;
    tRecord utc;
    // Thread starts by arrival, and the arrivals of each thread ID, earliest first (a stop
    // finds its start without walking the others).
    std::map<uint64_t, tRecord> threads;
    std::multimap<uint32_t, uint64_t> thread_ids;
    uint64_t next_thread = 0;
    std::map<uint16_t, tRecord> modules;
    std::map<uint16_t, tRecord> formats;
  };

  // The cost of a kept record of `size` bytes, and of one that also takes a container entry.
  static uint64_t Cost(uint64_t size) { return size + CMemory_Budget::kNode_Overhead; }
  static uint64_t Entry_Cost(uint64_t size) { return Cost(size) + CMemory_Budget::kNode_Overhead; }

  void Forget(sChannel* channel);
  // Accounts a change of cost from `old_cost` to `new_cost`: false (counted, nothing changed)
  // when it would pass kMax_Bytes or the budget refuses it.
  bool Reserve(uint64_t old_cost, uint64_t new_cost);
  void Give_Back(uint64_t cost);
  // Stores `record` into the plain record `slot` (info, UTC offset) within the bounds.
  void Keep(tRecord* slot, const uint8_t* record, uint32_t size);
  // Stores `record` as the entry `key` of `records` (the latest of each key) within the bounds.
  void Keep_Entry(std::map<uint16_t, tRecord>* records, uint16_t key, const uint8_t* record,
                  uint32_t size);
  void Keep_Thread(sChannel* channel, const uint8_t* record, uint32_t size);
  void Forget_Thread(sChannel* channel, uint32_t thread);
  // The cost of a thread start: its entry, and an index entry when it names a thread ID.
  static uint64_t Thread_Cost(uint64_t size);
  static uint64_t Cost_Of(const sChannel& channel);

  sChannel m_Channels[kChannels];
  uint64_t m_Bytes = 0;  // invariant: the sum of Cost_Of over the channels, at most kMax_Bytes
  uint64_t m_Overflow = 0;
  CMemory_Budget* m_Budget = nullptr;  // not owned; charged with m_Bytes
  bool m_OverBudget = false;
};

#endif  // TRACE_SERVER_STREAM_CONTEXT_H_
