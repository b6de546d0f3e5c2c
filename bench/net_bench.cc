// The network sink: cost of one trace call on a channel delivering to a trace server over
// loopback, and the sustained rate from the first call until the server holds the last byte
// (the sink's close waits for every confirmation), with no loss and with 5 % of the data packets
// dropped before the server sees them; the binary file sink runs the same work beside it. The
// server is the engine's own protocol logic behind a UDP socket in this process; it counts the
// rebuilt stream's bytes without keeping them, so that its memory growth is not measured.
//
// On a 2-core machine the server's thread and the sink's sending thread share the cores with the
// calling thread: the per-call wall time then includes their work, the CPU time does not.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <mqtt-wrapper/TR.h>

#include "trace/core/sink_factories.h"
#include "trace/net/cl_network.h"

#include "bench_support.h"
#include "test_server.h"

namespace {

using mqw_bench::BenchDir;

constexpr int kSustainedCalls = 1000000;

const BenchDir& Dir() {
  static BenchDir dir("mqw-net-bench");
  return dir;
}

// `pool_kb` 0: the network sink's default pool.
ITR_Client* Make(bool network, net_test::TestServer* server, int64_t pool_kb = 0) {
  std::vector<std::string> list;
  if (network) {
    list.push_back(server->Port_Option());
    if (pool_kb > 0) list.push_back("/TR.Pool=" + std::to_string(pool_kb));
  } else {
    list.push_back("/TR.Dir=" + Dir().Path());
    list.push_back("/TR.Roll=64mb");
    list.push_back("/TR.Files=4");
  }
  std::vector<char*> args;
  for (std::string& option : list) args.push_back(option.data());
  ITR_Client* client = network ? New_Network_Sink(args.data(), static_cast<int>(args.size()))
                               : New_File_Sink(args.data(), static_cast<int>(args.size()));
  if (client == nullptr || client->Get_Status() != 0 ||
      (network && !Network_Sink_Connection_Wait(client, 2000))) {
    fprintf(stderr, "cannot create the %s sink\n", network ? "network" : "file");
    abort();
  }
  return client;
}

// Producer cost of one call; refused calls (pool full) are counted apart.
void Trace_Call(benchmark::State& state, bool network) {
  net_test::TestServer server;
  server.Set_Count_Only(true);
  Dir().Clear();
  ITR_Client* client = Make(network, &server);
  ITR_Trace* channel = TR_Create_Trace(client, "bench", nullptr);
  uint64_t refused = 0;
  int i = 0;
  for (auto _ : state) {
    if (!channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "value %d of %s", i++,
                        "bench"))
      ++refused;
  }
  state.counters["refused"] =
      benchmark::Counter(static_cast<double>(refused), benchmark::Counter::kAvgIterations);
  channel->Release();
  client->Release();
}
void BM_Net_TraceCall(benchmark::State& state) { Trace_Call(state, true); }
void BM_File_TraceCall(benchmark::State& state) { Trace_Call(state, false); }

// kSustainedCalls accepted calls (a refused call is retried) until everything is delivered:
// bytes/s are the stream bytes that reached the server (or the files) over the whole time.
void Sustained(benchmark::State& state, bool network) {
  for (auto _ : state) {
    net_test::TestServer server;
    server.Set_Data_Drop(static_cast<uint32_t>(state.range(0)));
    server.Set_Count_Only(true);
    Dir().Clear();
    ITR_Client* client = Make(network, &server, network ? state.range(1) : 0);
    ITR_Trace* channel = TR_Create_Trace(client, "bench", nullptr);
    const auto start = std::chrono::steady_clock::now();
    uint64_t refused = 0;
    for (int i = 0; i < kSustainedCalls;) {
      if (channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "value %d of %s", i,
                         "bench")) {
        ++i;
      } else {
        ++refused;
        std::this_thread::yield();
      }
    }
    if (network) {
      const auto& stats = static_cast<CClNetwork*>(client)->Stats();
      state.counters["packets"] = static_cast<double>(stats.data_sent.load());
      state.counters["resent"] = static_cast<double>(stats.data_resent.load());
      state.counters["window"] = static_cast<double>(stats.window.load());
    }
    channel->Release();
    client->Release();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const uint64_t bytes = network ? server.Total_Stream_Bytes() : Dir().Bytes();
    state.SetIterationTime(seconds);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["calls/s"] = benchmark::Counter(kSustainedCalls / seconds);
    state.counters["refused"] = static_cast<double>(refused);
    if (network) state.counters["dropped"] = static_cast<double>(server.Dropped_Data());
  }
}
void BM_Net_Sustained(benchmark::State& state) { Sustained(state, true); }
void BM_File_Sustained(benchmark::State& state) { Sustained(state, false); }

}  // namespace

BENCHMARK(BM_Net_TraceCall)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_File_TraceCall)->Repetitions(3)->ReportAggregatesOnly(true);
// Three runs each, reported as median and coefficient of variation. Pool 0 is the network sink's
// default; 8192 KiB is the binary file sink's default buffer memory, for a comparison at equal
// memory.
BENCHMARK(BM_Net_Sustained)
    ->ArgsProduct({{0, 50}, {0, 8192}})
    ->ArgNames({"loss_per_mille", "pool_kb"})
    ->Apply(mqw_bench::Three_Timed_Runs);
BENCHMARK(BM_File_Sustained)->Arg(0)->Apply(mqw_bench::Three_Timed_Runs);

BENCHMARK_MAIN();
