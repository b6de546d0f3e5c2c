// The trace viewer's two speed goals.
//
// Stored: 1,000,000 messages in ten rolled files of one client directory (90 % info, 9 % warning,
// 1 % error, 100 us apart). A cold query (no file summaries remembered yet, the files in the
// system's page cache) asks for its first page of 500 with a filter: how long until the answer.
// Beside it, the worst case (a regular expression that only the last messages match, so the
// whole source is decoded), a page far down with the summaries remembered, and the timeline of
// the whole range, a text searched in every message with and without case, and the newest page.
//
// Live: a receiving thread decodes a client's stream (stream reader, message copy, ring push) at
// a paced 100,000 messages per second for a few seconds, as trace-server's loop does with --http,
// while one page reads as fast as it can and another only 500 messages every 100 ms. Reported:
// the rate reached, the receiving thread's CPU per message, the slow page's skipped messages
// (it is told, the host never waits), and how much the resident memory grew: bounded by the
// ring, whatever the duration.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "bench_support.h"
#include "support/stream_builder.h"
#include "trace/decode/stream_parser.h"
#include "trace/format/file_header.h"
#include "trace/viewer/message_collector.h"
#include "trace/viewer/stored_query.h"
#include "trace/viewer/viewer_hub.h"

namespace {

using namespace text_test;

constexpr uint32_t kFiles = 10;
constexpr uint32_t kPer_File = 100000;

uint8_t Level_Of(uint32_t i) { return i % 100 == 0 ? 4 : i % 10 == 0 ? 3 : 2; }

// The channel's description and call site, then `count` data records from number `first`.
Bytes Stream(uint32_t first, uint32_t count) {
  Bytes out = Packet(0, Cat({Info("Chan"), Format(7, "request id=%d took %d ms", {4, 8, 4, 8})}));
  Bytes payload;
  for (uint32_t i = first; i < first + count; ++i) {
    const Bytes record = Data(7, kTimer0 + uint64_t{i} * 1000, Cat({Int(i), Int(i % 977)}),
                              Level_Of(i), 0x42, i + 1);
    payload.insert(payload.end(), record.begin(), record.end());
    if (payload.size() > 60000) {
      const Bytes packet = Packet(0, payload);
      out.insert(out.end(), packet.begin(), packet.end());
      payload.clear();
    }
  }
  if (!payload.empty()) {
    const Bytes packet = Packet(0, payload);
    out.insert(out.end(), packet.begin(), packet.end());
  }
  return out;
}

class Stored_Files {
 public:
  Stored_Files() : m_Dir("viewer-bench") {
    const std::string host = m_Dir.Path() + "/host";
    mkdir(host.c_str(), 0755);
    sTRD_File_Header header;
    memset(&header, 0, sizeof(header));
    header.magic = kTRD_Magic;
    for (uint32_t f = 0; f < kFiles; ++f) {
      char name[64];
      snprintf(name, sizeof(name), "/20260102-0304%02u-001.trd", f);
      FILE* file = fopen((host + name).c_str(), "wb");
      const Bytes stream = Stream(f * kPer_File, kPer_File);
      fwrite(&header, sizeof(header), 1, file);
      fwrite(stream.data(), 1, stream.size(), file);
      fclose(file);
    }
    m_Directory.Open(m_Dir.Path());
  }
  const CServed_Directory& Directory() const { return m_Directory; }

