// Trace channel: creation records, data records, replay after reconnection, refusals, IDs.
#include <gtest/gtest.h>
#include <time.h>
#include <wchar.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "trace/channel/channel_fixture.h"
#include "trace/core/null_sink.h"

namespace {

using Subs = std::vector<uint32_t>;

// Hides a null pointer from the compiler's format checks.
template <class T>
T* Opaque(T* pointer) {
  asm volatile("" : "+r"(pointer));
  return pointer;
}

TEST_F(ChannelTest, FirstHandOverCarriesInformationAndUtcOffset) {
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f.c", "fn", "x"));
  auto records = Last();
  ASSERT_EQ(Subtypes(records),
            (Subs{eTRTrace_Info, eTRTrace_UTC_Offset, eTRTrace_Format, eTRTrace_Data}));
  auto info = records[0].As<sTRTrace_Info>();
  EXPECT_EQ(+info.header, 0x00029000u);
  EXPECT_EQ(+info.flags, 12u);
  // The built-in timer: the processor's counter where it is a clock, else 100-ns ticks.
  EXPECT_EQ(+info.timer_frequency, Channel_Timer_Frequency());
  EXPECT_GE(+info.timer_frequency, 10000000u);
  EXPECT_EQ(Narrow(info.name, 64), "test channel");
  uint64_t created = (uint64_t{info.time_hi} << 32) | info.time_lo;
  // The precise clock: time() reads a coarse clock that may lag the channel's own reading.
  timespec real{};
  clock_gettime(CLOCK_REALTIME, &real);
  uint64_t now =
      uint64_t(real.tv_sec) * 10000000ULL + uint64_t(real.tv_nsec) / 100 + 0x019DB1DED53E8000ULL;
  EXPECT_LE(created, now + 10000000ULL);
  EXPECT_GE(created + 600 * 10000000ULL, now);

  auto utc = records[1].As<sTRTrace_UTC_Offset>();
  EXPECT_EQ(+utc.header, 0x00002120u);
  tm local{};
  time_t seconds = time(nullptr);
  localtime_r(&seconds, &local);
  EXPECT_EQ(+utc.offset, local.tm_gmtoff);

  // Once delivered, the context is not repeated.
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f.c", "fn", "y"));
  EXPECT_EQ(Subtypes(Last()), (Subs{eTRTrace_Format, eTRTrace_Data}));
}

// What a reader computes from the information record and a data record's timer is the time of
// the call: creation time + (timer - timer_value) x 10^7 / frequency, against the wall clock
// read around the call; timers never go back, also across threads.
TEST_F(ChannelTest, BuiltInTimerGivesReadersTheTimeOfTheCall) {
  auto wall = [] {
    timespec real{};
    clock_gettime(CLOCK_REALTIME, &real);
    return uint64_t(real.tv_sec) * 10000000ULL + uint64_t(real.tv_nsec) / 100 +
           0x019DB1DED53E8000ULL;
  };
  const uint64_t first_before = wall();
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f.c", "fn", "x"));
  const uint64_t first_after = wall();
  const auto info = Last()[0].As<sTRTrace_Info>();
  const uint64_t first_timer = Last_Data().As<sTRTrace_Data>().timer;
  const uint64_t created = (uint64_t{info.time_hi} << 32) | info.time_lo;
  struct timespec pause {
    0, 200000000L
  };
  nanosleep(&pause, nullptr);
  const uint64_t before = wall();
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f.c", "fn", "x"));
  const uint64_t after = wall();
  const uint64_t timer = Last_Data().As<sTRTrace_Data>().timer;
  // Copied out of the packed record: the assertion macros bind references to their operands.
  const uint64_t timer_value = info.timer_value;
  const uint64_t frequency = info.timer_frequency;
  ASSERT_GT(timer, timer_value);
  // Every comparison below is an ordering of clock readings; the 1 ms only absorbs rounding to
  // 100 ns and the two clocks' rates drifting apart by up to 5000 ppm over the pause.
  const double slack = 10000.0;
  // The time between the two calls, by their timers, lies between the wall clock readings
  // around them: the timer runs at the frequency the channel announces.
  const double between = double(timer - first_timer) * 1e7 / double(frequency);
  EXPECT_GE(between, double(before - first_after) - slack);
  EXPECT_LE(between, double(after - first_before) + slack);
  // The channel reads the wall clock before its timer when it is created, so the time a reader
  // computes for a call is never after the call.
  const double at = double(created) + double(timer - timer_value) * 1e7 / double(frequency);
  EXPECT_LE(at, double(after) + slack);
  EXPECT_GE(at, double(created) + double(before - first_after) - slack);

  std::vector<std::thread> threads;
  std::atomic<bool> back{false};
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) channel_->Trace(0, TRL_INFO, nullptr, 1, "f.c", "fn", "x");
    });
  }
  for (auto& thread : threads) thread.join();
  uint64_t last = 0;
  for (const auto& packet : client_->Packets()) {
    for (const Record& record : Parse_Records(packet)) {
      if (record.subtype != eTRTrace_Data) continue;
      const uint64_t value = record.As<sTRTrace_Data>().timer;
      if (value < last) back = true;
      last = value;
    }
  }
  EXPECT_FALSE(back.load());
}

