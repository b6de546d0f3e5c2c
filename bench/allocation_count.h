// The per-thread heap allocation counter of the benchmarks that report allocations per call.
//
// allocation_count.cc replaces malloc, calloc, realloc and aligned_alloc for the whole binary:
// each call increments a counter of the calling thread and forwards to the C library. Only
// benchmarks that report allocations link it (never the library or a test); they check
// Allocation_Counter_Active() before trusting the figures.
//
// Thread-safety: the counter is the calling thread's own.
#ifndef BENCH_ALLOCATION_COUNT_H_
#define BENCH_ALLOCATION_COUNT_H_

#include <stdint.h>

namespace mqw_bench {

// Heap allocations (malloc, calloc, realloc, aligned_alloc) made so far by the calling thread.
uint64_t Allocations();

// True when the replaced allocator functions are the ones in use: one malloc of the calling
// thread moves the counter by exactly one. Says so on standard error when they are not.
bool Allocation_Counter_Active();

}  // namespace mqw_bench

#endif  // BENCH_ALLOCATION_COUNT_H_
