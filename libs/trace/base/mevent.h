// CMEvent: a set of events on which one worker thread waits for any of them.
//
// Event types: 1 is manual-reset (stays signalled until Clr); every other value is auto-reset
// and counting (each Set is delivered to exactly one wait). Signalled events are delivered in
// rotation, starting after the event delivered last, so no event starves another. The waits
// return the 0-based index of the delivered event, or MEVENT_NONE when nothing was delivered
// (time-out, or a wake-up whose signal was already consumed by Get_Signal); callers treat
// MEVENT_NONE as a wake-up with nothing to do.
//
// Thread-safety: any thread may Set or Clr; one worker thread waits. All state changes happen
// under the object's own mutex; a semaphore counts pending signals.
#ifndef TRACE_BASE_MEVENT_H_
#define TRACE_BASE_MEVENT_H_

#include <pthread.h>
#include <semaphore.h>
#include <stdint.h>

#define MEVENT_NONE 0x0FFFFFFF

class IMEvent {
 public:
  // `count` events (1 to 255), then one int per event: its type (1 manual-reset). `count` is a
  // full int-sized parameter: a narrower one before "..." would make va_start undefined.
  virtual bool Init(uint32_t count, ...) = 0;
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

  bool Init(uint32_t count, ...) override;
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
    sEntry* next;   // ring; the last entry points back to the first
  };

  // Picks the next signalled event in rotation; caller holds m_Mutex.
  uint32_t Select_Locked();
  uint32_t Select();

  pthread_mutex_t m_Mutex{};  // guards the entries and pending counts marked so below
  sem_t m_Semaphore{};         // one unit per pending signal
  uint8_t m_Count = 0;
  bool m_Initialized = false;
  bool m_Error = false;
  sEntry* m_Entries = nullptr;  // guarded by m_Mutex once initialised
  sEntry* m_Current = nullptr;  // entry delivered last; guarded by m_Mutex
  int32_t m_Total = 0;          // pending signals of all events; guarded by m_Mutex
};

#endif  // TRACE_BASE_MEVENT_H_
