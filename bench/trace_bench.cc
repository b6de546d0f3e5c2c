// Cost of one trace call on a channel whose client drops everything (the null sink), on one
// thread and on two threads sharing the channel, next to a synchronous and an asynchronous
// spdlog logger writing the same message to a null sink, and the floor: two uncontended
// recursive-mutex lock/unlock pairs around a 48-byte copy. Every benchmark reports the heap
// allocations it made per call ("allocs/call"); the steady path of a trace call must make none.
// A summary with the ratios to the floor is printed after the runs.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <mqtt-wrapper/TR.h>

#include "trace/base/clocks.h"
#include "trace/core/null_sink.h"

#include "bench_support.h"

#ifdef MQW_BENCH_SPDLOG
#include <spdlog/async.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace {

using mqw_bench::Allocations;
using mqw_bench::BM_Floor_TwoLocksAndCopy;
using mqw_bench::Report_Allocations;

constexpr int kRepetitions = 7;

// A channel on a null sink of its own; the channel holds the only reference to the sink and
// both live for the process. `conf` null: the built-in clock.
ITR_Trace* New_Null_Channel(const char* name, const stTrace_Conf* conf) {
  ITR_Client* sink = new CClNull(nullptr, 0);
  ITR_Trace* created = TR_Create_Trace(sink, name, conf);
  sink->Release();  // the channel holds its own reference
  if (!created) {
    fprintf(stderr, "cannot create the trace channel %s\n", name);
    abort();
  }
  return created;
}

// One channel on a null sink, shared by every benchmark thread.
ITR_Trace* Channel() {
  static ITR_Trace* channel = New_Null_Channel("bench", nullptr);
  return channel;
}

// The measured loop of the per-call benchmarks: one trace call per iteration on `channel`.
void Trace_Calls(benchmark::State& state, ITR_Trace* channel) {
  // Describe the call site before measuring: the steady path is what counts.
  channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d %s", 7, "ab");
  uint64_t before = Allocations();
  int value = 0;
  for (auto _ : state) {
    bool sent =
        channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d %s", ++value, "ab");
    benchmark::DoNotOptimize(sent);
  }
  Report_Allocations(state, before);
}

void BM_Trace_NullSink(benchmark::State& state) { Trace_Calls(state, Channel()); }

// The same call on a channel whose timer is the caller's: the processor's cycle counter. Shows
// the engine's own cost apart from the built-in clock (the processor's counter too, where it is
// a clock; else a monotonic clock_gettime per call).
uint64_t Cycle_Counter(void*) {
#if defined(__x86_64__)
  return __builtin_ia32_rdtsc();
#elif defined(__aarch64__)
  uint64_t ticks;
  asm volatile("mrs %0, cntvct_el0" : "=r"(ticks));
  return ticks;
#else
  static uint64_t ticks = 0;
  return ++ticks;
#endif
}

ITR_Trace* Channel_With_Caller_Timer() {
  static ITR_Trace* channel = [] {
    stTrace_Conf conf{};
    conf.timer_frequency = 1000000000;  // nominal; only the cost is measured here
    conf.get_timer = &Cycle_Counter;
    return New_Null_Channel("bench-timer", &conf);
  }();
  return channel;
}

void BM_Trace_NullSink_CallerTimer(benchmark::State& state) {
  Trace_Calls(state, Channel_With_Caller_Timer());
}

uint64_t Constant_Timer(void*) { return 1; }

ITR_Trace* Channel_With_Constant_Timer() {
  static ITR_Trace* channel = [] {
    stTrace_Conf conf{};
    conf.timer_frequency = 1;
    conf.get_timer = &Constant_Timer;
    return New_Null_Channel("bench-constant", &conf);
  }();
  return channel;
}

// The ratio itself, robust against a busy machine: timed blocks of each kind of operation
// alternate, so all kinds see the same load; the fastest block of each kind estimates its
// intrinsic cost. Kinds: the floor, one read of the built-in clock, a trace call with the
// built-in clock, with the cycle counter as caller's timer, and with a constant caller's timer
// (the engine's own work: lock, filter, lookup, packing, hand-over).
void BM_Trace_Vs_Floor(benchmark::State& state) {
  constexpr int kBlock = 2000;
  static mqw_bench::TwoLocksAndCopy floor_op;
  int value = 0;
  ITR_Trace* channels[3] = {Channel(), Channel_With_Caller_Timer(), Channel_With_Constant_Timer()};
  for (ITR_Trace* channel : channels) {
    channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d %s", 7, "ab");
  }
  auto clock_op = [] { benchmark::DoNotOptimize(Channel_Timer()); };
  auto trace_op = [&](ITR_Trace* channel) {
    bool sent =
        channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d %s", ++value, "ab");
    benchmark::DoNotOptimize(sent);
  };
  double best[5] = {1e30, 1e30, 1e30, 1e30, 1e30};
  auto timed = [&](int kind, auto&& op) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBlock; ++i) op();
    auto end = std::chrono::steady_clock::now();
    best[kind] = std::min(best[kind],
                          std::chrono::duration<double, std::nano>(end - start).count() / kBlock);
  };
  uint64_t before = Allocations();
  for (auto _ : state) {
    timed(0, [&] { floor_op(); });
    timed(1, clock_op);
    timed(2, [&] { trace_op(channels[0]); });
    timed(3, [&] { trace_op(channels[1]); });
    timed(4, [&] { trace_op(channels[2]); });
  }
  state.counters["floor_ns"] = best[0];
  state.counters["clock_ns"] = best[1];
  state.counters["trace_ns"] = best[2];
  state.counters["cyc_timer_ns"] = best[3];
  state.counters["engine_ns"] = best[4];
  state.counters["ratio"] = best[2] / best[0];
  state.counters["allocs/call"] = static_cast<double>(Allocations() - before) /
                                  (static_cast<double>(state.iterations()) * 3 * kBlock);
}
// Registered first: the interleaved ratio is measured before the other runs disturb caches.
BENCHMARK(BM_Trace_Vs_Floor)->Iterations(2000);
BENCHMARK(BM_Trace_NullSink)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->DisplayAggregatesOnly(true);
BENCHMARK(BM_Trace_NullSink_CallerTimer)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->DisplayAggregatesOnly(true);
BENCHMARK(BM_Floor_TwoLocksAndCopy)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->DisplayAggregatesOnly(true);