TEST_F(ChannelTest, ChannelNamesAreCutOrDefaulted) {
  std::string long_name(70, 'n');
  Reopen({}, long_name.c_str());
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "x"));
  auto info = Last()[0].As<sTRTrace_Info>();
  EXPECT_EQ(Narrow(info.name, 64), std::string(63, 'n'));
  EXPECT_EQ(info.name[63], 0);

  Reopen({}, nullptr);
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "x"));
  EXPECT_EQ(Narrow(Last()[0].As<sTRTrace_Info>().name, 64), "Unknown");
}

TEST_F(ChannelTest, DataRecordLayout) {
  void* module = nullptr;
  ASSERT_TRUE(channel_->Register_Module("mod", &module));
  struct Case {
    bool with_module;
    size_t size;
  };
  for (Case c : {Case{false, 25}, Case{true, 28}}) {
    ASSERT_TRUE(
        channel_->Trace(0, TRL_WARNING, c.with_module ? module : nullptr, 9, "f.c", "fn", "plain"));
    Record data = Last_Data();
    ASSERT_EQ(data.bytes.size(), c.size);
    auto head = data.As<sTRTrace_Data>();
    EXPECT_EQ(+head.header, c.size * 1024 + 64);
    EXPECT_EQ(+head.level, TRL_WARNING);
    EXPECT_EQ(+head.thread_id, CProc::Get_Thread_ID());
    EXPECT_LT(+head.cpu, std::max(1u, std::thread::hardware_concurrency()));
    std::vector<uint8_t> trailer = data.Tail(24);
    if (c.with_module) {
      EXPECT_EQ(trailer, (std::vector<uint8_t>{1, 0, 0, 1}));
    } else {
      EXPECT_EQ(trailer, (std::vector<uint8_t>{0}));
    }
  }

  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f.c", "fn", "%d %s", 7, "ab"));
  Record data = Last_Data();
  ASSERT_EQ(data.bytes.size(), 24u + 8 + 3 + 1);
  EXPECT_EQ(data.Tail(24), (std::vector<uint8_t>{7, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 0, 0}));
}

