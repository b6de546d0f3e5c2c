// A trace call as a host makes it: TR::LoggerInit with the binary file sink, then
// `TR_LOG(TRL_INFO, "value %d text %s", i, "abc")` from 1 and 4 threads at once (--threads picks
// others), beside the floor no logger can beat on this machine (a timer read and a 48-byte copy
// into a ring of the calling thread's own) and spdlog's asynchronous file logger (overflow
// policy: block) doing the same work.
//
// Each configuration runs in a fresh child process (the facade is set up once per process), and
// the engines alternate run by run so that drifts of the machine's speed reach all alike. Per
// run it reports:
//   - p50, p99, p99.9 and the worst of the per-call latency in ns over the burst of `calls` calls
//     per thread (every call is timed with the time-stamp counter on x86-64, the monotonic clock
//     elsewhere; the figures include the timer's own cost, printed as "empty" at the start;
//     latencies go into per-thread histograms, exact to one tick up to 16384 ticks; the worst
//     call is kept exactly);
//   - the calls slower than 100 us and than 1 ms;
//   - accepted and refused calls, apart: a refused call is cheap and must never flatter the
//     latency figures unseen;
//   - the calling threads' heap allocations: in each thread's first call ("al 1st": a thread's
//     first call may set up its own state) and in all its later calls ("al rest", which must be
//     0 for our engine);
//   - end-to-end calls per second: from the first call until the sink has written everything
//     (our Close, spdlog's flush and shutdown; the floor's last copy);
//   - the engine's memory: the growth of the child's peak resident memory from just before the
//     engine was set up (the bench's own histograms are allocated before that).
// The summary gives each figure's median over the runs with its range (min - max).
//
// Headline: our p50 and p99 divided by those of the floor, both measured in the same process by
// the same threads in alternating blocks (ABBA) before the burst, so that the load of a shared
// machine reaches both alike, after a discarded pass (the steady state: the engine's memory
// touched). A run's ratio is the median of the ratios of the phase's ten segments (see
// kSegments); the headline is the median over the runs, with the spread (max - min) / median.
// The ratios against spdlog are printed too, but they are no headline: spdlog's p99 (its queue
// blocks when full) swings by an order of magnitude from run to run on a loaded machine, and the
// engines run in different processes.
//
// --smoke: a few thousand calls from 4 threads through our engine only, one run, a short paired
// phase; exits with status 1 when the run failed, refused a call or allocated after a thread's
// first call. The figures of a smoke run mean nothing (it runs under an emulator in the aarch64
// stage); that it runs, refuses nothing and allocates nothing after a first call does.
//
// Usage: facade_bench [--calls N] [--runs R] [--threads 1,4] [--engines ours,floor,spdlog]
//                     [--smoke]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include <mqtt-wrapper/TR.h>
#include <mqtt-wrapper/trhelper.h>

#include "allocation_count.h"
#include "bench_dir.h"

