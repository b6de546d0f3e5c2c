// Cost of one trace call on a channel whose client drops everything (the null sink), on one
// thread and on two threads sharing the channel, next to a synchronous and an asynchronous
// spdlog logger writing the same message to a null sink, and the floor: two uncontended
// recursive-mutex lock/unlock pairs around a 48-byte copy. Every benchmark reports the heap
// allocations it made per call ("allocs/call"); the steady path of a trace call must make none.
// A summary with the ratios to the floor is printed after the runs.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <mqtt-wrapper/TR.h>

#include "trace/core/null_sink.h"

#ifdef MQW_BENCH_SPDLOG
#include <spdlog/async.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#endif

// ---- allocation counting: every malloc/calloc/realloc of the calling thread ----
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

namespace {

void Report_Allocations(benchmark::State& state, uint64_t before) {
  state.counters["allocs/call"] = benchmark::Counter(static_cast<double>(t_Allocations - before),
                                                     benchmark::Counter::kAvgIterations);
}

// One channel on a null sink, shared by every benchmark thread; lives for the process.
ITR_Trace* Channel() {
  static ITR_Trace* channel = [] {
    ITR_Client* sink = new CClNull(nullptr, 0);
    ITR_Trace* created = TR_Create_Trace(sink, "bench", nullptr);
    sink->Release();  // the channel holds its own reference
    if (!created) {
      fprintf(stderr, "cannot create the trace channel\n");
      abort();
    }
    return created;
  }();
  return channel;
}

void BM_Trace_NullSink(benchmark::State& state) {
  ITR_Trace* channel = Channel();
  // Describe the call site before measuring: the steady path is what counts.
  channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d %s", 7, "ab");
  uint64_t before = t_Allocations;
  int value = 0;
  for (auto _ : state) {
    bool sent = channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d %s", ++value, "ab");
    benchmark::DoNotOptimize(sent);
  }
  Report_Allocations(state, before);
}
BENCHMARK(BM_Trace_NullSink)->Threads(1)->Threads(2)->UseRealTime();

void BM_Floor_TwoLocksAndCopy(benchmark::State& state) {
  static std::recursive_mutex outer;
  static std::recursive_mutex inner;
  alignas(16) char source[48];
  alignas(16) char target[48];
  memset(source, 'x', sizeof(source));
  uint64_t before = t_Allocations;
  for (auto _ : state) {
    outer.lock();
    inner.lock();
    benchmark::DoNotOptimize(source);
    memcpy(target, source, sizeof(target));
    benchmark::ClobberMemory();
    inner.unlock();
    outer.unlock();
  }
  benchmark::DoNotOptimize(target);
  Report_Allocations(state, before);
}
BENCHMARK(BM_Floor_TwoLocksAndCopy)->UseRealTime();

#ifdef MQW_BENCH_SPDLOG
void BM_Spdlog_Sync_NullSink(benchmark::State& state) {
  auto sink = std::make_shared<spdlog::sinks::null_sink_mt>();
  spdlog::logger logger("bench-sync", sink);
  logger.set_level(spdlog::level::info);
  logger.info("{} {}", 0, "ab");
  uint64_t before = t_Allocations;
  int value = 0;
  for (auto _ : state) logger.info("{} {}", ++value, "ab");
  Report_Allocations(state, before);
}
BENCHMARK(BM_Spdlog_Sync_NullSink)->UseRealTime();

void BM_Spdlog_Async_NullSink(benchmark::State& state) {
  auto pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
  auto sink = std::make_shared<spdlog::sinks::null_sink_mt>();
  auto logger = std::make_shared<spdlog::async_logger>("bench-async", sink, pool,
                                                       spdlog::async_overflow_policy::block);
  logger->set_level(spdlog::level::info);
  logger->info("{} {}", 0, "ab");
  uint64_t before = t_Allocations;
  int value = 0;
  for (auto _ : state) logger->info("{} {}", ++value, "ab");
  Report_Allocations(state, before);
  logger->flush();
}
BENCHMARK(BM_Spdlog_Async_NullSink)->UseRealTime();
#endif

// Prints the usual table and remembers ns per call of every run for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      double ns = run.real_accumulated_time * 1e9 / static_cast<double>(run.iterations);
      // With N threads sharing the channel the reported time is per call on each thread.
      ns_[run.benchmark_name()] = ns;
      auto allocs = run.counters.find("allocs/call");
      if (allocs != run.counters.end()) allocs_[run.benchmark_name()] = allocs->second.value;
    }
  }
  void Print_Summary() const {
    const std::string floor_name = "BM_Floor_TwoLocksAndCopy/real_time";
    auto floor = ns_.find(floor_name);
    if (floor == ns_.end()) return;
    printf("\n%-48s %12s %10s %12s\n", "per call", "ns", "x floor", "allocs/call");
    for (const auto& [name, ns] : ns_) {
      auto allocs = allocs_.find(name);
      printf("%-48s %12.1f %10.2f %12.3f\n", name.c_str(), ns, ns / floor->second,
             allocs == allocs_.end() ? 0.0 : allocs->second);
    }
    printf("goal: BM_Trace_NullSink (1 thread) at most 2.00 x floor with 0 allocs/call\n");
  }

 private:
  std::map<std::string, double> ns_;
  std::map<std::string, double> allocs_;
};

}  // namespace

int main(int argc, char** argv) {
  {
    // The counter must see the heap, or "allocs/call" would prove nothing.
    uint64_t before = t_Allocations;
    void* volatile probe = malloc(16);
    free(probe);
    if (t_Allocations - before != 1) {
      fprintf(stderr, "allocation counter inactive\n");
      return 1;
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.Print_Summary();
  benchmark::Shutdown();
  return 0;
}
