#include "trace/base/hot_lock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

// Why no wake-up is lost on ARM64, and why one is bounded elsewhere.
//
// A waiter W marks the lock with exchange(2) and, when that returned non-zero, calls FUTEX_WAIT
// with the expected value 2; the kernel compares the word and queues W in one step under its
// futex bucket lock, so W sleeps only if the word still held 2 at that instant. The unlocker U
// must therefore see any 2 that W stored before U's release of the word.
//
// ARM64: U's exchange(0, release) is a single read-modify-write of m_State. Read-modify-writes of
// one location are totally ordered (its modification order) and each reads the value written
// just before it in that order, whatever the architecture's ordering of other accesses. Either
// W's exchange comes first: then U's exchange reads 2 and wakes one sleeper (W, or another that
// will mark 2 again when it takes the lock). Or U's comes first: then W's exchange reads 0 and W
// holds the lock without sleeping. Release order suffices for the data (the next holder's
// acquire reads U's store or a later RMW in its release sequence); no barrier orders U's later
// accesses, which need none. A sleeper that a FUTEX_WAKE finds after it re-marked 2 is woken by
// the next unlock that reads that 2, by the same argument.
//
// Other architectures: U loads the state, then stores 0. W's exchange can fall between the two:
// U read 1, W wrote 2 and went to sleep while the word still held 2, U then stores 0 and wakes
// nobody. Later lockers find 0, take it with 1 and wake nobody either, so W's sleep is bounded
// only by its time-out: at most 1 ms, after which it marks 2 again and competes as before.
namespace {

// Tries of the spin before sleeping: a few hundred nanoseconds, several times the longest section
// a hot lock guards, and far less than a time slice.
constexpr int kSpins = 100;

inline void Relax() {
#if defined(__x86_64__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// Sleeps while `word` holds `value`: without a time-out where no wake-up can be lost, else at
// most 1 ms (see above).
void Futex_Wait(std::atomic<uint32_t>* word, uint32_t value) {
  const timespec bound{0, 1000000};
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, value,
          CHot_Lock::kExact_Wake_Up ? nullptr : &bound, nullptr, 0);
}

}  // namespace

void CHot_Lock::Lock_Contended() {
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

void CHot_Lock::Wake_One() {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&m_State), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr,
          0);
}
