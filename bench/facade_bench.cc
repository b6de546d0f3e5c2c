// A trace call as a host makes it: TR::LoggerInit with the binary file sink, then
// `TR_LOG(TRL_INFO, "value %d text %s", i, "abc")` from 1, 2 and 4 threads at once, next to spdlog's
// asynchronous file logger (overflow policy: block) doing the same work in the same run.
//
// Each configuration runs in a fresh child process (the facade is set up once per process), and
// the engines alternate run by run so that drifts of the machine's speed reach both alike. Per
// run it reports:
//   - p50 and p99 of the per-call latency in ns (every call is timed with the monotonic clock;
//     the figures include that clock's own cost, about 20 ns on x86-64);
//   - accepted and refused calls, apart: a refused call is cheap and must never flatter the
//     latency figures unseen;
//   - end-to-end calls per second: from the first call until the sink has written everything
//     (our Close, spdlog's flush and shutdown);
//   - the child's peak resident memory.
// The headline is the median over the runs of our p50 and p99 divided by spdlog's, with the
// spread (max - min) / median of each ratio.
//
// Usage: facade_bench [--calls N] [--runs R] [--threads 1,2,4]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <mqtt-wrapper/TR.h>
#include <mqtt-wrapper/trhelper.h>

#include "bench_support.h"

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
  uint64_t accepted = 0;
  uint64_t refused = 0;
  double calls_per_s = 0;
  double peak_mb = 0;
  int ok = 0;
};

uint64_t Now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

double Percentile(std::vector<uint32_t>* samples, double q) {
  if (samples->empty()) return 0;
  size_t at = static_cast<size_t>(q * static_cast<double>(samples->size() - 1));
  std::nth_element(samples->begin(), samples->begin() + static_cast<long>(at), samples->end());
  return (*samples)[at];
}

// Runs `calls` calls of `one_call(i)` on each of `threads` threads started together; fills the
// latency figures and the accepted/refused counts. `one_call` returns whether it was accepted.
template <class Call>
void Drive(int threads, int calls, Call one_call, sRun* run, uint64_t* first_call_ns) {
  std::vector<std::vector<uint32_t>> latencies(static_cast<size_t>(threads));
  for (auto& each : latencies) each.resize(static_cast<size_t>(calls));
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::atomic<uint64_t> accepted{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      std::vector<uint32_t>& mine = latencies[static_cast<size_t>(t)];
      ready.fetch_add(1);
      while (!go.load(std::memory_order_acquire)) {
      }
      uint64_t ok = 0;
      for (int i = 0; i < calls; ++i) {
        const uint64_t before = Now_ns();
        ok += one_call(i) ? 1 : 0;
        const uint64_t after = Now_ns();
        mine[static_cast<size_t>(i)] = static_cast<uint32_t>(std::min<uint64_t>(after - before, UINT32_MAX));
      }
      accepted.fetch_add(ok);
    });
  }
  while (ready.load() != threads) std::this_thread::yield();
  *first_call_ns = Now_ns();
  go.store(true, std::memory_order_release);
  for (std::thread& worker : workers) worker.join();
  std::vector<uint32_t> all;
  all.reserve(static_cast<size_t>(threads) * static_cast<size_t>(calls));
  for (auto& each : latencies) all.insert(all.end(), each.begin(), each.end());
  run->p50_ns = Percentile(&all, 0.50);
  run->p99_ns = Percentile(&all, 0.99);
  run->accepted = accepted.load();
  run->refused = static_cast<uint64_t>(threads) * static_cast<uint64_t>(calls) - run->accepted;
}

double Peak_MB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

sRun Run_Ours(int threads, int calls, const std::string& dir) {
  sRun run;
  if (TR::LoggerInit("bench", "/TR.Sink=FileBin /TR.Dir=" + dir) == nullptr) return run;
  ITR_Trace* channel = TR::getTrace();
  uint64_t start = 0;
  // The expansion of TR_LOG, keeping the result that the macro drops.
  Drive(
      threads, calls,
      [channel](int i) {
        return channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "value %d text %s", i,
                              "abc");
      },
      &run, &start);
  TR::l_pClient->Close();
  const double seconds = static_cast<double>(Now_ns() - start) / 1e9;
  run.calls_per_s = static_cast<double>(run.accepted) / seconds;
  run.peak_mb = Peak_MB();
  run.ok = 1;
  return run;
}

