#include "trace/base/clocks.h"

#include <time.h>

#include <mutex>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace clocks_internal {
std::atomic<bool> g_Use_Cycle_Counter{false};
std::atomic<uint64_t> g_Checked_At{0};
std::atomic<uint64_t> g_Watch_Ticks{0};
}  // namespace clocks_internal

namespace {

uint64_t Monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

// The monotonic timer: base_ticks + (now_ns - base_ns) * multiplier / 2^kScale_Bits, the
// multiplier exact to a relative 1e-13 at 10 MHz (a tick in three years). Written before
// g_Use_Cycle_Counter is cleared (release) and read after an acquire fence, so a reader that
// finds the counter off sees the base it was switched off with.
constexpr unsigned kScale_Bits = 52;

constexpr uint64_t Multiplier_For(uint64_t hz) {
  return static_cast<uint64_t>((static_cast<unsigned __int128>(hz) << kScale_Bits) / 1000000000U);
}

std::atomic<uint64_t> g_Base_Ticks{0};
std::atomic<uint64_t> g_Base_ns{0};
std::atomic<uint64_t> g_Multiplier{Multiplier_For(kPerformanceFrequency)};

uint64_t Ticks_In(uint64_t ns, uint64_t multiplier) {
  return static_cast<uint64_t>((static_cast<unsigned __int128>(ns) * multiplier) >> kScale_Bits);
}

#if defined(__x86_64__)
// The counter's frequency (0 before it was chosen) and the last check that found it agreeing
// with the monotonic clock: written by the chooser before the counter is in use, then by the
// thread that holds g_Checking. Atomic (relaxed) only so that a thread that learnt of the counter
// through g_Use_Cycle_Counter alone reads them without a data race.
std::atomic<uint64_t> g_Counter_Hz{0};
std::atomic<uint64_t> g_Anchor_Counter{0};
std::atomic<uint64_t> g_Anchor_ns{0};
std::atomic<bool> g_Checking{false};

// A simultaneous reading of the counter and the monotonic clock: the middle of the counter's
// tightest window over a few tries, so that a thread preempted between the reads (its window then
// spans milliseconds) does not skew it. Returns that window in counter ticks.
uint64_t Sample(uint64_t* ticks, uint64_t* ns, int tries) {
  uint64_t best_window = UINT64_MAX;
  for (int i = 0; i < tries; ++i) {
    const uint64_t before = __builtin_ia32_rdtsc();
    const uint64_t now = Monotonic_ns();
    const uint64_t after = __builtin_ia32_rdtsc();
    if (after - before < best_window) {
      best_window = after - before;
      *ticks = before + (after - before) / 2;
      *ns = now;
    }
  }
  return best_window;
}

// The processor's counter runs at one rate in every power state (CPUID's invariant-TSC bit).
bool Counter_Invariant() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid(0x80000007, &eax, &ebx, &ecx, &edx) != 0 && (edx & (1u << 8)) != 0;
}

// Ticks per second of the time-stamp counter, measured over about 20 ms of the monotonic clock
// (a few parts per million), rounded to 1 kHz; 0 when the measurement is implausible. The second
// sample becomes the watch's first anchor.
uint64_t Calibrate_TSC() {
  uint64_t ticks0 = 0, ns0 = 0, ticks1 = 0, ns1 = 0;
  Sample(&ticks0, &ns0, 16);
  timespec pause{0, 20000000L};
  while (nanosleep(&pause, &pause) != 0) {
  }
  Sample(&ticks1, &ns1, 16);
  if (ns1 <= ns0 || ticks1 <= ticks0) return 0;
  const double hz = static_cast<double>(ticks1 - ticks0) * 1e9 / static_cast<double>(ns1 - ns0);
  if (hz < 1e8 || hz > 1e11) return 0;
  g_Anchor_Counter.store(ticks1, std::memory_order_relaxed);
  g_Anchor_ns.store(ns1, std::memory_order_relaxed);
  return static_cast<uint64_t>(hz / 1000.0 + 0.5) * 1000;
}