TEST_F(ChannelTest, ArgumentValues) {
  const char* null_text = Opaque<const char>(nullptr);
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "%s|%d|%lld|%f|%c|%p", null_text,
                              -2, 0x1122334455667788LL, 1.5, 'z', reinterpret_cast<void*>(0x1234)));
  std::vector<uint8_t> tail = Last_Data().Tail(24);
  std::vector<uint8_t> expected = {'(', 'N', 'U', 'L', 'L', ')', 0};
  auto append64 = [&](uint64_t v) {
    for (int i = 0; i < 8; ++i) expected.push_back(uint8_t(v >> (8 * i)));
  };
  append64(uint64_t(-2));
  append64(0x1122334455667788ULL);
  double d = 1.5;
  uint64_t bits;
  memcpy(&bits, &d, 8);
  append64(bits);
  append64('z');
  append64(0x1234);
  expected.push_back(0);  // trailer
  EXPECT_EQ(tail, expected);

  // Wide strings travel as 4-byte units; a null one as the wide "(NULL)".
  const wchar_t* null_wide = Opaque<const wchar_t>(nullptr);
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 2, "f", "g", "%ls%ls", L"hi", null_wide));
  EXPECT_EQ(Last_Data().bytes.size(), 24u + 12 + 28 + 1);

  // A managed null message is "NULL".
  ASSERT_TRUE(channel_->Trace_Managed(0, TRL_INFO, nullptr, 3, "f", "g", nullptr));
  EXPECT_EQ(Last_Data().Tail(24), (std::vector<uint8_t>{'N', 'U', 'L', 'L', 0, 0}));
  ASSERT_TRUE(channel_->Trace_Managed(0, TRL_INFO, nullptr, 3, "f", "g", "done"));
  EXPECT_EQ(Last_Data().Tail(24), (std::vector<uint8_t>{'d', 'o', 'n', 'e', 0, 0}));
}

TEST_F(ChannelTest, StringsWithWidthArePlacedByTheUnsupportedText) {
  ASSERT_TRUE(
      channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "%.*s|%10s|%d", 3, "abcdef", "x", 5));
  std::vector<uint8_t> tail = Last_Data().Tail(24);
  std::vector<uint8_t> expected = {3, 0, 0, 0, 0, 0, 0, 0};
  std::string text = "([x]s is unsupported by TR)";
  for (int i = 0; i < 2; ++i) {
    expected.insert(expected.end(), text.begin(), text.end());
    expected.push_back(0);
  }
  expected.insert(expected.end(), {5, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(tail, expected);

  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "%5ls", L"wide"));
  EXPECT_EQ(Last_Data().bytes.size(), 24u + 112 + 1);
}

TEST_F(ChannelTest, ReconnectionReplaysTheWholeContext) {
  void* module = nullptr;
  ASSERT_TRUE(channel_->Register_Thread("worker", 77));
  ASSERT_TRUE(channel_->Register_Module("mod", &module));
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "one %d", 1));

  client_->Set_Status(1, 1);
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "one %d", 2));
  auto records = Last();
  ASSERT_EQ(Subtypes(records), (Subs{eTRTrace_Info, eTRTrace_UTC_Offset, eTRTrace_Thread_Start,
                                     eTRTrace_Module, eTRTrace_Format, eTRTrace_Data}));
  EXPECT_EQ(+records[2].As<sTRTrace_Thread_Start>().thread_id, 77u);
  EXPECT_STREQ(records[3].As<sTRTrace_Module>().name, "mod");

  // Losing the output and getting it back under the same counter replays nothing; the call
  // dropped meanwhile is reported (the report's own descriptor, its data record) before the next.
  client_->Set_Status(0, 1);
  EXPECT_FALSE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "one %d", 3));
  client_->Set_Status(1, 1);
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "one %d", 4));
  EXPECT_EQ(Subtypes(Last()), (Subs{eTRTrace_Format, eTRTrace_Data, eTRTrace_Data}));

  // A new counter first reported while disconnected still replays once the output works.
  client_->Set_Status(0, 2);
  client_->Set_Status(1, 2);
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "one %d", 5));
  EXPECT_EQ(Subtypes(Last()), (Subs{eTRTrace_Info, eTRTrace_UTC_Offset, eTRTrace_Thread_Start,
                                    eTRTrace_Module, eTRTrace_Format, eTRTrace_Data}));
}