#ifdef MQW_BENCH_SPDLOG
sRun Run_Spdlog(int threads, int calls, const std::string& dir) {
  sRun run;
  spdlog::init_thread_pool(8192, 1);
  auto blocking = std::make_shared<spdlog::async_logger>(
      "bench-block", std::make_shared<spdlog::sinks::basic_file_sink_mt>(dir + "/b.log", true),
      spdlog::thread_pool(), spdlog::async_overflow_policy::block);
  uint64_t start = 0;
  Drive(
      threads, calls,
      [&blocking](int i) {
        blocking->info("value {} text {}", i, "abc");
        return true;
      },
      &run, &start);
  blocking->flush();
  blocking.reset();
  spdlog::shutdown();
  const double seconds = static_cast<double>(Now_ns() - start) / 1e9;
  run.calls_per_s = static_cast<double>(run.accepted) / seconds;
  run.peak_mb = Peak_MB();
  run.ok = 1;
  return run;
}
#endif

// Runs one configuration in a child process and returns its figures.
sRun In_Child(bool ours, int threads, int calls) {
  int fds[2];
  sRun run;
  if (pipe(fds) != 0) return run;
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    mqw_bench::BenchDir dir("mqw-facade-bench");
    sRun result;
#ifdef MQW_BENCH_SPDLOG
    result = ours ? Run_Ours(threads, calls, dir.Path()) : Run_Spdlog(threads, calls, dir.Path());
#else
    if (ours) result = Run_Ours(threads, calls, dir.Path());
#endif
    ssize_t written = write(fds[1], &result, sizeof(result));
    (void)written;
    close(fds[1]);
    dir.Clear();
    _exit(0);
  }
  close(fds[1]);
  if (child > 0) {
    if (read(fds[0], &run, sizeof(run)) != static_cast<ssize_t>(sizeof(run))) run = sRun{};
    waitpid(child, nullptr, 0);
  }
  close(fds[0]);
  return run;
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

}  // namespace

int main(int argc, char** argv) {
  int calls = 1000000;
  int runs = 3;
  std::vector<int> thread_counts = {1, 2, 4};
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--calls") == 0) calls = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--runs") == 0) runs = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--threads") == 0) {
      thread_counts.clear();
      for (char* part = strtok(argv[i + 1], ","); part; part = strtok(nullptr, ",")) {
        thread_counts.push_back(atoi(part));
      }
    }
  }
  if (calls <= 0 || runs <= 0 || thread_counts.empty()) {
    fprintf(stderr, "usage: facade_bench [--calls N] [--runs R] [--threads 1,2,4]\n");
    return 2;
  }

  printf("%d calls per thread, %d runs per configuration, engines alternating\n", calls, runs);
  printf("%-7s %-3s %4s %9s %9s %10s %10s %11s %8s\n", "engine", "thr", "run", "p50 ns", "p99 ns",
         "accepted", "refused", "Mcalls/s", "peak MB");
  for (int threads : thread_counts) {
    std::vector<double> p50_ratio, p99_ratio;
    for (int r = 0; r < runs; ++r) {
      const sRun ours = In_Child(true, threads, calls);
#ifdef MQW_BENCH_SPDLOG
      const sRun theirs = In_Child(false, threads, calls);
#else
      const sRun theirs;
#endif
      for (const auto& [name, run] : {std::pair{"ours", ours}, std::pair{"spdlog", theirs}}) {
        if (!run.ok) continue;
        printf("%-7s %-3d %4d %9.0f %9.0f %10llu %10llu %11.2f %8.1f\n", name, threads, r + 1,
               run.p50_ns, run.p99_ns, static_cast<unsigned long long>(run.accepted),
               static_cast<unsigned long long>(run.refused), run.calls_per_s / 1e6, run.peak_mb);
      }
      if (ours.ok && theirs.ok && theirs.p50_ns > 0 && theirs.p99_ns > 0) {
        p50_ratio.push_back(ours.p50_ns / theirs.p50_ns);
        p99_ratio.push_back(ours.p99_ns / theirs.p99_ns);
      }
    }
    if (!p50_ratio.empty()) {
      printf("  %d thread(s): p50 ours/spdlog %.2f (spread %.0f %%), p99 ours/spdlog %.2f (spread %.0f %%)\n",
             threads, Median(p50_ratio), 100 * Spread(p50_ratio), Median(p99_ratio),
             100 * Spread(p99_ratio));
    }
  }
  return 0;
}
