// CDecode_Worker: the thread beside the receiving loop that decodes and formats the clients'
// records for --print and the viewer, so that a costly record of one client never holds the
// loop that acknowledges every client's packets.
//
// The loop posts jobs (a record for a client's decoder, or its restart) to one queue and never
// waits: Post refuses a record that would take the queued record bytes past the limit it is
// given, or one client's queued bytes past kMax_Client_Share of that limit (the caller then
// counts it as skipped), so that one busy client cannot make every other client's messages
// skipped. Jobs of one decoder run in the order posted;
// the decoder is shared with the job, so a client that leaves while its jobs wait is still
// decoded to the end of what it sent.
//
// Stop decodes what is queued, then ends the thread; the destructor stops it.
//
// Thread-safety: Post, Queued_Bytes and Stop are for the receiving thread; the queue is guarded
// by m_Mutex (a leaf lock: nothing else is taken under it, and no job runs under it).
#ifndef TOOLS_TRACE_SERVER_DECODE_WORKER_H_
#define TOOLS_TRACE_SERVER_DECODE_WORKER_H_

#include <stdint.h>

#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "client_decoder.h"
#include "trace/base/mevent.h"
#include "trace/base/mutex.h"
#include "trace/base/thread_annotations.h"

class CDecode_Worker {
 public:
  // Record bytes that may wait in all before records are refused.
  static constexpr uint64_t kMax_Queued_Bytes = 4u << 20;
  // The part of a limit one client's records may take: 1 / kMax_Client_Share.
  static constexpr uint64_t kMax_Client_Share = 4;

  CDecode_Worker();
  ~CDecode_Worker();

  CDecode_Worker(const CDecode_Worker&) = delete;
  CDecode_Worker& operator=(const CDecode_Worker&) = delete;

  // Queues `size` bytes of `channel` for `decoder` unless the queued bytes would pass `limit`,
  // or `decoder`'s would pass limit / kMax_Client_Share; false (nothing queued) then.
  bool Post_Record(const std::shared_ptr<CClient_Decoder>& decoder, uint32_t channel,
                   const uint8_t* payload, uint32_t size, uint64_t limit);
  // Queues a restart of `decoder` (always: it carries no bytes).
  void Post_Restart(const std::shared_ptr<CClient_Decoder>& decoder);
  uint64_t Queued_Bytes() const;
  // Decodes everything queued, then ends the thread.
  void Stop();

 private:
  struct sJob {
    std::shared_ptr<CClient_Decoder> decoder;
    bool restart = false;
    uint32_t channel = 0;
    std::vector<uint8_t> bytes;
  };
  enum : uint32_t { eEvent_Exit = 0, eEvent_Job = 1 };

  void Post(sJob job);
  void Run();

  CMEvent m_Events;  // eEvent_Exit (manual), eEvent_Job (counting)
  mutable CMutex m_Mutex;
  std::deque<sJob> m_Jobs TR_GUARDED_BY(m_Mutex);
  uint64_t m_Queued_Bytes TR_GUARDED_BY(m_Mutex) = 0;
  bool m_Stopping TR_GUARDED_BY(m_Mutex) = false;
  std::thread m_Thread;
};

#endif  // TOOLS_TRACE_SERVER_DECODE_WORKER_H_
