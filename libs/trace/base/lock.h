// CLock: the engine's general-purpose lock, a recursive mutex that puts a waiter to sleep at once;
// CLockGuard: holds a lock (CLock or CHot_Lock) for one scope.
//
// CLock is what every lock is unless it guards a section of a trace call: set-up and teardown,
// joins, journal printing, waits for room or for a connection, channel tables and the viewer's
// copies. Those sections may last milliseconds, so a waiter must not burn a processor on them;
// the spinning CHot_Lock (hot_lock.h) is kept for the few sections of tens of nanoseconds that
// every trace call crosses. No lock of either kind is held across a sleep or a thread join.
//
// The mutex is recursive, so a thread may re-enter code that already holds it (a channel that
// unregisters itself from a callback the client makes under its channel lock). Its destructor is
// trivial (a glibc mutex holds no resources), so a static CLock stays usable from exit handlers.
// A CLock must not be destroyed while held.
//
// Both carry capability annotations (thread_annotations.h), so clang checks that every field
// marked TR_GUARDED_BY(lock) is touched only with that lock held.
//
// Thread-safety: Lock/Try_Lock/Unlock may be called from any thread; Unlock only by the holder.
// A signal handler that locks a CLock its own thread was acquiring waits forever: handlers lock
// only what their thread cannot be in the middle of taking.
#ifndef TRACE_BASE_LOCK_H_
#define TRACE_BASE_LOCK_H_

#include <pthread.h>

#include "trace/base/thread_annotations.h"

class TR_CAPABILITY("mutex") CLock {
 public:
  CLock() = default;
  ~CLock() = default;

  CLock(const CLock&) = delete;
  CLock& operator=(const CLock&) = delete;

  void Lock() TR_ACQUIRE() { pthread_mutex_lock(&m_Mutex); }
  // Takes the lock when it is free or already the caller's; false at once otherwise.
  bool Try_Lock() TR_TRY_ACQUIRE(true) { return pthread_mutex_trylock(&m_Mutex) == 0; }
  void Unlock() TR_RELEASE() { pthread_mutex_unlock(&m_Mutex); }

 private:
  pthread_mutex_t m_Mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
};

// Holds `Lockable` (CLock, CHot_Lock) from construction to destruction; lives on one thread's
// stack and owns no lock.
template <typename Lockable>
class TR_SCOPED_CAPABILITY CLockGuard {
 public:
  explicit CLockGuard(Lockable* lock) TR_ACQUIRE(lock) : m_Lock(lock) { m_Lock->Lock(); }
  ~CLockGuard() TR_RELEASE() { m_Lock->Unlock(); }

  CLockGuard(const CLockGuard&) = delete;
  CLockGuard& operator=(const CLockGuard&) = delete;

 private:
  Lockable* const m_Lock;
};

#endif  // TRACE_BASE_LOCK_H_
