// CSink_Base: what every delivering sink shares beyond the client core (client.h), whatever its
// buffers: the first checks of Sent with their reject counters, the start of the sink's own
// threads with asynchronous signals blocked and their join, and Close run exactly once. The
// buffered sinks (cl_buffered.h) and the network sink derive from it.
//
// Close: the first call runs Close_Sink once; a later call returns true at once, after
// After_Closed (a sink whose own thread closed it joins that thread there). Re-entered on the
// closing thread (a signal handler during Close) it returns at once. Called on one of the sink's
// own threads (On_Sink_Thread: a fault there) it never takes m_CloseLock, since a closer holding
// it may be joining that very thread, and runs Close_Sink at most once itself; Close_Sink must
// then neither join the calling thread nor wait for a closer.
//
// Lock order: m_CloseLock, then the client's locks (m_ChannelLock first). m_CloseLock is a sleeping
// CLock: Close_Sink flushes channels and joins threads under it.
//
// Thread-safety: Close and the helpers may be called from any thread; m_Rejects is
// self-synchronised.
#ifndef TRACE_CORE_SINK_BASE_H_
#define TRACE_CORE_SINK_BASE_H_

#include <pthread.h>
#include <stdint.h>

#include <atomic>

#include "trace/base/lock.h"
#include "trace/base/thread_annotations.h"
#include "trace/core/client.h"
#include "trace/core/reject_counters.h"

class CSink_Base : public CClient {
 public:
  bool Close() final;

 protected:
  CSink_Base(eType type, char** args, int count) : CClient(type, args, count) {}

  // Sent's first step, before any lock: the client's status and the call's arguments (including
  // chunks that do not add up to `size`). eCode_Ok, or the code Sent returns, counted as an
  // error reject.
  uint32_t Check_Sent(uint32_t id, const sTRC_Data_Chunk* chunks, uint32_t count, uint32_t size);
  // The same without the walk over the chunks, for a path that checks them while copying them.
  uint32_t Check_Sent_Args(uint32_t id, const sTRC_Data_Chunk* chunks, uint32_t count,
                           uint32_t size);

  // Starts a thread of the sink with asynchronous signals blocked: they are handled on the
  // application's threads, whose handlers may close this sink and join the thread. Faults stay
  // deliverable, so a crash on the thread still reaches the crash handler. False when it could not
  // be created.
  static bool Start_Thread(pthread_t* thread, void* (*routine)(void*), void* arg);
  // Joins `thread` unless it is the calling thread (which cannot wait for itself); false, with a
  // critical journal entry naming `what`, when it was the caller, the join failed or the thread
  // returned a value.
  bool Join_Thread(pthread_t thread, const char* what);

  // --- Close hooks ---------------------------------------------------------------------------
  // The calling thread is one of the sink's own threads.
  virtual bool On_Sink_Thread() const { return false; }
  // Runs once, for the first Close (on a sink thread possibly alongside an outside closer, see
  // the file comment). The sink is marked closed when it returns, unless it already is.
  virtual void Close_Sink() = 0;
  // A Close on a sink that is already closed, under m_CloseLock, outside the sink's threads.
  virtual void After_Closed() {}
  bool Is_Closed() const { return m_Closed.load(); }

  CReject_Counters m_Rejects;  // self-synchronised

 private:
  void Close_Once();

  CLock m_CloseLock TR_ACQUIRED_BEFORE(m_ChannelLock);  // serialises closers outside the sink
  std::atomic<bool> m_Closed{false};
  std::atomic<pthread_t> m_Closer{0};            // thread running Close_Once outside, 0 when none
  std::atomic<bool> m_SinkThreadClosing{false};  // a sink thread runs Close_Once
};

#endif  // TRACE_CORE_SINK_BASE_H_