#ifdef MQW_BENCH_SPDLOG
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace {

// One run's figures, written by the child into a pipe as raw bytes.
struct sRun {
  double p50_ns = 0;
  double p99_ns = 0;
  double p999_ns = 0;
  double worst_ns = 0;
  uint64_t over_100us = 0;  // calls slower than 100 us, and than 1 ms
  uint64_t over_1ms = 0;
  // Heap allocations of the calling threads in the burst: in each thread's first call (which
  // may set up the thread's own state), and in all the calls after it.
  uint64_t first_call_allocations = 0;
  uint64_t later_allocations = 0;
  uint64_t accepted = 0;
  uint64_t refused = 0;
  double calls_per_s = 0;
  double engine_mb = 0;
  // The paired phase: this engine's call and the floor in alternating blocks.
  double paired_p50_ns = 0;
  double paired_p99_ns = 0;
  double floor_p50_ns = 0;
  double floor_p99_ns = 0;
  // The headline: the median over the paired phase's segments of ours / floor.
  double p50_floor_ratio = 0;
  double p99_floor_ratio = 0;
  uint64_t paired_refused = 0;
  int ok = 0;
};

uint64_t Now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

double Spread(const std::vector<double>& values) {
  if (values.empty()) return 0;
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  const double median = Median(values);
  return median > 0 ? (*high - *low) / median : 0;
}

// The per-call timer. On x86-64 the time-stamp counter: a read costs about 10 ns and resolves
// under 1 ns, where the monotonic clock costs 20 ns and, on a virtual machine, advances in steps
// of 10 ns (a step is a sixth of a 60-ns call: no ratio of such figures could be stable). The
// start is a plain read, the end waits for the call's instructions to finish (rdtscp). Elsewhere
// the monotonic clock in ns (on aarch64 it reads the same counter the processor offers).
#if defined(__x86_64__)
inline uint64_t Start_Ticks() { return __builtin_ia32_rdtsc(); }
inline uint64_t End_Ticks() {
  unsigned int processor;
  return __builtin_ia32_rdtscp(&processor);
}
#else
inline uint64_t Start_Ticks() { return Now_ns(); }
inline uint64_t End_Ticks() { return Now_ns(); }
#endif

// The floor's timer read: the cheapest counter the processor offers a user process, as a logger
// stamping its records would read it.
inline uint64_t Floor_Timer() {
#if defined(__x86_64__)
  return __builtin_ia32_rdtsc();
#elif defined(__aarch64__)
  uint64_t value;
  asm volatile("mrs %0, cntvct_el0" : "=r"(value));
  return value;
#else
  return Now_ns();
#endif
}

// The floor: a timer read and a 48-byte copy (the timer and 40 bytes of arguments) into a ring
// of the calling thread's own. No logger can do less per call: it needs the time and must keep
// the record somewhere no other thread writes.
class Ring_Floor {
 public:
  Ring_Floor() : m_Ring(kBytes) { memset(m_Arguments, 'x', sizeof(m_Arguments)); }
  Ring_Floor(const Ring_Floor&) = delete;
  Ring_Floor& operator=(const Ring_Floor&) = delete;

  void operator()() {
    uint8_t* at = m_Ring.data() + m_Position;
    const uint64_t timer = Floor_Timer();
    memcpy(at, &timer, sizeof(timer));
    memcpy(at + sizeof(timer), m_Arguments, sizeof(m_Arguments));
    // The record counts as written: the compiler may neither drop nor merge the copies.
    asm volatile("" : : "r"(at) : "memory");
    m_Position = m_Position + kRecord > kBytes - kRecord ? 0 : m_Position + kRecord;
  }

 private:
  static constexpr size_t kRecord = 48;
  static constexpr size_t kBytes = 64 * 1024;
  std::vector<uint8_t> m_Ring;
  size_t m_Position = 0;
  alignas(16) uint8_t m_Arguments[kRecord - sizeof(uint64_t)];
};

// Ticks per ns of the timer, and its step: the ticks it advances at once (on this project's
// x86-64 machines 26 ticks, 10 ns: the counter there moves at 100 MHz). Both are measured once in
// the parent; children inherit them.
double g_Ticks_Per_Ns = 1.0;
double g_Step_Ticks = 1.0;

void Calibrate_Ticks() {
#if defined(__x86_64__)
  const uint64_t ns0 = Now_ns();
  const uint64_t ticks0 = Start_Ticks();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const uint64_t ticks1 = End_Ticks();
  const uint64_t ns1 = Now_ns();
  g_Ticks_Per_Ns = static_cast<double>(ticks1 - ticks0) / static_cast<double>(ns1 - ns0);
#endif
  std::vector<uint64_t> advances;
  for (int i = 0; i < 10001; ++i) {
    const uint64_t first = Start_Ticks();
    uint64_t next;
    while ((next = Start_Ticks()) == first) {
    }
    advances.push_back(next - first);
  }
  std::nth_element(advances.begin(), advances.begin() + 5000, advances.end());
  g_Step_Ticks = static_cast<double>(advances[5000]);
}

// Latencies of one thread in ticks: one bin per tick below kExact (over 6 us at 2.6 GHz), then
// one bin per power of two. Percentiles are given in ns.
//
// A timer that advances in steps of s ticks measures a call of d ticks as one of the two
// multiples of s around d, the nearer one the more often, so that the mean stays exact. A plain
// percentile would jump by a whole step (10 ns, a sixth of a call) as d crosses a midpoint, and
// no ratio of such figures could be stable from run to run. Percentile() therefore reads the
// histogram with each step's calls spread evenly across the step (linear interpolation of the
// distribution between steps), which moves smoothly with d.
class Histogram {
 public:
  static constexpr uint32_t kExact = 16384;
  Histogram()
      : m_Bins(kExact + 64, 0),
        m_100us(static_cast<uint64_t>(100000 * g_Ticks_Per_Ns)),
        m_1ms(static_cast<uint64_t>(1000000 * g_Ticks_Per_Ns)) {}
  void Add(uint64_t ticks) {
    if (ticks > m_Max) m_Max = ticks;
    if (__builtin_expect(ticks > m_100us, 0)) {
      ++m_Over_100us;
      if (ticks > m_1ms) ++m_Over_1ms;
    }
    if (ticks < kExact) {
      ++m_Bins[ticks];
    } else {
      ++m_Bins[kExact + (63 - static_cast<uint32_t>(__builtin_clzll(ticks)))];
    }
    ++m_Count;
  }
  void Clear() {
    std::fill(m_Bins.begin(), m_Bins.end(), 0);
    m_Count = 0;
    m_Max = 0;
    m_Over_100us = 0;
    m_Over_1ms = 0;
  }
  void Merge(const Histogram& other) {
    for (size_t i = 0; i < m_Bins.size(); ++i) m_Bins[i] += other.m_Bins[i];
    m_Count += other.m_Count;
    m_Max = std::max(m_Max, other.m_Max);
    m_Over_100us += other.m_Over_100us;
    m_Over_1ms += other.m_Over_1ms;
  }
  // Calls slower than 100 us, and than 1 ms.
  uint64_t Over_100us() const { return m_Over_100us; }
  uint64_t Over_1ms() const { return m_Over_1ms; }
  // The slowest call in ns, exactly.
  double Worst_ns() const { return static_cast<double>(m_Max) / g_Ticks_Per_Ns; }
  // The q-quantile in ns; beyond kExact the lower edge of its power-of-two bin.
  double Percentile(double q) const {
    if (m_Count == 0) return 0;
    const double target = q * static_cast<double>(m_Count);
    const double step = g_Step_Ticks;
    double seen = 0;
    size_t i = 0;
    // Step k collects the bins nearest to k * step.
    for (uint64_t k = 0; i < kExact; ++k) {
      const double centre = static_cast<double>(k) * step;
      const size_t end =
          std::min<size_t>(kExact, static_cast<size_t>(std::ceil(centre + step / 2)));
      uint64_t count = 0;
      for (; i < end; ++i) count += m_Bins[i];
      if (count > 0 && seen + static_cast<double>(count) >= target) {
        const double low = std::max(0.0, centre - step / 2);
        const double high = centre + step / 2;
        return (low + (high - low) * (target - seen) / static_cast<double>(count)) / g_Ticks_Per_Ns;
      }
      seen += static_cast<double>(count);
    }
    for (; i < m_Bins.size(); ++i) {
      seen += static_cast<double>(m_Bins[i]);
      if (seen >= target) return static_cast<double>(1ull << (i - kExact)) / g_Ticks_Per_Ns;
    }
    return 0;
  }

 private:
  std::vector<uint64_t> m_Bins;
  uint64_t m_100us, m_1ms;  // in ticks
  uint64_t m_Count = 0;
  uint64_t m_Max = 0;
  uint64_t m_Over_100us = 0;
  uint64_t m_Over_1ms = 0;
};

// Times `op` around each call and adds the ticks to `histogram`.
template <class Op>
inline void Timed(Histogram& histogram, Op op) {
  const uint64_t before = Start_Ticks();
  op();
  histogram.Add(End_Ticks() - before);
}

// Starts `threads` threads together, runs `body(thread index)` on each and joins them; returns
// the time the start signal was given.
template <class Body>
uint64_t Run_Threads(int threads, Body body) {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      ready.fetch_add(1);
      while (!go.load(std::memory_order_acquire)) {
      }
      body(t);
    });
  }
  while (ready.load() != threads) std::this_thread::yield();
  const uint64_t start = Now_ns();
  go.store(true, std::memory_order_release);
  for (std::thread& worker : workers) worker.join();
  return start;
}

