// What the server keeps to begin a new file: the replay of a channel's descriptions must let a
// fresh reader decode the records that follow, and must follow thread stops, closes and new
// information records; the observer hears of channels and modules.
#include "trace/server/stream_context.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/stream_builder.h"
#include "trace/decode/stream_parser.h"

namespace {

using namespace text_test;

// Collects rendered lines.
class LineSink final : public CClTextSink {
 public:
  uint32_t Initialize(char**, int) override { return 0; }
  uint32_t Log(const sLog*, const char* line, uint64_t length) override {
    lines.emplace_back(line, length);
    return 0;
  }
  uint32_t DumpBuffers() override { return 0; }
  std::vector<std::string> lines;
};

class Observer final : public CTRS_Stream_Context::IObserver {
 public:
  void On_Channel(uint32_t channel, const std::string& name) override {
    events.push_back("channel " + std::to_string(channel) + " " + name);
  }
  void On_Module(uint32_t channel, uint16_t module_id, const std::string& name,
                 uint32_t level) override {
    levels.push_back(std::to_string(channel) + "." + std::to_string(module_id) + "=" +
                     std::to_string(level));
    events.push_back("module " + std::to_string(channel) + "." + std::to_string(module_id) + " " +
                     name);
  }
  void On_Verbosity(uint32_t channel, uint16_t module_id, uint32_t level) override {
    levels.push_back(std::to_string(channel) + "." + std::to_string(module_id) + "=" +
                     std::to_string(level));
  }
  std::vector<std::string> events;
  std::vector<std::string> levels;  // "channel.module=level", module 0 the whole channel
};

// Decodes `stream` (user-data chunks) with a fresh strict parser.
std::vector<std::string> Decode(const Bytes& stream, const char* format = "%cn|%tn|%mn|%ms") {
  LineSink sink;
  CStreamParser parser;
  EXPECT_TRUE(parser.Init(format));
  parser.Set_Output(&sink);
  EXPECT_EQ(parser.Parse_Buffer(stream.data(), stream.size()), 0u) << parser.Error_Text();
  return sink.lines;
}

void Feed(CTRS_Stream_Context* context, uint32_t channel, const Bytes& payload,
          Observer* observer = nullptr) {
  context->Feed(channel, payload.data(), static_cast<uint32_t>(payload.size()), observer);
}

TEST(StreamContextTest, ReplayLetsAFreshReaderDecodeWhatFollows) {
  CTRS_Stream_Context context;
  Observer observer;
  Feed(&context, 2,
       Cat({Info("net"), Thread_Start(7, kTimer0, "worker"), Thread_Start(8, kTimer0, "gone"),
            Module(1, "io")}),
       &observer);
  Feed(&context, 2, Cat({Format(1, "first %d", {4, 8}), Data(1, kTimer0 + 5, Int(1), 2, 7)}),
       &observer);
  Feed(&context, 2,
       Cat({Thread_Stop(8, kTimer0 + 6), Format(2, "second"),
            Data(2, kTimer0 + 7, {}, 2, 7, 2, 1)}));
  Feed(&context, 5, Cat({Info("other"), Format(1, "o")}), &observer);
  EXPECT_EQ(observer.events,
            (std::vector<std::string>{"channel 2 net", "module 2.1 io", "channel 5 other"}));

  // A record that follows the cut refers to a thread, a module and a call site described before.
  Bytes after =
      Cat({Packet(2, Data(2, kTimer0 + 9, {}, 2, 7, 3, 1)),
           Packet(2, Data(1, kTimer0 + 9, Int(5), 2, 7)), Packet(5, Data(1, kTimer0 + 9))});
  Bytes replay;
  context.Replay(&replay);
  Bytes file = replay;
  file.insert(file.end(), after.begin(), after.end());
  EXPECT_EQ(Decode(file),
            (std::vector<std::string>{"net|worker|io|second", "net|worker|Unkn.|first 5",
                                      "other|Unkn.|Unkn.|o"}));
  // The stopped thread is not described again.
  EXPECT_EQ(Decode(Cat({replay, Packet(2, Data(1, kTimer0 + 9, Int(5), 2, 8))}), "%tn")[0],
            "Unkn.");
}

// A verbosity record of `size` bytes (10 whole; 8 carries no module: the whole channel).
Bytes Verbosity(uint32_t level, uint16_t module_id, size_t size = 10) {
  Bytes r(4, 0);
  Put(&r, level);
  Put(&r, module_id);
  r.resize(size);
  Set_Header(&r, eTRTrace_Verbosity);
  return r;
}

// The levels a channel reports reach the observer: a module's with its record, and the
// channel's own verbosity records, with or without a module; a record too short for its level
// says nothing.
TEST(StreamContextTest, LevelsReportedByTheChannelReachTheObserver) {
  CTRS_Stream_Context context;
  Observer observer;
  Feed(&context, 3,
       Cat({Info("net"), Module(1, "io", 2), Verbosity(4, 1), Verbosity(3, 0), Verbosity(1, 9, 8),
            Verbosity(5, 1, 6)}),
       &observer);
  EXPECT_EQ(observer.levels, (std::vector<std::string>{"3.1=2", "3.1=4", "3.0=3", "3.0=1"}));
}

TEST(StreamContextTest, CloseForgetsAChannelAndANewInformationRecordStartsItOver) {
  CTRS_Stream_Context context;
  Feed(&context, 1, Cat({Info("old"), Format(1, "old call")}));
  Feed(&context, 1, Close());
  EXPECT_FALSE(context.Is_Live(1));
  Bytes replay;
  context.Replay(&replay);
  EXPECT_TRUE(replay.empty());
  EXPECT_EQ(context.Bytes(), 0u);

  Feed(&context, 1, Cat({Info("old"), Format(1, "old call")}));
  Feed(&context, 1, Cat({Info("new"), Format(2, "new call")}));
  context.Replay(&replay);
  EXPECT_EQ(Decode(Cat({replay, Packet(1, Data(2, kTimer0))}), "%cn|%ms"),
            std::vector<std::string>{"new|new call"});
  // Records of a channel that never described itself are not kept; Clear forgets everything.
  Feed(&context, 9, Format(1, "orphan"));
  EXPECT_FALSE(context.Is_Live(9));
  context.Clear();
  replay.clear();
  context.Replay(&replay);
  EXPECT_TRUE(replay.empty());
}

TEST(StreamContextTest, MalformedRecordsEndTheWalkWithoutReadingPastTheChunk) {
  CTRS_Stream_Context context;
  Bytes chunk = Cat({Info("c"), Module(1, "m")});
  // A record header claiming more bytes than the chunk holds, then a record shorter than a header.
  Bytes liar = chunk;
  liar.resize(liar.size() + 4, 0);
  uint32_t header = TRTrace_Make_Header(4096, eTRTrace_Format);
  memcpy(liar.data() + chunk.size(), &header, 4);
  Feed(&context, 0, liar);
  EXPECT_TRUE(context.Is_Live(0));
  Bytes tiny = {1, 0, 0, 0};  // size 0 in its header
  Feed(&context, 0, tiny);
  Feed(&context, 0, Bytes{0x20, 0x10});  // 2 bytes: no header at all
  Bytes replay;
  context.Replay(&replay);
  EXPECT_EQ(replay.size(), 4 + chunk.size());
}

// A client's descriptions are charged to its budget before anything is kept for them: the
// attacks that made the context grow without bound stop at the budget.
TEST(StreamContextTest, DescriptionFloodsStopAtTheBudget) {
  struct Case {
    const char* name;
    // The i-th record of the flood and the channel it goes to.
    std::function<Bytes(uint32_t i)> record;
    std::function<uint32_t(uint32_t i)> channel;
  };
  const Case cases[] = {
      {"modules on all channels", [](uint32_t i) { return Module(uint16_t(i / 32), "module"); },
       [](uint32_t i) { return i % 32; }},
      {"thread starts with distinct IDs", [](uint32_t i) { return Thread_Start(i, kTimer0, "t"); },
       [](uint32_t) { return 0u; }},
      {"format descriptors with distinct IDs",
       [](uint32_t i) { return Format(uint16_t(i), "call site %d", {4}); },
       [](uint32_t) { return 3u; }},
  };
  constexpr uint64_t kLimit = 64 * 1024;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CMemory_Budget budget(kLimit);
    CTRS_Stream_Context context;
    context.Set_Budget(&budget);
    for (uint32_t channel = 0; channel < CTRS_Stream_Context::kChannels; ++channel)
      Feed(&context, channel, Info("c" + std::to_string(channel)));
    for (uint32_t i = 0; i < 20000; ++i) Feed(&context, c.channel(i), c.record(i));
    EXPECT_TRUE(context.Over_Budget());
    EXPECT_TRUE(budget.Exceeded());
    EXPECT_GT(context.Overflow(), 0u);
    EXPECT_LE(context.Bytes(), kLimit);
    EXPECT_EQ(budget.Used(), context.Bytes());
    Bytes replay;
    context.Replay(&replay);
    EXPECT_LE(replay.size(), kLimit);
    EXPECT_GT(replay.size(), kLimit / 4) << "what fits is kept";
    context.Clear();
    EXPECT_EQ(budget.Used(), 0u);
  }
}

