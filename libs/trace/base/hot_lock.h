// CHot_Lock: the spinning recursive lock of the sections every trace call crosses (a channel's
// lock, a sink's status lock, the network sink's ready queue and packet pool). Everything else
// uses the sleeping CLock (lock.h); CLockGuard holds either.
//
// A trace call that is not staged takes two of these locks (its channel's, then its sink's), so
// the uncontended path is a single compare-and-swap inline, with no call into the C library, and
// a contended lock first spins briefly: the sections it guards last tens of nanoseconds, far less
// than the system calls of putting a thread to sleep and waking it. Only after the spin does a
// waiter sleep (futex), so a holder that lost its processor costs no busy waiting. A section
// under a CHot_Lock never sleeps, joins, prints or waits for another thread.
//
// Representation: m_State is 0 free, 1 held, 2 held and a thread may sleep on it (the unlocker
// then wakes one). m_Owner is the holding thread's thread pointer (unique among live threads; 0
// when free), written only by the holder, so a thread that reads its own value holds the lock;
// m_Depth counts its nested holds and is touched only by the holder. Acquiring m_State is an
// acquire and releasing it a release, so everything done under the lock happens-before what the
// next holder does (ThreadSanitizer sees these atomics).
//
// Wake-ups (hot_lock.cc has the argument in full). On ARM64 the unlock is an atomic exchange with
// release order: one SWPL (or an exclusive pair ending in a store-release), no full barrier, and
// it reads the state in the same indivisible step that frees the lock, so a waiter that marked
// the lock 2 is always seen and woken: no wake-up is lost and sleepers wait without a time-out.
// Elsewhere (x86, where every exchange is a full barrier that made the unlocking call wait for
// its section's stores to drain) the unlock is a load followed by a release store; a waiter that
// marks the lock 2 between the two is not woken, so sleepers there look again after at most 1 ms.
//
// Thread-safety: Lock/Unlock may be called from any thread; Unlock only by the holder. Like a
// recursive pthread mutex, a signal handler that locks a CHot_Lock its own thread was acquiring
// (between the compare-and-swap and the owner's store) waits forever: handlers lock only what
// their thread cannot be in the middle of taking.
#ifndef TRACE_BASE_HOT_LOCK_H_
#define TRACE_BASE_HOT_LOCK_H_

#include <stdint.h>

#include <atomic>

#include "trace/base/lock.h"
#include "trace/base/thread_annotations.h"

class TR_CAPABILITY("mutex") CHot_Lock {
 public:
  CHot_Lock() = default;
  ~CHot_Lock() = default;

  CHot_Lock(const CHot_Lock&) = delete;
  CHot_Lock& operator=(const CHot_Lock&) = delete;

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
#if defined(__aarch64__)
    const uint32_t state = m_State.exchange(0, std::memory_order_release);
#else
    const uint32_t state = m_State.load(std::memory_order_relaxed);
    m_State.store(0, std::memory_order_release);
#endif
    if (state == 2) Wake_One();
  }

  // True when the unlock cannot lose a wake-up on this build (sleepers wait without a time-out).
  static constexpr bool kExact_Wake_Up =
#if defined(__aarch64__)
      true;
#else
      false;
#endif

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

#endif  // TRACE_BASE_HOT_LOCK_H_
