// CClText: the text client. Channels hand it the binary trace stream (Sent); producers only copy
// the bytes, framed by a 4-byte user-data header, into a pool of preallocated buffers. A worker
// thread takes filled buffers (and, after 100 ms without one, the partly filled current buffer),
// parses them back into per-channel state, renders every trace call as one text line and hands
// it to one output (console, rolling text files, syslog, or an output the embedding program
// registered; mqtt-wrapper/TRTextSink.h).
//
// Delivery guarantee: data accepted by Sent (result 0) is rendered, by the worker or at Close.
// When the stream cannot be parsed (a corrupt packet) the client goes off for good: `connected`
// becomes 0, every channel is told through On_Status, the journal says why, and Sent refuses
// with 1 (producers waiting for room wake up and get 1), instead of blocking producers forever.
//
// Lock order: the client's channel lock, then a channel's lock, then m_StatusLock (which guards
// the free pool, the ready list, the current buffer, the writers-waiting count and `connected`).
// Parsing and output run without locks on the worker thread; Close parses what is left under
// m_StatusLock after the worker has been joined.
//
// Thread-safety: Sent, Flush, Get_Info, Close and the base operations may be called from any
// thread.
#ifndef TRACE_TEXT_CL_TEXT_H_
#define TRACE_TEXT_CL_TEXT_H_

#include <pthread.h>
#include <stdint.h>


#include <mqtt-wrapper/TRTextSink.h>

#include "trace/base/blist.h"
#include "trace/base/mevent.h"
#include "trace/core/client.h"
#include "trace/core/reject_counters.h"
#include "trace/decode/stream_parser.h"

class CClText : public CClient {
 public:
  static constexpr uint32_t kDefaultBuffers = 16;
  static constexpr uint32_t kDefaultBufferSize = 131072;
  static constexpr uint64_t kMinPool = 49152;
  static constexpr uint64_t kMaxPool = 1ull << 30;
  static constexpr uint32_t kWaitMs = 100;
  static constexpr uint32_t kRollCheckMs = 60000;
  static constexpr uint32_t kDumpMs = 1000;

  // Runs the initialisation steps while the status stays 0; a nonzero status leaves the client
  // unusable (TR_Create_Client then releases it).
  CClText(char** args, int count);
  ~CClText() override;

  bool Get_Info(sTRC_Info* info) override;
  uint32_t Sent(uint32_t id, sTRC_Data_Chunk* chunks, uint32_t count, uint32_t size) override;
  void Flush() override;
  bool Close() override;

  static void* Static_Routine(void* self);

  uint32_t Buffer_Size() const { return m_BufferSize; }
  uint32_t Buffer_Count() const { return m_BufferCount; }

 private:
  struct sBuffer {
    uint8_t* data;  // m_BufferSize bytes, owned
    uint64_t used;
  };

  uint32_t Init_Base();
  uint32_t Init_Pool();
  uint32_t Init_Backend();
  uint32_t Init_Thread();
  void Routine();
  // Under m_StatusLock: the oldest ready buffer, else the current one when it holds data.
  sBuffer* Take_Buffer();
  // Under m_StatusLock: empties `buffer`, puts it into the free pool and wakes waiting writers.
  void Return_Buffer(sBuffer* buffer);
  void Wake_Writers();
  // The stream could not be parsed: stop accepting data and tell the channels.
  void Go_Off();
  void Free_Buffers();

  CReject_Counters m_Rejects;  // refused Sent calls, reported by Get_Info; self-synchronised
  CMEvent m_Events;          // 0 exit (manual), 1 data ready (counting), 2 flush
  bool m_EventsReady = false;
  CMEvent m_BufferFreed;     // set by the worker for producers waiting for room
  bool m_BufferFreedReady = false;
  pthread_t m_Thread{};
  bool m_ThreadStarted = false;
  // m_StatusLock is the base class's (CClient); it guards the fields marked so below.
  uint32_t m_WritersWaiting = 0;  // guarded by m_StatusLock
  CBList<sBuffer*> m_FreePool;    // guarded by m_StatusLock
  CBList<sBuffer*> m_Ready;       // guarded by m_StatusLock; oldest first
  sBuffer* m_Current = nullptr;   // guarded by m_StatusLock; the buffer producers fill
  uint32_t m_BufferCount = 0;
  uint32_t m_BufferSize = 0;
  bool m_ParseFailed = false;     // guarded by m_StatusLock; the worker stopped on a bad stream
  CStreamParser m_Parser;         // worker only (Close after the join)
  CClTextSink* m_Output = nullptr;  // owned unless m_OutputExternal
  bool m_OutputExternal = false;
};

#endif  // TRACE_TEXT_CL_TEXT_H_
