// Parsing the trace stream back into lines: reassembly, record dispatch, per-channel state,
// rendering, and streams that are damaged.
#include "trace/decode/stream_parser.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <functional>
#include <string>
#include <vector>

#include "support/capture_sink.h"
#include "support/stream_builder.h"
#include "trace/base/memory_budget.h"
#include "trace/decode/trace_descriptor.h"
#include "trace/decode/txt_channel.h"

namespace {

using namespace text_test;

// Calendar fields are local time: run the rendering tests in UTC.
const bool kUtc = [] {
  setenv("TZ", "UTC", 1);
  tzset();
  return true;
}();

struct Parser {
  CaptureSink sink;
  CStreamParser parser;
  explicit Parser(const char* format = nullptr) {
    EXPECT_TRUE(parser.Init(format));
    parser.Set_Output(&sink);
  }
  uint32_t Feed(const Bytes& bytes) { return parser.Parse_Buffer(bytes.data(), bytes.size()); }
};

// A channel with one call site "n=%d s=%s" (ID 5) and one data record.
Bytes One_Line_Stream(uint32_t channel = 0) {
  return Cat({Packet(channel, Cat({Info("Chan"), Format(5, "n=%d s=%s", {4, 8, 10, 0})})),
              Packet(channel, Data(5, kTimer0, Cat({Int(-7), Str("ab")}), 2, 0x1A2B, 17))});
}

TEST(StreamParser, DefaultLineLayout) {
  Parser p;
  ASSERT_EQ(
      p.Feed(Cat({Packet(0, Cat({Info("Chan"), Format(5, "n=%d s=%s", {4, 8, 10, 0}),
                                 Thread_Start(0x1A2B, kTimer0, "Worker"), Module(3, "Net")})),
                  Packet(0, Data(5, kTimer0 + 5, Cat({Int(-7), Str("ab")}), 3, 0x1A2B, 17, 3))})),
      0u);
  ASSERT_EQ(p.sink.Texts().size(), 1u);
  EXPECT_EQ(p.sink.Texts()[0],
            "Chan #0017 [02.01.2026 03:04:05.678'901\"7] WARN. Tr:#0x01A2B:Worker CPU:03 Md:Net "
            "{file.cc:042:Func} n=-7 s=ab");
}

TEST(StreamParser, LineFormatElements) {
  const struct {
    const char* format;
    uint64_t since;        // timer ticks after the channel's creation
    const char* expected;  // null: the default format
  } cases[] = {
      {"%%cn|%xy|%id|%mi|%ff", 0, "%Chan|%xy|0005|000|src/dir/file.cc"},
      {"%tm %ts", 0, "03:04:05.678'901\"2 04:05.678'901\"2"},
      {"%td", 123456789, "+000012.345'678\"9"},
      {"%tc", 0, "0134117966456789012"},
      {"plain text without elements", 0, nullptr},
      {"%lv%ms", 0, "INFO n=-7 s=ab"},
  };
  for (const auto& c : cases) {
    Parser p(c.format);
    ASSERT_EQ(
        p.Feed(
            Cat({Packet(0, Cat({Info("Chan"), Format(5, "n=%d s=%s", {4, 8, 10, 0})})),
                 Packet(0, Data(5, kTimer0 + c.since, Cat({Int(-7), Str("ab")}), 2, 0x1A2B, 17))})),
        0u);
    ASSERT_EQ(p.sink.Texts().size(), 1u) << c.format;
    if (c.expected) {
      EXPECT_EQ(p.sink.Texts()[0], c.expected) << c.format;
    } else {
      EXPECT_EQ(p.sink.Texts()[0].rfind("Chan #0017 [02.01.2026 ", 0), 0u) << p.sink.Texts()[0];
    }
  }
}

TEST(StreamParser, FullTimeFollowsEverySecond) {
  Parser p("%tf");
  ASSERT_EQ(p.Feed(Cat(
                {Packet(0, Cat({Info("C"), Format(1, "")})),
                 Packet(0, Cat({Data(1, kTimer0), Data(1, kTimer0 + 1), Data(1, kTimer0 + 10000000),
                                Data(1, kTimer0 + 3600ull * 24 * 10000000)}))})),
            0u);
  std::vector<std::string> expected = {
      "02.01.2026 03:04:05.678'901\"2", "02.01.2026 03:04:05.678'901\"3",
      "02.01.2026 03:04:06.678'901\"2", "03.01.2026 03:04:05.678'901\"2"};
  EXPECT_EQ(p.sink.Texts(), expected);
}

// Creation times from the far end of the 64-bit range (an information record's high word of
// 0x80000000 or more) render without signed overflow in the calendar set-up (the sanitizer
// build checks) and give the true date, tens of thousands of years ahead; the count element
// prints the 64-bit value as a signed number.
TEST(StreamParser, CreationTimesAtTheEndOfTheRange) {
  const struct {
    uint64_t time;
    const char* expected;
  } cases[] = {
      {0x8000000000000000ull, "-9223372036854775808|14.09.30828 02:48:05.477'580\"8"},
      {0xFFFFFFFFFFFFFFFFull, "-000000000000000001|28.05.60056 05:36:10.955'161\"5"},
      {0, "0000000000000000000|01.01.1601 00:00:00.000'000\"0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    Parser p("%tc|%tf");
    ASSERT_EQ(p.Feed(Cat({Packet(0, Cat({Info("C", 10000000, kTimer0, c.time), Format(1, "")})),
                          Packet(0, Data(1, kTimer0))})),
              0u);
    ASSERT_EQ(p.sink.Texts().size(), 1u);
    EXPECT_EQ(p.sink.Texts()[0], c.expected);
  }
}

TEST(StreamParser, PacketSplitAnywhereIsParsedExactlyOnce) {
  Bytes stream = One_Line_Stream();
  // Every cut point, including the ones inside a packet's 4-byte header.
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    Parser p;
    Bytes first(stream.begin(), stream.begin() + static_cast<long>(cut));
    Bytes second(stream.begin() + static_cast<long>(cut), stream.end());
    ASSERT_EQ(p.Feed(first), 0u) << cut;
    ASSERT_EQ(p.Feed(second), 0u) << cut;
    ASSERT_EQ(p.sink.Texts().size(), 1u) << "cut at " << cut;
    EXPECT_EQ(p.sink.Lines()[0].message, "n=-7 s=ab");
    EXPECT_EQ(p.parser.Pending_Bytes(), 0u);
  }
}

TEST(StreamParser, PacketLargerThanTheReassemblyBuffer) {
  Parser p;
  std::string big(20000, 'x');
  Bytes stream = Cat({Packet(0, Cat({Info("Chan"), Format(1, "%s", {10, 0})})),
                      Packet(0, Data(1, kTimer0, Str(big)))});
  for (size_t i = 0; i < stream.size(); i += 3000) {
    Bytes part(stream.begin() + static_cast<long>(i),
               stream.begin() + static_cast<long>(std::min(stream.size(), i + 3000)));
    ASSERT_EQ(p.Feed(part), 0u);
  }
  ASSERT_EQ(p.sink.Lines().size(), 1u);
  EXPECT_EQ(p.sink.Lines()[0].message, big);
}

TEST(StreamParser, ChannelState) {
  Parser p("%tn|%mn|%ms");
  Bytes setup =
      Packet(2, Cat({Info("Chan"), Format(1, "first"), Format(1, "second"), Format(2, "two"),
                     Thread_Start(77, 100, "Old"), Thread_Start(77, 300, "New"),
                     Thread_Start(77, 300, "Duplicate"), Thread_Start(77, 50, "Older than all"),
                     Module(1, "ModA"), Module(1, "ModB")}));
  ASSERT_EQ(p.Feed(setup), 0u);
  ASSERT_EQ(p.Feed(Packet(2, Cat({
                                 Data(1, 10),                    // before any thread start
                                 Data(1, 200, {}, 2, 77, 2, 1),  // first thread
                                 Data(1, 400, {}, 2, 77, 3, 9),  // reused ID, unknown module
                                 Data(9, 400),                   // no descriptor: no line
                                 Data(2, 400, {}, 7),            // level above 5
                             }))),
            0u);
  auto lines = p.sink.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].text, "Unkn.|Unkn.|first");
  EXPECT_EQ(lines[1].text, "Old|ModA|first");
  EXPECT_EQ(lines[2].text, "New|Unkn.|first");
  EXPECT_EQ(lines[3].level, 5u);
  // The first thread record stopped where the second started; a stop ends the newest.
  ASSERT_EQ(p.Feed(Packet(
                2, Cat({Thread_Stop(77, 500), Data(1, 299, {}, 2, 77), Data(1, 600, {}, 2, 77)}))),
            0u);
  lines = p.sink.Lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[4].thread, "Old");
  EXPECT_EQ(lines[5].thread, "Unkn.");
}

