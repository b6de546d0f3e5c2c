// CLock: a recursive mutex; CLockGuard: holds a CLock for one scope.
//
// The mutex is recursive, so a thread may re-enter code that already holds it. A CLock lives as
// long as its owner and must not be destroyed while held. A guard lives on one thread's stack
// and owns no mutex: it locks in its constructor and unlocks in its destructor.
//
// A trace call that is not staged takes two of these locks (its channel's, then its sink's), so
// the uncontended path is a single compare-and-swap inline, with no call into the C library, and
// a contended lock first spins briefly: the sections it guards last tens of nanoseconds, far less
// than the system calls of putting a thread to sleep and waking it, which would multiply the
// latency of every contended call. Only after the spin does a waiter sleep (futex), so a holder
// that lost its processor costs no busy waiting.
//
// Representation: m_State is 0 free, 1 held, 2 held and a thread may sleep on it (the unlocker
// then wakes one). Unlocking is a plain release store, not an atomic exchange: an exchange is a
// full barrier that makes the unlocking caller wait until every store of its section (the
// record it just copied, often into lines another processor holds) has reached the cache, a
// wait that showed as a quarter of a trace call's time. The price is a rare lost wake-up: a
// waiter that marks the lock 2 between the unlocker's read of 1 and its store of 0 is not woken,
// so a sleeping waiter looks again after at most 1 ms. m_Owner is the holding thread's thread
// pointer (unique among live threads; 0 when free), written only by the holder, so a thread that
// reads its own value holds the lock; m_Depth counts its nested holds and is touched only by the
// holder. Memory order: acquiring m_State is an acquire and releasing it a release, so everything
// done under the lock happens-before what the next holder does (ThreadSanitizer sees these
// atomics).
//
// Both carry capability annotations (thread_annotations.h), so clang checks that every field
// marked TR_GUARDED_BY(lock) is touched only with that lock held.
//
// Thread-safety: Lock/Unlock may be called from any thread; Unlock only by the holder. Like a
// recursive pthread mutex, a signal handler that locks a CLock its own thread was acquiring
// (between the compare-and-swap and the owner's store) waits forever: handlers lock only what
// their thread cannot be in the middle of taking.
#ifndef TRACE_BASE_LOCK_H_
#define TRACE_BASE_LOCK_H_

#include <stdint.h>

#include <atomic>

#include "trace/base/thread_annotations.h"

class TR_CAPABILITY("mutex") CLock {
 public:
  CLock() = default;
  ~CLock() = default;

  CLock(const CLock&) = delete;
  CLock& operator=(const CLock&) = delete;

  void Lock() TR_ACQUIRE() {
    const uintptr_t self = Self();
    if (m_Owner.load(std::memory_order_relaxed) == self) {
      ++m_Depth;
      return;
    }
    uint32_t expected = 0;
    if (!m_State.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
      Lock_Contended();
    }
    m_Owner.store(self, std::memory_order_relaxed);
    m_Depth = 1;
  }

  // Takes the lock when it is free or already the caller's; false at once when another thread
  // holds it (no spin, no sleep).
  bool Try_Lock() TR_TRY_ACQUIRE(true) {
    const uintptr_t self = Self();
    if (m_Owner.load(std::memory_order_relaxed) == self) {
      ++m_Depth;
      return true;
    }
    uint32_t expected = 0;
    if (m_State.load(std::memory_order_relaxed) != 0 ||
        !m_State.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
      return false;
    }
    m_Owner.store(self, std::memory_order_relaxed);
    m_Depth = 1;
    return true;
  }

  void Unlock() TR_RELEASE() {
    if (--m_Depth != 0) return;
    m_Owner.store(0, std::memory_order_relaxed);
    const uint32_t state = m_State.load(std::memory_order_relaxed);
    m_State.store(0, std::memory_order_release);
    if (state == 2) Wake_One();
  }

 private:
  // The calling thread's identity: its thread pointer, distinct for every live thread.
  static uintptr_t Self() { return reinterpret_cast<uintptr_t>(__builtin_thread_pointer()); }
  // Spins, then sleeps, until m_State is taken (acquire).
  void Lock_Contended();
  void Wake_One();

  std::atomic<uint32_t> m_State{0};
  std::atomic<uintptr_t> m_Owner{0};
  uint32_t m_Depth = 0;  // the holder's only
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
