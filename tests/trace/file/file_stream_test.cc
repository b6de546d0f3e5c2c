// The binary file sink under real trace channels: every accepted trace call reaches the files
// exactly once and in order, files stay readable by themselves across rolls, and a failing disk
// stops delivery cleanly.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "file_sink_fixture.h"
#include "support/child_process.h"
#include "support/recording_channel.h"
#include "support/roll_clock.h"
#include "support/temp_dir.h"
#include "support/trd_reader.h"
#include "support/wait_until.h"
#include "trace/channel/trace.h"
#include "trace/file/cl_file.h"

namespace mqw_test {
namespace {

// Runs `threads` threads, each making `calls` trace calls "%d %d" (thread, call index) on
// `channel`; returns the number of calls that returned true per thread. With `until_accepted`
// each thread keeps calling (yielding after a refusal) until `calls` calls were accepted.
std::vector<uint64_t> Trace_From_Threads(ITR_Trace* channel, int threads, int calls,
                                         bool until_accepted = false) {
  std::vector<uint64_t> accepted(threads, 0);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      uint64_t ok = 0;
      for (int i = 0; until_accepted ? ok < static_cast<uint64_t>(calls) : i < calls; ++i) {
        if (channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d %d", t, i)) {
          ++ok;
        } else if (until_accepted) {
          std::this_thread::yield();
        }
      }
      accepted[t] = ok;
    });
  }
  for (std::thread& worker : workers) worker.join();
  return accepted;
}

// Checks that the data records of `files` are exactly the accepted calls: per thread strictly
// increasing call indexes, `accepted[t]` of them.
// The channel's loss reports are skipped; Lost_In() adds up their counts.
void Expect_Exactly_Once(const std::vector<TrdFile>& files, const std::vector<uint64_t>& accepted) {
  std::vector<int64_t> last(accepted.size(), -1);
  std::vector<uint64_t> seen(accepted.size(), 0);
  for (const TrdFile& file : files) {
    for (const TrdData& data : file.data) {
      if (data.format == CTRTrace::kLoss_Format) continue;
      ASSERT_EQ(data.numbers.size(), 2u) << data.format;
      const uint64_t t = data.numbers[0];
      ASSERT_LT(t, accepted.size());
      const int64_t index = static_cast<int32_t>(data.numbers[1]);
      ASSERT_GT(index, last[t]) << "thread " << t << " out of order or twice in " << file.path;
      last[t] = index;
      ++seen[t];
    }
  }
  EXPECT_EQ(seen, accepted);
}

// Calls reported lost by the loss reports in `files`, all reasons together.
uint64_t Lost_In(const std::vector<TrdFile>& files) {
  uint64_t lost = 0;
  for (const TrdFile& file : files) {
    for (const TrdData& data : file.data) {
      if (data.format != CTRTrace::kLoss_Format) continue;
      EXPECT_EQ(data.level, TRL_WARNING);
      EXPECT_EQ(data.numbers.size(), 3u);
      for (uint64_t count : data.numbers) lost += count;
    }
  }
  return lost;
}

TEST(FileStream, EveryAcceptedCallIsWrittenOnce) {
  TempDir dir;
  ITR_Client* client = Make_File_Sink(dir);
  ASSERT_NE(client, nullptr);
  ITR_Trace* channel = TR_Create_Trace(client, "volume", nullptr);
  ASSERT_NE(channel, nullptr);

  const std::vector<uint64_t> accepted = Trace_From_Threads(channel, 4, 1000000);
  sTRC_Info info{};
  ASSERT_TRUE(client->Get_Info(&info));
  const uint64_t lost = static_cast<CTRTrace*>(channel)->Lost_Calls();
  channel->Release();
  client->Release();

  uint64_t total = 0;
  for (uint64_t n : accepted) total += n;
  // Refused calls are accounted for by the channel, and each was refused by the sink (no room:
  // the writer fell behind); the sink may have refused a call's first try that its second made.
  EXPECT_EQ(total + lost, 4000000u);
  EXPECT_GE(info.rejects_no_room + info.rejects_off + info.rejects_error, lost);
  EXPECT_GT(total, 0u);

  const std::vector<TrdFile> files = Read_Trd_Directory(dir.Path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].error, "");
  Expect_Exactly_Once(files, accepted);
  // Every refused call is reported in the file (the final flush reports the last ones).
  EXPECT_EQ(Lost_In(files), 4000000u - total);
  // The channel's final flush is the last record.
  ASSERT_FALSE(files[0].records.empty());
  EXPECT_EQ(files[0].records.back().subtype, 4u);
}

