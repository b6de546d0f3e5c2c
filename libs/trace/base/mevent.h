// CMEvent: a set of events on which one worker thread waits for any of them.
//
// Event types: 1 is manual-reset (stays signalled until Clr); every other value is auto-reset
// and counting (each Set is delivered to exactly one wait). Signalled events are delivered in
// rotation, starting after the event delivered last, so no event starves another. The waits
// return the 0-based index of the delivered event, or MEVENT_NONE when nothing was delivered
// (time-out, or a wake-up whose signal was already consumed by Get_Signal); callers treat
// MEVENT_NONE as a wake-up with nothing to do.
//
// Timed waits run on the monotonic clock (Monotonic_Deadline): a step of the wall clock neither
// stretches nor cuts them short.
//
// Thread-safety: any thread may Set or Clr; one worker thread waits. Init runs before the object
// is shared. All state changes happen under m_Lock (a leaf: nothing else is locked under it); a
// semaphore counts pending signals and is taken by the waits without the lock.
#ifndef TRACE_BASE_MEVENT_H_
#define TRACE_BASE_MEVENT_H_

#include <semaphore.h>
#include <stdint.h>

#include "trace/base/lock.h"
#include "trace/base/thread_annotations.h"

#define MEVENT_NONE 0x0FFFFFFF

class IMEvent {
 public:
  // `count` events (1 to 255), then one int per event: its type (1 manual-reset). `count` is
  // an unsigned int rather than 8 bits because it is the last parameter before the variadic
  // list, which must not be a type that undergoes promotion.
  virtual bool Init(unsigned count, ...) = 0;
  virtual bool Set(uint32_t index) = 0;
  // Withdraws one signal of a manual-reset event; false when it had none or is not manual.
  virtual bool Clr(uint32_t index) = 0;
  virtual uint32_t Wait() = 0;
  // `timeout_ms` 0: do not block.
  virtual uint32_t Wait(uint32_t timeout_ms) = 0;
  virtual ~IMEvent() = default;
};

class CMEvent : public IMEvent {
 public:
  static constexpr int32_t kManualReset = 1;

  CMEvent() = default;
  ~CMEvent() override;

  CMEvent(const CMEvent&) = delete;
  CMEvent& operator=(const CMEvent&) = delete;

  bool Init(unsigned count, ...) override;
  bool Set(uint32_t index) override;
  bool Clr(uint32_t index) override;
  uint32_t Wait() override;
  uint32_t Wait(uint32_t timeout_ms) override;
  // Selects and consumes a signalled event without waiting, or MEVENT_NONE.
  uint32_t Get_Signal();

 private:
  struct sEntry {
    int32_t count;  // pending signals of this event
    int32_t type;
    uint32_t index;
    sEntry* next;  // ring; the last entry points back to the first
  };

  // Picks the next signalled event in rotation.
  uint32_t Select_Locked() TR_REQUIRES(m_Lock);
  uint32_t Select();

  // Fixed by Init, before the object is shared.
  uint8_t m_Count = 0;
  bool m_Initialized = false;
  bool m_Error = false;
  sem_t m_Semaphore{};  // one unit per pending signal; self-synchronised

  CLock m_Lock;
  sEntry* m_Entries TR_PT_GUARDED_BY(m_Lock) = nullptr;  // the ring; the pointer is fixed by Init
  sEntry* m_Current TR_GUARDED_BY(m_Lock) = nullptr;     // entry delivered last
  int32_t m_Total TR_GUARDED_BY(m_Lock) = 0;             // pending signals of all events
};

#endif  // TRACE_BASE_MEVENT_H_