// A thread ID used again (a new thread after the old one stopped, or a start seen twice): a stop
// removes the earliest start of that ID, and the others keep their order.
TEST(StreamContextTest, AStopRemovesTheEarliestStartOfItsThread) {
  CTRS_Stream_Context context;
  Feed(&context, 0,
       Cat({Info("c"), Format(1, "m"), Thread_Start(5, kTimer0, "first"),
            Thread_Start(6, kTimer0, "other"), Thread_Start(5, kTimer0 + 1, "second"),
            Thread_Stop(5, kTimer0 + 2)}));
  Bytes replay;
  context.Replay(&replay);
  EXPECT_EQ(Decode(Cat({replay, Packet(0, Data(1, kTimer0 + 3, {}, 2, 5)),
                        Packet(0, Data(1, kTimer0 + 3, {}, 2, 6))}),
                   "%tn"),
            (std::vector<std::string>{"second", "other"}));
  Feed(&context, 0, Cat({Thread_Stop(5, kTimer0 + 4), Thread_Stop(6, kTimer0 + 4)}));
  replay.clear();
  context.Replay(&replay);
  EXPECT_EQ(replay.size(), 4 + Info("c").size() + Format(1, "m").size());
}

TEST(StreamContextTest, ForgottenAndReplacedRecordsGiveTheirChargeBack) {
  CMemory_Budget budget(1 << 20);
  CTRS_Stream_Context context;
  context.Set_Budget(&budget);
  Feed(&context, 1, Cat({Info("net"), Thread_Start(7, kTimer0, "worker"), Module(1, "io")}));
  const uint64_t described = budget.Used();
  EXPECT_GT(described, 0u);
  Feed(&context, 1, Cat({Module(1, "io again"), Format(1, "x")}));
  const uint64_t with_format = budget.Used();
  EXPECT_GT(with_format, described);
  Feed(&context, 1, Format(1, "x"));  // the same call site described again costs nothing more
  EXPECT_EQ(budget.Used(), with_format);
  Feed(&context, 1, Thread_Stop(7, kTimer0 + 1));
  EXPECT_LT(budget.Used(), with_format);
  Feed(&context, 1, Close());
  EXPECT_EQ(budget.Used(), 0u);
  EXPECT_EQ(context.Bytes(), 0u);
  Feed(&context, 2, Cat({Info("a"), Module(3, "m")}));
  Feed(&context, 2, Info("a"));  // the channel starts over: its modules go
  EXPECT_EQ(budget.Used(), context.Bytes());
  EXPECT_FALSE(context.Over_Budget());

  // A budget that cannot take what is kept: everything is forgotten.
  Feed(&context, 2, Module(4, "n"));
  CMemory_Budget tiny(16);
  context.Set_Budget(&tiny);
  EXPECT_TRUE(context.Over_Budget());
  EXPECT_EQ(context.Bytes(), 0u);
  EXPECT_EQ(budget.Used(), 0u);
  EXPECT_EQ(tiny.Used(), 0u);
}

// Without a budget the context's own bound counts each record's overhead too, so records of a
// few bytes cannot make it hold millions of entries.
TEST(StreamContextTest, WithoutABudgetTheBoundCountsEachEntry) {
  CTRS_Stream_Context context;
  Bytes modules;
  for (uint32_t id = 0; id < 65536; ++id) {
    Bytes record = Module(uint16_t(id), "");
    modules.insert(modules.end(), record.begin(), record.end());
  }
  // Four channels' worth of module IDs: 16 MiB of records, three times what the bound keeps.
  for (uint32_t channel = 0; channel < 4; ++channel) {
    Feed(&context, channel, Info("c"));
    Feed(&context, channel, modules);
  }
  EXPECT_LE(context.Bytes(), CTRS_Stream_Context::kMax_Bytes);
  EXPECT_GT(context.Overflow(), 0u);
  EXPECT_FALSE(context.Over_Budget());
  Bytes replay;
  context.Replay(&replay);
  // Each kept module record is 64 bytes on the wire and costs 64 + 2 x the node overhead.
  EXPECT_LE(replay.size(), CTRS_Stream_Context::kMax_Bytes / 3 + 4 * 4096);
}

}  // namespace