// The file sink writes no sooner than its writer, Flush or Close, so its channels stage every
// call of a known site from the start, one thread included. A locked call (a fixed ID) in
// between must not overtake the thread's staged records: read back, the calls stand in the order
// they were made, numbered in that order.
TEST(FileStream, OneThreadStagesFromTheStartAndKeepsItsOrder) {
  TempDir dir;
  ITR_Client* client = Make_File_Sink(dir);
  ASSERT_NE(client, nullptr);
  ITR_Trace* channel = TR_Create_Trace(client, "alone", nullptr);
  ASSERT_NE(channel, nullptr);
  EXPECT_TRUE(static_cast<CTRTrace*>(channel)->Staging_Active());

  constexpr int kCalls = 20000;
  constexpr int kLocked_Every = 97;
  for (int i = 0; i < kCalls; ++i) {
    ASSERT_TRUE(channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d %d", 0, i));
    if (i % kLocked_Every == 0) {
      ASSERT_TRUE(channel->Trace(5, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d", i));
    }
  }
  EXPECT_TRUE(static_cast<CTRTrace*>(channel)->Staging_Active());
  channel->Release();
  client->Release();

  const std::vector<TrdFile> files = Read_Trd_Directory(dir.Path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].error, "");
  int staged_seen = 0;
  int locked_seen = 0;
  int64_t last_index = -1;
  uint32_t last_sequence = 0;
  bool first = true;
  for (const TrdData& data : files[0].data) {
    ASSERT_NE(data.format, CTRTrace::kLoss_Format) << "a call was lost";
    if (!first) {
      EXPECT_GT(data.sequence, last_sequence);
    }
    first = false;
    last_sequence = data.sequence;
    const int64_t index = static_cast<int32_t>(data.numbers.back());
    if (data.numbers.size() == 2) {
      ASSERT_EQ(index, last_index + 1) << "staged call out of order";
      last_index = index;
      ++staged_seen;
    } else {
      ASSERT_EQ(data.numbers.size(), 1u);
      ASSERT_EQ(index, last_index) << "the locked call overtook or trailed its neighbours";
      ++locked_seen;
    }
  }
  EXPECT_EQ(staged_seen, kCalls);
  EXPECT_EQ(locked_seen, (kCalls + kLocked_Every - 1) / kLocked_Every);
}

// One thread traces into a tiny pool while the writer is held, until calls are refused, then
// lets the writer go until calls are accepted again: three gaps. Read back from the file, each
// loss report stands exactly where its calls are missing: between the last accepted call before
// the gap and the first one after it, counting the calls in between.
TEST(FileStream, RefusedCallsAreReportedWhereTheyWereLost) {
  TempDir dir;
  ITR_Client* client = Make_File_Sink(dir, {"/TR.Pool=1"});
  ASSERT_NE(client, nullptr);
  CClFile* sink = static_cast<CClFile*>(client);
  ITR_Trace* channel = TR_Create_Trace(client, "gaps", nullptr);
  ASSERT_NE(channel, nullptr);

  constexpr int kGaps = 3;
  std::vector<bool> accepted;
  auto trace = [&] {
    const int i = static_cast<int>(accepted.size());
    accepted.push_back(
        channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d %d", 0, i));
    return accepted.back();
  };
  int gaps = 0;
  bool stuck = false;
  for (; gaps < kGaps && !stuck; ++gaps) {
    // The held writer frees nothing: the pool fills and calls are refused.
    sink->TEST_Hold_Writer(true);
    stuck = !Wait_Until([&] { return !trace(); }, kEvent_Backstop, std::chrono::milliseconds(0));
    for (int i = 0; i < 5; ++i) trace();
    // Let go, the writer frees the buffers and calls are accepted again.
    sink->TEST_Hold_Writer(false);
    stuck = stuck || !Wait_Until([&] { return trace(); });
  }
  // The last call was accepted: nothing is left for the final flush to report.
  channel->Release();
  client->Release();
  ASSERT_FALSE(stuck) << "the pool never filled, or never drained again";
  ASSERT_EQ(gaps, kGaps);
  ASSERT_TRUE(accepted.back());

  const std::vector<TrdFile> files = Read_Trd_Directory(dir.Path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].error, "");
  int64_t previous = -1;  // index of the last accepted call read
  uint64_t reported = 0;  // lost calls of a report not yet followed by a call
  int reports = 0;
  for (const TrdData& data : files[0].data) {
    if (data.format == CTRTrace::kLoss_Format) {
      ASSERT_EQ(data.numbers.size(), 3u);
      EXPECT_EQ(data.level, TRL_WARNING);
      EXPECT_EQ(data.numbers[1] + data.numbers[2], 0u) << "only no-room refusals";
      EXPECT_EQ(reported, 0u) << "one report per gap";
      reported = data.numbers[0];
      ++reports;
      continue;
    }
    ASSERT_EQ(data.numbers.size(), 2u);
    const int64_t index = static_cast<int64_t>(data.numbers[1]);
    ASSERT_LT(index, static_cast<int64_t>(accepted.size()));
    EXPECT_TRUE(accepted[static_cast<size_t>(index)]);
    // The calls between the previous accepted one and this one were all refused: the report in
    // between counts them, and without a gap there is no report.
    EXPECT_EQ(static_cast<uint64_t>(index - previous - 1), reported) << "at call " << index;
    for (int64_t lost = previous + 1; lost < index; ++lost)
      EXPECT_FALSE(accepted[static_cast<size_t>(lost)]);
    previous = index;
    reported = 0;
  }
  EXPECT_EQ(previous, static_cast<int64_t>(accepted.size()) - 1);
  EXPECT_EQ(reports, gaps);
}

TEST(FileStream, RollsKeepEveryFileReadableByItself) {
  TempDir dir;
  ITR_Client* client = Make_File_Sink(dir, {"/TR.Roll=1mb", "/TR.Pool=256"});
  ASSERT_NE(client, nullptr);
  ITR_Trace* first = TR_Create_Trace(client, "first", nullptr);
  ITR_Trace* second = TR_Create_Trace(client, "second", nullptr);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  void* module = nullptr;
  ASSERT_TRUE(first->Register_Thread("Application", 0));
  ASSERT_TRUE(first->Register_Module("Gateway", &module));

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> second_ok{0};
  std::thread other([&] {
    for (int i = 0; !stop; ++i) {
      if (second->Trace(0, TRL_DEBUG, nullptr, __LINE__, __FILE__, __func__, "%s %d", "other", i))
        ++second_ok;
    }
  });
  // About 45 bytes per call: some 7 MiB, so several files.
  const std::vector<uint64_t> accepted = Trace_From_Threads(first, 4, 40000, true);
  stop = true;
  other.join();
  first->Release();
  second->Release();
  client->Release();

  const std::vector<std::string> names = Trd_Names(dir.Path());
  const std::vector<TrdFile> files = Read_Trd_Directory(dir.Path());
  ASSERT_GE(files.size(), 3u) << "expected several rolls; accepted " << accepted[0] << " "
                              << accepted[1] << " other " << second_ok.load();
  uint64_t second_seen = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].path);
    char counter[32];
    snprintf(counter, sizeof(counter), ".%03zu.trd", i);
    EXPECT_NE(names[i].find(counter), std::string::npos) << names[i];
    EXPECT_EQ(files[i].error, "");
    EXPECT_EQ(files[i].header.magic, kTRD_Magic);
    // The first channel's context leads its records in every file that holds any: information,
    // UTC offset, its thread and its module.
    std::vector<uint32_t> leading;
    for (const TrdRecord& record : files[i].records) {
      if (record.channel == 0 && leading.size() < 4) leading.push_back(record.subtype);
    }
    if (!leading.empty()) {
      EXPECT_EQ(leading, (std::vector<uint32_t>{0, 9, 5, 7}));
    }
    for (const TrdData& data : files[i].data) {
      if (data.channel == 1 && data.format != CTRTrace::kLoss_Format) ++second_seen;
    }
  }
  std::vector<TrdFile> first_only = files;
  for (TrdFile& file : first_only) {
    std::vector<TrdData> kept;
    for (const TrdData& data : file.data) {
      if (data.channel == 0) kept.push_back(data);
    }
    file.data = kept;
  }
  Expect_Exactly_Once(first_only, accepted);
  EXPECT_EQ(second_seen, second_ok.load());
}