TEST(StreamParser, LevelSevenIsShownAsPanic) {
  Parser p("%lv");
  ASSERT_EQ(
      p.Feed(Cat({Packet(0, Cat({Info("C"), Format(1, "")})), Packet(0, Data(1, kTimer0, {}, 7))})),
      0u);
  ASSERT_EQ(p.sink.Texts().size(), 1u);
  EXPECT_EQ(p.sink.Texts()[0], "PANIC");
  EXPECT_EQ(p.sink.Lines()[0].message, "");
}

TEST(StreamParser, CloseForgetsTheChannel) {
  Parser p("%cn %ms");
  ASSERT_EQ(p.Feed(Cat({Packet(1, Cat({Info("One"), Format(1, "hello")})), Packet(1, Close()),
                        Packet(1, Cat({Info("Two"), Data(1, kTimer0)}))})),
            0u);
  EXPECT_TRUE(p.sink.Texts().empty());  // the new channel has no call sites yet
  ASSERT_EQ(p.Feed(Packet(1, Cat({Format(1, "again"), Data(1, kTimer0)}))), 0u);
  ASSERT_EQ(p.sink.Texts().size(), 1u);
  EXPECT_EQ(p.sink.Texts()[0], "Two again");
}

// Damaged streams end the parse with 2 and a description; they never loop or read outside.
TEST(StreamParser, DamagedStreamsFailCleanly) {
  Bytes zero_size_record = Packet(0, Cat({Info("C"), Bytes{0, 0, 0, 0}, Format(1, "x")}));
  Bytes small_record = Packet(0, Cat({Info("C"), Bytes{0x40, 0x08, 0, 0}}));  // size 2, subtype 2
  Bytes past_end =
      Packet(0, Cat({Info("C"), Bytes{0x40, 0x00, 0x01, 0}}));  // size 64 in a shorter packet
  Bytes cut_header = Packet(0, Cat({Info("C"), Bytes{0x40, 0x00}}));
  Bytes short_packet = {3, 0, 0, 0, 1, 2, 3, 4, 5};
  Bytes before_info = Packet(4, Data(1, 1));
  const struct {
    const char* name;
    Bytes stream;
  } cases[] = {
      {"record size 0", zero_size_record},     {"record size below header", small_record},
      {"record past its packet", past_end},    {"record header cut", cut_header},
      {"packet length below 4", short_packet}, {"record before channel info", before_info}};
  for (const auto& c : cases) {
    Parser p;
    EXPECT_EQ(p.Feed(c.stream), 2u) << c.name;
    EXPECT_STRNE(p.parser.Error_Text(), "") << c.name;
  }
  // A reader of rolled files skips records of channels it has not seen instead.
  Parser lenient;
  lenient.parser.Set_Lenient(true);
  EXPECT_EQ(lenient.Feed(Cat({before_info, One_Line_Stream(4)})), 0u);
  EXPECT_EQ(lenient.parser.Orphan_Records(), 1u);
  EXPECT_EQ(lenient.sink.Texts().size(), 1u);
}