TEST_F(ChannelTest, RefusedHandOverKeepsContextAndResendsDescriptor) {
  client_->Refuse(eCode_No_Room);
  ASSERT_TRUE(channel_->Register_Thread("t", 5));  // stays pending
  EXPECT_FALSE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "%d", 1));
  // The registration's hand-over, then the call's, each tried again once after a yield (no room).
  ASSERT_EQ(client_->Refused().size(), 4u);
  EXPECT_EQ(client_->Refused()[0], client_->Refused()[1]);
  EXPECT_EQ(client_->Refused()[2], client_->Refused()[3]);
  client_->Refuse(eCode_Ok);
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "%d", 2));
  auto records = Last();
  // The refused data record is gone (the loss report says so); its descriptor goes again.
  ASSERT_EQ(Subtypes(records),
            (Subs{eTRTrace_Info, eTRTrace_UTC_Offset, eTRTrace_Thread_Start, eTRTrace_Format,
                  eTRTrace_Data, eTRTrace_Format, eTRTrace_Data}));
  EXPECT_EQ(records[6].Tail(24)[0], 2);
}

TEST_F(ChannelTest, DisconnectedChannelDropsCalls) {
  client_->Set_Status(0, 0);
  uint32_t calls = client_->Sent_Calls();
  EXPECT_FALSE(channel_->Trace(0, TRL_CRITICAL, nullptr, 1, "f", "g", "x"));
  EXPECT_FALSE(channel_->Trace_Managed(0, TRL_CRITICAL, nullptr, 1, "f", "g", "x"));
  EXPECT_EQ(client_->Sent_Calls(), calls);
  client_->Set_Status(1, 0);
  EXPECT_TRUE(channel_->Trace(0, TRL_CRITICAL, nullptr, 1, "f", "g", "x"));
}

TEST_F(ChannelTest, VerbosityFilterAndSequenceGaps) {
  void* module = nullptr;
  ASSERT_TRUE(channel_->Register_Module("mod", &module));
  channel_->Set_Verbosity(nullptr, TRL_WARNING);
  EXPECT_EQ(channel_->Get_Verbosity(nullptr), TRL_WARNING);
  EXPECT_EQ(channel_->Get_Verbosity(module), TRL_TRACE);
  // The verbosity change itself travels as a record.
  auto verbosity = Last().back().As<sTRTrace_Verbosity>();
  EXPECT_EQ(+verbosity.header, 0x00002860u);
  EXPECT_EQ(+verbosity.level, TRL_WARNING);
  EXPECT_EQ(+verbosity.module_id, 0);

  // A change made while disconnected is applied but not kept for later delivery.
  client_->Set_Status(0, 0);
  channel_->Set_Verbosity(nullptr, TRL_WARNING);
  client_->Set_Status(1, 0);
  ASSERT_TRUE(channel_->Trace(0, TRL_WARNING, nullptr, 1, "f", "g", "a"));
  EXPECT_EQ(Subtypes(Last()), (Subs{eTRTrace_Format, eTRTrace_Data}));
  uint32_t first = Last_Data().As<sTRTrace_Data>().sequence;
  EXPECT_FALSE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "a"));
  // With a module only the module's verbosity counts.
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, module, 1, "f", "g", "a"));
  EXPECT_EQ(+Last_Data().As<sTRTrace_Data>().sequence, first + 2);
  // Managed calls must pass both.
  EXPECT_FALSE(channel_->Trace_Managed(0, TRL_INFO, module, 1, "f", "g", "m"));
  channel_->Set_Verbosity(module, TRL_ERROR);
  EXPECT_EQ(+Last().back().As<sTRTrace_Verbosity>().module_id, 1);
  EXPECT_FALSE(channel_->Trace(0, TRL_WARNING, module, 1, "f", "g", "a"));
  EXPECT_FALSE(channel_->Trace_Managed(0, TRL_WARNING, module, 1, "f", "g", "m"));
  EXPECT_TRUE(channel_->Trace_Managed(0, TRL_ERROR, module, 1, "f", "g", "m"));
}

TEST_F(ChannelTest, InitialVerbosityComesFromTheClientOptions) {
  struct Case {
    const char* option;
    eTRTrace_Level level;
  };
  for (Case c : {Case{"/TR.Trc.Verb=4", TRL_ERROR}, Case{"/TR.Trc.Verb=9", TRL_TRACE},
                 Case{"/TR.Trc.Verb=x", TRL_TRACE}, Case{"/TR.Verb=3", TRL_TRACE}}) {
    SCOPED_TRACE(c.option);
    Reopen({c.option});
    EXPECT_EQ(channel_->Get_Verbosity(nullptr), c.level);
    void* module = nullptr;
    ASSERT_TRUE(channel_->Register_Module("m", &module));
    EXPECT_EQ(channel_->Get_Verbosity(module), c.level);
  }
}

