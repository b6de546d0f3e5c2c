// The binary file sink: cost of one trace call on a channel writing to rolling files (one and
// two threads sharing the channel), and the sustained rate from the first call until the last
// byte is on disk, next to spdlog's asynchronous file logger writing the same message, a
// sequential write of the same volume in 128 KiB blocks (like dd) and the floor: two uncontended
// recursive-mutex lock/unlock pairs around a 48-byte copy. Every benchmark reports the heap
// allocations per call ("allocs/call"); the steady path of a trace call must make none.
// Files go to a private temporary directory that is removed at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <mqtt-wrapper/TR.h>

#include "trace/core/sink_factories.h"

#include "bench_support.h"

#ifdef MQW_BENCH_SPDLOG
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace {

using mqw_bench::Allocations;
using mqw_bench::BenchDir;
using mqw_bench::BM_Floor_TwoLocksAndCopy;
using mqw_bench::Report_Allocations;

// Calls of the sustained runs; about 40 bytes each in the trace file.
constexpr int kSustainedCalls = 2000000;

// The directory of every file the benchmarks write; removed at exit.
const BenchDir& Dir() {
  static BenchDir dir("mqw-file-bench");
  return dir;
}

ITR_Client* New_Sink(std::vector<std::string> list) {
  list.insert(list.begin(), "/TR.Dir=" + Dir().Path());
  std::vector<char*> args;
  for (std::string& option : list) args.push_back(option.data());
  ITR_Client* client = New_File_Sink(args.data(), static_cast<int>(args.size()));
  if (client == nullptr || client->Get_Status() != 0) {
    fprintf(stderr, "cannot create the file sink in %s\n", Dir().Path().c_str());
    abort();
  }
  return client;
}

// One channel on a file sink rolling at 64 MiB and keeping 4 files, shared by every thread of
// the per-call benchmark.
struct PerCall {
  ITR_Client* client = nullptr;
  ITR_Trace* channel = nullptr;
};
PerCall g_PerCall;

void BM_Trace_FileSink(benchmark::State& state) {
  uint64_t before = Allocations();
  uint64_t accepted = 0;
  int value = 0;
  // The harness starts the timed loop only when every thread is ready.
  for (auto _ : state) {
    bool sent = g_PerCall.channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__,
                                         "%d %s", ++value, "ab");
    accepted += sent ? 1 : 0;
  }
  Report_Allocations(state, before);
  state.counters["accepted"] =
      benchmark::Counter(static_cast<double>(accepted), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Trace_FileSink)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime()
    ->Setup([](const benchmark::State&) {
      g_PerCall.client = New_Sink({"/TR.Roll=64mb", "/TR.Files=4"});
      g_PerCall.channel = TR_Create_Trace(g_PerCall.client, "bench", nullptr);
      // Describe the call site before measuring: the steady path is what counts.
      g_PerCall.channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d %s", 7,
                               "ab");
    })
    ->Teardown([](const benchmark::State&) {
      g_PerCall.channel->Release();
      g_PerCall.client->Release();
      g_PerCall.channel = nullptr;
      g_PerCall.client = nullptr;
      Dir().Clear();
    });

// The sink alone: one Sent of a data record's three pieces (fixed part, arguments, trailer), as
// a channel hands it over; refused calls (the writer fell behind) are counted as such.
void BM_Sent_FileSink(benchmark::State& state) {
  ITR_Client* client = New_Sink({"/TR.Roll=64mb", "/TR.Files=4"});
  uint8_t fixed[24] = {};
  uint8_t args[11] = {};
  uint8_t trailer[1] = {};
  sTRC_Data_Chunk chunks[3] = {
      {fixed, sizeof(fixed)}, {args, sizeof(args)}, {trailer, sizeof(trailer)}};
  uint64_t before = Allocations();
  uint64_t accepted = 0;
  for (auto _ : state) accepted += client->Sent(0, chunks, 3, 36) == 0 ? 1 : 0;
  Report_Allocations(state, before);
  state.counters["accepted"] =
      benchmark::Counter(static_cast<double>(accepted), benchmark::Counter::kAvgIterations);
  client->Release();
  Dir().Clear();
}
BENCHMARK(BM_Sent_FileSink)->UseRealTime();