// The paired phase is cut into kSegments segments of consecutive rounds. The headline ratio of
// a run is the median of the segments' ratios: a disturbance of the machine (another process, a
// burst of interrupts) that lands on a few segments, and on one engine's blocks more than on the
// other's, then moves the headline by little, where it moved the p99 of the whole phase by up to
// a half from one run to the next.
constexpr int kSegments = 10;

// Every histogram of a run: the burst's per thread, the paired phase's per thread and segment,
// and the sums they are read from. Made before the engine is set up, so that their memory does
// not count as the engine's.
struct sLatencies {
  explicit sLatencies(int threads)
      : burst(static_cast<size_t>(threads)),
        engine(static_cast<size_t>(threads) * kSegments),
        floor(static_cast<size_t>(threads) * kSegments) {}
  std::vector<Histogram> burst;   // per thread
  std::vector<Histogram> engine;  // paired, [thread * kSegments + segment]
  std::vector<Histogram> floor;   // paired, as `engine`
  Histogram sum, floor_sum, total, floor_total;
};

// Clears `sum` and adds `parts` into it.
void Sum_Into(Histogram* sum, const std::vector<const Histogram*>& parts) {
  sum->Clear();
  for (const Histogram* part : parts) sum->Merge(*part);
}

// The burst: `calls` calls of `one_call(i)` on each of `threads` threads started together; fills
// the latency figures and the accepted/refused counts. `one_call` returns whether it was accepted.
template <class Call>
void Drive(int threads, int calls, Call one_call, sLatencies* latencies, sRun* run,
           uint64_t* first_call_ns) {
  std::atomic<uint64_t> accepted{0};
  std::atomic<uint64_t> first_allocations{0};
  std::atomic<uint64_t> later_allocations{0};
  *first_call_ns = Run_Threads(threads, [&](int t) {
    Histogram& mine = latencies->burst[static_cast<size_t>(t)];
    uint64_t ok = 0;
    const uint64_t before = mqw_bench::Allocations();
    uint64_t after_first = before;
    for (int i = 0; i < calls; ++i) {
      Timed(mine, [&] { ok += one_call(i) ? 1 : 0; });
      if (i == 0) after_first = mqw_bench::Allocations();
    }
    accepted.fetch_add(ok);
    first_allocations.fetch_add(after_first - before);
    later_allocations.fetch_add(mqw_bench::Allocations() - after_first);
  });
  run->first_call_allocations = first_allocations.load();
  run->later_allocations = later_allocations.load();
  std::vector<const Histogram*> parts;
  for (const Histogram& each : latencies->burst) parts.push_back(&each);
  Sum_Into(&latencies->sum, parts);
  run->p50_ns = latencies->sum.Percentile(0.50);
  run->p99_ns = latencies->sum.Percentile(0.99);
  run->p999_ns = latencies->sum.Percentile(0.999);
  run->worst_ns = latencies->sum.Worst_ns();
  run->over_100us = latencies->sum.Over_100us();
  run->over_1ms = latencies->sum.Over_1ms();
  run->accepted = accepted.load();
  run->refused = static_cast<uint64_t>(threads) * static_cast<uint64_t>(calls) - run->accepted;
}

