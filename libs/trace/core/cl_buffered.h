// CClBuffered: the base of every sink that buffers the channels' stream in memory and delivers
// it from a worker thread of its own (binary file sink, text sink, network sink). It owns what
// those sinks share: the buffer pool, the framed copy of Sent with its reject counters and
// Get_Info, Flush, the worker thread's life and loop, and Close with the drain of everything
// accepted. A derived sink supplies only its delivery through the hooks below.
//
// Stream: every accepted Sent call is one user-data header word (length + 4, channel ID) followed
// by the chunks' bytes, copied into the current buffer of a stream; a buffer that becomes full
// goes to the stream's filled list (and the worker is signalled), and the copy goes on in the next
// free buffer, so one record may span buffers. Data accepted with eCode_Ok reaches Consume (or
// Drain_Buffer_Locked at Close) exactly once, in acceptance order, unless the sink goes off.
//
// Full pool: refused with eCode_No_Room (eWhen_Full::eRefuse), or the producer waits in 100 ms
// steps for the worker to free a buffer, without an overall limit (eWhen_Full::eWait; a record as
// large as the whole pool, or a call on the worker itself, is refused instead of waiting forever).
//
// Close: flushes the channels, stops and joins the worker, drains what was accepted through the
// derived sink, marks the sink off (Sent then refuses with eCode_Off) and lets the derived sink
// close its output. It runs once; a later Close returns true (after waiting for a worker that is
// still running). Re-entered on the closing thread (a signal handler during Close) it returns at
// once. Run on the worker itself (a fatal signal there) it neither waits for itself nor for
// another closer that waits for the worker, and still drains what was accepted.
//
// Lock order (the whole buffered-sink family): the base's m_CloseLock, then the client's
// m_ChannelLock, then a channel's own lock (its On_* callbacks and its Sent calls), then
// m_StatusLock. m_StatusLock is never held while a channel is called. The worker holds m_StatusLock
// only to take or give back buffers; Consume runs without it. Drain_Buffer_Locked runs under it,
// after the worker has ended.
//
// Ownership: the pool's buffers are allocated at construction (Init_Pool) and freed by the
// destructor. REQUIRES: a derived sink's destructor calls Shut_Down() (its hooks are gone once the
// base destructor runs).
//
// Thread-safety: Sent, Get_Info, Flush and Close may be called from any thread.
#ifndef TRACE_CORE_CL_BUFFERED_H_
#define TRACE_CORE_CL_BUFFERED_H_

#include <pthread.h>
#include <stdint.h>

#include <atomic>

#include "trace/base/blist.h"
#include "trace/base/lock.h"
#include "trace/base/mevent.h"
#include "trace/base/thread_annotations.h"
#include "trace/core/client.h"
#include "trace/core/pool_plan.h"
#include "trace/core/reject_counters.h"
#include "trace/core/sink_base.h"

class CClBuffered : public CSink_Base {
 public:
  struct sBuffer {
    uint8_t* data;  // buffer size bytes, owned by the pool
    uint64_t used;
  };

  // Buffers that Sent fills, in filling order: the full ones and the one being filled.
  struct sStream {
    CBList<sBuffer*> filled;
    sBuffer* current = nullptr;
  };

  enum class eWhen_Full : uint32_t { eRefuse, eWait };

  // How the worker runs; fixed by the derived sink at construction.
  struct sWorker_Plan {
    uint32_t wait_ms;         // wait per pass while idle
    uint32_t busy_wait_ms;    // wait after a pass that took buffers
    uint32_t idle_take_ms;    // a time-out takes the partly filled buffer once this long has
                              // passed since the last take (0: at every time-out)
    uint32_t batch;           // buffers taken per pass (1 .. kMaxBatch)
    bool data_takes_current;  // a data signal with no full buffer takes the partly filled one
    eWhen_Full when_full;
  };

  static constexpr uint32_t kMaxBatch = 16;
  static constexpr uint32_t kRoomWait_ms = 100;
  static constexpr uint64_t kNo_Limit = UINT64_MAX;

  CClBuffered(eType type, char** args, int count, const sWorker_Plan& plan);
  ~CClBuffered() override;

  uint32_t Sent(uint32_t id, sTRC_Data_Chunk* chunks, uint32_t count, uint32_t size) override;
  bool Get_Info(sTRC_Info* info) override;
  void Flush() override;

  uint32_t Buffer_Size() const { return m_BufferSize; }
  uint32_t Buffer_Count() const { return m_BufferCount; }

 protected:
  enum eEvent : uint32_t { eEvent_Exit = 0, eEvent_Data = 1, eEvent_Flush = 2 };

  // Initialisation steps (a status code each). Init_Pool allocates the plan's buffers into the
  // free list and gives every list that may hold them its cells, so that moving buffers never
  // allocates later. Init_Thread creates the events and starts the worker with asynchronous
  // signals blocked.
  uint32_t Init_Pool(const sPool_Plan& plan);
  uint32_t Init_Thread();
  // Gives `list` a cell for every buffer now, so that it never allocates later (for a derived
  // sink's own lists). False when memory runs out.
  bool Reserve_Cells(CBList<sBuffer*>* list);

  // Uninit_Crash_Handler, Close, Unshare: the first steps of every derived destructor.
  void Shut_Down();

