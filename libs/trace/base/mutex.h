// CMutex: a plain (non-recursive) pthread mutex with capability annotations; CMutexGuard holds one
// for a scope.
//
// For the few engine locks that must not be recursive: a lock that a signal handler only tries
// (Try_Lock) must fail when the interrupted code on the same thread holds it, where a recursive
// CLock would let the handler in. Everything else uses CLock, or CHot_Lock on a trace call's path.
//
// The destructor is trivial (a default pthread mutex holds no resources), so a static CMutex stays
// usable from exit handlers and signal handlers that run after static destruction has begun.
//
// Thread-safety: Lock/Unlock/Try_Lock may be called from any thread. A guard lives on one
// thread's stack.
#ifndef TRACE_BASE_MUTEX_H_
#define TRACE_BASE_MUTEX_H_

#include <pthread.h>

#include "trace/base/thread_annotations.h"

class TR_CAPABILITY("mutex") CMutex {
 public:
  constexpr CMutex() = default;

  CMutex(const CMutex&) = delete;
  CMutex& operator=(const CMutex&) = delete;

  void Lock() TR_ACQUIRE() { pthread_mutex_lock(&m_Mutex); }
  void Unlock() TR_RELEASE() { pthread_mutex_unlock(&m_Mutex); }
  // True when the mutex was free and is now held; never blocks.
  bool Try_Lock() TR_TRY_ACQUIRE(true) { return pthread_mutex_trylock(&m_Mutex) == 0; }

 private:
  pthread_mutex_t m_Mutex = PTHREAD_MUTEX_INITIALIZER;
};

class TR_SCOPED_CAPABILITY CMutexGuard {
 public:
  explicit CMutexGuard(CMutex* mutex) TR_ACQUIRE(mutex) : m_Mutex(mutex) { m_Mutex->Lock(); }
  ~CMutexGuard() TR_RELEASE() { m_Mutex->Unlock(); }

  CMutexGuard(const CMutexGuard&) = delete;
  CMutexGuard& operator=(const CMutexGuard&) = delete;

 private:
  CMutex* const m_Mutex;
};

#endif  // TRACE_BASE_MUTEX_H_
