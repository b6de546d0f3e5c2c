// Text sink speed: the producer's cost per trace call with the text-file output, the lines per
// second the output sustains end to end (calls until the last line is in the file), and the
// same lines written by spdlog's synchronous file logger.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <mqtt-wrapper/TR.h>

#include "trace/decode/stream_parser.h"
#include "trace/text/cl_text_file.h"

#include "bench_support.h"

#ifdef MQW_BENCH_SPDLOG
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace {

using mqw_bench::BenchDir;

// Every run writes into a private BenchDir of its own, removed afterwards.
constexpr const char* kDirPrefix = "mqw-text-bench";

struct TextClient {
  ITR_Client* client = nullptr;
  ITR_Trace* trace = nullptr;
  explicit TextClient(const std::string& dir, const char* pool) {
    std::string options = "/TR.Sink=FileTxt /TR.Dir=" + dir + " /TR.Pool=" + pool;
    client = TR_Create_Client(options.c_str());
    if (client) trace = TR_Create_Trace(client, "Bench", nullptr);
    if (trace) trace->Register_Thread("Producer", static_cast<uint32_t>(gettid()));
  }
  // Releasing the client closes it: every accepted line is written before this returns.
  void Close() {
    if (trace) trace->Release();
    if (client) client->Release();
    trace = nullptr;
    client = nullptr;
  }
  ~TextClient() { Close(); }
};

// Cost of one call for the producer while the pool has room (bursts that fit the pool, the
// normal case of a service that logs in bursts).
void BM_TextSink_ProducerCall(benchmark::State& state) {
  BenchDir dir(kDirPrefix);
  TextClient text(dir.Path(), "262144");  // 256 MiB: a burst never waits for the worker
  if (!text.trace) {
    state.SkipWithError("text client could not be created");
    return;
  }
  int64_t i = 0;
  for (auto _ : state) {
    text.trace->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__,
                      "request %lld done in %d us by %s", static_cast<long long>(i), 42, "worker");
    ++i;
  }
  text.Close();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TextSink_ProducerCall)->Iterations(1000000)->Unit(benchmark::kNanosecond);

// Lines per second from the first call until the last line is in the file (default pool: the
// producer waits whenever the worker falls behind).
void BM_TextSink_SustainedLines(benchmark::State& state) {
  const int64_t lines = state.range(0);
  std::unique_ptr<BenchDir> dir;
  for (auto _ : state) {
    state.PauseTiming();
    dir.reset();
    dir = std::make_unique<BenchDir>(kDirPrefix);
    TextClient text(dir->Path(), "2048");
    state.ResumeTiming();
    for (int64_t i = 0; i < lines; ++i) {
      text.trace->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__,
                        "request %lld done in %d us by %s", static_cast<long long>(i), 42,
                        "worker");
    }
    text.Close();
  }
  state.SetItemsProcessed(state.iterations() * lines);
}
BENCHMARK(BM_TextSink_SustainedLines)
    ->Arg(1000000)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The worker's share alone, on one thread: parsing a recorded stream, formatting every message,
// building the lines and writing them to a text file. 1 / (time per line) is the rate the
// text-file output sustains when the producers are not competing for the same cores.
void BM_TextSink_WorkerPerLine(benchmark::State& state) {
  const int64_t lines = 200000;
  static std::vector<uint8_t> stream;
  if (stream.empty()) {
    BenchDir recorded(kDirPrefix);
    ITR_Client* client = TR_Create_Client(("/TR.Sink=FileBin /TR.Dir=" + recorded.Path()).c_str());
    ITR_Trace* trace = client ? TR_Create_Trace(client, "Bench", nullptr) : nullptr;
    if (!trace) {
      state.SkipWithError("binary file client could not be created");
      return;
    }
    trace->Register_Thread("Producer", static_cast<uint32_t>(gettid()));
    for (int64_t i = 0; i < lines; ++i) {
      trace->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__,
                   "request %lld done in %d us by %s", static_cast<long long>(i), 42, "worker");
    }
    trace->Release();
    client->Release();
    for (const auto& entry : std::filesystem::directory_iterator(recorded.Path())) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
      if (file.size() > 1044) stream.assign(file.begin() + 1044, file.end());
    }
  }
  uint64_t rendered = 0;
  for (auto _ : state) {
    state.PauseTiming();
    BenchDir dir(kDirPrefix);
    {
      CClTextFile output;
      std::string option = "/TR.Dir=" + dir.Path();
      char* args[] = {option.data()};
      output.Initialize(args, 1);
      CStreamParser parser;
      parser.Init(nullptr);
      parser.Set_Output(&output);
      state.ResumeTiming();
      parser.Parse_Buffer(stream.data(), stream.size());
      output.DumpBuffers();
      rendered += parser.Lines();
      state.PauseTiming();
    }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(rendered));
}
BENCHMARK(BM_TextSink_WorkerPerLine)->Iterations(5)->Unit(benchmark::kMillisecond);

#ifdef MQW_BENCH_SPDLOG
// spdlog's synchronous file logger writing comparable lines (date, time, level, thread, source
// location and the message); the call returns when the line is in its file buffer.
std::shared_ptr<spdlog::logger> New_Spdlog(const std::string& dir) {
  auto logger = spdlog::basic_logger_st("bench", dir + "/spdlog.txt", true);
  logger->set_pattern("%n #%i [%d.%m.%Y %H:%M:%S.%f] %l Tr:#%t {%s:%#:%!} %v");
  logger->set_level(spdlog::level::trace);
  return logger;
}

void BM_Spdlog_SyncCall(benchmark::State& state) {
  BenchDir dir(kDirPrefix);
  auto logger = New_Spdlog(dir.Path());
  int64_t i = 0;
  for (auto _ : state) {
    SPDLOG_LOGGER_INFO(logger, "request {} done in {} us by {}", i, 42, "worker");
    ++i;
  }
  logger->flush();
  spdlog::drop("bench");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Spdlog_SyncCall)->Iterations(1000000)->Unit(benchmark::kNanosecond);

void BM_Spdlog_SustainedLines(benchmark::State& state) {
  const int64_t lines = state.range(0);
  std::unique_ptr<BenchDir> dir;
  for (auto _ : state) {
    state.PauseTiming();
    spdlog::drop("bench");
    dir.reset();
    dir = std::make_unique<BenchDir>(kDirPrefix);
    auto logger = New_Spdlog(dir->Path());
    state.ResumeTiming();
    for (int64_t i = 0; i < lines; ++i)
      SPDLOG_LOGGER_INFO(logger, "request {} done in {} us by {}", i, 42, "worker");
    logger->flush();
  }
  spdlog::drop("bench");
  state.SetItemsProcessed(state.iterations() * lines);
}
BENCHMARK(BM_Spdlog_SustainedLines)
    ->Arg(1000000)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#endif

}  // namespace

BENCHMARK_MAIN();
