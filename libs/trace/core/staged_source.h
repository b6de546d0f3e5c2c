// IStaged_Source: a channel that may hold records its callers staged without taking its lock,
// not yet handed to the sink (the trace channel's staging). They count as accepted, so whoever
// promises that accepted records reach the output merges them first: a sink's Flush (through
// CClient::Merge_Staged_Channels) and the process's staging drainer.
//
// The engine's trace channels implement this interface; a sink finds it on a registered channel
// with dynamic_cast and skips channels that do not implement it.
//
// Thread-safety: any thread. Merge_Staged takes the channel's lock (callers may hold the client's
// channel lock, which comes first); Try_Merge_Staged only tries it.
#ifndef TRACE_CORE_STAGED_SOURCE_H_
#define TRACE_CORE_STAGED_SOURCE_H_

#include <stdint.h>

class IStaged_Source {
 public:
  // True when records may be staged and not merged yet (a cheap, lock-free hint).
  virtual bool Has_Staged() const = 0;
  // Merges the staged records into the stream, waiting for the channel's lock.
  virtual void Merge_Staged() = 0;
  // The same when the channel's lock is free; never waits for it.
  virtual void Try_Merge_Staged() = 0;
  // Bytes staged and not merged yet: a lock-free snapshot, for waits that watch their progress.
  virtual uint64_t Staged_Bytes() const = 0;

 protected:
  ~IStaged_Source() = default;
};

#endif  // TRACE_CORE_STAGED_SOURCE_H_