// The paired phase: every thread alternates blocks of `block` calls of the engine and of the
// floor (ABBA), `rounds` rounds (a multiple of kSegments); fills the paired figures.
template <class Call>
void Drive_Paired(int threads, int rounds, int block, Call one_call, sLatencies* latencies,
                  sRun* run) {
  for (Histogram& each : latencies->engine) each.Clear();
  for (Histogram& each : latencies->floor) each.Clear();
  std::atomic<uint64_t> refused{0};
  Run_Threads(threads, [&](int t) {
    // The floor's ring is the thread's own: the least a call does that never waits on another
    // thread.
    Ring_Floor floor_op;
    uint64_t lost = 0;
    int i = 0;
    for (int r = 0; r < rounds; ++r) {
      const size_t at =
          static_cast<size_t>(t) * kSegments + static_cast<size_t>(r * kSegments / rounds);
      Histogram& mine = latencies->engine[at];
      Histogram& least = latencies->floor[at];
      auto engine_block = [&] {
        for (int k = 0; k < block; ++k) Timed(mine, [&] { lost += one_call(i++) ? 0 : 1; });
      };
      auto floor_block = [&] {
        for (int k = 0; k < block; ++k) Timed(least, [&] { floor_op(); });
      };
      if (r % 2 == 0) {
        engine_block();
        floor_block();
      } else {
        floor_block();
        engine_block();
      }
    }
    refused.fetch_add(lost);
  });
  Histogram& engine = latencies->sum;
  Histogram& floor = latencies->floor_sum;
  std::vector<const Histogram*> all_engine, all_floor;
  std::vector<double> p50_ratios, p99_ratios;
  for (size_t segment = 0; segment < kSegments; ++segment) {
    std::vector<const Histogram*> engine_parts, floor_parts;
    for (size_t t = 0; t < static_cast<size_t>(threads); ++t) {
      engine_parts.push_back(&latencies->engine[t * kSegments + segment]);
      floor_parts.push_back(&latencies->floor[t * kSegments + segment]);
    }
    Sum_Into(&engine, engine_parts);
    Sum_Into(&floor, floor_parts);
    p50_ratios.push_back(engine.Percentile(0.50) / floor.Percentile(0.50));
    p99_ratios.push_back(engine.Percentile(0.99) / floor.Percentile(0.99));
    all_engine.insert(all_engine.end(), engine_parts.begin(), engine_parts.end());
    all_floor.insert(all_floor.end(), floor_parts.begin(), floor_parts.end());
  }
  Sum_Into(&latencies->total, all_engine);
  Sum_Into(&latencies->floor_total, all_floor);
  run->paired_p50_ns = latencies->total.Percentile(0.50);
  run->paired_p99_ns = latencies->total.Percentile(0.99);
  run->floor_p50_ns = latencies->floor_total.Percentile(0.50);
  run->floor_p99_ns = latencies->floor_total.Percentile(0.99);
  run->p50_floor_ratio = Median(p50_ratios);
  run->p99_floor_ratio = Median(p99_ratios);
  run->paired_refused = refused.load();
}

