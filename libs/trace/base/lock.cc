#include "trace/base/lock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

// Tries of the spin before sleeping: a few hundred nanoseconds, several times the longest section
// the engine guards on its hot path, and far less than a time slice.
constexpr int kSpins = 100;

inline void Relax() {
#if defined(__x86_64__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// Sleeps while `word` holds `value`, at most 1 ms (see the lost wake-up in lock.h).
void Futex_Wait(std::atomic<uint32_t>* word, uint32_t value) {
  const timespec timeout{0, 1000000};
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, value, &timeout,
          nullptr, 0);
}

}  // namespace

void CLock::Lock_Contended() {
  for (int i = 0; i < kSpins; ++i) {
    Relax();
    uint32_t expected = 0;
    if (m_State.load(std::memory_order_relaxed) == 0 &&
        m_State.compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
      return;
    }
  }
  // Marked 2 while anyone may sleep: the holder's unlock then wakes one sleeper, which takes the
  // lock as 2 again since others may still sleep.
  while (m_State.exchange(2, std::memory_order_acquire) != 0) Futex_Wait(&m_State, 2);
}

void CLock::Wake_One() {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&m_State), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr,
          0);
}