TEST(StreamParser, PacketLongerThanTheMaximumIsRefused) {
  Parser p;
  p.parser.Set_Max_Packet(1024);
  Bytes header = {0x00, 0x10, 0x00, 0x00, 0, 0};  // 4096 bytes announced
  EXPECT_EQ(p.Feed(header), 2u);
}

}  // namespace

namespace {

// Hostile streams that would make a decoder keep state without end: the parser charges every
// piece to the budget first, keeps nothing the budget refuses, and gives every charge back when
// it goes.
TEST(StreamParserBudget, HostileStateStopsAtTheBudgetAndIsGivenBack) {
  constexpr uint64_t kLimit = 1 << 20;
  for (const sHostile_Stream& c : Hostile_Streams(40, 20000, 2000)) {
    SCOPED_TRACE(c.name);
    CMemory_Budget budget(kLimit);
    {
      Parser p;
      p.parser.Set_Budget(&budget);
      p.parser.Set_Lenient(true);
      EXPECT_EQ(p.Feed(c.stream), 0u) << p.parser.Error_Text();
      EXPECT_TRUE(p.parser.Over_Budget());
      EXPECT_TRUE(budget.Exceeded());
      EXPECT_GT(p.parser.Refused_Records(), 0u);
      EXPECT_LE(budget.Peak(), kLimit);
      EXPECT_GT(budget.Used(), 0u);
    }
    EXPECT_EQ(budget.Used(), 0u);  // every charge given back with the parser's channels
  }
}

// Without a budget (trace-cat, the text sink) a channel's call sites stop at their fixed cap:
// 100 call sites of 15,000 conversions each would keep some 120 MB; those past the cap are
// refused, and the call sites kept still render.
TEST(StreamParserBudget, WithoutABudgetCallSitesStopAtTheFixedCap) {
  std::string format;
  for (int i = 0; i < 15000; ++i) format += "%d";
  std::vector<uint8_t> args;
  for (int i = 0; i < 15000; ++i) args.insert(args.end(), {4, 8});
  const Bytes one = Format(0, format, args);
  const uint64_t cost = CTraceDescriptor::Cost(one.data(), static_cast<uint32_t>(one.size()));
  const uint64_t fitting = CTxtChannel::kMax_Descriptor_Bytes / cost;
  ASSERT_LT(fitting, 100u);
  Bytes stream = Packet(0, Info("Chan"));
  for (uint16_t id = 1; id <= 100; ++id) Append(&stream, Packet(0, Format(id, format, args)));
  Bytes values;
  for (int i = 0; i < 15000; ++i) Append(&values, Int(i % 10));
  Append(&stream, Packet(0, Data(1, kTimer0, values)));
  Parser p("%ms");
  ASSERT_EQ(p.Feed(stream), 0u) << p.parser.Error_Text();
  EXPECT_EQ(p.parser.Refused_Records(), 100u - fitting);
  ASSERT_EQ(p.sink.Texts().size(), 1u);
  EXPECT_EQ(p.sink.Texts()[0].substr(0, 10), "0123456789");
}

TEST(StreamParserBudget, AWellFormedStreamRendersTheSameWithABudget) {
  Parser plain;
  Parser counted;
  CMemory_Budget budget(64 << 20);
  counted.parser.Set_Budget(&budget);
  const Bytes stream = Cat({One_Line_Stream(0), Packet(0, Cat({Thread_Start(0x1A2B, kTimer0, "W"),
                                                               Module(3, "Net"), Close()})),
                            One_Line_Stream(7)});
  ASSERT_EQ(plain.Feed(stream), 0u);
  ASSERT_EQ(counted.Feed(stream), 0u);
  EXPECT_EQ(counted.sink.Texts(), plain.sink.Texts());
  EXPECT_EQ(counted.sink.Texts().size(), 2u);
  EXPECT_FALSE(counted.parser.Over_Budget());
  EXPECT_GT(budget.Used(), 0u);  // channel 7 is still open
}

// One message's text is cut at the parser's message limit and marked, whatever its call site
// asks; a message just within it is whole; without a limit set, readers keep long messages whole.
TEST(StreamParser, LongMessagesAreCutWithAMark) {
  const uint64_t cap = 64u << 10;
  const struct {
    const char* name;
    std::string text;
    std::string expected;
  } cases[] = {
      {"within", std::string(cap, 'a'), std::string(cap, 'a')},
      {"one over", std::string(cap + 1, 'b'), std::string(cap, 'b') + " [cut]"},
      {"far over", std::string(250000, 'c'), std::string(cap, 'c') + " [cut]"},
      // A two-byte character across the cut is dropped whole, never split.
      {"character across the cut", std::string(cap - 1, 'd') + "\xC3\xA9" + "tail",
       std::string(cap - 1, 'd') + " [cut]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Parser p("%ms");
    p.parser.Set_Message_Limit(cap);
    ASSERT_EQ(p.Feed(Cat({Packet(0, Cat({Info("Chan"), Format(5, "%s", {10, 0})})),
                          Packet(0, Data(5, kTimer0, Str(c.text)))})),
              0u);
    ASSERT_EQ(p.sink.Texts().size(), 1u);
    EXPECT_EQ(p.sink.Texts()[0].size(), c.expected.size());
    EXPECT_TRUE(p.sink.Texts()[0] == c.expected);  // not printed: 64 KiB
  }
  {
    Parser whole("%ms");
    const std::string text(250000, 'e');
    ASSERT_EQ(whole.Feed(Cat({Packet(0, Cat({Info("Chan"), Format(5, "%s", {10, 0})})),
                              Packet(0, Data(5, kTimer0, Str(text)))})),
              0u);
    ASSERT_EQ(whole.sink.Texts().size(), 1u);
    EXPECT_TRUE(whole.sink.Texts()[0] == text);
  }
  // Widths and precisions are capped too: 130 "%.65536f" render within the cut.
  std::string format;
  std::vector<uint8_t> args;
  Bytes values;
  for (int i = 0; i < 130; ++i) {
    format += "%.65536f";
    args.insert(args.end(), {6, 8});
    const double value = 1.0;
    uint64_t bits;
    memcpy(&bits, &value, 8);
    Append(&values, Int(static_cast<int64_t>(bits)));
  }
  Parser p("%ms");
  p.parser.Set_Message_Limit(cap);
  ASSERT_EQ(p.Feed(Cat({Packet(0, Cat({Info("Chan"), Format(5, format, args)})),
                        Packet(0, Data(5, kTimer0, values))})),
            0u);
  ASSERT_EQ(p.sink.Texts().size(), 1u);
  EXPECT_EQ(p.sink.Texts()[0].size(), cap + 6);
  EXPECT_TRUE(p.sink.Texts()[0].substr(0, 4098 + 2) == "1." + std::string(4096, '0') + "1.");
}

}  // namespace