// 2,000,000 calls of each per thread, 200,000 per segment; the discarded pass before: 300,000
// calls per thread write more than the file sink's default 8 MiB of buffers. A smoke run makes
// both short (and skips the discarded pass).
int g_Paired_Rounds = 2000;
int g_Paired_Block = 1000;
int g_Warm_Up_Rounds = 300;

// The paired phase in the steady state: a first pass, whose latencies are discarded, has the
// engine touch the memory it writes into. A first touch costs a page fault (about 600 in the
// first 100,000 calls of one thread), enough to move the p99 of a short pass by a third. Refused
// calls of both passes are counted.
template <class Call>
void Measure_Paired(int threads, Call one_call, sLatencies* latencies, sRun* run) {
  sRun warm_up;
  if (g_Warm_Up_Rounds > 0)
    Drive_Paired(threads, g_Warm_Up_Rounds, g_Paired_Block, one_call, latencies, &warm_up);
  Drive_Paired(threads, g_Paired_Rounds, g_Paired_Block, one_call, latencies, run);
  run->paired_refused += warm_up.paired_refused;
}

double Peak_MB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

sRun Run_Ours(int threads, int calls, const std::string& dir) {
  sRun run;
  sLatencies latencies(threads);
  const double baseline_mb = Peak_MB();
  if (TR::LoggerInit("bench", "/TR.Sink=FileBin /TR.Dir=" + dir) == nullptr) return run;
  ITR_Trace* channel = TR::getTrace();
  // The expansion of TR_LOG, keeping the result that the macro drops.
  auto one_call = [channel](int i) {
    return channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "value %d text %s", i,
                          "abc");
  };
  Measure_Paired(threads, one_call, &latencies, &run);
  // The burst starts with the pool empty.
  TR::l_pClient->Flush();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  uint64_t start = 0;
  Drive(threads, calls, one_call, &latencies, &run, &start);
  TR::l_pClient->Close();
  const double seconds = static_cast<double>(Now_ns() - start) / 1e9;
  run.calls_per_s = static_cast<double>(run.accepted) / seconds;
  run.engine_mb = Peak_MB() - baseline_mb;
  run.ok = 1;
  return run;
}

