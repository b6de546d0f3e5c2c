// ILoss_Listener: a channel that can show its readers where records went missing.
//
// Records can be lost after a caller was told they were taken (a network sink discards what was
// queued when its connection drops) or refused outright (no room, sink off). Neither may vanish
// silently: a sink that discards accepted records tells each affected channel how many through
// On_Loss, and the channel itself counts the calls it had refused. The channel then precedes the
// first record it delivers afterwards with one message of the engine's own (level warning) that
// says how many records were lost since the last such message and why, so that every reader (the
// text sinks, trace-cat, the trace server) shows the gap where it happened.
//
// The engine's trace channels implement this interface; a sink finds it on a registered channel
// with dynamic_cast and skips channels that do not implement it.
//
// Thread-safety: On_Loss is called with the client's channel lock held (like On_Status) and takes
// the channel's own lock, so the engine's lock order holds.
#ifndef TRACE_CORE_LOSS_LISTENER_H_
#define TRACE_CORE_LOSS_LISTENER_H_

#include <stdint.h>

enum class eLoss_Reason : uint32_t {
  eNo_Room = 0,          // the sink's buffers were full
  eSink_Off = 1,         // the sink was not delivering (disconnected, failed or closed)
  eConnection_Lost = 2,  // accepted, then discarded when the connection to the server dropped
};

class ILoss_Listener {
 public:
  // `records` records of `bytes` bytes in all were lost for `reason`.
  virtual void On_Loss(uint32_t records, uint64_t bytes, eLoss_Reason reason) = 0;

 protected:
  ~ILoss_Listener() = default;
};

#endif  // TRACE_CORE_LOSS_LISTENER_H_
