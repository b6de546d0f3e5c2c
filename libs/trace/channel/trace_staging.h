// CTrace_Staging: the staging room of one trace channel - the per-thread rings its callers write
// without the channel lock, the hand-off to the process's drainer, and the merge of the rings
// into the channel's stream.
//
// A staged call, as one picture:
//   caller ──Stage──► own thread's site cache ──entry copied──► record packed into the thread's
//   ring (CStaging_Ring) ──Commit──► m_Staged set, drainer woken ──► later, under the channel
//   lock: Merge takes the rings' records in timer order and hands them to the channel (ITarget)
//   in batches, which numbers, describes and sends them.
//
// Mode: the channel enters staging mode (Contended) when a call finds its lock held; while in it,
// calls of sites the calling thread already knows stage. A merge that found one thread's records
// only, kLinger_ms after the mode began or after the last merge of several threads' records,
// leaves the mode; contention puts it back. A channel whose sink delivers no sooner than its
// writer, Flush or Close stages always (Stage_Always): a single thread then pays no lock either.
//
// A thread learns a site by one locked call of it in staging mode (Remember_Site, right after the
// lock is released): the thread's state, its ring and the site's entry are made there, so Stage
// itself never allocates, never takes a lock and never creates a thread, and a signal handler may
// trace on any path.
//
// Signal safety: Stage marks the thread busy from its site lookup to its commit and works on a
// copy of the site entry, so a handler that traces on the same thread in between goes the locked
// way, leaves the thread's entries alone, and cannot pair the interrupted call with another
// site's argument layout.
//
// Back-pressure: a call whose ring is full gives the processor away and merges again until its
// record fits; it goes the locked way only after kFull_Wait_us in which the sink took nothing,
// so a sink whose writer only lacked a processor delays its producers instead of refusing their
// calls. The bound counts once two of its merges have run (on a loaded machine the call's own
// pause can outlast it, and a call must not be refused without its merges having run), and
// anew whenever a merge consumed records; kFull_Wait_Cap_us bounds the wait whatever happens.
//
// Merge: a batch the channel's sink refuses for lack of room stays staged and is tried again
// later (a staged call was told "accepted"); a batch refused because the sink is off is consumed
// and the channel counts it as lost. Per thread, records keep their order.
//
// Thread-safety:
//   - Stage: the calling thread only touches its own state and ring (the ring's producer).
//   - Remember_Site: the calling thread's own state; a new ring is claimed by compare-and-swap.
//   - Merge, Drop: the caller holds the channel lock (`held`), which makes it the rings' one
//     consumer; a merge called again from within a merge does nothing.
//   - Active, Contended, Has_Staged, Staged_Bytes, Merge_Due: any thread, lock-free.
// Ownership: the rings are the staging's and freed with it; a ring outlives its thread (records
// of a thread that ended are still merged).
#ifndef TRACE_CHANNEL_TRACE_STAGING_H_
#define TRACE_CHANNEL_TRACE_STAGING_H_

#include <stdarg.h>
#include <stdint.h>

#include <atomic>

#include <mqtt-wrapper/TR.h>

#include "trace/base/hot_lock.h"
#include "trace/base/thread_annotations.h"
#include "trace/channel/stage_thread.h"
#include "trace/channel/staging_ring.h"
#include "trace/channel/trace_desc.h"
#include "trace/format/trace_format.h"

class CTrace_Staging {
 public:
  // Rings per channel (threads beyond them use the lock), calls a thread stages between its
  // merge attempts (rare enough that its own merges stay out of all but its slowest 0.1 % of
  // calls), the largest argument list and plan a staged call packs, and how long the channel
  // stays in staging mode without contention.
  static constexpr uint32_t kMax_Rings = 64;
  static constexpr uint32_t kBudget = 4096;
  static constexpr uint32_t kMax_Args = 32;
  static constexpr uint32_t kMax_Blocks = 64;
  static constexpr uint32_t kLinger_ms = 100;
  // How long a call whose ring is full waits for a sink that takes nothing before it goes the
  // locked way (where a sink without room refuses it): the sink's writer most often only waits
  // for a processor the stagers keep busy. With four callers and the writer on two processors,
  // 0.5 ms refused a few dozen calls in some runs of four million. Only a call that finds the
  // sink saturated waits at all.
  static constexpr uint32_t kFull_Wait_us = 2000;
  static constexpr uint32_t kFull_Wait_Cap_us = 20000;
  // Records and bytes handed over by one batch of a merge: bounded so that a batch fits a sink's
  // buffer and the channel's chunk array stays small.
  static constexpr uint32_t kBatch_Records = 512;
  static constexpr uint64_t kBatch_Bytes = 32 * 1024;

