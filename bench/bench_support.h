// Pieces shared by the trace benchmarks: the per-thread heap allocation counter behind
// "allocs/call", the floor operation every trace call is compared with, and a private temporary
// directory for files written during a run.
//
// Allocation counting (allocation_count.h; bench_support.cc holds the rest): allocation_count.cc
// replaces the allocator for the whole binary, so only benchmarks that report "allocs/call" link
// it (never the library or a test); they check Allocation_Counter_Active() in main before
// trusting the figures.
// BenchDir (bench_dir.h) lives in bench_dir.cc and brings no allocator of its own.
//
// Thread-safety: the counter is per thread; the floor's locks are the caller's own; a BenchDir
// has one owner.
#ifndef BENCH_BENCH_SUPPORT_H_
#define BENCH_BENCH_SUPPORT_H_

#include <benchmark/benchmark.h>
#include <stdint.h>
#include <string.h>

#include <mutex>
#include <string>

#include "allocation_count.h"
#include "bench_dir.h"

namespace mqw_bench {

// Sets the "allocs/call" counter: allocations of this thread since `before`, per iteration.
void Report_Allocations(benchmark::State& state, uint64_t before);

// The floor: two uncontended recursive-mutex lock/unlock pairs around a 48-byte copy, the least
// a thread-safe trace call that copies its record has to do.
class TwoLocksAndCopy {
 public:
  TwoLocksAndCopy() { memset(m_Source, 'x', sizeof(m_Source)); }
  TwoLocksAndCopy(const TwoLocksAndCopy&) = delete;
  TwoLocksAndCopy& operator=(const TwoLocksAndCopy&) = delete;
  ~TwoLocksAndCopy() { benchmark::DoNotOptimize(m_Target); }

  void operator()() {
    m_Outer.lock();
    m_Inner.lock();
    benchmark::DoNotOptimize(m_Source);
    memcpy(m_Target, m_Source, sizeof(m_Target));
    benchmark::ClobberMemory();
    m_Inner.unlock();
    m_Outer.unlock();
  }

 private:
  std::recursive_mutex m_Outer;
  std::recursive_mutex m_Inner;
  alignas(16) char m_Source[48];
  alignas(16) char m_Target[48];
};

// The floor as a benchmark, reporting its allocations per call like the trace benchmarks.
void BM_Floor_TwoLocksAndCopy(benchmark::State& state);

// Runs the benchmarks selected on the command line, reported by `Reporter` (a
// benchmark::ConsoleReporter with a Print_Summary() method), then prints its summary. Returns
// the exit status for main.
template <class Reporter>
int Run_With_Summary(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.Print_Summary();
  benchmark::Shutdown();
  return 0;
}

// For ->Apply(): three runs of one timed iteration each (the benchmark sets the time itself),
// reported as their median and coefficient of variation, in milliseconds.
inline void Three_Timed_Runs(benchmark::internal::Benchmark* bench) {
  bench->UseManualTime()->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true)->Unit(
      benchmark::kMillisecond);
}

}  // namespace mqw_bench

#endif  // BENCH_BENCH_SUPPORT_H_