// The check of the counter against the monotonic clock with the sample (counter, ns), whose
// window was `window` ticks; the caller holds g_Checking. Returns the timer's value.
uint64_t Check_Counter(uint64_t counter, uint64_t ns, uint64_t window) {
  using namespace clocks_internal;
  const uint64_t hz = g_Counter_Hz.load(std::memory_order_relaxed);
  const uint64_t anchor_counter = g_Anchor_Counter.load(std::memory_order_relaxed);
  const uint64_t anchor_ns = g_Anchor_ns.load(std::memory_order_relaxed);
  uint64_t value = counter;
  // A sample whose reads were far apart says nothing: the next read after the interval tries
  // again, against the same anchor.
  if (window <= hz / 50000) {  // 20 us
    if (Counter_Agrees(anchor_counter, anchor_ns, counter, ns, hz)) {
      g_Anchor_Counter.store(counter, std::memory_order_relaxed);
      g_Anchor_ns.store(ns, std::memory_order_relaxed);
    } else {
      // Where the counter should be now, had it kept the rate it was calibrated with.
      const uint64_t multiplier = Multiplier_For(hz);
      value = anchor_counter + Ticks_In(ns - anchor_ns, multiplier);
      g_Base_Ticks.store(value, std::memory_order_relaxed);
      g_Base_ns.store(ns, std::memory_order_relaxed);
      g_Multiplier.store(multiplier, std::memory_order_relaxed);
      g_Use_Cycle_Counter.store(false, std::memory_order_release);
    }
  }
  g_Checked_At.store(counter, std::memory_order_relaxed);
  return value;
}
#endif

uint64_t Choose_Channel_Timer() {
#if defined(__x86_64__)
  if (Counter_Invariant()) {
    if (const uint64_t hz = Calibrate_TSC()) {
      g_Counter_Hz.store(hz, std::memory_order_relaxed);
      clocks_internal::g_Checked_At.store(g_Anchor_Counter.load(std::memory_order_relaxed),
                                          std::memory_order_relaxed);
      clocks_internal::g_Watch_Ticks.store(hz / 1000 * clocks_internal::kWatch_ms,
                                           std::memory_order_relaxed);
      clocks_internal::g_Use_Cycle_Counter.store(true, std::memory_order_release);
      return hz;
    }
  }
#elif defined(__aarch64__)
  uint64_t hz;
  asm volatile("mrs %0, cntfrq_el0" : "=r"(hz));
  if (hz != 0) {
    clocks_internal::g_Use_Cycle_Counter.store(true, std::memory_order_relaxed);
    return hz;
  }
#endif
  return kPerformanceFrequency;
}

}  // namespace

namespace clocks_internal {

bool Counter_Agrees(uint64_t counter0, uint64_t ns0, uint64_t counter1, uint64_t ns1,
                    uint64_t hz) {
  if (counter1 < counter0 || ns1 < ns0 || hz == 0) return false;
  const unsigned __int128 counted_ns =
      static_cast<unsigned __int128>(counter1 - counter0) * 1000000000U / hz;
  const uint64_t elapsed_ns = ns1 - ns0;
  const unsigned __int128 tolerance = 1000000U + elapsed_ns / 100;
  return counted_ns > elapsed_ns ? counted_ns - elapsed_ns <= tolerance
                                 : elapsed_ns - counted_ns <= tolerance;
}

uint64_t Watch_Counter(uint64_t counter) {
#if defined(__x86_64__)
  // One thread checks; a read meanwhile takes the counter as it is.
  if (g_Checking.exchange(true, std::memory_order_acquire)) return counter;
  uint64_t ticks = 0, ns = 0;
  const uint64_t window = Sample(&ticks, &ns, 4);
  const uint64_t value = Check_Counter(ticks, ns, window);
  g_Checking.store(false, std::memory_order_release);
  return value;
#else
  return counter;
#endif
}

uint64_t Check_Counter_With(uint64_t counter, uint64_t ns) {
#if defined(__x86_64__)
  return Check_Counter(counter, ns, 0);
#else
  (void)ns;
  return counter;
#endif
}

uint64_t Monotonic_Timer() {
  std::atomic_thread_fence(std::memory_order_acquire);
  const uint64_t base_ticks = g_Base_Ticks.load(std::memory_order_relaxed);
  const uint64_t base_ns = g_Base_ns.load(std::memory_order_relaxed);
  const uint64_t multiplier = g_Multiplier.load(std::memory_order_relaxed);
  const uint64_t now = Monotonic_ns();
  // A thread that read the clock just before another switched it may find itself before the
  // base: it stays at the base.
  return now > base_ns ? base_ticks + Ticks_In(now - base_ns, multiplier) : base_ticks;
}

}  // namespace clocks_internal

uint64_t Channel_Timer_Frequency() {
  static std::once_flag once;
  static uint64_t frequency = kPerformanceFrequency;
  std::call_once(once, [] { frequency = Choose_Channel_Timer(); });
  return frequency;
}

uint32_t GetTickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000ULL +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000000ULL);
}

uint64_t GetPerformanceCounter() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * kPerformanceFrequency +
         static_cast<uint64_t>(ts.tv_nsec) / 100ULL;
}

uint64_t Get_System_Time_100ns() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * kPerformanceFrequency +
         static_cast<uint64_t>(ts.tv_nsec) / 100ULL + kEpoch1601To1970_100ns;
}

timespec Monotonic_Deadline(uint32_t timeout_ms) {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
  deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return deadline;
}
