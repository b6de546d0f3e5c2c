// The allocation counter and the floor; linked only into benchmarks that report "allocs/call",
// since this file replaces the process's malloc, calloc and realloc.
#include "bench_support.h"

#include <stdio.h>
#include <stdlib.h>

// The C library's own allocator entry points, to which the replacements below forward.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);

namespace {
thread_local uint64_t t_Allocations = 0;
}  // namespace

extern "C" void* malloc(size_t size) {
  ++t_Allocations;
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
  ++t_Allocations;
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, size_t size) {
  ++t_Allocations;
  return __libc_realloc(pointer, size);
}

namespace mqw_bench {

uint64_t Allocations() { return t_Allocations; }

bool Allocation_Counter_Active() {
  uint64_t before = t_Allocations;
  void* volatile probe = malloc(16);
  free(probe);
  if (t_Allocations - before == 1) return true;
  fprintf(stderr, "allocation counter inactive\n");
  return false;
}

void Report_Allocations(benchmark::State& state, uint64_t before) {
  state.counters["allocs/call"] = benchmark::Counter(static_cast<double>(t_Allocations - before),
                                                     benchmark::Counter::kAvgIterations);
}

void BM_Floor_TwoLocksAndCopy(benchmark::State& state) {
  static TwoLocksAndCopy floor_op;
  uint64_t before = t_Allocations;
  for (auto _ : state) floor_op();
  Report_Allocations(state, before);
}

}  // namespace mqw_bench