 private:
  mqw_bench::BenchDir m_Dir;
  CServed_Directory m_Directory;
};

Stored_Files& Files() {
  static Stored_Files files;
  return files;
}

// A filter of one parameter, and optionally a second ("name2=value2").
CMessage_Filter Filter(const char* name, const char* value, const char* name2 = nullptr,
                       const char* value2 = nullptr) {
  CMessage_Filter filter;
  std::string error;
  filter.Parse(
      [&](const char* asked) -> std::optional<std::string> {
        if (name && strcmp(asked, name) == 0) return std::string(value);
        if (name2 && strcmp(asked, name2) == 0) return std::string(value2);
        return std::nullopt;
      },
      &error);
  return filter;
}

void BM_Stored_First_Page(benchmark::State& state, const char* name, const char* value) {
  const CMessage_Filter filter = Filter(name, value);
  const CServed_Directory& directory = Files().Directory();  // made once, outside the timing
  uint64_t scanned = 0;
  size_t got = 0;
  for (auto _ : state) {
    CStored_Query query(directory);  // cold: nothing remembered
    const CStored_Query::sPage page =
        query.Page("host", filter, 0, 500, sScan_Budget::Unlimited());
    scanned = page.scan.scanned;
    got = page.messages.size();
  }
  state.counters["decoded"] = static_cast<double>(scanned);
  state.counters["returned"] = static_cast<double>(got);
}
BENCHMARK_CAPTURE(BM_Stored_First_Page, level_warning, "level", "warning")
    ->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_CAPTURE(BM_Stored_First_Page, text_took_5_ms, "text", "took 5 ms")
    ->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_CAPTURE(BM_Stored_First_Page, worst_regex_only_at_the_end, "re", "id=9999[0-9]{2} ")
    ->Unit(benchmark::kMillisecond)->Iterations(2);

// A text no message holds: the whole source is decoded and every text searched, ignoring case (the
// page's default) or with case; the difference is the cost of folding.
void BM_Stored_Text_Everywhere(benchmark::State& state) {
  const CMessage_Filter filter =
      Filter("text", "TOOK 9999 MS", "case", state.range(0) ? "1" : "0");
  const CServed_Directory& directory = Files().Directory();
  uint64_t scanned = 0;
  for (auto _ : state) {
    CStored_Query query(directory);
    scanned = query.Page("host", filter, 0, 500, sScan_Budget::Unlimited()).scan.scanned;
  }
  state.counters["decoded"] = static_cast<double>(scanned);
  state.SetLabel(state.range(0) ? "with case" : "ignoring case");
}
BENCHMARK(BM_Stored_Text_Everywhere)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(2);

// The newest page of the whole source (order=newest): the source is read to its end.
void BM_Stored_Newest_Page(benchmark::State& state) {
  const CMessage_Filter filter = Filter("order", "newest", "level", "warning");
  const CServed_Directory& directory = Files().Directory();
  size_t got = 0;
  for (auto _ : state) {
    CStored_Query query(directory);
    got = query.Page("host", filter, 0, 500, sScan_Budget::Unlimited()).messages.size();
  }
  state.counters["returned"] = static_cast<double>(got);
}
BENCHMARK(BM_Stored_Newest_Page)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_Stored_Deep_Page_Remembered(benchmark::State& state) {
  CStored_Query query(Files().Directory());
  const CMessage_Filter filter = Filter("level", "warning");
  // Reads every file once: their summaries are remembered.
  query.Timeline("host", filter, 120, sScan_Budget::Unlimited());
  uint64_t scanned = 0;
  for (auto _ : state) {
    const CStored_Query::sPage page =
        query.Page("host", filter, 950000, 500, sScan_Budget::Unlimited());
    scanned = page.scan.scanned;
  }
  state.counters["decoded"] = static_cast<double>(scanned);
}
BENCHMARK(BM_Stored_Deep_Page_Remembered)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_Stored_Timeline(benchmark::State& state) {
  const CMessage_Filter filter = Filter(nullptr, nullptr);
  const CServed_Directory& directory = Files().Directory();
  uint64_t total = 0;
  for (auto _ : state) {
    CStored_Query query(directory);
    total = query.Timeline("host", filter, 120, sScan_Budget::Unlimited()).total;
  }
  state.counters["messages"] = static_cast<double>(total);
}
BENCHMARK(BM_Stored_Timeline)->Unit(benchmark::kMillisecond)->Iterations(2);

double Resident_MB() {
  FILE* status = fopen("/proc/self/status", "r");
  if (!status) return 0;
  char line[256];
  double mb = 0;
  while (fgets(line, sizeof(line), status)) {
    unsigned long kb;
    if (sscanf(line, "VmRSS: %lu kB", &kb) == 1) mb = static_cast<double>(kb) / 1024.0;
  }
  fclose(status);
  return mb;
}

double Thread_Cpu_Seconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void BM_Live_100k_Per_Second(benchmark::State& state) {
  const uint32_t seconds = static_cast<uint32_t>(state.range(0));
  constexpr uint32_t kRate = 100000;
  constexpr uint32_t kSlice = 1000;  // messages per 10 ms
  // One second of records, decoded again and again (the parser keeps the channel's state).
  const Bytes description = Packet(0, Cat({Info("Chan"), Format(7, "request id=%d took %d ms", {4, 8, 4, 8})}));
  std::vector<Bytes> slices;
  for (uint32_t s = 0; s < kRate / kSlice; ++s) {
    Bytes stream = Stream(s * kSlice, kSlice);
    slices.push_back(Bytes(stream.begin() + static_cast<long>(description.size()), stream.end()));
  }
  for (auto _ : state) {
    CViewer_Hub hub;
    const double rss_before = Resident_MB();
    std::atomic<bool> done{false};
    uint64_t fast_read = 0, fast_skipped = 0, slow_read = 0, slow_skipped = 0;
    const CMessage_Filter all = Filter(nullptr, nullptr);
    // A page that reads `batch` messages per request: the fast one asks again at once while
    // there is something to read, the slow one only every 100 ms.
    auto page = [&](uint32_t batch, bool slow, uint64_t* read_count, uint64_t* skipped) {
      uint64_t after = 0;
      while (!done.load()) {
        CLive_Ring::sRead read = hub.Ring().Read(after, all, batch);
        after = read.last;
        *read_count += read.messages.size();
        *skipped += read.skipped;
        if (slow) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } else if (read.messages.empty()) {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
      }
    };
    std::thread fast(page, 1000, false, &fast_read, &fast_skipped);
    std::thread slow(page, 500, true, &slow_read, &slow_skipped);
    CMessage_Collector collector("host", [&](sViewer_Message& message) { hub.Ring().Push(message); });
    CStreamParser parser;
    parser.Init(nullptr);
    parser.Set_Output(&collector);
    parser.Parse_Buffer(description.data(), description.size());
    const double cpu_before = Thread_Cpu_Seconds();
    const auto start = std::chrono::steady_clock::now();
    uint32_t behind_slices = 0;
    const uint32_t total_slices = seconds * (kRate / kSlice);
    for (uint32_t i = 0; i < total_slices; ++i) {
      const Bytes& slice = slices[i % slices.size()];
      parser.Parse_Buffer(slice.data(), slice.size());
      const auto due = start + std::chrono::milliseconds(10 * (i + 1));
      if (std::chrono::steady_clock::now() > due) ++behind_slices;
      std::this_thread::sleep_until(due);
    }
    const double cpu = Thread_Cpu_Seconds() - cpu_before;
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    done.store(true);
    fast.join();
    slow.join();
    const double messages = static_cast<double>(total_slices) * kSlice;
    state.counters["rate_per_s"] = messages / elapsed;
    state.counters["recv_cpu_us_per_msg"] = cpu / messages * 1e6;
    state.counters["recv_cpu_share"] = cpu / elapsed;
    state.counters["late_10ms_slices"] = behind_slices;
    state.counters["fast_page_skipped"] = static_cast<double>(fast_skipped);
    state.counters["slow_page_read"] = static_cast<double>(slow_read);
    state.counters["slow_page_skipped"] = static_cast<double>(slow_skipped);
    state.counters["rss_growth_MB"] = Resident_MB() - rss_before;
    state.counters["ring_slots"] = hub.Ring().Capacity();
    benchmark::DoNotOptimize(fast_read);
  }
}
BENCHMARK(BM_Live_100k_Per_Second)->Arg(3)->Arg(10)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
