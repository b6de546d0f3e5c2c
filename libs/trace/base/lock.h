// CLock: a recursive pthread mutex; CLockGuard: holds a CLock for one scope.
//
// The mutex is recursive, so a thread may re-enter code that already holds it. A CLock lives as
// long as its owner and must not be destroyed while held. A guard lives on one thread's stack
// and owns no mutex: it locks in its constructor and unlocks in its destructor.
//
// Lock, Unlock and the guard are inline: every trace call takes two locks, and an out-of-line
// call for each of them costs as much as the uncontended mutex operation itself.
//
// Both carry capability annotations (thread_annotations.h), so clang checks that every field
// marked TR_GUARDED_BY(lock) is touched only with that lock held.
//
// Thread-safety: Lock/Unlock may be called from any thread.
#ifndef TRACE_BASE_LOCK_H_
#define TRACE_BASE_LOCK_H_

#include <pthread.h>

#include "trace/base/thread_annotations.h"

class TR_CAPABILITY("mutex") CLock {
 public:
  CLock();
  ~CLock();

  CLock(const CLock&) = delete;
  CLock& operator=(const CLock&) = delete;

  void Lock() TR_ACQUIRE() { pthread_mutex_lock(&m_Mutex); }
  void Unlock() TR_RELEASE() { pthread_mutex_unlock(&m_Mutex); }

 private:
  pthread_mutex_t m_Mutex;
};

class TR_SCOPED_CAPABILITY CLockGuard {
 public:
  explicit CLockGuard(CLock* lock) TR_ACQUIRE(lock) : m_Lock(lock) { m_Lock->Lock(); }
  ~CLockGuard() TR_RELEASE() { m_Lock->Unlock(); }

  CLockGuard(const CLockGuard&) = delete;
  CLockGuard& operator=(const CLockGuard&) = delete;

 private:
  CLock* const m_Lock;
};

#endif  // TRACE_BASE_LOCK_H_
