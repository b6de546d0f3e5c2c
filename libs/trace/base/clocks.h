// Clocks of the trace engine.
//
// GetTickCount and GetPerformanceCounter read the monotonic clock (origin unspecified; never
// jumps with the wall clock). Get_System_Time_100ns reads the wall clock on the scale used on the
// wire and in files: 100-ns units since 1601-01-01 UTC.
//
// Every timed wait of the engine takes its deadline from Monotonic_Deadline and waits on the
// monotonic clock: a gateway without a real-time clock steps its wall clock by years at its first
// time synchronisation, and a wall-clock deadline would then stall a writer's write-out, a roll
// check or a worker's poll for as long as the step (or end it at once).
//
// Channel_Timer is the trace channels' built-in timer: the cheapest monotonic tick counter the
// processor offers, read without a system call or a fence. On x86-64 it is the time-stamp counter
// when the kernel itself keeps time with it (so the counter is invariant and synchronised across
// processors), its frequency calibrated once per process against CLOCK_MONOTONIC; on aarch64 the
// generic timer's virtual count (cntvct_el0) with its architectural frequency (cntfrq_el0). Where
// neither is usable it is GetPerformanceCounter at 10 MHz. The choice and the frequency are fixed
// by the first call of Channel_Timer_Frequency (a channel makes it at creation) and never change
// in the process, so every record a channel writes carries ticks of the frequency its
// information record states. A counter read on one processor may lag one read just before on
// another by a few ticks; a channel that needs strictly monotonic values keeps the largest seen.
//
// Thread-safety: free functions; Channel_Timer_Frequency initialises once (thread-safe) and
// Channel_Timer reads what it set.
#ifndef TRACE_BASE_CLOCKS_H_
#define TRACE_BASE_CLOCKS_H_

#include <stdint.h>
#include <time.h>

#include <atomic>

// 100-ns units between 1601-01-01 and 1970-01-01 (UTC).
constexpr uint64_t kEpoch1601To1970_100ns = 116444736000000000ULL;
// Ticks per second of GetPerformanceCounter.
constexpr uint64_t kPerformanceFrequency = 10000000ULL;

// Monotonic milliseconds, truncated to 32 bits (wraps about every 49.7 days).
uint32_t GetTickCount();
// Milliseconds from tick `then` to tick `now`, correct across the wrap of the 32-bit tick (a
// span below 49.7 days): unsigned subtraction is exact modulo 2^32.
constexpr uint32_t Elapsed_ms(uint32_t now, uint32_t then) { return now - then; }
// Monotonic 100-ns ticks.
uint64_t GetPerformanceCounter();
// Ticks per second of Channel_Timer; the first call chooses the counter (a calibration of about
// 20 ms on x86-64).
uint64_t Channel_Timer_Frequency();

namespace clocks_internal {
// Set once by Channel_Timer_Frequency: read the processor's counter rather than the clock.
extern std::atomic<bool> g_Use_Cycle_Counter;
}  // namespace clocks_internal

// The channels' timer (see above). Before the first Channel_Timer_Frequency call it reads
// GetPerformanceCounter.
inline uint64_t Channel_Timer() {
#if defined(__x86_64__)
  if (__builtin_expect(clocks_internal::g_Use_Cycle_Counter.load(std::memory_order_relaxed), 1))
    return __builtin_ia32_rdtsc();
#elif defined(__aarch64__)
  if (__builtin_expect(clocks_internal::g_Use_Cycle_Counter.load(std::memory_order_relaxed), 1)) {
    uint64_t ticks;
    asm volatile("mrs %0, cntvct_el0" : "=r"(ticks));
    return ticks;
  }
#endif
  return GetPerformanceCounter();
}

// Wall clock in 100-ns units since 1601-01-01 UTC.
uint64_t Get_System_Time_100ns();
// The absolute time `timeout_ms` milliseconds from now on CLOCK_MONOTONIC, normalised
// (0 <= tv_nsec < 1e9); for sem_clockwait, pthread_cond_timedwait with a monotonic condition
// and clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME).
timespec Monotonic_Deadline(uint32_t timeout_ms);

#endif  // TRACE_BASE_CLOCKS_H_