// From the first call until the files are closed and synced: every call retried until accepted.
void BM_Sustained_FileSink(benchmark::State& state) {
  uint64_t bytes = 0;
  for (auto _ : state) {
    Dir().Clear();
    ITR_Client* client = New_Sink({});
    ITR_Trace* channel = TR_Create_Trace(client, "bench", nullptr);
    for (int i = 0; i < kSustainedCalls; ++i) {
      while (
          !channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d %s", i, "ab")) {
        std::this_thread::yield();
      }
    }
    channel->Release();
    client->Release();  // drains, syncs and closes
    bytes = Dir().Bytes();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
  state.counters["file_bytes"] = static_cast<double>(bytes);
  Dir().Clear();
}
BENCHMARK(BM_Sustained_FileSink)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// The sink's own path (copy into buffers, writer thread, file) at the same volume, handed over
// in 1 KiB records retried until accepted, until the file is closed and synced.
void BM_Sustained_FileSink_Sent(benchmark::State& state) {
  const size_t total = static_cast<size_t>(kSustainedCalls) * 40;
  std::vector<uint8_t> record(1020, 'r');
  sTRC_Data_Chunk chunk{record.data(), static_cast<uint32_t>(record.size())};
  uint64_t bytes = 0;
  for (auto _ : state) {
    Dir().Clear();
    ITR_Client* client = New_Sink({});
    for (size_t done = 0; done < total; done += record.size() + 4) {
      while (client->Sent(0, &chunk, 1, chunk.size) != 0) std::this_thread::yield();
    }
    client->Release();  // drains, syncs and closes
    bytes = Dir().Bytes();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
  Dir().Clear();
}
BENCHMARK(BM_Sustained_FileSink_Sent)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// The same volume written in 128 KiB blocks and synced at the end.
void BM_Sequential_Write(benchmark::State& state) {
  const size_t total = static_cast<size_t>(kSustainedCalls) * 40;
  std::vector<char> block(131072, 'x');
  for (auto _ : state) {
    const std::string path = Dir().Path() + "/sequential.bin";
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    for (size_t done = 0; done < total; done += block.size()) {
      if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) abort();
    }
    fsync(fd);
    close(fd);
    unlink(path.c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(total) * state.iterations());
}
BENCHMARK(BM_Sequential_Write)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK(BM_Floor_TwoLocksAndCopy)->UseRealTime();

#ifdef MQW_BENCH_SPDLOG
// spdlog's asynchronous logger on a file, blocking when its queue is full (nothing dropped).
struct SpdlogFile {
  std::shared_ptr<spdlog::details::thread_pool> pool;
  std::shared_ptr<spdlog::async_logger> logger;
};
SpdlogFile g_Spdlog;

SpdlogFile New_Spdlog(const std::string& name) {
  SpdlogFile s;
  s.pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
  auto sink =
      std::make_shared<spdlog::sinks::basic_file_sink_mt>(Dir().Path() + "/" + name + ".log", true);
  s.logger = std::make_shared<spdlog::async_logger>(name, sink, s.pool,
                                                    spdlog::async_overflow_policy::block);
  s.logger->set_level(spdlog::level::info);
  return s;
}

void BM_Spdlog_Async_File(benchmark::State& state) {
  uint64_t before = Allocations();
  int value = 0;
  for (auto _ : state) g_Spdlog.logger->info("{} {}", ++value, "ab");
  Report_Allocations(state, before);
}
BENCHMARK(BM_Spdlog_Async_File)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime()
    ->Setup([](const benchmark::State&) {
      g_Spdlog = New_Spdlog("percall");
      g_Spdlog.logger->info("{} {}", 0, "ab");
    })
    ->Teardown([](const benchmark::State&) {
      g_Spdlog.logger.reset();
      g_Spdlog.pool.reset();  // joins after writing the queue
      Dir().Clear();
    });

void BM_Sustained_Spdlog_Async_File(benchmark::State& state) {
  uint64_t bytes = 0;
  for (auto _ : state) {
    Dir().Clear();
    SpdlogFile s = New_Spdlog("sustained");
    for (int i = 0; i < kSustainedCalls; ++i) s.logger->info("{} {}", i, "ab");
    s.logger->flush();
    s.logger.reset();
    s.pool.reset();
    spdlog::drop("sustained");
    bytes = Dir().Bytes();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
  state.counters["file_bytes"] = static_cast<double>(bytes);
  Dir().Clear();
}
BENCHMARK(BM_Sustained_Spdlog_Async_File)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
#endif

// Prints the usual table and, after the runs, the ratios that the goals are stated in.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      const std::string name = run.benchmark_name();
      m_Ns[name] = run.real_accumulated_time * 1e9 / static_cast<double>(run.iterations);
      auto allocs = run.counters.find("allocs/call");
      if (allocs != run.counters.end()) m_Allocs[name] = allocs->second.value;
      auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end()) m_Rate[name] = rate->second.value / 1e6;
    }
  }
  void Print_Summary() const {
    auto find = [this](const char* prefix) -> double {
      for (const auto& [name, ns] : m_Ns) {
        if (name.rfind(prefix, 0) == 0) return ns;
      }
      return 0;
    };
    const double floor = find("BM_Floor_TwoLocksAndCopy");
    printf("\n%-52s %10s %9s %12s\n", "per call", "ns", "x floor", "allocs/call");
    for (const auto& [name, ns] : m_Ns) {
      if (m_Rate.count(name) != 0) continue;
      auto allocs = m_Allocs.find(name);
      printf("%-52s %10.1f %9.2f %12.3f\n", name.c_str(), ns, floor > 0 ? ns / floor : 0.0,
             allocs == m_Allocs.end() ? 0.0 : allocs->second);
    }
    printf("\n%-52s %10s\n", "sustained", "MB/s");
    for (const auto& [name, rate] : m_Rate) printf("%-52s %10.1f\n", name.c_str(), rate);
    const double trace = find("BM_Trace_FileSink/real_time/threads:1");
    const double spdlog = find("BM_Spdlog_Async_File/real_time/threads:1");
    if (trace > 0 && spdlog > 0)
      printf("\nspdlog async file / file sink per call: %.1f x\n", spdlog / trace);
    printf(
        "goals: file sink per call <= 2 x floor with 0 allocs/call; >= 10 x cheaper than spdlog's "
        "async file\n"
        "       logger; sustained file sink rate >= sequential write rate\n"
        "(BM_Sustained_FileSink is bound by the trace calls of one thread; "
        "BM_Sustained_FileSink_Sent is the\n"
        " sink's own path)\n");
  }

 private:
  std::map<std::string, double> m_Ns;
  std::map<std::string, double> m_Allocs;
  std::map<std::string, double> m_Rate;
};

}  // namespace

int main(int argc, char** argv) {
  if (!mqw_bench::Allocation_Counter_Active()) return 1;
  if (Dir().Path().empty()) {
    fprintf(stderr, "cannot create a temporary directory\n");
    return 1;
  }
  return mqw_bench::Run_With_Summary<SummaryReporter>(argc, argv);
}
