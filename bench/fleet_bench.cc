// The fleet index against a private PostgreSQL on this machine (scripts/pg-private.sh, in a
// temporary directory; synchronous_commit off as the script sets it):
//   BM_Index_Rate        one server's indexer copying a stored file of 500,000 messages (the
//                        simulator's texts and level mix) into a new database (B-trees on time,
//                        (client, time), (level, time)): messages/s; trigram:1 also keeps a
//                        trigram GIN on the text row by row (the plain approach), trigram:0 leaves
//                        it to the day's close as the server does
//   BM_Lag_At_50k        a file growing at 50,000 messages/s while the indexer runs; the time from
//                        a message's write to its row being visible to a query: p50 and p95
//   BM_Page_10M          10,000,000 rows over one closed day (1,000 hosts): a page of 100 newest rows of
//                        a one-hour range, a host pattern and a minimum level; p50 and p95 of 50
//   BM_Substring_10M     the same rows: a page of a substring search over the whole day, p95
//   bytes/message        the database's size per message (rows and indexes) after BM_Page_10M's
//                        load, as a counter
// Each reports the median and spread of three runs (Three_Timed_Runs). Not run in CI.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "fleet_query.h"
#include "index_schema.h"
#include "pg_connection.h"
#include "trace/viewer/viewer_fixture.h"
#include "trd_indexer.h"