TEST_F(ChannelTest, FixedAndSharedCallSiteIDs) {
  static const char kFormat[] = "%d";
  static const char kFunction[] = "fn";
  // Two call sites with the same function-name and format addresses share one descriptor.
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 10, "f", kFunction, kFormat, 1));
  EXPECT_EQ(+Last()[Last().size() - 2].As<sTRTrace_Format>().id, 1025);
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 20, "f", kFunction, kFormat, 2));
  EXPECT_EQ(Subtypes(Last()), (Subs{eTRTrace_Data}));
  EXPECT_EQ(+Last_Data().As<sTRTrace_Data>().id, 1025);
  // The same text at another address is another site.
  static const char kOther[] = "%d";
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 10, "f", kFunction, kOther, 3));
  EXPECT_EQ(+Last_Data().As<sTRTrace_Data>().id, 1026);

  // The first call with ID 5 fixes its descriptor; a later one with another format uses its plan.
  ASSERT_TRUE(channel_->Trace(5, TRL_INFO, nullptr, 1, "f", "g", "%d", 7));
  EXPECT_EQ(+Last()[0].As<sTRTrace_Format>().id, 5);
  ASSERT_TRUE(channel_->Trace(5, TRL_INFO, nullptr, 2, "f", "g", "%d %d", 8, 9));
  EXPECT_EQ(Subtypes(Last()), (Subs{eTRTrace_Data}));
  EXPECT_EQ(Last_Data().bytes.size(), 24u + 8 + 1);
  EXPECT_EQ(Last_Data().Tail(24)[0], 8);
  // The ID table serves managed calls too.
  ASSERT_TRUE(channel_->Trace(6, TRL_INFO, nullptr, 1, "f", "g", "%s", "text"));
  ASSERT_TRUE(channel_->Trace_Managed(6, TRL_INFO, nullptr, 2, "f", "g", "m"));
  EXPECT_EQ(+Last_Data().As<sTRTrace_Data>().id, 6);
  EXPECT_EQ(Last_Data().Tail(24), (std::vector<uint8_t>{'m', 0, 0}));
  ASSERT_TRUE(channel_->Trace_Managed(8, TRL_INFO, nullptr, 2, "f", "g", "first"));
  ASSERT_TRUE(channel_->Trace(8, TRL_INFO, nullptr, 1, "f", "g", "%s!", "second"));
  EXPECT_EQ(+Last_Data().As<sTRTrace_Data>().id, 8);
}

TEST_F(ChannelTest, FixedIDsRefuseArgumentsThatDoNotFitTheirPlan) {
  // Reading an int where the plan expects a string would dereference it; such calls are dropped.
  ASSERT_TRUE(channel_->Trace(7, TRL_INFO, nullptr, 1, "f", "g", "%s", "text"));
  uint32_t calls = client_->Sent_Calls();
  EXPECT_FALSE(channel_->Trace(7, TRL_INFO, nullptr, 2, "f", "g", "%d", 7));
  EXPECT_FALSE(channel_->Trace(7, TRL_INFO, nullptr, 2, "f", "g", "no arguments"));
  ASSERT_TRUE(channel_->Trace(5, TRL_INFO, nullptr, 1, "f", "g", "%d", 7));
  EXPECT_FALSE(channel_->Trace_Managed(5, TRL_INFO, nullptr, 2, "f", "g", "m"));
  ASSERT_TRUE(channel_->Trace_Managed(9, TRL_INFO, nullptr, 2, "f", "g", "m"));
  EXPECT_FALSE(channel_->Trace(9, TRL_INFO, nullptr, 2, "f", "g", "%d", 1));
  EXPECT_EQ(client_->Sent_Calls(), calls + 2);
  // The sites themselves keep working.
  EXPECT_TRUE(channel_->Trace(7, TRL_INFO, nullptr, 3, "f", "g", "%s", "again"));
}