  // --- hooks ---------------------------------------------------------------------------------
  // Worker: delivers `count` buffers in order; `connected` is the status seen when they were
  // taken. The buffers go back to the pool afterwards. Returns false to end the worker.
  virtual bool Consume(sBuffer* const* batch, uint32_t count, bool connected) = 0;
  // Worker, every pass after its event (also the last one): periodic work.
  virtual void On_Pass() {}
  // Worker, under m_StatusLock: bytes the next batch may hold before the sink must act first (the
  // batch stops after the buffer that reaches it); 0 calls On_Batch_Limit instead of taking.
  virtual uint64_t Batch_Limit_Locked() TR_REQUIRES(m_StatusLock) { return kNo_Limit; }
  virtual void On_Batch_Limit() {}
  // Sent, under m_StatusLock, while m_Divert is set: the stream the record of `id` goes to and
  // whether a full buffer signals the worker; null refuses the record with eCode_No_Room.
  virtual sStream* Select_Stream_Locked(uint32_t id, const sTRC_Data_Chunk* chunks, bool* signal)
      TR_REQUIRES(m_StatusLock);
  // After buffers went back to the free list (under m_StatusLock).
  virtual void On_Buffers_Freed_Locked() TR_REQUIRES(m_StatusLock) {}
  // Buffers holding data, for Get_Info.
  virtual uint32_t Filled_Count_Locked() TR_REQUIRES(m_StatusLock) {
    return m_Stream.filled.Count();
  }
  // Close, after the worker has ended, under m_StatusLock: delivers everything accepted. The
  // default drains m_Stream through Drain_Buffer_Locked.
  virtual void Drain_Locked() TR_REQUIRES(m_StatusLock) { Drain_Stream_Locked(&m_Stream); }
  // One buffer of the drain; false stops delivering (the rest is dropped).
  virtual bool Drain_Buffer_Locked(sBuffer* buffer) TR_REQUIRES(m_StatusLock) = 0;
  // Close, last step, without locks: closes the output.
  virtual void On_Closed() {}

  // --- helpers for the derived sink ----------------------------------------------------------
  sBuffer* Take_Free_Locked() TR_REQUIRES(m_StatusLock);
  void Give_Back_Locked(sBuffer* buffer) TR_REQUIRES(m_StatusLock);
  void Give_Back(sBuffer* buffer) TR_EXCLUDES(m_StatusLock);
  // Copies `size` bytes into `stream`, taking free buffers as needed; the caller checked the room.
  void Append_Locked(sStream* stream, const void* data, uint64_t size, bool signal)
      TR_REQUIRES(m_StatusLock);
  // Hands every buffer of `stream` (the filled ones, then the current one when it holds data) to
  // Drain_Buffer_Locked, and gives them all back.
  void Drain_Stream_Locked(sStream* stream) TR_REQUIRES(m_StatusLock);
  // The calling thread is the worker.
  bool On_Worker() const;
  // Wakes every producer waiting for room (it then re-checks the status and the room).
  void Wake_Writers_Locked() TR_REQUIRES(m_StatusLock);

  const sWorker_Plan m_Plan;
  CMEvent m_Events;            // 0 exit (manual), 1 data (counting), 2 flush
  bool m_EventsReady = false;  // set once by Init_Thread, before the worker starts

  uint32_t m_BufferSize = 0;  // fixed once Init_Pool has run
  uint32_t m_BufferCount = 0;

  CBList<sBuffer*> m_FreeBuffers TR_GUARDED_BY(m_StatusLock);
  sStream m_Stream TR_GUARDED_BY(m_StatusLock);
  // While set, Sent asks Select_Stream_Locked where each record goes (the fast path is off).
  bool m_Divert TR_GUARDED_BY(m_StatusLock) = false;

 private:
  void Routine();
  static void* Static_Routine(void* self);
  // Takes up to the plan's batch of filled buffers (the current one too when `take_current` and
  // none is filled); sets *limit_reached when the derived sink must act before any buffer.
  uint32_t Take_Batch_Locked(sBuffer** batch, bool take_current, bool* limit_reached,
                             bool* connected) TR_REQUIRES(m_StatusLock);
  // CSink_Base's Close hooks: the worker is the sink's own thread; the first Close flushes the
  // channels, stops the worker and drains; a later one joins a worker that closed the sink itself.
  bool On_Sink_Thread() const override { return On_Worker(); }
  void Close_Sink() override;
  void After_Closed() override;
  void Stop_Worker();

  sBuffer* m_Buffers = nullptr;  // owns every buffer (m_BufferCount of them)
  CMEvent m_BufferFreed;         // set by the worker for producers waiting for room
  uint32_t m_WritersWaiting TR_GUARDED_BY(m_StatusLock) = 0;

  pthread_t m_Thread{};
  std::atomic<bool> m_ThreadStarted{
      false};  // m_Thread is joinable; set by Init_Thread, cleared by the join
  std::atomic<pthread_t> m_WorkerSelf{0};  // the running worker's ID (set by itself), else 0

  std::atomic<bool> m_OutputClosed{false};  // On_Closed ran
};

#endif  // TRACE_CORE_CL_BUFFERED_H_
