// CClText: the text client. Channels hand it the binary trace stream (Sent); producers only copy
// the bytes, framed by a 4-byte user-data header, into a pool of preallocated buffers (the
// buffering, the worker's life and Close are the base's, CClBuffered, which states the lock
// order). When the pool is full a producer waits, in 100 ms steps, for the worker to free a
// buffer. The worker takes filled buffers (and, at every 100 ms time-out, the partly filled
// current buffer), parses them back into per-channel state, renders every trace call as one text
// line and hands it to one output (console, rolling text files, syslog, or an output the
// embedding program registered; mqtt-wrapper/TRTextSink.h).
//
// Delivery guarantee: data accepted by Sent (result 0) is rendered, by the worker or at Close.
// When the stream cannot be parsed (a corrupt packet) the client goes off for good: `connected`
// becomes 0, every channel is told through On_Status, the journal says why, and Sent refuses
// with 1 (producers waiting for room wake up and get 1), instead of blocking producers forever.
//
// Thread-safety: as the base. The parser, the output and their state are the worker's, and
// Close's after the worker has ended.
#ifndef TRACE_TEXT_CL_TEXT_H_
#define TRACE_TEXT_CL_TEXT_H_

#include <stdint.h>

#include <mqtt-wrapper/TRTextSink.h>

#include "trace/core/cl_buffered.h"
#include "trace/decode/stream_parser.h"

class CClText : public CClBuffered {
 public:
  static constexpr uint32_t kWaitMs = 100;
  static constexpr uint32_t kRollCheckMs = 60000;
  static constexpr uint32_t kDumpMs = 1000;

  // Runs the initialisation steps while the status stays 0; a nonzero status leaves the client
  // unusable (TR_Create_Client then releases it).
  CClText(char** args, int count);
  ~CClText() override;

 private:
  uint32_t Init_Base();
  uint32_t Init_Pool();
  uint32_t Init_Backend();
  // The stream could not be parsed: stop accepting data and tell the channels.
  void Go_Off();

  // CClBuffered hooks.
  bool Consume(sBuffer* const* batch, uint32_t count, bool connected) override;
  void On_Pass() override;
  void Drain_Locked() override TR_REQUIRES(m_StatusLock);
  bool Drain_Buffer_Locked(sBuffer* buffer) override TR_REQUIRES(m_StatusLock);
  void On_Closed() override;

  bool m_ParseFailed TR_GUARDED_BY(m_StatusLock) = false;  // the stream could not be parsed
  CStreamParser m_Parser;                                  // worker only (Close after the join)
  CClTextSink* m_Output = nullptr;                         // owned unless m_OutputExternal
  bool m_OutputExternal = false;
  uint32_t m_LastRoll = 0;  // worker: GetTickCount of the last roll check
  uint32_t m_LastDump = 0;  // worker: GetTickCount of the last parsed buffer or dump
};

#endif  // TRACE_TEXT_CL_TEXT_H_