TEST_F(ChannelTest, DynamicIDsRunOutAtTheLastOne) {
  // 64,511 managed sites (file "f", lines 0..64510) use up IDs 1025..65535.
  for (uint32_t line = 0; line < 64511; ++line) {
    ASSERT_TRUE(channel_->Trace_Managed(0, TRL_INFO, nullptr, uint16_t(line), "f", "g", "m"))
        << line;
  }
  EXPECT_EQ(+Last_Data().As<sTRTrace_Data>().id, 65535);
  EXPECT_FALSE(channel_->Trace_Managed(0, TRL_INFO, nullptr, 64511, "f", "g", "m"));
  EXPECT_FALSE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "new site"));
  // Known sites and fixed IDs keep working.
  EXPECT_TRUE(channel_->Trace_Managed(0, TRL_INFO, nullptr, 7, "f", "g", "m"));
  EXPECT_TRUE(channel_->Trace(9, TRL_INFO, nullptr, 1, "f", "g", "fixed"));
}

TEST_F(ChannelTest, ExhaustedArenaStopsOnlyNewSites) {
  TearDown();
  client_ = new RecordingClient();
  channel_ = CTRTrace::Create(client_, "small", nullptr, 10240 + 16);
  ASSERT_NE(channel_, nullptr);
  static const char kFunction[] = "g";
  std::vector<std::string> formats(200);
  size_t accepted = 0;
  for (size_t i = 0; i < formats.size(); ++i) {
    formats[i] = "site " + std::to_string(i) + " %d";
    accepted += channel_->Trace(0, TRL_INFO, nullptr, 1, "f", kFunction, formats[i].c_str(), 1);
  }
  EXPECT_GT(accepted, 0u);
  EXPECT_LT(accepted, formats.size());
  EXPECT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", kFunction, formats[0].c_str(), 2));
}

// 130 pairs of an integer and a string: 260 arguments in 260 blocks, more than the channel's
// initial staging room and chunk array hold.
#define PAIR(n) n, "s"
#define PAIRS10(n)                                                                       \
  PAIR(n), PAIR(n + 1), PAIR(n + 2), PAIR(n + 3), PAIR(n + 4), PAIR(n + 5), PAIR(n + 6), \
      PAIR(n + 7), PAIR(n + 8), PAIR(n + 9)

TEST_F(ChannelTest, CallsWithHundredsOfArgumentsGrowStagingAndChunks) {
  std::string format;
  for (int i = 0; i < 130; ++i) format += "%d%s";
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", format.c_str(), PAIRS10(0),
                              PAIRS10(10), PAIRS10(20), PAIRS10(30), PAIRS10(40), PAIRS10(50),
                              PAIRS10(60), PAIRS10(70), PAIRS10(80), PAIRS10(90), PAIRS10(100),
                              PAIRS10(110), PAIRS10(120)));
  Record data = Last_Data();
  ASSERT_EQ(data.bytes.size(), 24u + 130 * (8 + 2) + 1);
  std::vector<uint8_t> tail = data.Tail(24);
  for (int i = 0; i < 130; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(tail[i * 10], i);
    EXPECT_EQ(tail[i * 10 + 8], 's');
    EXPECT_EQ(tail[i * 10 + 9], 0);
  }
}

TEST_F(ChannelTest, OversizedRecordsAreRefusedNotCorrupted) {
  std::string huge(kTRTrace_Max_Record, 'x');
  EXPECT_FALSE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "%s", huge.c_str()));
  EXPECT_FALSE(channel_->Trace_Managed(0, TRL_INFO, nullptr, 1, "f", "g", huge.c_str()));
  // The channel stays usable and its context still goes with the next call.
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "%s", "ok"));
  EXPECT_EQ(Subtypes(Last()),
            (Subs{eTRTrace_Info, eTRTrace_UTC_Offset, eTRTrace_Format, eTRTrace_Data}));
}