#ifdef MQW_BENCH_SPDLOG
void BM_Spdlog_Sync_NullSink(benchmark::State& state) {
  auto sink = std::make_shared<spdlog::sinks::null_sink_mt>();
  spdlog::logger logger("bench-sync", sink);
  logger.set_level(spdlog::level::info);
  logger.info("{} {}", 0, "ab");
  uint64_t before = Allocations();
  int value = 0;
  for (auto _ : state) logger.info("{} {}", ++value, "ab");
  Report_Allocations(state, before);
}
BENCHMARK(BM_Spdlog_Sync_NullSink)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->DisplayAggregatesOnly(true);

void BM_Spdlog_Async_NullSink(benchmark::State& state) {
  auto pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
  auto sink = std::make_shared<spdlog::sinks::null_sink_mt>();
  auto logger = std::make_shared<spdlog::async_logger>("bench-async", sink, pool,
                                                       spdlog::async_overflow_policy::block);
  logger->set_level(spdlog::level::info);
  logger->info("{} {}", 0, "ab");
  uint64_t before = Allocations();
  int value = 0;
  for (auto _ : state) logger->info("{} {}", ++value, "ab");
  Report_Allocations(state, before);
  logger->flush();
}
BENCHMARK(BM_Spdlog_Async_NullSink)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->DisplayAggregatesOnly(true);
#endif

// Prints the usual table and remembers ns per call of every run for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  // Keeps the median of the repetitions (the machine is shared; the median resists noise).
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_name.function_name == "BM_Trace_Vs_Floor" && run.run_type == Run::RT_Iteration) {
        for (const auto& [name, counter] : run.counters) interleaved_[name] = counter.value;
        continue;
      }
      bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (!median || run.iterations == 0) continue;
      // Processor time per call: on a shared machine wall time mostly measures the other
      // processes. Aggregates carry the per-iteration value already.
      double ns = run.GetAdjustedCPUTime();
      if (run.time_unit != benchmark::kNanosecond) continue;
      std::string name = run.run_name.str();
      ns_[name] = ns;
      auto allocs = run.counters.find("allocs/call");
      if (allocs != run.counters.end()) allocs_[name] = allocs->second.value;
    }
  }
  void Print_Summary() const {
    auto floor = ns_.begin();
    while (floor != ns_.end() && floor->first.rfind("BM_Floor_TwoLocksAndCopy", 0) != 0) ++floor;
    if (floor != ns_.end()) {
      printf("\n%-52s %10s %10s %12s\n", "CPU time per call (median of repetitions)", "ns",
             "x floor", "allocs/call");
      for (const auto& [name, ns] : ns_) {
        auto allocs = allocs_.find(name);
        printf("%-52s %10.1f %10.2f %12.3f\n", name.c_str(), ns, ns / floor->second,
               allocs == allocs_.end() ? 0.0 : allocs->second);
      }
    }
    if (!interleaved_.empty()) {
      printf(
          "\ninterleaved blocks, fastest of each kind (ns per operation; ratio = trace/floor):\n");
      for (const auto& [name, value] : interleaved_) printf("  %-14s %8.2f\n", name.c_str(), value);
    }
    printf("goal: a trace call (1 thread) at most 2.00 x floor with 0 allocs/call\n");
  }

 private:
  std::map<std::string, double> ns_;
  std::map<std::string, double> allocs_;
  std::map<std::string, double> interleaved_;
};

}  // namespace

int main(int argc, char** argv) {
  // The counter must see the heap, or "allocs/call" would prove nothing.
  if (!mqw_bench::Allocation_Counter_Active()) return 1;
  // Hosts of the library are multi-threaded (the MQTT library runs its own threads), and the C
  // library takes cheaper paths while a process has only one thread: measure as in a host.
  std::thread([] {}).join();
  return mqw_bench::Run_With_Summary<SummaryReporter>(argc, argv);
}
