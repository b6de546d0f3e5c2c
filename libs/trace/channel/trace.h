// CTRTrace: a trace channel. It registers with one client as one of its 32 channels, keeps what a
// reader needs to decode its records (channel information, live threads, modules, call-site
// descriptors), filters calls by verbosity per channel and per module, and turns each passing
// call into trace stream records handed to the client with Sent.
//
// Delivery: records that describe the channel (information, UTC offset, thread start and stop,
// module) stay pending until a Sent succeeds; a refused trace call is dropped (false) but leaves
// them pending, and the descriptor that travelled with it counts as unsent. When the sink reports
// a new connection (a new `resets` while connected) the whole context is queued again and every
// descriptor is sent again before its next data record.
//
// Ownership: reference counted (1 at creation; deleted by the last Release). The channel holds
// one reference to its client for its whole life and unregisters itself before it dies.
// Descriptors live in the channel's arena; thread, stop and module records live in blocks that
// never move, so a module handle stays valid for the channel's life.
//
// Loss: calls refused by the client (no room, sink off; also calls dropped while the sink
// reported no connection, or for lack of memory) and records a sink discarded after accepting
// them (On_Loss) are counted per reason. The first record the channel delivers afterwards from a
// trace call (or its final flush) is preceded, in the same Sent, by one data record of the
// engine's own: a warning of its own call site (module none, the calling thread) that gives the
// counts since the last such record; the counts start again from zero once it is delivered.
// Lost_Calls() gives the total since creation.
//
// Staging: the first trace call that finds the channel lock held by another thread puts the
// channel in staging mode. From then on its printf-style calls without a fixed ID (on a channel
// with the built-in timer) that pass the level filter never take the lock: each packs its
// complete record into a ring of its own thread and returns true (a thread's first call of a call
// site takes the lock once, to find the site's descriptor). A channel whose sink delivers no
// sooner than its own writer, Flush or Close (CClient::Defers_Delivery: the binary file sink) is
// in staging mode from its creation on, so a single thread pays no lock either. The staging
// room (CTrace_Staging, trace_staging.h) owns the rings, the hand-off to the drainer and the
// merge; the channel gives it the lock-held side: numbering, descriptors, the loss report and the
// Sent. The lock's holders merge before anything else they send (a locked call, a thread stop,
// the final flush, the sink's Flush), a stager merges every CTrace_Staging::kBudget calls if the
// lock is free, and otherwise the process's staging drainer (staging_drainer.h) does within a
// few milliseconds.
// The merge numbers records with the call counter and clamps their timers to what the channel
// already wrote, sends each descriptor before its first record, and hands them over in batches.
// A batch the sink refuses for lack of room stays staged: a staged call was told "accepted" and
// is never dropped for room; a full ring sends its thread the locked way, where the sink's
// refusal counts as a loss as always, and a thread whose staged records the sink has no room for
// is refused until they went. A batch refused because the sink is off is dropped and counted like
// records a sink discarded; so are records still staged when the channel closes. The call
// counter counts filtered calls when they are made; staged records take their numbers when
// merged, so a sequence gap shows filtered calls between the records, not exactly where they
// fell.
//
// Thread-safety: every operation may be called from any thread. The members below come in four
// groups: immutable after creation; guarded by m_Lock (recursive; clang checks each access,
// including those of the callbacks from the client); lock-free, each with its memory order
// (mirrors of guarded state that the unlocked path reads, or self-synchronised counters); and the
// staging room, which synchronises itself (trace_staging.h).
//
// Lock order of the channel subsystem: the client's channel lock (held by the client around
// On_Init, On_Status and On_Flush), then m_Lock, then the sink's locks (Sent is called with
// m_Lock held). The staging drainer's registry mutex comes before m_Lock, which it only tries. The
// channel takes the client's channel lock only through Register_Channel during creation and
// Unregister_Channel during destruction, and never while holding m_Lock. The locks belong to
// different objects, so the order is stated here rather than declared to the compiler.
#ifndef TRACE_CHANNEL_TRACE_H_
#define TRACE_CHANNEL_TRACE_H_

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include <mqtt-wrapper/TR.h>

