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
// processor offers, read without a system call or a fence.
//   - On x86-64 it is the time-stamp counter when the processor declares it invariant (one rate
//     in every power state), its frequency calibrated once per process against CLOCK_MONOTONIC.
//     The kernel may keep time with another clock even so (a virtual machine that can be moved
//     to another host, where the counter's offset or rate differ), so the counter is watched:
//     the first read more than kWatch_ms after the last check, or before it (the counter went
//     back), compares the counter's progress with CLOCK_MONOTONIC's since the last agreeing
//     check. When the two disagree by more than 1 ms plus 1 %, the timer goes on from where the
//     counter should have been, on CLOCK_MONOTONIC at the same frequency, for the rest of the
//     process: the scale a channel's information record states stays right and the stream
//     does not jump. A call racing the check that finds the jump may still carry the jumped
//     value; a channel keeps its stream in order by clamping (below).
//   - On aarch64 it is the generic timer's virtual count (cntvct_el0) with its architectural
//     frequency (cntfrq_el0).
//   - Elsewhere, or when neither is usable, it is CLOCK_MONOTONIC at 10 MHz.
// The frequency is fixed by the first call of Channel_Timer_Frequency (a channel makes it at
// creation) and never changes in the process, so every record a channel writes carries ticks of
// the frequency its information record states. A counter read on one processor may lag one read
// just before on another by a few ticks; a channel that needs strictly monotonic values keeps
// the largest seen.
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
// Milliseconds between two checks of the x86-64 counter (see above).
constexpr uint64_t kWatch_ms = 50;
// Set once by Channel_Timer_Frequency, cleared for good when the watch finds the counter wrong:
// read the processor's counter rather than the clock.
extern std::atomic<bool> g_Use_Cycle_Counter;
// The counter's value at the last check, and the counter ticks between checks (x86-64).
extern std::atomic<uint64_t> g_Checked_At;
extern std::atomic<uint64_t> g_Watch_Ticks;
// The read that found the check due: checks the counter and returns the timer's value.
uint64_t Watch_Counter(uint64_t counter);
// The timer from CLOCK_MONOTONIC, at the chosen frequency.
uint64_t Monotonic_Timer();
// True when the counter's progress from (counter0, ns0) to (counter1, ns1) agrees with the
// monotonic clock's (nanoseconds) at `hz` ticks per second (see above).
bool Counter_Agrees(uint64_t counter0, uint64_t ns0, uint64_t counter1, uint64_t ns1, uint64_t hz);
// Test seam: the check of Watch_Counter with the given sample of the counter and the monotonic
// clock in place of a fresh one; returns the timer's value. Only while no other thread reads.
uint64_t Check_Counter_With(uint64_t counter, uint64_t ns);
}  // namespace clocks_internal

// The channels' timer (see above). Before the first Channel_Timer_Frequency call it reads
// CLOCK_MONOTONIC at 10 MHz.
inline uint64_t Channel_Timer() {
#if defined(__x86_64__)
  if (__builtin_expect(clocks_internal::g_Use_Cycle_Counter.load(std::memory_order_relaxed), 1)) {
    const uint64_t counter = __builtin_ia32_rdtsc();
    if (__builtin_expect(counter - clocks_internal::g_Checked_At.load(std::memory_order_relaxed) <
                             clocks_internal::g_Watch_Ticks.load(std::memory_order_relaxed),
                         1)) {
      return counter;
    }
    return clocks_internal::Watch_Counter(counter);
  }
#elif defined(__aarch64__)
  if (__builtin_expect(clocks_internal::g_Use_Cycle_Counter.load(std::memory_order_relaxed), 1)) {
    uint64_t ticks;
    asm volatile("mrs %0, cntvct_el0" : "=r"(ticks));
    return ticks;
  }
#endif
  return clocks_internal::Monotonic_Timer();
}

// Wall clock in 100-ns units since 1601-01-01 UTC.
uint64_t Get_System_Time_100ns();
// The absolute time `timeout_ms` milliseconds from now on CLOCK_MONOTONIC, normalised
// (0 <= tv_nsec < 1e9); for sem_clockwait, pthread_cond_timedwait with a monotonic condition
// and clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME).
timespec Monotonic_Deadline(uint32_t timeout_ms);

#endif  // TRACE_BASE_CLOCKS_H_
