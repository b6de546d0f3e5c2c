// The process's staging drainer: one background thread that merges the records channels staged
// for their callers when nobody else does, so that a record staged by a thread that then stops
// tracing still reaches the sink within a few milliseconds.
//
// While channels have staged records it runs a pass every millisecond; each pass that finds
// nothing doubles the wait, and after one of 64 ms it sleeps until the next Wake. It never waits
// for a channel's lock: a busy channel is left for its holder or the next pass. The thread starts
// on the first Wake (again in a forked child) and is joined when the last listed channel goes,
// so a process whose channels are gone runs no thread of ours.
//
// Lock order: the drainer's registry mutex, then a channel's lock (only tried).
//
// Thread-safety: every function may be called from any thread; Wake takes no lock, so it may be
// called while holding a channel's lock.
#ifndef TRACE_CHANNEL_STAGING_DRAINER_H_
#define TRACE_CHANNEL_STAGING_DRAINER_H_

#include "trace/core/staged_source.h"

namespace staging_drainer {

// Lists `source` for the passes; false when memory is short (then only its callers and its
// flushes merge its records).
bool Add(IStaged_Source* source);
// Unlists `source`; once it returns no pass touches it. The last one ends the thread (joined
// here, so the caller must hold no lock a pass may wait for: a sink's locks).
void Remove(IStaged_Source* source);
// A listed source has new staged records: starts the thread or ends its sleep when needed.
void Wake();

}  // namespace staging_drainer

#endif  // TRACE_CHANNEL_STAGING_DRAINER_H_
