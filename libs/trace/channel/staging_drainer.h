// The process's staging drainer: one background thread that merges the records channels staged
// for their callers when nobody else does, so that a record staged by a thread that then stops
// tracing still reaches the sink within a few milliseconds.
//
// While channels have staged records it runs a pass every millisecond; each pass that finds
// nothing doubles the wait, and after one of 64 ms it sleeps until the next Wake. It never waits
// for a channel's lock: a busy channel is left for its holder or the next pass, and it merges
// without its registry mutex, so a sink waiting for room holds up no other channel's listing.
// The thread starts when a channel is listed (at the channel's creation, never inside a trace
// call) and is joined when the last listed channel goes, so a process whose channels are gone
// runs no thread of ours. A forked child starts it again at its next channel creation or flush
// (Ensure_Running); until then its callers, flushes and closes merge.
//
// Lock order: the drainer's control mutex, then its registry mutex; a channel's lock is only
// tried by a pass, and taken by nobody while holding the drainer's mutexes.
//
// Thread-safety: every function may be called from any thread. Wake takes no lock, allocates
// nothing and starts no thread, so a trace call (even one in a signal handler) may call it.
#ifndef TRACE_CHANNEL_STAGING_DRAINER_H_
#define TRACE_CHANNEL_STAGING_DRAINER_H_

#include "trace/core/staged_source.h"

namespace staging_drainer {

// Lists `source` for the passes and starts the thread when it does not run; false when memory is
// short (then only its callers and its flushes merge its records).
bool Add(IStaged_Source* source);
// Unlists `source`; once it returns no pass touches it. The last one ends the thread (joined
// here, so the caller must hold no lock a pass may wait for: a sink's locks).
void Remove(IStaged_Source* source);
// A listed source has new staged records: ends the thread's sleep when it sleeps.
void Wake();
// Starts the thread when sources are listed and it does not run (a forked child); for callers
// outside trace calls that hold no sink lock.
void Ensure_Running();

}  // namespace staging_drainer

#endif  // TRACE_CHANNEL_STAGING_DRAINER_H_
