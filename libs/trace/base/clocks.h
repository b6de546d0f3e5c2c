// Clocks of the trace engine.
//
// GetTickCount and GetPerformanceCounter read the monotonic clock (origin unspecified; never
// jumps with the wall clock). Get_System_Time_100ns reads the wall clock on the scale used on the
// wire and in files: 100-ns units since 1601-01-01 UTC.
//
// Thread-safety: free functions without shared state.
#ifndef TRACE_BASE_CLOCKS_H_
#define TRACE_BASE_CLOCKS_H_

#include <stdint.h>

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

#endif  // TRACE_BASE_CLOCKS_H_