namespace {

using Clock = std::chrono::steady_clock;

// The private server, started once for the whole run.
struct sServer {
  mqw_bench::BenchDir dir{"fleet-bench"};
  std::string url;
  int databases = 0;
  sServer() {
    FILE* pipe = popen(("bash " PG_PRIVATE_SCRIPT " start '" + dir.Path() + "'").c_str(), "r");
    char line[512] = {};
    if (pipe && fgets(line, sizeof(line), pipe)) url = line;
    if (pipe) pclose(pipe);
    while (!url.empty() && url.back() == '\n') url.pop_back();
  }
  ~sServer() {
    if (!url.empty()) system(("bash " PG_PRIVATE_SCRIPT " stop '" + dir.Path() + "'").c_str());
  }
  std::string New_Database() {
    CPg_Connection connection;
    std::string error;
    const std::string name = "bench" + std::to_string(++databases);
    if (!connection.Connect(url, &error) || !connection.Exec("CREATE DATABASE " + name, &error))
      return std::string();
    std::string out = url;
    out.replace(out.find("/trace?"), 7, "/" + name + "?");
    return out;
  }
};

sServer& Server() {
  static sServer server;
  return server;
}

// Messages like the simulator's.
std::vector<viewer_test::Line> Fleet_Lines(uint32_t count, uint32_t seed) {
  std::minstd_rand random(seed);
  std::vector<viewer_test::Line> lines;
  lines.reserve(count);
  static const uint8_t kLevels[] = {0, 1, 1, 1, 2, 2, 2, 2, 3, 4};
  for (uint32_t i = 0; i < count; ++i) {
    char text[128];
    switch (random() % 4) {
      case 0:
        snprintf(text, sizeof(text), "GET /api/v1/items/%u -> 200 in %u ms",
                 static_cast<unsigned>(random() % 10000), static_cast<unsigned>(random() % 400));
        break;
      case 1:
        snprintf(text, sizeof(text), "sensor %u temperature %u.%u C",
                 static_cast<unsigned>(random() % 8), static_cast<unsigned>(random() % 90),
                 static_cast<unsigned>(random() % 10));
        break;
      case 2:
        snprintf(text, sizeof(text), "connection to broker lost, retry %u of 5",
                 static_cast<unsigned>(random() % 5 + 1));
        break;
      default:
        snprintf(text, sizeof(text), "watchdog: worker %u stalled for %u ms",
                 static_cast<unsigned>(random() % 16), static_cast<unsigned>(random() % 5000));
    }
    lines.push_back({kLevels[random() % 10], i / 1000, text});
  }
  return lines;
}

void Write(const std::string& path, const std::string& bytes) {
  FILE* file = fopen(path.c_str(), "wb");
  fwrite(bytes.data(), 1, bytes.size(), file);
  fclose(file);
}

void BM_Index_Rate(benchmark::State& state) {
  const uint32_t count = static_cast<uint32_t>(state.range(0));
  mqw_bench::BenchDir files("fleet-bench-files");
  mkdir((files.Path() + "/gw-0001_10.0.0.1_1").c_str(), 0755);
  Write(files.Path() + "/gw-0001_10.0.0.1_1/1.trd", viewer_test::Trd_File(Fleet_Lines(count, 1)));
  for (auto _ : state) {
    CTrd_Indexer::sConfig config;
    config.url = Server().New_Database();
    config.server = "bench";
    config.directory = files.Path();
    config.batch = static_cast<size_t>(state.range(1));
    CTrd_Indexer indexer(config);
    std::string error;
    if (!indexer.Prepare(&error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    if (state.range(2) == 1) {  // the plain approach: the text index kept row by row
      CPg_Connection connection;
      connection.Connect(config.url, &error);
      connection.Exec("CREATE INDEX trace_rows_message ON trace_rows USING gin (message gin_trgm_ops)"
                      " WITH (fastupdate = on, gin_pending_list_limit = 65536)", &error);
    }
    const auto start = Clock::now();
    indexer.Pass();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    state.counters["messages/s"] = count / seconds;
    if (indexer.Status().rows != count) state.SkipWithError("rows missing");
  }
}

void BM_Lag_At_50k(benchmark::State& state) {
  constexpr uint32_t kRate = 50000, kSeconds = 6;
  for (auto _ : state) {
    mqw_bench::BenchDir files("fleet-bench-lag");
    mkdir((files.Path() + "/h").c_str(), 0755);
    const std::string whole = viewer_test::Trd_File(Fleet_Lines(kRate * kSeconds, 2));
    // Where each message's packet ends: the writer appends up to a message, records the time.
    const std::string head = viewer_test::Trd_File({});
    const size_t per = (whole.size() - head.size()) / (kRate * kSeconds);
    CTrd_Indexer::sConfig config;
    config.url = Server().New_Database();
    config.server = "bench";
    config.directory = files.Path();
    config.poll = std::chrono::milliseconds(100);
    CTrd_Indexer indexer(config);
    std::string error;
    if (!indexer.Prepare(&error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    indexer.Start();
    FILE* out = fopen((files.Path() + "/h/1.trd").c_str(), "wb");
    std::vector<Clock::time_point> written(kRate * kSeconds / 1000);  // per thousand messages
    std::atomic<bool> done{false};
    std::vector<double> lags;
    std::thread watcher([&] {
      CPg_Connection connection;
      std::string problem;
      connection.Connect(config.url, &problem);
      size_t seen = 0;
      while (!done || seen < written.size()) {
        CPg_Result result;
        if (connection.Exec("SELECT count(*) FROM trace_rows", {}, &result, &problem)) {
          const size_t rows = static_cast<size_t>(result.Number(0, 0)) / 1000;
          const auto now = Clock::now();
          for (; seen < rows && seen < written.size(); ++seen)
            lags.push_back(std::chrono::duration<double>(now - written[seen]).count());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    // The server writes out its buffers about every 10 ms at this rate: 500 messages at a time.
    const auto start = Clock::now();
    size_t offset = 0;
    fwrite(whole.data(), 1, head.size(), out);
    offset = head.size();
    for (uint32_t step = 0; step < kRate * kSeconds / 500; ++step) {
      std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (step + 1)));
      const size_t end = std::min(whole.size(), head.size() + per * 500 * (step + 1));
      fwrite(whole.data() + offset, 1, end - offset, out);
      fflush(out);
      offset = end;
      if ((step + 1) % 2 == 0) written[(step + 1) / 2 - 1] = Clock::now();
    }
    fwrite(whole.data() + offset, 1, whole.size() - offset, out);
    fclose(out);
    done = true;
    watcher.join();
    indexer.Stop();
    std::sort(lags.begin(), lags.end());
    state.SetIterationTime(lags.empty() ? 0 : lags[lags.size() * 95 / 100]);
    state.counters["p50_s"] = lags.empty() ? 0 : lags[lags.size() / 2];
    state.counters["p95_s"] = lags.empty() ? 0 : lags[lags.size() * 95 / 100];
  }
}

// The 10 M rows, loaded once into a database of their own.
const std::string& Loaded_10M() {
  static std::string url;
  if (!url.empty()) return url;
  url = Server().New_Database();
  CPg_Connection connection;
  std::string error;
  connection.Connect(url, &error);
  Ensure_Index_Schema(&connection, &error);
  const int64_t day = 20000;  // 2024-10-04
  Ensure_Day_Partition(&connection, day, &error);
  const auto start = Clock::now();
  int closed = 0;
  connection.Exec(
      "INSERT INTO trace_rows SELECT"
      " '2024-10-04 00:00:00+00'::timestamptz + (i - 1) * interval '8640 microseconds', 'bench',"
      " 'gw-' || lpad((i % 1000)::text, 4, '0') || '_10.0.' || (i % 1000 / 250) || '.' ||"
      " (i % 250) || '_' || (1000 + i % 1000), '10.0.0.1', 1000 + i % 1000, NULL, 'App',"
      " (ARRAY[0,1,1,1,2,2,2,2,3,4])[1 + ((i * 7) % 10)::int], (ARRAY['http','sensors','storage'])[1 + (i % 3)::int],"
      " i % 16, 'worker', 0, 'main.cc', 100 + i % 50, 'Run',"
      " CASE i % 4 WHEN 0 THEN 'GET /api/v1/items/' || (i * 7919) % 10000 || ' -> 200 in ' ||"
      "  i % 400 || ' ms' WHEN 1 THEN 'sensor ' || i % 8 || ' temperature ' || i % 90 || '.' ||"
      "  i % 10 || ' C' WHEN 2 THEN 'connection to broker lost, retry ' || 1 + i % 5 || ' of 5'"
      "  ELSE 'watchdog: worker ' || i % 16 || ' stalled for ' || (i * 31) % 5000 || ' ms' END,"
      " i FROM generate_series(1::bigint, 10000000) i",
      &error);
  Close_Day_Partitions(&connection, day + 1, &closed, &error);  // the day is over
  connection.Exec("VACUUM ANALYZE trace_rows", &error);
  fprintf(stderr, "fleet_bench: 10 M rows loaded in %.0f s%s%s\n",
          std::chrono::duration<double>(Clock::now() - start).count(), error.empty() ? "" : ": ",
          error.c_str());
  return url;
}

double Bytes_Per_Message(const std::string& url) {
  CPg_Connection connection;
  CPg_Result result;
  std::string error;
  connection.Connect(url, &error);
  connection.Exec(
      "SELECT sum(pg_total_relation_size(inhrelid)) / (SELECT count(*) FROM trace_rows)"
      " FROM pg_inherits WHERE inhparent = 'trace_rows'::regclass",
      {}, &result, &error);
  return static_cast<double>(result.Number(0, 0));
}

void Query_Percentiles(benchmark::State& state, const sFleet_Filter& base, bool vary_range) {
  const std::string& url = Loaded_10M();
  auto connection = std::make_unique<CPg_Connection>();
  std::string error;
  connection->Connect(url, &error);
  CFleet_Query query(std::move(connection));
  std::minstd_rand random(3);
  for (auto _ : state) {
    std::vector<double> times;
    for (int i = 0; i < 50; ++i) {
      sFleet_Filter filter = base;
      if (vary_range) {
        const int64_t hour = static_cast<int64_t>(random() % 23);
        filter.from_us = (int64_t{20000} * 86400 + hour * 3600) * 1000000;
        filter.to_us = filter.from_us + int64_t{3600} * 1000000;
      }
      CFleet_Query::sPage page;
      const auto start = Clock::now();
      if (!query.Page(filter, 100, 10000, &page, &error)) {
        state.SkipWithError(error.c_str());
        return;
      }
      times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    state.SetIterationTime(times[times.size() * 95 / 100]);
    state.counters["p50_ms"] = times[times.size() / 2] * 1000;
    state.counters["p95_ms"] = times[times.size() * 95 / 100] * 1000;
  }
  state.counters["bytes/message"] = Bytes_Per_Message(url);
}

void BM_Page_10M(benchmark::State& state) {
  sFleet_Filter filter;
  filter.hosts = {{false, true, "gw-01*"}};
  filter.level = 3;
  Query_Percentiles(state, filter, true);
}

void BM_Substring_10M(benchmark::State& state) {
  sFleet_Filter filter;
  filter.text = "stalled for 4321 ms";
  Query_Percentiles(state, filter, false);
}

}  // namespace

BENCHMARK(BM_Index_Rate)
    ->Args({500000, 20000, 1})
    ->Args({500000, 100000, 1})
    ->Args({500000, 20000, 0})
    ->Args({500000, 100000, 0})
    ->ArgNames({"messages", "batch", "trigram"})
    ->Apply(mqw_bench::Three_Timed_Runs);
BENCHMARK(BM_Lag_At_50k)->Apply(mqw_bench::Three_Timed_Runs);
BENCHMARK(BM_Page_10M)->Apply(mqw_bench::Three_Timed_Runs);
BENCHMARK(BM_Substring_10M)->Apply(mqw_bench::Three_Timed_Runs);

BENCHMARK_MAIN();
