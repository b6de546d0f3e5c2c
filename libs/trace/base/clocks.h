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
// Thread-safety: free functions without shared state.
#ifndef TRACE_BASE_CLOCKS_H_
#define TRACE_BASE_CLOCKS_H_

#include <stdint.h>
#include <time.h>

// 100-ns units between 1601-01-01 and 1970-01-01 (UTC).
constexpr uint64_t kEpoch1601To1970_100ns = 116444736000000000ULL;
// Ticks per second of GetPerformanceCounter.
constexpr uint64_t kPerformanceFrequency = 10000000ULL;

// Monotonic milliseconds, truncated to 32 bits (wraps about every 49.7 days).
uint32_t GetTickCount();
// Monotonic 100-ns ticks.
uint64_t GetPerformanceCounter();
// Wall clock in 100-ns units since 1601-01-01 UTC.
uint64_t Get_System_Time_100ns();
// The absolute time `timeout_ms` milliseconds from now on CLOCK_MONOTONIC, normalised
// (0 <= tv_nsec < 1e9); for sem_clockwait, pthread_cond_timedwait with a monotonic condition
// and clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME).
timespec Monotonic_Deadline(uint32_t timeout_ms);

#endif  // TRACE_BASE_CLOCKS_H_