// The floor as an engine of its own: the same burst through Ring_Floor, one per thread.
sRun Run_Floor(int threads, int calls) {
  sRun run;
  sLatencies latencies(threads);
  const double baseline_mb = Peak_MB();
  std::vector<Ring_Floor> floors(static_cast<size_t>(threads));
  uint64_t start = 0;
  std::atomic<int> next{0};
  Drive(
      threads, calls,
      [&floors, &next](int) {
        thread_local Ring_Floor* mine = &floors[static_cast<size_t>(next.fetch_add(1))];
        (*mine)();
        return true;
      },
      &latencies, &run, &start);
  const double seconds = static_cast<double>(Now_ns() - start) / 1e9;
  run.calls_per_s = static_cast<double>(run.accepted) / seconds;
  run.engine_mb = Peak_MB() - baseline_mb;
  run.ok = 1;
  return run;
}

#ifdef MQW_BENCH_SPDLOG
sRun Run_Spdlog(int threads, int calls, const std::string& dir) {
  sRun run;
  sLatencies latencies(threads);
  const double baseline_mb = Peak_MB();
  spdlog::init_thread_pool(8192, 1);
  auto blocking = std::make_shared<spdlog::async_logger>(
      "bench-block", std::make_shared<spdlog::sinks::basic_file_sink_mt>(dir + "/b.log", true),
      spdlog::thread_pool(), spdlog::async_overflow_policy::block);
  auto one_call = [&blocking](int i) {
    blocking->info("value {} text {}", i, "abc");
    return true;
  };
  Measure_Paired(threads, one_call, &latencies, &run);
  blocking->flush();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  uint64_t start = 0;
  Drive(threads, calls, one_call, &latencies, &run, &start);
  blocking->flush();
  blocking.reset();
  spdlog::shutdown();
  const double seconds = static_cast<double>(Now_ns() - start) / 1e9;
  run.calls_per_s = static_cast<double>(run.accepted) / seconds;
  run.engine_mb = Peak_MB() - baseline_mb;
  run.ok = 1;
  return run;
}
#endif

enum class eEngine { eOurs, eFloor, eSpdlog };
const char* Engine_Name(eEngine engine) {
  switch (engine) {
    case eEngine::eOurs:
      return "ours";
    case eEngine::eFloor:
      return "floor";
    case eEngine::eSpdlog:
      return "spdlog";
  }
  return "?";
}

// Runs one configuration in a child process and returns its figures (ok == 0 when the engine is
// not built in or the child failed).
sRun In_Child(eEngine engine, int threads, int calls) {
  int fds[2];
  sRun run;
  if (pipe(fds) != 0) return run;
  // The child ends with exit(), which flushes its copy of the parent's stdio buffers.
  fflush(stdout);
  fflush(stderr);
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    sRun result;
    {
      // Removed with its files at the end of this block: exit() below runs no destructors.
      mqw_bench::BenchDir dir("mqw-facade-bench");
      switch (engine) {
        case eEngine::eOurs:
          result = Run_Ours(threads, calls, dir.Path());
          break;
        case eEngine::eFloor:
          result = Run_Floor(threads, calls);
          break;
        case eEngine::eSpdlog:
#ifdef MQW_BENCH_SPDLOG
          result = Run_Spdlog(threads, calls, dir.Path());
#endif
          break;
      }
    }
    ssize_t written = write(fds[1], &result, sizeof(result));
    (void)written;
    close(fds[1]);
    // Ends as returning from main would: the exit flush withdraws what the engine published in
    // the process's registry (a bare _exit would leave it behind in /dev/shm).
    exit(0);
  }
  close(fds[1]);
  if (child > 0) {
    if (read(fds[0], &run, sizeof(run)) != static_cast<ssize_t>(sizeof(run))) run = sRun{};
    waitpid(child, nullptr, 0);
  }
  close(fds[0]);
  return run;
}