  // What became of a call offered to the staging path.
  enum class eStaged {
    eStaged,      // in the thread's ring; the call's result is true
    eFiltered,    // below the level; counted, the call's result is false
    eLocked_Way,  // not staged: the caller takes the lock (`args` is left unread)
  };
  // What became of one merge batch.
  enum class eBatch {
    eDelivered,  // the sink took it: consumed
    eKept,       // no room: stays staged, taken again by a later merge
    eDropped,    // the sink is off: consumed, counted as lost by the channel
  };

  // The channel's side of a merge: Begin_Batch, Add_Record and End_Batch are called with the
  // channel lock held, in that order per batch; Try_Merge by a staging caller holding nothing.
  class ITarget {
   public:
    // Starts a batch of at most kBatch_Records records; *chunk is where its chunks go (room for
    // a descriptor and a record per record) and *size the bytes before them. False when memory
    // is short: nothing is merged now.
    virtual bool Begin_Batch(sTRC_Data_Chunk** chunk, uint64_t* size) = 0;
    // Appends one staged record of `record_size` bytes (its descriptor first when due), numbered
    // and with its timer clamped to what the stream already holds. False, with nothing added,
    // when the record must open the next batch (it follows a second gap of lost calls, whose
    // report waits for this batch's report to be delivered).
    virtual bool Add_Record(CTRTrace_Desc* desc, sTRTrace_Data* record, uint32_t record_size,
                            sTRC_Data_Chunk** chunk, uint64_t* size) = 0;
    // Hands the batch (`records` records, chunks up to `end`, `size` bytes) to the sink; on
    // eKept the channel has undone the batch's numbering and descriptor stamps.
    virtual eBatch End_Batch(sTRC_Data_Chunk* end, uint64_t size, uint32_t records) = 0;
    // Merges now if the channel lock is free; true when it did.
    virtual bool Try_Merge() = 0;

   protected:
    ~ITarget() = default;
  };

  explicit CTrace_Staging(ITarget* target);
  ~CTrace_Staging();
  CTrace_Staging(const CTrace_Staging&) = delete;
  CTrace_Staging& operator=(const CTrace_Staging&) = delete;

  // True while the channel is in staging mode.
  bool Active() const { return m_Mode.load(std::memory_order_relaxed); }
  // Puts the channel in staging mode for good: its sink delivers no sooner than its writer,
  // Flush or Close anyway, so a call of a known site stages even without contention and pays no
  // lock. Called at the channel's creation, before any trace call.
  void Stage_Always();
  // A caller found the channel lock held: the mode begins (or goes on).
  void Contended();

  // Stages one call of the calling thread whose level passed the filter (see above). `mod` is
  // the call's module record or null. Signal-safe and allocation-free.
  eStaged Stage(eTRTrace_Level level, const sTRTrace_Module* mod, const char* function,
                const char** format, va_list* args);
  // After a locked call in staging mode: makes the calling thread's staging state and ring
  // when missing and remembers the site's descriptor, so that the thread's next calls of it
  // stage. Needs no lock (the caller holds a reference to the channel, so `desc` lives).
  void Remember_Site(const char* function, const char* format, CTRTrace_Desc* desc);

