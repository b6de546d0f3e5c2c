// What the benchmarks with the benchmark library share: the "allocs/call" counter and the
// floor benchmark. The allocations themselves are counted by allocation_count.cc.
#include "bench_support.h"

#include "allocation_count.h"

namespace mqw_bench {

void Report_Allocations(benchmark::State& state, uint64_t before) {
  state.counters["allocs/call"] = benchmark::Counter(static_cast<double>(Allocations() - before),
                                                     benchmark::Counter::kAvgIterations);
}

void BM_Floor_TwoLocksAndCopy(benchmark::State& state) {
  static TwoLocksAndCopy floor_op;
  uint64_t before = Allocations();
  for (auto _ : state) floor_op();
  Report_Allocations(state, before);
}

}  // namespace mqw_bench