// Times of day: the local clock (a time zone chosen so that the roll time is two seconds ahead
// of the sink's start) passes the roll time and a new file begins, also across midnight.
TEST(FileStream, RollsAtTimesOfDay) {
  struct Case {
    const char* rule;
    uint32_t roll_second;  // local second of the day of the roll time
  };
  const Case cases[] = {{"/TR.Roll=8:00,20:30tm", 8 * 3600}, {"/TR.Roll=0:00tm", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    TempDir dir;
    const ChildResult child = Run_In_Child(
        [&]() -> int {
          ITR_Client* client = nullptr;
          for (int attempt = 0;; ++attempt) {
            Set_Zone_Before(c.roll_second, 2);
            client = Make_File_Sink(dir, {c.rule});
            if (client == nullptr || client->Get_Status() != 0) return 20;
            if (Roll_Still_Ahead(c.roll_second, 2)) break;
            // A start slower than two seconds: its first look may have been after the roll time.
            client->Release();
            for (const std::string& file : List_Trd_Files(dir.Path())) unlink(file.c_str());
            if (attempt == 20) return 23;
          }
          ITR_Trace* channel = TR_Create_Trace(client, "clock", nullptr);
          if (channel == nullptr) return 21;
          size_t files = 0;
          const auto backstop = std::chrono::steady_clock::now() + kEvent_Backstop;
          for (int i = 0; files < 2 && std::chrono::steady_clock::now() < backstop; ++i) {
            channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d %d", 0, i);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            files = List_Trd_Files(dir.Path()).size();
          }
          channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d %d", 0, 100000);
          channel->Release();
          client->Release();
          return files == 2 ? 0 : 22;
        },
        300000);
    ASSERT_TRUE(child.exited) << child.output;
    EXPECT_EQ(child.exit_code, 0) << child.output;
    const std::vector<TrdFile> files = Read_Trd_Directory(dir.Path());
    ASSERT_EQ(files.size(), 2u);
    for (const TrdFile& file : files) EXPECT_EQ(file.error, "") << file.path;
    EXPECT_FALSE(files[1].data.empty());
  }
}

TEST(FileStream, FullDiskStopsDeliveryCleanly) {
  TempDir dir;
  const ChildResult child = Run_In_Child(
      [&]() -> int {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {64 * 1024, 64 * 1024};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 20;
        ITR_Client* client = Make_File_Sink(dir, {"/TR.Pool=64", "/TR.Verb=0"});
        if (client == nullptr || client->Get_Status() != 0) return 21;
        RecordingChannel observer;
        if (client->Register_Channel(&observer) != 0) return 22;
        const std::string payload(1000, 'p');
        sTRC_Data_Chunk chunk{payload.data(), 1000};
        uint32_t result = 0;
        for (int i = 0; i < 100000; ++i) {
          result = client->Sent(observer.Id(), &chunk, 1, 1000);
          if (result == eCode_Off) break;
          if (result == eCode_No_Room) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (result != eCode_Off) return 23;
        // The writer marks the sink off, then tells the channels: Sent may see the first before
        // the second has happened.
        bool told = false;
        for (int wait = 0; !told && wait < 2000; ++wait) {
          for (const RecordingChannel::Event& event : observer.Events()) {
            if (event.kind == RecordingChannel::Kind::Status && event.status.connected == 0)
              told = true;
          }
          if (!told) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!told) return 24;
        client->Unregister_Channel(observer.Id());
        client->Release();
        return 0;
      },
      120000);
  ASSERT_TRUE(child.exited) << "signal " << child.signal << "\n" << child.output;
  EXPECT_EQ(child.exit_code, 0) << child.output;
  EXPECT_NE(child.output.find("CRIT.: : Not possible to write data"), std::string::npos)
      << child.output;
  EXPECT_NE(child.output.find("[Routine]"), std::string::npos) << child.output;
}

}  // namespace
}  // namespace mqw_test