// "median [min-max]" of one figure over the runs.
std::string Median_Range(std::vector<double> values, const char* format) {
  if (values.empty()) return "-";
  std::sort(values.begin(), values.end());
  char text[128];
  char low[32], median[32], high[32];
  snprintf(low, sizeof(low), format, values.front());
  snprintf(median, sizeof(median), format, Median(values));
  snprintf(high, sizeof(high), format, values.back());
  snprintf(text, sizeof(text), "%s [%s-%s]", median, low, high);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  int calls = 1000000;
  int runs = 3;
  bool smoke = false;
  std::vector<int> thread_counts = {1, 4};
  std::vector<eEngine> engines = {eEngine::eOurs, eEngine::eFloor};
#ifdef MQW_BENCH_SPDLOG
  engines.push_back(eEngine::eSpdlog);
#endif
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--smoke") == 0) {
      smoke = true;
      calls = 5000;
      runs = 1;
      thread_counts = {4};
      engines = {eEngine::eOurs};
      g_Paired_Rounds = 20;
      g_Paired_Block = 100;
      g_Warm_Up_Rounds = 0;
      continue;
    }
    if (i + 1 >= argc) break;
    if (strcmp(argv[i], "--engines") == 0) {
      engines.clear();
      for (char* part = strtok(argv[++i], ","); part; part = strtok(nullptr, ",")) {
        for (eEngine engine : {eEngine::eOurs, eEngine::eFloor, eEngine::eSpdlog}) {
          if (strcmp(part, Engine_Name(engine)) == 0) engines.push_back(engine);
        }
      }
    } else if (strcmp(argv[i], "--calls") == 0) calls = atoi(argv[++i]);
    else if (strcmp(argv[i], "--runs") == 0) runs = atoi(argv[++i]);
    else if (strcmp(argv[i], "--threads") == 0) {
      thread_counts.clear();
      for (char* part = strtok(argv[++i], ","); part; part = strtok(nullptr, ",")) {
        thread_counts.push_back(atoi(part));
      }
    }
  }
  if (calls <= 0 || runs <= 0 || thread_counts.empty() || engines.empty()) {
    fprintf(stderr,
            "usage: facade_bench [--calls N] [--runs R] [--threads 1,4] "
            "[--engines ours,floor,spdlog] [--smoke]\n");
    return 2;
  }

  Calibrate_Ticks();
  if (!mqw_bench::Allocation_Counter_Active()) return 1;
  Histogram empty;
  for (int i = 0; i < 100000; ++i) Timed(empty, [] {});
  printf("%d calls per thread, %d runs per configuration, engines alternating\n", calls, runs);
  printf(
      "timer: %.3f ticks per ns, step %.0f ticks; an empty timed call p50 %.1f ns, p99 %.1f ns\n",
      g_Ticks_Per_Ns, g_Step_Ticks, empty.Percentile(0.50), empty.Percentile(0.99));
  printf(
      "burst: p50/p99/p99.9/worst per call, accepted and refused apart, end-to-end rate, engine\n"
      "memory; paired: %d x %d calls of the engine and of the floor per thread in ABBA blocks,\n"
      "after a discarded pass of %d x %d\n",
      g_Paired_Rounds, g_Paired_Block, g_Warm_Up_Rounds, g_Paired_Block);
  printf("%-7s %-3s %4s %7s %7s %8s %9s %7s %6s %9s %9s %9s %7s %6s %7s | %7s %7s %7s %7s %8s\n",
         "engine", "thr", "run", "p50 ns", "p99 ns", "p99.9 ns", "worst us", ">100us", ">1ms",
         "accepted", "refused", "Mcalls/s", "eng MB", "al 1st", "al rest", "pr p50", "pr p99",
         "fl p50", "fl p99", "pr refus");
  struct sHeadline {
    int threads;
    double p50_floor, p50_floor_spread, p99_floor, p99_floor_spread, p50_spdlog, p99_spdlog;
  };
  std::vector<sHeadline> headlines;
  struct sSummary {
    int threads;
    eEngine engine;
    std::vector<double> p50, p99, p999, worst_us, rate, refused, mb;
  };
  std::vector<sSummary> summaries;
  bool smoke_failed = false;
  for (int threads : thread_counts) {
    std::vector<double> p50_floor, p99_floor, p50_ratio, p99_ratio;
    const size_t first_summary = summaries.size();
    for (eEngine engine : engines) summaries.push_back(sSummary{threads, engine, {}, {}, {}, {}, {}, {}, {}});
    for (int r = 0; r < runs; ++r) {
      sRun ours, theirs;
      for (size_t e = 0; e < engines.size(); ++e) {
        const sRun run = In_Child(engines[e], threads, calls);
        if (engines[e] == eEngine::eOurs) ours = run;
        if (engines[e] == eEngine::eSpdlog) theirs = run;
        if (!run.ok) {
          if (engines[e] == eEngine::eOurs) smoke_failed = true;
          continue;
        }
        if (engines[e] == eEngine::eOurs &&
            (run.refused != 0 || run.paired_refused != 0 || run.later_allocations != 0))
          smoke_failed = true;
        printf(
            "%-7s %-3d %4d %7.1f %7.1f %8.1f %9.1f %7llu %6llu %9llu %9llu %9.2f %7.1f %6llu "
            "%7llu | %7.1f %7.1f %7.1f %7.1f %8llu\n",
            Engine_Name(engines[e]), threads, r + 1, run.p50_ns, run.p99_ns, run.p999_ns,
            run.worst_ns / 1000, static_cast<unsigned long long>(run.over_100us),
            static_cast<unsigned long long>(run.over_1ms),
            static_cast<unsigned long long>(run.accepted),
            static_cast<unsigned long long>(run.refused), run.calls_per_s / 1e6, run.engine_mb,
            static_cast<unsigned long long>(run.first_call_allocations),
            static_cast<unsigned long long>(run.later_allocations),
            run.paired_p50_ns, run.paired_p99_ns, run.floor_p50_ns, run.floor_p99_ns,
            static_cast<unsigned long long>(run.paired_refused));
        sSummary& summary = summaries[first_summary + e];
        summary.p50.push_back(run.p50_ns);
        summary.p99.push_back(run.p99_ns);
        summary.p999.push_back(run.p999_ns);
        summary.worst_us.push_back(run.worst_ns / 1000);
        summary.rate.push_back(run.calls_per_s / 1e6);
        summary.refused.push_back(static_cast<double>(run.refused + run.paired_refused));
        summary.mb.push_back(run.engine_mb);
      }
      if (ours.ok && ours.floor_p50_ns > 0 && ours.floor_p99_ns > 0) {
        p50_floor.push_back(ours.p50_floor_ratio);
        p99_floor.push_back(ours.p99_floor_ratio);
      }
      if (ours.ok && theirs.ok && theirs.p50_ns > 0 && theirs.p99_ns > 0) {
        p50_ratio.push_back(ours.p50_ns / theirs.p50_ns);
        p99_ratio.push_back(ours.p99_ns / theirs.p99_ns);
      }
    }
    headlines.push_back({threads, Median(p50_floor), Spread(p50_floor), Median(p99_floor),
                         Spread(p99_floor), Median(p50_ratio), Median(p99_ratio)});
  }
  printf("\nSummary: median [min-max] of %d runs; the burst's figures, refused over both phases\n",
         runs);
  printf("%-7s %-3s %-19s %-19s %-22s %-22s %-19s %-10s %-19s\n", "engine", "thr", "p50 ns",
         "p99 ns", "p99.9 ns", "worst us", "Mcalls/s", "refused", "eng MB");
  for (const sSummary& s : summaries) {
    if (s.p50.empty()) continue;
    printf("%-7s %-3d %-19s %-19s %-22s %-22s %-19s %-10s %-19s\n", Engine_Name(s.engine),
           s.threads, Median_Range(s.p50, "%.1f").c_str(), Median_Range(s.p99, "%.1f").c_str(),
           Median_Range(s.p999, "%.1f").c_str(), Median_Range(s.worst_us, "%.1f").c_str(),
           Median_Range(s.rate, "%.2f").c_str(), Median_Range(s.refused, "%.0f").c_str(),
           Median_Range(s.mb, "%.1f").c_str());
  }
  printf(
      "\nHeadline: ours / floor in the same process (median of %d runs, spread (max-min)/median)\n",
      runs);
  for (const sHeadline& h : headlines) {
    printf("  %d thread(s): p50 %.2f (spread %.0f %%), p99 %.2f (spread %.0f %%)", h.threads,
           h.p50_floor, 100 * h.p50_floor_spread, h.p99_floor, 100 * h.p99_floor_spread);
    if (h.p50_spdlog > 0)
      printf("; burst ours/spdlog p50 %.2f, p99 %.2f (not a headline)", h.p50_spdlog, h.p99_spdlog);
    printf("\n");
  }
  if (smoke && smoke_failed) {
    printf("smoke: FAILED (the run failed, refused calls or allocated after a first call)\n");
    return 1;
  }
  return 0;
}