#include "trace/base/clocks.h"
#include "trace/base/hot_lock.h"
#include "trace/base/lock.h"
#include "trace/base/thread_annotations.h"
#include "trace/channel/data_block.h"
#include "trace/channel/desc_tree.h"
#include "trace/channel/memory_manager.h"
#include "trace/channel/modules_tree.h"
#include "trace/channel/staging_drainer.h"
#include "trace/channel/trace_desc.h"
#include "trace/channel/trace_staging.h"
#include "trace/core/loss_listener.h"
#include "trace/core/shared.h"
#include "trace/format/trace_format.h"

class CTRTrace final : public ITR_Trace,
                       public ILoss_Listener,
                       public IStaged_Source,
                       private CTrace_Staging::ITarget {
 public:
  static constexpr uint32_t kMax_Start_Blocks = 4;    // 128 live thread start records
  static constexpr uint32_t kMax_Stop_Blocks = 4;     // 128 undelivered thread stop records
  static constexpr uint32_t kMax_Module_Blocks = 16;  // 512 modules
  static constexpr uint32_t kFixed_IDs = 1024;        // IDs 1..1023 are the callers' own
  static constexpr uint16_t kLast_Dynamic_ID = 0xFFFF;
  static constexpr uint32_t kInitial_Chunks = 256;
  static constexpr uint32_t kInitial_Arg_Values = 256;  // bytes
  static constexpr uint32_t kThread_Name_Bytes = 47;
  static constexpr uint32_t kModule_Name_Bytes = 53;
  static constexpr uint32_t kMax_Modules =
      kMax_Module_Blocks * sData_Block<sTRTrace_Module>::kRecords;
  // How long the final flush waits for a sink that takes no staged record before it gives up.
  static constexpr int kFinal_Patience_ms = 1000;

  // Creates a registered, active channel, or returns null leaving the calling thread's last
  // error (8 no client, 2 out of memory, 9 refused by the client). `arena_limit` caps the
  // descriptor arena (the public factory uses CMemoryManager::kDefault_Limit).
  static CTRTrace* Create(ITR_Client* client, const char* name, const stTrace_Conf* conf,
                          uint64_t arena_limit = CMemoryManager::kDefault_Limit);

  CTRTrace(const CTRTrace&) = delete;
  CTRTrace& operator=(const CTRTrace&) = delete;

  // ITRC_Channel
  uint32_t Get_Type() override { return 0; }
  uint32_t Add_Ref() override;
  uint32_t Release() override;
  void On_Init(sTRC_Channel_Info* info) override;
  void On_Receive(uint32_t id, uint8_t* data, uint32_t size, uint32_t swap) override;
  void On_Status(uint32_t id, const sTRC_Status* status) override;
  void On_Flush(uint32_t id, uint32_t* flag) override;

  // ITR_Trace
  void Set_Verbosity(void* module, eTRTrace_Level level) override;
  eTRTrace_Level Get_Verbosity(void* module) override;
  bool Register_Thread(const char* name, uint32_t thread_id) override;
  bool Unregister_Thread(uint32_t thread_id) override;
  bool Register_Module(const char* name, void** module) override;
  bool Share(const char* name) override;
  bool Trace(uint16_t id, eTRTrace_Level level, void* module, uint16_t line, const char* file,
             const char* function, const char* format, ...) override
      __attribute__((format(printf, 8, 9)));
  bool Trace_Embedded(uint16_t id, eTRTrace_Level level, void* module, uint16_t line,
                      const char* file, const char* function, const char** format) override;
  bool Trace_Embedded(uint16_t id, eTRTrace_Level level, void* module, uint16_t line,
                      const char* file, const char* function, const char** format,
                      va_list* args) override;
  bool Trace_Managed(uint16_t id, eTRTrace_Level level, void* module, uint16_t line,
                     const char* file, const char* function, const char* message) override;

  // ILoss_Listener: `records` accepted records were discarded by the sink. Called with the
  // client's channel lock held; takes the channel lock.
  void On_Loss(uint32_t records, uint64_t bytes, eLoss_Reason reason) override;

  // The channel's slot ID at its client.
  uint32_t Get_ID();

  // Trace calls lost since creation: refused or dropped for a reason counted above, plus
  // records the sink discarded after accepting them. Any thread, no lock.
  uint64_t Lost_Calls() const { return m_Lost_Total.load(std::memory_order_relaxed); }

  // Format of the channel's loss report (one 32-bit count per eLoss_Reason, in order).
  static const char kLoss_Format[];

  // IStaged_Source (the staging drainer, the sink's Flush).
  bool Has_Staged() const override;
  void Merge_Staged() override;
  void Try_Merge_Staged() override TR_EXCLUDES(m_Lock);
  uint64_t Staged_Bytes() const override { return m_Staging.Staged_Bytes(); }
  // Whether the channel is in staging mode (any thread; a moment's view, for tests and tools).
  bool Staging_Active() const { return m_Staging.Active(); }

 private:
  using eStaged = CTrace_Staging::eStaged;
  using eBatch = CTrace_Staging::eBatch;

  // Per-site cache in front of the call-site tree: most calls find their descriptor here.
  struct sSite_Cache {
    const void* function;
    const void* format;
    CTRTrace_Desc* desc;
  };
  static constexpr uint32_t kSite_Cache = 256;

  CTRTrace(ITR_Client* client, const stTrace_Conf* conf, uint64_t arena_limit);
  ~CTRTrace() override;

  // Creation steps 2..6; false with the last error set.
  bool Init(const char* name);

  // Packs one printf-style call (format passed by address) and hands it over: staged while the
  // channel is in staging mode, else under the lock.
  bool Trace_Raw(uint16_t id, eTRTrace_Level level, void* module, uint16_t line, const char* file,
                 const char* function, const char** format, va_list* args);
  // The locked part of Trace_Raw. While the channel stages, *remember is set to the site's
  // descriptor for the caller to remember once the lock is released.
  bool Trace_Locked(uint16_t id, eTRTrace_Level level, void* module, uint16_t line,
                    const char* file, const char* function, const char** format, va_list* args,
                    CTRTrace_Desc** remember) TR_REQUIRES(m_Lock);
  // Offers one call to the staging path: the channel's open state and level filter first (the
  // same filter as the locked way), then the staging room. Signal-safe and allocation-free.
  eStaged Stage_Call(eTRTrace_Level level, void* module, const char* function, const char** format,
                     va_list* args);
  // Merges every staged record into the stream; returns how many rings held some.
  uint32_t Drain_Staged() TR_REQUIRES(m_Lock) { return m_Staging.Merge(m_Lock); }

  // CTrace_Staging::ITarget: the lock-held side of a merge (see trace_staging.h).
  bool Begin_Batch(sTRC_Data_Chunk** chunk, uint64_t* size) override TR_REQUIRES(m_Lock);
  bool Add_Record(CTRTrace_Desc* desc, sTRTrace_Data* record, uint32_t record_size,
                  sTRC_Data_Chunk** chunk, uint64_t* size) override TR_REQUIRES(m_Lock);
  eBatch End_Batch(sTRC_Data_Chunk* end, uint64_t size, uint32_t records) override
      TR_REQUIRES(m_Lock);
  bool Try_Merge() override TR_EXCLUDES(m_Lock);

  // The first step of every locked trace call: merges what is staged, then counts the call.
  // False when this thread's own staged records still wait (the sink has no room for them): the
  // call must not overtake them and is refused for no room.
  __attribute__((always_inline)) bool Begin_Locked_Call() TR_REQUIRES(m_Lock) {
    if (__builtin_expect(m_Staging.Merge_Due(), 0)) {
      Drain_Staged();
      if (m_Staging.Merge_Due_For_Caller()) {
        Count_Call();
        return false;
      }
    }
    Count_Call();
    return true;
  }
  // Counts one call; returns the counter after it.
  uint32_t Count_Call() TR_REQUIRES(m_Lock) {
    if (__builtin_expect(m_Filtered_Unlocked.load(std::memory_order_relaxed) != 0, 0)) {
      m_Counter += m_Filtered_Unlocked.exchange(0, std::memory_order_relaxed);
    }
    return ++m_Counter;
  }
  // The level filter of printf-style calls, locked and staged alike: below the module's level
  // (with a module) or the channel's (without). Reads the mirrors, so it needs no lock.
  bool Filtered(eTRTrace_Level level, const sTRTrace_Module* mod) const {
    return mod ? level < Module_Level(mod) : level < m_Verbosity.load(std::memory_order_relaxed);
  }
  // Level a call with a module must reach, as the unlocked path reads it.
  eTRTrace_Level Module_Level(const sTRTrace_Module* mod) const {
    return static_cast<eTRTrace_Level>(
        m_Module_Levels[(mod->id - 1u) % kMax_Modules].load(std::memory_order_relaxed));
  }
  // Sets a module's level in its record and in the mirror the unlocked path reads.
  void Set_Module_Level(sTRTrace_Module* mod, uint32_t level) TR_REQUIRES(m_Lock);

  // Counts `calls` lost calls for `reason`; returns false (the trace call's result).
  bool Lose(eLoss_Reason reason, uint32_t calls = 1) TR_REQUIRES(m_Lock);
  // Adds lost calls to the waiting report, or to the next one when records staged after the
  // waiting report's gap are still undelivered (they stand between the two gaps).
  void Count_Loss(uint32_t index, uint64_t calls) TR_REQUIRES(m_Lock);
  // Before a report that follows every gap (a locked call's, the final flush's): the next gap's
  // counts join the waiting report.
  void Fold_Next_Loss() TR_REQUIRES(m_Lock);
  // Appends the loss report (its descriptor first when due) at `chunk` when losses are waiting;
  // returns the position after it and adds its bytes to `size`. *with_desc tells whether the
  // descriptor travels. `chunk` has room for kLoss_Chunks entries.
  sTRC_Data_Chunk* Add_Loss_Report(sTRC_Data_Chunk* chunk, uint64_t* size, bool* with_desc)
      TR_REQUIRES(m_Lock);
  // After the hand-over that carried a loss report: delivered clears the counts, refused marks
  // its descriptor unsent again.
  void Loss_Report_Done(bool delivered, bool with_desc) TR_REQUIRES(m_Lock);
  // The loss report's descriptor, created on first use; null when it cannot be.
  CTRTrace_Desc* Loss_Desc() TR_REQUIRES(m_Lock);

  // Steps shared by both kinds of locked call, in order: the first chunk of the call (the
  // descriptor when due; `size` starts from the pending bytes), then the data header plus
  // hand-over (false when refused; the descriptor then counts as unsent).
  sTRC_Data_Chunk* Begin_Call(CTRTrace_Desc* desc, bool* with_desc, uint64_t* size)
      TR_REQUIRES(m_Lock);
  bool Finish_Call(CTRTrace_Desc* desc, eTRTrace_Level level, sTRC_Data_Chunk* header,
                   sTRC_Data_Chunk* end, uint64_t size, uint64_t record_size, bool with_desc)
      TR_REQUIRES(m_Lock);

  // Descriptor of a printf-style site / of an already formatted site; null: drop the call.
  CTRTrace_Desc* Find_Desc(uint16_t id, uint16_t module_id, uint16_t line, const char* file,
                           const char* function, const char** format) TR_REQUIRES(m_Lock);
  CTRTrace_Desc* Find_Managed_Desc(uint16_t id, uint16_t module_id, uint16_t line, const char* file,
                                   const char* function) TR_REQUIRES(m_Lock);
  // Allocates a descriptor in the arena; the managed form when `format` is null.
  CTRTrace_Desc* New_Desc(uint16_t id, uint16_t module_id, uint16_t line, const char* file,
                          const char* function, const char** format, const uint64_t* key)
      TR_REQUIRES(m_Lock);
  // The next dynamic ID, or 0 when all are used.
  uint16_t Next_Dynamic_ID() TR_REQUIRES(m_Lock);

  // Makes room for `extra` chunks after the pending ones; false when memory is short.
  bool Reserve_Chunks(uint32_t extra) TR_REQUIRES(m_Lock) {
    return uint64_t{m_Pending_Count} + extra <= m_Chunks_Capacity || Grow_Chunks(extra);
  }
  bool Grow_Chunks(uint32_t extra) TR_REQUIRES(m_Lock);
  // Appends a record to the pending chunks, lengthening the last one when the record follows it
  // in memory.
  bool Queue_Record(const void* record, uint32_t size) TR_REQUIRES(m_Lock);
  // Hands the first `count` chunks (`size` bytes) to the client, once more after yielding the
  // processor when it had no room. On success the pending chunks are cleared and delivered
  // thread stops retire their start records.
  // Returns the client's code (eCode_Ok when delivered).
  uint32_t Send(uint32_t count, uint32_t size) TR_REQUIRES(m_Lock);
  // True when records may be handed over now.
  bool Can_Send() const TR_REQUIRES(m_Lock) { return m_Active && m_Status.connected; }
  // Publishes Can_Send for the unlocked path after m_Active or m_Status changed.
  void Update_Open() TR_REQUIRES(m_Lock) { m_Open.store(Can_Send(), std::memory_order_relaxed); }
  // Sends the pending chunks when connected; false when nothing was delivered.
  bool Flush_Pending() TR_REQUIRES(m_Lock);
  // Queues the whole context again after a new connection.
  void Queue_Context() TR_REQUIRES(m_Lock);
  // Removes the first live start record of `thread_id`, if any.
  void Remove_Start(uint32_t thread_id) TR_REQUIRES(m_Lock);
  // Drops the start records of delivered stops, then the stops themselves.
  void Retire_Stops() TR_REQUIRES(m_Lock);
  // Waits, holding no lock across its sleeps, until the sink has taken the staged records, the
  // channel cannot send, or kFinal_Patience_ms pass without progress (the channel's destructor,
  // before its final flush).
  void Settle_Staged() TR_EXCLUDES(m_Lock);
  // Final flush: close record after the pending chunks; the channel becomes inactive. Staged
  // records the sink cannot take at once count as lost: it never waits under the lock.
  void Final_Flush() TR_REQUIRES(m_Lock);
  // Module record at 1-based `module_id` in block order, or null.
  sTRTrace_Module* Module_By_ID(uint16_t module_id) TR_REQUIRES(m_Lock);
  // The channel's timer now: the caller's, or the built-in one (Channel_Timer, at the frequency
  // of the information record), never below a value the channel already wrote.
  uint64_t Timer() TR_REQUIRES(m_Lock) {
    if (m_Conf.get_timer) return m_Conf.get_timer(m_Conf.context);
    const uint64_t now = Channel_Timer();
    if (__builtin_expect(now > m_Last_Timer, 1)) m_Last_Timer = now;
    return m_Last_Timer;
  }
  // Removes the channel's shared-registry entry, if any.
  void Remove_Shared();

  // Loss report: counts by eLoss_Reason since the last delivered report, its descriptor, and the
  // record (data header, three counts, trailer).
  static constexpr uint32_t kLoss_Reasons = 3;
  static constexpr uint32_t kLoss_Chunks = 2;
  struct sLoss_Record {
    sTRTrace_Data data;
    uint64_t counts[kLoss_Reasons];
    uint8_t trailer;
  };
  static constexpr uint32_t kLoss_Record_Size = offsetof(sLoss_Record, trailer) + 1;

  // ---- Immutable after creation (set by the constructor; read without a lock).
  ITR_Client* const m_Client;  // one reference held for the channel's life
  stTrace_Conf m_Conf;         // copy of the creation settings (zeros when none)

  // ---- Guarded by m_Lock, the channel lock. Taken after the client's channel lock (On_*
  // callbacks) and before the sink's locks (Sent); recursive, since a channel callback may
  // re-enter the channel. On cache lines of their own: a merge writes the lock and these fields,
  // which a staged call never reads.
  alignas(64) CHot_Lock m_Lock;
  uint32_t m_ID TR_GUARDED_BY(m_Lock) = 0;
  bool m_Active TR_GUARDED_BY(m_Lock) = false;
  bool m_Registered TR_GUARDED_BY(m_Lock) = false;
  sTRC_Status m_Status TR_GUARDED_BY(m_Lock){1, 0};  // last status seen from the client
  // Resets value the pending context was built for.
  int64_t m_Context_Resets TR_GUARDED_BY(m_Lock) = 0;
  // Call counter, incremented by every trace call (see Staging above); calls filtered without
  // the lock wait in m_Filtered_Unlocked until the next count.
  uint32_t m_Counter TR_GUARDED_BY(m_Lock) = 0;
  uint64_t m_Last_Timer TR_GUARDED_BY(m_Lock) = 0;  // largest built-in timer value written

  // Records the channel sends from its own storage.
  sTRTrace_Info m_Info TR_GUARDED_BY(m_Lock);
  sTRTrace_UTC_Offset m_UTC TR_GUARDED_BY(m_Lock);
  sTRTrace_Data m_Data_Header TR_GUARDED_BY(m_Lock);
  sTRTrace_Verbosity m_Verbosity_Record TR_GUARDED_BY(m_Lock);
  sTRTrace_Close m_Close_Record TR_GUARDED_BY(m_Lock);
  uint8_t m_Trailer[4] TR_GUARDED_BY(m_Lock);

  // Pending chunks first, then those of the current call or merge batch.
  sTRC_Data_Chunk* m_Chunks TR_GUARDED_BY(m_Lock) = nullptr;
  uint32_t m_Chunks_Capacity TR_GUARDED_BY(m_Lock) = 0;
  uint32_t m_Pending_Count TR_GUARDED_BY(m_Lock) = 0;
  uint32_t m_Pending_Size TR_GUARDED_BY(m_Lock) = 0;

  // Thread, stop and module records (blocks that never move).
  CData_Blocks<sTRTrace_Thread_Start> m_Starts TR_GUARDED_BY(m_Lock);
  CData_Blocks<sTRTrace_Thread_Stop> m_Stops TR_GUARDED_BY(m_Lock);
  CData_Blocks<sTRTrace_Module> m_Modules TR_GUARDED_BY(m_Lock);
  uint32_t m_Modules_Count TR_GUARDED_BY(m_Lock) = 0;
  CModules_Tree m_Module_Names TR_GUARDED_BY(m_Lock);

  // Call sites: the descriptor arena, the argument values of the locked call being packed (an
  // arena scratch buffer) and how many values it holds, fixed IDs, site trees and cache.
  CMemoryManager m_Arena TR_GUARDED_BY(m_Lock);
  uint64_t* m_Arg_Values TR_GUARDED_BY(m_Lock) = nullptr;
  uint32_t m_Arg_Values_Capacity TR_GUARDED_BY(m_Lock) = 0;
  CTRTrace_Desc* m_IDs[kFixed_IDs] TR_GUARDED_BY(m_Lock) = {};
  CDesc_Tree m_Sites TR_GUARDED_BY(m_Lock);
  CDesc_Tree m_Managed_Sites TR_GUARDED_BY(m_Lock);
  sSite_Cache m_Site_Cache[kSite_Cache] TR_GUARDED_BY(m_Lock) = {};
  uint16_t m_Dynamic_ID TR_GUARDED_BY(m_Lock) = 1024;

  // Losses since the last delivered report, whether any is waiting, the report's descriptor and
  // record; whether the call being packed carries the report / the report's descriptor.
  uint64_t m_Lost[kLoss_Reasons] TR_GUARDED_BY(m_Lock) = {};
  bool m_Loss_Waiting TR_GUARDED_BY(m_Lock) = false;
  uint64_t m_Loss_Since TR_GUARDED_BY(m_Lock) = 0;  // Channel_Timer when m_Loss_Waiting was set
  // Later gaps: calls lost after records that were staged after the previous gap began and are
  // not delivered yet (a sink without room holds them back). Each becomes the waiting report when
  // the one before it is delivered, so each report counts only the calls missing where it stands;
  // beyond kLoss_Gaps, further gaps join the last one.
  static constexpr uint32_t kLoss_Gaps = 8;
  struct sLoss_Gap {
    uint64_t since;  // Channel_Timer when its first call was lost
    uint64_t lost[kLoss_Reasons];
  };
  sLoss_Gap m_Later_Gaps[kLoss_Gaps] TR_GUARDED_BY(m_Lock) = {};
  uint32_t m_Later_Count TR_GUARDED_BY(m_Lock) = 0;
  CTRTrace_Desc* m_Loss_Desc TR_GUARDED_BY(m_Lock) = nullptr;
  sLoss_Record m_Loss_Record TR_GUARDED_BY(m_Lock) = {};
  bool m_Call_Loss TR_GUARDED_BY(m_Lock) = false;
  bool m_Call_Loss_Desc TR_GUARDED_BY(m_Lock) = false;

  // The merge batch being built (Begin_Batch .. End_Batch): descriptors it sends first (marked
  // unsent again if it is refused), the timer before it, and its loss report.
  CTRTrace_Desc* m_Batch_Described[CTrace_Staging::kBatch_Records] TR_GUARDED_BY(m_Lock);
  uint32_t m_Batch_Described_Count TR_GUARDED_BY(m_Lock) = 0;
  uint64_t m_Batch_Timer_Before TR_GUARDED_BY(m_Lock) = 0;
  bool m_Batch_Loss TR_GUARDED_BY(m_Lock) = false;
  bool m_Batch_Loss_Desc TR_GUARDED_BY(m_Lock) = false;
  // A loss waits to be reported and the batch has not placed its report yet: it goes right
  // before the batch's first record staged after the loss began (m_Loss_Since), so records
  // accepted before the refused calls stay ahead of the report, as they were made.
  bool m_Batch_Loss_Due TR_GUARDED_BY(m_Lock) = false;

  // Shared-registry entry of this channel; null when not shared.
  CShared::sShared* m_Shared TR_GUARDED_BY(m_Lock) = nullptr;

  // ---- Lock-free, from a new cache line (the guarded fields above change with every merge).
  // Reference count: sequentially consistent increments and decrements; the last one deletes.
  alignas(64) std::atomic<uint32_t> m_RefCount{1};
  // Mirrors of guarded state for the unlocked path, written under m_Lock, read relaxed: a call
  // that misses a change is ordered as if it came just before it. The channel's level, the
  // module levels by module ID - 1, and Can_Send as last published by Update_Open.
  std::atomic<eTRTrace_Level> m_Verbosity{TRL_TRACE};
  std::atomic<uint32_t> m_Module_Levels[kMax_Modules] = {};
  std::atomic<bool> m_Open{false};
  // Calls filtered without the lock (relaxed add); folded into m_Counter under it by exchange.
  std::atomic<uint32_t> m_Filtered_Unlocked{0};
  // Calls lost since creation (relaxed; a statistic).
  std::atomic<uint64_t> m_Lost_Total{0};
  // Listed with the staging drainer (set once in Init, read in the destructor).
  std::atomic<bool> m_In_Drainer{false};

  // ---- The staging room: its own synchronisation (trace_staging.h); its merge runs under
  // m_Lock through this channel's ITarget side.
  CTrace_Staging m_Staging;
};

#endif  // TRACE_CHANNEL_TRACE_H_
