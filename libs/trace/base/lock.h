// CLock: a recursive pthread mutex, and its scoped-guard form.
//
// An owning lock (CLock()) creates the mutex and destroys it with itself. A guard
// (CLock(&owner)) locks `owner` in its constructor and unlocks it in its destructor; it owns no
// mutex of its own. The mutex is recursive, so a thread may re-enter code that already holds it.
//
// Lock, Unlock and the guard are inline: every trace call takes two locks, and an out-of-line
// call for each of them costs as much as the uncontended mutex operation itself.
//
// Thread-safety: Lock/Unlock may be called from any thread; a guard lives on one thread's stack.
#ifndef TRACE_BASE_LOCK_H_
#define TRACE_BASE_LOCK_H_

#include <pthread.h>

class CLock {
 public:
  CLock();
  explicit CLock(CLock* guarded) : m_Guarded(guarded) {
    if (m_Guarded) m_Guarded->Lock();
  }
  virtual ~CLock() {
    if (m_Guarded) {
      m_Guarded->Unlock();
    } else {
      Destroy();
    }
  }

  CLock(const CLock&) = delete;
  CLock& operator=(const CLock&) = delete;

  void Lock() {
    if (__builtin_expect(m_Guarded != nullptr, 0)) {
      m_Guarded->Lock();
    } else {
      pthread_mutex_lock(&m_Mutex);
    }
  }
  void Unlock() {
    if (__builtin_expect(m_Guarded != nullptr, 0)) {
      m_Guarded->Unlock();
    } else {
      pthread_mutex_unlock(&m_Mutex);
    }
  }

 private:
  void Destroy();

  // Used only by an owning lock (initialised by CLock()); a guard leaves it untouched.
  pthread_mutex_t m_Mutex;
  CLock* m_Guarded;  // the lock held by a guard; null for an owning lock
};

#endif  // TRACE_BASE_LOCK_H_