TEST_F(ChannelTest, CallerTimerAndCallbacks) {
  struct Seen {
    uint64_t ticks = 500;
    std::vector<uint32_t> connects;
  } seen;
  stTrace_Conf conf{};
  conf.context = &seen;
  conf.timer_frequency = 1000;
  conf.get_timer = [](void* context) { return static_cast<Seen*>(context)->ticks++; };
  conf.on_connect = [](void* context, uint32_t connected) {
    static_cast<Seen*>(context)->connects.push_back(connected);
  };
  Reopen({}, "timed", &conf);
  client_->Set_Status(0, 0);
  client_->Set_Status(1, 1);
  EXPECT_EQ(seen.connects, (std::vector<uint32_t>{1, 0, 1}));
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "x"));
  auto records = Last();
  auto info = records[0].As<sTRTrace_Info>();
  EXPECT_EQ(+info.timer_frequency, 1000u);
  EXPECT_EQ(+info.timer_value, 500u);
  EXPECT_GT(+Last_Data().As<sTRTrace_Data>().timer, 500u);

  // Exactly one of timer and frequency is a configuration error.
  stTrace_Conf half{};
  half.timer_frequency = 1000;
  EXPECT_EQ(TR_Create_Trace(client_, "x", &half), nullptr);
  half = stTrace_Conf{};
  half.get_timer = conf.get_timer;
  EXPECT_EQ(TR_Create_Trace(client_, "x", &half), nullptr);
}

TEST(ChannelCreationTest, FailuresLeaveTheReason) {
  EXPECT_EQ(TR_Create_Trace(nullptr, "x", nullptr), nullptr);
  EXPECT_EQ(TR_Last_Error(), 8u);

  RecordingClient* client = new RecordingClient();
  client->Refuse_Registration(true);
  EXPECT_EQ(TR_Create_Trace(client, "x", nullptr), nullptr);
  EXPECT_EQ(TR_Last_Error(), 9u);
  EXPECT_EQ(client->Refs(), 1u);  // the failed channel gave its reference back

  // A channel on a real client; releasing it unregisters it and releases the client reference.
  client->Refuse_Registration(false);
  ITR_Trace* channel = TR_Create_Trace(client, "x", nullptr);
  ASSERT_NE(channel, nullptr);
  EXPECT_EQ(client->Refs(), 2u);
  EXPECT_EQ(channel->Get_Type(), 0u);
  EXPECT_EQ(channel->Add_Ref(), 2u);
  EXPECT_EQ(channel->Release(), 1u);
  EXPECT_EQ(channel->Release(), 0u);
  EXPECT_EQ(client->Unregistered(), 1u);
  EXPECT_EQ(client->Refs(), 1u);
  // Its final flush sent the close record last.
  auto records = Parse_Records(client->Packets().back());
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().subtype, eTRTrace_Close);
  EXPECT_EQ(records.back().bytes.size(), 4u);
  client->Release();
}

TEST(ChannelCreationTest, WorksOnTheNullSink) {
  CClNull* sink = new CClNull(nullptr, 0);
  ITR_Trace* channel = TR_Create_Trace(sink, "null", nullptr);
  ASSERT_NE(channel, nullptr);
  EXPECT_TRUE(channel->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "%d %s", 1, "x"));
  channel->Release();
  sink->Release();
}

TEST_F(ChannelTest, ObsoleteEntryPointWarnsOncePerProcess) {
  const char* format = "x";
  std::string output = mqw_test::Capture_Stdout([&] {
    EXPECT_FALSE(channel_->Trace_Embedded(0, TRL_INFO, nullptr, 1, "f", "g", &format));
    EXPECT_FALSE(channel_->Trace_Embedded(0, TRL_INFO, nullptr, 1, "f", "g", &format));
  });
  EXPECT_EQ(output, "TR TRACE ERROR: Trace_Embedded function is obsolete!\n");
}

bool Forward(ITR_Trace* channel, const char** format, ...) {
  va_list args;
  va_start(args, format);
  bool sent = channel->Trace_Embedded(0, TRL_INFO, nullptr, 1, "f", "fwd", format, &args);
  va_end(args);
  return sent;
}

