#include "trace/base/clocks.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <mutex>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace clocks_internal {
std::atomic<bool> g_Use_Cycle_Counter{false};
}  // namespace clocks_internal

namespace {

#if defined(__x86_64__)
uint64_t Monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

// The kernel keeps time with the time-stamp counter only when it found it invariant and
// synchronised across processors; that is the one case in which a bare counter read is a clock.
bool Kernel_Trusts_TSC() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(0x80000007, &eax, &ebx, &ecx, &edx) == 0 || (edx & (1u << 8)) == 0) return false;
  FILE* file = fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "re");
  if (file == nullptr) return false;
  char name[32] = {};
  const bool read = fgets(name, sizeof(name), file) != nullptr;
  fclose(file);
  return read && strncmp(name, "tsc", 3) == 0 && (name[3] == '\n' || name[3] == '\0');
}

// One (counter, clock) pair, the counter taken as the midpoint of two reads around the clock:
// the tightest of several tries, so that a thread preempted between the reads (its window then
// spans milliseconds) does not skew the calibration.
void Sample(uint64_t* ticks, uint64_t* ns) {
  uint64_t best_window = UINT64_MAX;
  for (int i = 0; i < 16; ++i) {
    const uint64_t before = __builtin_ia32_rdtsc();
    const uint64_t now = Monotonic_ns();
    const uint64_t after = __builtin_ia32_rdtsc();
    if (after - before < best_window) {
      best_window = after - before;
      *ticks = before + (after - before) / 2;
      *ns = now;
    }
  }
}

// Ticks per second of the time-stamp counter, measured over about 20 ms of the monotonic clock
// (a few parts per million), rounded to 1 kHz; 0 when the measurement is implausible.
uint64_t Calibrate_TSC() {
  uint64_t ticks0 = 0, ns0 = 0, ticks1 = 0, ns1 = 0;
  Sample(&ticks0, &ns0);
  timespec pause{0, 20000000L};
  while (nanosleep(&pause, &pause) != 0) {
  }
  Sample(&ticks1, &ns1);
  if (ns1 <= ns0 || ticks1 <= ticks0) return 0;
  const double hz = static_cast<double>(ticks1 - ticks0) * 1e9 / static_cast<double>(ns1 - ns0);
  if (hz < 1e8 || hz > 1e11) return 0;
  return static_cast<uint64_t>(hz / 1000.0 + 0.5) * 1000;
}
#endif

uint64_t Choose_Channel_Timer() {
#if defined(__x86_64__)
  if (Kernel_Trusts_TSC()) {
    if (const uint64_t hz = Calibrate_TSC()) {
      clocks_internal::g_Use_Cycle_Counter.store(true, std::memory_order_relaxed);
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
