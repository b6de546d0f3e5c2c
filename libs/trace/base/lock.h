// CLock: a recursive pthread mutex, and its scoped-guard form.
//
// An owning lock (CLock()) creates the mutex and destroys it with itself. A guard
// (CLock(&owner)) locks `owner` in its constructor and unlocks it in its destructor; it owns no
// mutex of its own. The mutex is recursive, so a thread may re-enter code that already holds it.
//
// Thread-safety: Lock/Unlock may be called from any thread; a guard lives on one thread's stack.
#ifndef TRACE_BASE_LOCK_H_
#define TRACE_BASE_LOCK_H_

#include <pthread.h>

class CLock {
 public:
  CLock();
  explicit CLock(CLock* guarded);
  virtual ~CLock();

  CLock(const CLock&) = delete;
  CLock& operator=(const CLock&) = delete;

  void Lock();
  void Unlock();

 private:
  pthread_mutex_t m_Mutex;  // used only by an owning lock
  CLock* m_Guarded;         // the lock held by a guard; null for an owning lock
};

#endif  // TRACE_BASE_LOCK_H_