  // True when a merge is due before the calling thread's next record goes the locked way: its
  // own ring holds records (they must go first), or another thread marked some.
  bool Merge_Due() const {
    return m_Staged.load(std::memory_order_relaxed) != 0 || Merge_Due_For_Caller();
  }
  // True when the calling thread's own ring holds records.
  bool Merge_Due_For_Caller() const {
    const sStage_Thread* thread = Stage_Thread();
    if (thread == nullptr) return false;
    const sStage_Ring_Slot* slot = thread->Ring_Slot(m_Serial);
    return slot->serial == m_Serial && !slot->ring->Empty_For_Producer();
  }
  // True when records may be staged and not merged (a hint).
  bool Has_Staged() const;
  // True when a record with a timer of at least `timer` may be staged and not merged (a hint).
  bool Staged_Since(uint64_t timer) const;
  // Bytes staged and not merged, over all rings (a snapshot).
  uint64_t Staged_Bytes() const;

  // Merges every staged record through the target (see above); returns how many rings held
  // some. Does nothing when called again from within a merge.
  uint32_t Merge(CHot_Lock& held) TR_REQUIRES(held);
  // Discards every staged record; returns how many there were.
  uint32_t Drop(CHot_Lock& held) TR_REQUIRES(held);

  // Test seam: when set, Stage calls it with its copy of the site entry once the entry matched
  // the call, before the entry's descriptor is used. Set it only while no thread traces.
  static void (*s_After_Site_Lookup)(const sStage_Site& copied);

 private:
  // The calling thread's ring for this channel, created on first use; null when none can be had.
  CStaging_Ring* Thread_Ring(uint32_t thread_id);
  // What became of one record offered to the thread's ring.
  enum class eRecord { eStaged, eNo_Fit, eRing_Full };
  // Packs the call's record into the thread's ring (the site already checked).
  eRecord Stage_Record(sStage_Ring_Slot* slot, eTRTrace_Level level, const sTRTrace_Module* mod,
                       CTRTrace_Desc* desc, va_list* args);
  // The ring was full: yields and merges until the record fits, or two merges ran and
  // kFull_Wait_us passed without a merge consuming anything, or kFull_Wait_Cap_us passed.
  eRecord Wait_For_Room(sStage_Ring_Slot* slot, eTRTrace_Level level, const sTRTrace_Module* mod,
                        CTRTrace_Desc* desc, va_list* args);
  // Marks that records are staged, for the merge and the drainer.
  void Note_Staged();

  // Immutable after construction.
  ITarget* const m_Target;
  // Names the channel in threads' caches; never reused in the process, so an entry of a channel
  // that died matches nothing.
  const uint64_t m_Serial;
  const uint64_t m_Linger_Ticks;     // kLinger_ms in Channel_Timer ticks
  const uint64_t m_Full_Wait_Ticks;      // kFull_Wait_us in Channel_Timer ticks
  const uint64_t m_Full_Wait_Cap_Ticks;  // kFull_Wait_Cap_us in Channel_Timer ticks

  // Lock-free. Rings are claimed by compare-and-swap in slot order (acq_rel; read with acquire)
  // and freed with the staging, so the first empty slot ends them. m_Staged is set with release
  // by a stager after publishing a record and cleared with acquire by the merge before it looks
  // at the rings. The mode and its start are hints (relaxed): a call that misses a change only
  // goes the other, equally correct, way.
  // Cache lines by who writes them: the rings and the mode change rarely and are read by every
  // call; m_Staged is written by every merge and read by every call; the merge's own fields
  // follow on a line of their own.
  std::atomic<CStaging_Ring*> m_Rings[kMax_Rings] = {};
  std::atomic<bool> m_Mode{false};
  std::atomic<bool> m_Always{false};      // set once by Stage_Always: the mode never ends
  std::atomic<uint64_t> m_Mode_Since{0};  // Channel_Timer when the mode last began
  alignas(64) std::atomic<uint32_t> m_Staged{0};

  // Records merges consumed since creation (written by Merge, read relaxed by waiting callers
  // as a sign of progress).
  alignas(64) std::atomic<uint64_t> m_Consumed{0};
  // Touched only by Merge, whose caller holds the channel lock (one consumer at a time).
  bool m_Merging = false;
  uint64_t m_Last_Shared_Merge = 0;  // timer of the last merge of several threads' records
};

#endif  // TRACE_CHANNEL_TRACE_STAGING_H_