TEST_F(ChannelTest, VariadicListFormWorksLikeTrace) {
  const char* format = "%d-%s";
  ASSERT_TRUE(Forward(channel_, &format, 12, "z"));
  EXPECT_EQ(Last_Data().Tail(24), (std::vector<uint8_t>{12, 0, 0, 0, 0, 0, 0, 0, 'z', 0, 0}));
  const char* null_format = nullptr;
  EXPECT_FALSE(Forward(channel_, &null_format));
  // A null format is refused; the compiler must not turn the deliberate non-literal into an error.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
  EXPECT_FALSE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", Opaque<const char>(nullptr)));
#pragma GCC diagnostic pop
}

TEST_F(ChannelTest, ForkedChildReportsItsOwnThreadID) {
  ASSERT_TRUE(
      channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "parent"));  // caches this thread's ID
  ASSERT_EQ(+Last_Data().As<sTRTrace_Data>().thread_id, CProc::Get_Thread_ID());
  mqw_test::ChildResult child = mqw_test::Run_In_Child([this] {
    if (!channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "child")) return 2;
    return Last_Data().As<sTRTrace_Data>().thread_id == CProc::Get_Thread_ID() ? 0 : 3;
  });
  ASSERT_TRUE(child.exited);
  EXPECT_EQ(child.exit_code, 0);
}

TEST_F(ChannelTest, ConcurrentCallersKeepRecordsWholeAndOrdered) {
  constexpr int kThreads = 4;
  constexpr int kCalls = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      channel_->Register_Thread("w", 0);
      for (int i = 0; i < kCalls; ++i) {
        channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "%d %s %d", t, "text", i);
      }
      channel_->Unregister_Thread(0);
    });
  }
  for (auto& thread : threads) thread.join();
  uint32_t last_sequence = 0;
  size_t data_records = 0;
  for (const auto& packet : client_->Packets()) {
    auto records = Parse_Records(packet);
    ASSERT_FALSE(records.empty());
    for (const Record& record : records) {
      if (record.subtype != eTRTrace_Data) continue;
      uint32_t sequence = record.As<sTRTrace_Data>().sequence;
      EXPECT_GT(sequence, last_sequence);
      last_sequence = sequence;
      ++data_records;
    }
  }
  EXPECT_EQ(data_records, size_t{kThreads} * kCalls);
}

TEST_F(ChannelTest, EveryDataRecordIsDescribedSinceTheLastReconnection) {
  // Callers trace from several sites while the sink reconnects over and over: a reader that
  // starts at any information record must find each data record's descriptor before it.
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> calls{0};
  std::thread reconnecting([&] {
    for (uint32_t resets = 1; resets <= 200; ++resets) {
      uint64_t seen = calls;
      while (calls < seen + 5) std::this_thread::yield();  // let the callers run in between
      client_->Set_Status(1, resets);
    }
    stop = true;
  });
  std::vector<std::thread> callers;
  for (int t = 0; t < 3; ++t) {
    callers.emplace_back([&, t] {
      while (!stop) {
        channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "a", "a %d", t);
        channel_->Trace(0, TRL_INFO, nullptr, 2, "f", "b", "b %s", "x");
        channel_->Trace_Managed(0, TRL_INFO, nullptr, 3, "f", "c", "c");
        calls += 3;
      }
    });
  }
  reconnecting.join();
  for (auto& caller : callers) caller.join();

  std::set<uint16_t> described;
  size_t data_records = 0;
  for (const auto& packet : client_->Packets()) {
    auto records = Parse_Records(packet);
    ASSERT_FALSE(records.empty());
    for (const Record& record : records) {
      if (record.subtype == eTRTrace_Info) described.clear();
      if (record.subtype == eTRTrace_Format) described.insert(record.As<sTRTrace_Format>().id);
      if (record.subtype == eTRTrace_Data) {
        ++data_records;
        ASSERT_TRUE(described.count(record.As<sTRTrace_Data>().id)) << data_records;
      }
    }
  }
  EXPECT_GT(data_records, 0u);
}

}  // namespace
