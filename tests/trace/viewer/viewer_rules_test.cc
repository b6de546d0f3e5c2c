// The viewer's rules without HTTP: the message filter, the bounded live ring, timeline buckets,
// the confinement of paths to the served directory, and paged queries over stored files.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>
#include <optional>

#include <gtest/gtest.h>

#include "filter_params.h"
#include "support/temp_dir.h"
#include "trace/viewer/live_ring.h"
#include "trace/viewer/merged_query.h"
#include "trace/viewer/message_filter.h"
#include "trace/viewer/served_directory.h"
#include "trace/viewer/stored_query.h"
#include "trace/viewer/timeline.h"
#include "viewer_fixture.h"

namespace {

using viewer_test::Line;
using viewer_test::Message;

const sScan_Budget kAll = sScan_Budget::Unlimited();

CMessage_Filter Filter(const std::map<std::string, std::string>& params) {
  CMessage_Filter filter;
  std::string error;
  EXPECT_TRUE(filter.Parse(viewer_test::Param_Lookup(params), &error))
      << error;
  return filter;
}

bool Parses(const std::map<std::string, std::string>& params) {
  CMessage_Filter filter;
  std::string error;
  return filter.Parse(viewer_test::Param_Lookup(params), &error);
}

TEST(ViewerFilter, SelectsByEachCriterion) {
  const sViewer_Message message = Message("host-a", 2, "connect to broker failed: code 5", 1000);
  struct Case {
    std::map<std::string, std::string> params;
    bool matches;
  };
  const Case cases[] = {
      {{}, true},
      {{{"level", "info"}}, true},
      {{{"level", "3"}}, false},
      {{{"level", "WARNING"}}, false},
      {{{"host", "host-a"}}, true},
      {{{"host", "host"}}, false},  // names are exact, not prefixes
      {{{"channel", "Chan"}}, true},
      {{{"module", "net"}}, true},
      {{{"module", "disk"}}, false},
      {{{"thread", "Worker"}}, true},
      {{{"thread", "7"}}, true},  // the thread's ID works too
      {{{"thread", "8"}}, false},
      {{{"text", "broker failed"}}, true},
      {{{"text", "Broker FAILED"}}, true},  // case ignored by default
      {{{"text", "Broker"}, {"case", "1"}}, false},
      {{{"text", "broker"}, {"case", "1"}}, true},
      {{{"re", "code [0-9]+$"}}, true},
      {{{"re", "^broker"}}, false},
      {{{"re", "^CONNECT"}}, true},
      {{{"re", "^CONNECT"}, {"case", "1"}}, false},
      {{{"host", "host-a,host-b"}}, true},  // any item of a list
      {{{"host", "host-b,host-c"}}, false},
      {{{"host", "host-*"}}, true},
      {{{"host", "*-a"}}, true},
      {{{"host", "h*t*a"}}, true},
      {{{"host", "h*x"}}, false},
      {{{"host", "!host-a"}}, false},  // exclusion alone selects everything else
      {{{"host", "!host-b"}}, true},
      {{{"host", "host-*,!host-a"}}, false},  // excluded wins over included
      {{{"host", " host-a , "}}, true},      // blanks and empty items dropped
      {{{"channel", "chan"}}, false},        // names keep their case
      {{{"module", "net,disk"}}, true},
      {{{"module", "!n*"}}, false},
      {{{"thread", "!7"}}, false},  // the ID excludes as the name does
      {{{"thread", "Work*,!8"}}, true},
      {{{"from_us", "1000"}}, true},
      {{{"from_us", "1001"}}, false},
      {{{"to_us", "1000"}}, false},  // the end is excluded
      {{{"to_us", "1001"}, {"level", "debug"}, {"text", "code"}}, true},
  };
  for (const Case& c : cases) {
    std::string label;
    for (const auto& [name, value] : c.params) label += name + "=" + value + " ";
    SCOPED_TRACE(label);
    EXPECT_EQ(Filter(c.params).Matches(message), c.matches);
  }
}

TEST(ViewerFilter, RefusesMalformedParameters) {
  const std::map<std::string, std::string> bad[] = {
      {{"level", "loud"}},
      {{"level", "6"}},
      {{"re", "(unclosed"}},
      {{"re", std::string(CMessage_Filter::kMax_Pattern + 1, 'a')}},
      {{"from_us", "soon"}},
      {{"to_us", "12x"}},
      {{"case", "yes"}},
      {{"order", "latest"}},
      {{"text", std::string(sViewer_Message::kMax_Text + 1, 'a')}},
      {{"host", std::string(CName_List::kMax_Item + 1, 'h')}},
  };
  for (const auto& params : bad) {
    SCOPED_TRACE(params.begin()->first + "=" + params.begin()->second.substr(0, 20));
    EXPECT_FALSE(Parses(params));
  }
}

// The expression syntax the page can rely on: classes, anchors, counted repetitions, flags,
// alternatives, and '.' as one UTF-8 character.
TEST(ViewerFilter, ExpressionsMatchAnywhereInTheText) {
  const struct {
    const char* pattern;
    const char* text;
    bool matches;
  } cases[] = {
      {"colou?r", "the color red", true},
      {"colou?r", "colr", false},
      {"x{2,3}yz", "axxyz", true},
      {"x{2,3}yz", "xyz", false},
      {"(error|warn)ing", "a warning", true},
      {"\\d+ items", "12 items", true},
      {"\\d+ items", "many items", false},
      {"a\\.b", "a.b", true},
      {"a\\.b", "axb", false},
      {"^start.*end$", "start middle end", true},
      {"^start.*end$", "the start middle end", false},
      {"end$", "end\n", false},  // '$' is the end of the text only
      {"a.c", "a\nc", false},    // '.' does not match a newline
      {"(?i)broker", "BROKER down", true},
      {"Broker", "broker down", true},  // case ignored unless case=1
      {"(?-i)Broker", "broker down", false},
      {"^.$", "\xc3\xa9", true},  // one character of two bytes
      {"\\bid\\b", "the id is", true},
      {"\\bid\\b", "pid", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " on " + c.text);
    EXPECT_EQ(Filter({{"re", c.pattern}}).Matches(Message("h", 2, c.text, 1)), c.matches);
  }
}

// The plain text ignoring case: candidates by the first character in either case, the rest
// compared folded, up to the very end of the text.
TEST(ViewerFilter, TextIgnoringCaseFindsEveryPlace) {
  const struct {
    const char* text;
    const char* needle;
    bool matches;
  } cases[] = {
      {"abc", "ABC", true},      {"xAbC", "abc", true},     {"aab", "AB", true},
      {"aAaB", "aab", true},     {"abx", "abc", false},     {"ab", "abc", false},
      {"x=9 Y=1", "y=1", true},  {"x=9 y=1", "=1", true},   {"==1", "=1", true},
      {"a1a1b", "A1B", true},    {"tail", "L", true},       {"\xc3\xa9", "\xc3\xa9", true},
      {"\xc3\x89", "\xc3\xa9", false},  // folding is ASCII only
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.needle) + " in " + c.text);
    EXPECT_EQ(Filter({{"text", c.needle}}).Matches(Message("h", 2, c.text, 1)), c.matches);
  }
}

// Patterns with several stars, where a greedy walk that never returns would fail or one that
// returns to every star would take exponential time.
TEST(ViewerFilter, WildcardsMatchWholeNames) {
  const struct {
    const char* pattern;
    const char* name;
    bool matches;
  } cases[] = {
      {"*", "", true},         {"*", "anything", true},      {"", "", true},
      {"", "a", false},        {"a*", "a", true},            {"*a", "ba", true},
      {"*a", "ab", false},     {"a*b*c", "aXbYbZc", true},   {"a*b*c", "aXbYc d", false},
      {"*ab*ab", "abab", true}, {"*ab*ab", "aabxab", true},  {"**x", "yx", true},
      {"net", "network", false}, {"net*", "network", true},
      {"*a*a*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " on " + c.name);
    EXPECT_EQ(CName_List::Wildcard_Match(c.pattern, c.name), c.matches);
  }
}

std::vector<std::string> Texts(const std::vector<sViewer_Message>& messages) {
  std::vector<std::string> texts;
  for (const sViewer_Message& message : messages) texts.push_back(message.text);
  return texts;
}

TEST(ViewerLiveRing, ReadsInOrderAndPagesByNumber) {
  CLive_Ring ring(16);
  for (int i = 0; i < 5; ++i) ring.Push(Message("h", static_cast<uint32_t>(i % 2 ? 3 : 2), "m" + std::to_string(i)));
  const CMessage_Filter all = Filter({});
  CLive_Ring::sRead first = ring.Read(0, all, 2);
  EXPECT_EQ(Texts(first.messages), (std::vector<std::string>{"m0", "m1"}));
  EXPECT_EQ(first.messages[0].sequence, 1u);
  EXPECT_EQ(first.last, 2u);
  CLive_Ring::sRead rest = ring.Read(first.last, all, 100);
  EXPECT_EQ(Texts(rest.messages), (std::vector<std::string>{"m2", "m3", "m4"}));
  EXPECT_EQ(rest.skipped, 0u);
  // Filtered: only warnings; the position still moves past what was left out.
  CLive_Ring::sRead warnings = ring.Read(0, Filter({{"level", "warning"}}), 100);
  EXPECT_EQ(Texts(warnings.messages), (std::vector<std::string>{"m1", "m3"}));
  EXPECT_EQ(warnings.last, 5u);
  // Caught up: nothing, same position.
  CLive_Ring::sRead none = ring.Read(5, all, 100);
  EXPECT_TRUE(none.messages.empty());
  EXPECT_EQ(none.last, 5u);
}

// The details pane's context: the lines of the selected message's own host around it, whatever
// other hosts sent in between, cut at the ring's ends and at the number of lines asked for.
TEST(ViewerLiveRing, ContextHoldsTheSameHostsLinesAroundAMessage) {
  CLive_Ring ring(8);
  const char* hosts = "abaabbab";  // message n (from 1) comes from hosts[n - 1]
  for (int i = 0; i < 8; ++i) ring.Push(Message(std::string(1, hosts[i]), 2, "m" + std::to_string(i + 1)));
  const struct {
    uint64_t sequence;
    uint32_t lines;
    std::vector<std::string> before, after;
    bool found;
  } cases[] = {
      {4, 10, {"m1", "m3"}, {"m7"}, true},
      {4, 1, {"m3"}, {"m7"}, true},
      {5, 2, {"m2"}, {"m6", "m8"}, true},
      {1, 2, {}, {"m3", "m4"}, true},  // the oldest: nothing before
      {4, 0, {}, {}, true},
      {9, 3, {}, {}, false},  // not yet written
      {0, 3, {}, {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("message " + std::to_string(c.sequence) + ", lines " + std::to_string(c.lines));
    const CLive_Ring::sContext context = ring.Context(c.sequence, c.lines);
    EXPECT_EQ(context.found, c.found);
    if (c.found) {
      EXPECT_EQ(context.message.text, "m" + std::to_string(c.sequence));
    }
    EXPECT_EQ(Texts(context.before), c.before);
    EXPECT_EQ(Texts(context.after), c.after);
  }
  // Overwritten: message 2 has left a ring of 8 after 10 pushes, and the context of message 4
  // starts at the oldest kept.
  ring.Push(Message("a", 2, "m9"));
  ring.Push(Message("a", 2, "m10"));
  EXPECT_FALSE(ring.Context(2, 3).found);
  EXPECT_EQ(Texts(ring.Context(4, 5).before), (std::vector<std::string>{"m3"}));
}

TEST(ViewerLiveRing, OverwritesTheOldestAndCountsWhatAReaderSkipped) {
  CLive_Ring ring(4);
  for (int i = 0; i < 10; ++i) ring.Push(Message("h", 2, "m" + std::to_string(i)));
  const CMessage_Filter all = Filter({});
  CLive_Ring::sRead behind = ring.Read(0, all, 100);
  EXPECT_EQ(behind.skipped, 6u);
  EXPECT_EQ(Texts(behind.messages), (std::vector<std::string>{"m6", "m7", "m8", "m9"}));
  // A reader that was partly behind skips only what it missed.
  EXPECT_EQ(ring.Read(4, all, 100).skipped, 2u);
  // A position from before a restart of the server (beyond the newest) starts from now.
  CLive_Ring::sRead ahead = ring.Read(1000, all, 100);
  EXPECT_TRUE(ahead.messages.empty());
  EXPECT_EQ(ahead.last, 10u);
  ring.Push(Message("h", 2, "m10"));
  EXPECT_EQ(Texts(ring.Read(ahead.last, all, 100).messages), (std::vector<std::string>{"m10"}));
}

TEST(ViewerLiveRing, AReaderBesideTheWriterSeesEveryNumberOnceReadOrSkipped) {
  CLive_Ring ring(64);
  constexpr uint64_t kTotal = 20000;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (uint64_t i = 0; i < kTotal; ++i) ring.Push(Message("h", 2, std::to_string(i + 1)));
    done.store(true);
  });
  const CMessage_Filter all = Filter({});
  uint64_t after = 0, read = 0, skipped = 0;
  bool in_order = true;
  for (;;) {
    const bool finished = done.load();
    CLive_Ring::sRead batch = ring.Read(after, all, 100);
    skipped += batch.skipped;
    for (const sViewer_Message& message : batch.messages) {
      // The text carries the number the writer meant: slots never mix two messages.
      in_order &= message.sequence > after && message.text == std::to_string(message.sequence);
      after = message.sequence;
      ++read;
    }
    after = batch.last;
    if (finished && batch.messages.empty() && batch.skipped == 0) break;
  }
  writer.join();
  EXPECT_TRUE(in_order);
  EXPECT_EQ(read + skipped, kTotal);
  EXPECT_EQ(after, kTotal);
}

TEST(ViewerLiveRing, CutsLongTextsSoASlotHasABound) {
  CLive_Ring ring(2);
  sViewer_Message message;
  CClTextSink::sLog log = {};
  const std::string huge(100000, 'x');
  log.message = huge.c_str();
  log.message_length = huge.size();
  Viewer_Message_From_Log(log, huge.c_str(), huge.size(), std::string(1000, 'h'), &message);
  EXPECT_EQ(message.text.size(), sViewer_Message::kMax_Text);
  EXPECT_EQ(message.rendered.size(), sViewer_Message::kMax_Text);
  EXPECT_EQ(message.host.size(), sViewer_Message::kMax_Name);
}

TEST(ViewerTimeline, BucketsHaveRoundWidthsAndKeepEveryMessage) {
  struct Case {
    const char* name;
    std::vector<int64_t> seconds;
    uint32_t max_buckets;
    int64_t width_s;
    size_t buckets;
  };
  const Case cases[] = {
      {"one second", {100, 100, 100}, 120, 1, 1},
      {"ten seconds in ten buckets", {0, 9}, 10, 1, 10},
      {"ten seconds in four buckets: 5 s wide (3 s is no round width)", {0, 9}, 4, 5, 2},
      {"an hour in 120 buckets: 30 s", {0, 3599}, 120, 30, 120},
      {"unaligned start needs a wider step", {7, 16}, 2, 10, 2},
      {"days", {0, 10 * 86400}, 5, 3 * 86400, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CTimeline timeline;
    for (size_t i = 0; i < c.seconds.size(); ++i)
      timeline.Add(c.seconds[i] * 1000000 + 123, static_cast<uint32_t>(i % 6));
    const CTimeline::sBuckets buckets = timeline.Build(c.max_buckets);
    EXPECT_EQ(buckets.width_us, c.width_s * 1000000);
    EXPECT_EQ(buckets.counts.size(), c.buckets);
    EXPECT_LE(buckets.counts.size(), c.max_buckets);
    EXPECT_EQ(buckets.start_us % buckets.width_us, 0);
    uint64_t total = 0;
    for (const auto& counts : buckets.counts)
      for (uint64_t count : counts) total += count;
    EXPECT_EQ(total, c.seconds.size());
  }
  EXPECT_EQ(CTimeline().Build(10).width_us, 0);
}

TEST(ViewerTimeline, CountsLandInTheirLevelAndBucket) {
  CTimeline timeline;
  timeline.Add(0, 2);
  timeline.Add(1500000, 4);  // second 1
  timeline.Add(-1, 9);       // before 1970: second -1; levels above 5 count as critical
  const CTimeline::sBuckets buckets = timeline.Build(10);
  ASSERT_EQ(buckets.counts.size(), 3u);
  EXPECT_EQ(buckets.start_us, -1000000);
  EXPECT_EQ(buckets.counts[0][5], 1u);
  EXPECT_EQ(buckets.counts[1][2], 1u);
  EXPECT_EQ(buckets.counts[2][4], 1u);
}

// A served directory with a client directory of two files, a file at the top, a secret file
// beside it (outside) and links pointing in and out.
class ServedTree : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(outer_.Valid());
    root_ = outer_.File("served");
    ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root_ + "/host-a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root_ + "/empty").c_str(), 0755), 0);
    ASSERT_TRUE(mqw_test::Write_File(root_ + "/host-a/20260102-030405-001.trd",
                                     viewer_test::Trd_File({{2, 0, "a0"}, {3, 1, "a1"}, {2, 2, "a2"}})));
    ASSERT_TRUE(mqw_test::Write_File(root_ + "/host-a/20260102-030405-002.trd",
                                     viewer_test::Trd_File({{4, 3, "b0"}, {2, 4, "b1"}})));
    ASSERT_TRUE(mqw_test::Write_File(root_ + "/top.trd", viewer_test::Trd_File({{2, 0, "top"}})));
    ASSERT_TRUE(mqw_test::Write_File(outer_.File("secret.trd"), viewer_test::Trd_File({{5, 0, "secret"}})));
    ASSERT_EQ(symlink(outer_.File("secret.trd").c_str(), (root_ + "/host-a/leak.trd").c_str()), 0);
    ASSERT_EQ(symlink(outer_.Path().c_str(), (root_ + "/up").c_str()), 0);
    ASSERT_EQ(symlink("host-a", (root_ + "/alias").c_str()), 0);
    ASSERT_TRUE(directory_.Open(root_));
  }

  mqw_test::TempDir outer_{"viewer-served"};
  std::string root_;
  CServed_Directory directory_;
};

TEST_F(ServedTree, PathsStayInsideTheDirectory) {
  using R = CServed_Directory::eResolve;
  struct Case {
    std::string path;
    R result;
    size_t files;
  };
  const Case cases[] = {
      {"", R::Ok, 1},
      {".", R::Ok, 1},
      {"host-a", R::Ok, 2},  // the link out is not among them
      {"host-a/", R::Ok, 2},
      {"host-a/20260102-030405-002.trd", R::Ok, 1},
      {"alias", R::Ok, 2},  // a link that stays inside is fine
      {"empty", R::Ok, 0},
      {"../secret.trd", R::Bad_Path, 0},
      {"host-a/../../secret.trd", R::Bad_Path, 0},
      {"host-a/..", R::Bad_Path, 0},
      {"/etc/passwd", R::Bad_Path, 0},
      {std::string("top.trd\0x", 9), R::Bad_Path, 0},
      {std::string(CServed_Directory::kMax_Path + 1, 'a'), R::Bad_Path, 0},
      {"host-a/leak.trd", R::Outside, 0},
      {"up", R::Outside, 0},
      {"up/secret.trd", R::Outside, 0},
      {"nothing.trd", R::Missing, 0},
      {"host-a/notes.txt", R::Missing, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("\"" + c.path.substr(0, 40) + "\"");
    std::vector<CServed_Directory::sFile> files;
    EXPECT_EQ(directory_.Files(c.path, &files), c.result);
    EXPECT_EQ(files.size(), c.files);
  }
}

TEST_F(ServedTree, SourcesListOnlyFilesInside) {
  const std::vector<CServed_Directory::sSource> sources = directory_.Sources();
  std::vector<std::string> listed;
  for (const auto& source : sources)
    for (const auto& file : source.files) listed.push_back(file.path);
  EXPECT_EQ(listed, (std::vector<std::string>{"top.trd", "alias/20260102-030405-001.trd",
                                              "alias/20260102-030405-002.trd",
                                              "host-a/20260102-030405-001.trd",
                                              "host-a/20260102-030405-002.trd"}));
}

TEST_F(ServedTree, PagesRunAcrossFilesInOrder) {
  CStored_Query query(directory_);
  const CMessage_Filter all = Filter({});
  CStored_Query::sPage first = query.Page("host-a", all, 0, 2, kAll);
  EXPECT_EQ(Texts(first.messages), (std::vector<std::string>{"a0", "a1"}));
  EXPECT_TRUE(first.more);
  EXPECT_EQ(first.next, 2u);  // the first match it could not take
  EXPECT_EQ(first.messages[0].host, "host-a");
  EXPECT_EQ(first.messages[1].time_us, viewer_test::Time_Of(1));
  EXPECT_EQ(first.messages[1].level, 3u);
  // The second page crosses into the next file.
  CStored_Query::sPage second = query.Page("host-a", all, first.next, 2, kAll);
  EXPECT_EQ(Texts(second.messages), (std::vector<std::string>{"a2", "b0"}));
  CStored_Query::sPage last = query.Page("host-a", all, second.next, 2, kAll);
  EXPECT_EQ(Texts(last.messages), (std::vector<std::string>{"b1"}));
  EXPECT_FALSE(last.more);
  EXPECT_EQ(last.next, 5u);  // past the whole source
  EXPECT_TRUE(last.scan.problems.empty());
  // Once the first file was read whole, a later page skips it without decoding it.
  CStored_Query::sPage again = query.Page("host-a", all, 3, 2, kAll);
  EXPECT_EQ(Texts(again.messages), (std::vector<std::string>{"b0", "b1"}));
  EXPECT_EQ(again.scan.scanned, 2u);
}

// The stored context crosses file boundaries both ways and names the message itself.
TEST_F(ServedTree, ContextRunsAcrossFiles) {
  CStored_Query query(directory_);
  CStored_Query::sContext context = query.Context("host-a", 3, 2, kAll);  // b0, first of file 2
  ASSERT_TRUE(context.found);
  EXPECT_EQ(context.message.text, "b0");
  EXPECT_EQ(Texts(context.before), (std::vector<std::string>{"a1", "a2"}));
  EXPECT_EQ(Texts(context.after), (std::vector<std::string>{"b1"}));
  EXPECT_FALSE(query.Context("host-a", 5, 2, kAll).found);  // past the end
  EXPECT_EQ(query.Context("missing", 0, 2, kAll).scan.resolve,
            CServed_Directory::eResolve::Missing);
}

// Two sources merged by time: pages of either order hold every match once, in time order (ties
// in the sources' order), and each message names its source.
TEST_F(ServedTree, MergedSourcesPageInTimeOrderBothWays) {
  ASSERT_EQ(mkdir((root_ + "/host-b").c_str(), 0755), 0);
  ASSERT_TRUE(mqw_test::Write_File(root_ + "/host-b/20260102-030405-001.trd",
                                   viewer_test::Trd_File({{2, 1, "c1"}, {4, 3, "c3"}})));
  CStored_Query query(directory_);
  CMerged_Query merged(query, directory_);
  auto texts = [](const CMerged_Query::sPage& page) {
    std::vector<std::string> out;
    for (const auto& m : page.messages) out.push_back(m.source + ":" + m.message.text);
    return out;
  };
  const struct {
    const char* order;
    std::vector<std::vector<std::string>> pages;
  } cases[] = {
      {"oldest",
       {{"host-a:a0", "host-a:a1", "host-b:c1"}, {"host-a:a2", "host-a:b0", "host-b:c3"}, {"host-a:b1"}}},
      {"newest",
       {{"host-a:b1", "host-a:b0", "host-b:c3"}, {"host-a:a2", "host-a:a1", "host-b:c1"}, {"host-a:a0"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.order);
    const CMessage_Filter filter = Filter({{"order", c.order}});
    std::string cursor;
    for (size_t i = 0; i < c.pages.size(); ++i) {
      const CMerged_Query::sPage page = merged.Page("host-a,host-b", filter, cursor, 3, kAll);
      ASSERT_TRUE(page.error.empty()) << page.error;
      EXPECT_EQ(texts(page), c.pages[i]) << "page " << i;
      EXPECT_EQ(page.more, i + 1 < c.pages.size()) << "page " << i;
      cursor = page.next;
    }
  }
  // A filter applies to every source; the timeline adds the sources up.
  const CMerged_Query::sPage warnings =
      merged.Page("host-a,host-b", Filter({{"level", "warning"}}), "", 10, kAll);
  EXPECT_EQ(texts(warnings), (std::vector<std::string>{"host-a:a1", "host-a:b0", "host-b:c3"}));
  EXPECT_EQ(merged.Timeline("host-a,host-b", Filter({}), 10, kAll).total, 7u);
  // "*": every directory with files; bad names and cursors are refused.
  std::vector<std::string> all;
  EXPECT_EQ(merged.Sources("*", &all), CServed_Directory::eResolve::Ok);
  EXPECT_EQ(all, (std::vector<std::string>{".", "alias", "host-a", "host-b"}));
  EXPECT_EQ(merged.Page("host-a,../x", Filter({}), "", 3, kAll).resolve,
            CServed_Directory::eResolve::Bad_Path);
  EXPECT_EQ(merged.Page("host-a,nothing", Filter({}), "", 3, kAll).resolve,
            CServed_Directory::eResolve::Missing);
  for (const char* cursor : {"1", "1,2,3", "x,1", "1,", "-1,2"})
    EXPECT_FALSE(merged.Page("host-a,host-b", Filter({}), cursor, 3, kAll).error.empty()) << cursor;
}

// Newest first: pages run backwards across files, each going on below the last one's oldest
// message, and together they hold every match once.
TEST_F(ServedTree, NewestFirstPagesRunBackwards) {
  CStored_Query query(directory_);
  const CMessage_Filter newest = Filter({{"order", "newest"}});
  CStored_Query::sPage first = query.Page("host-a", newest, 0, 2, kAll);
  EXPECT_EQ(Texts(first.messages), (std::vector<std::string>{"b1", "b0"}));
  EXPECT_TRUE(first.more);
  CStored_Query::sPage second = query.Page("host-a", newest, first.next, 2, kAll);
  EXPECT_EQ(Texts(second.messages), (std::vector<std::string>{"a2", "a1"}));
  CStored_Query::sPage last = query.Page("host-a", newest, second.next, 2, kAll);
  EXPECT_EQ(Texts(last.messages), (std::vector<std::string>{"a0"}));
  EXPECT_FALSE(last.more);
  // With a filter: the matches only, still newest first.
  CStored_Query::sPage warnings =
      query.Page("host-a", Filter({{"order", "newest"}, {"level", "warning"}}), 0, 10, kAll);
  EXPECT_EQ(Texts(warnings.messages), (std::vector<std::string>{"b0", "a1"}));
  EXPECT_FALSE(warnings.more);
}

TEST_F(ServedTree, FiltersApplyOnTheServerWithNumbersOfTheWholeSequence) {
  CStored_Query query(directory_);
  CStored_Query::sPage page = query.Page("host-a", Filter({{"level", "warning"}}), 0, 10, kAll);
  EXPECT_EQ(Texts(page.messages), (std::vector<std::string>{"a1", "b0"}));
  EXPECT_EQ(page.messages[1].sequence, 3u);
  EXPECT_FALSE(page.more);
  CStored_Query::sPage from = query.Page("host-a", Filter({{"from_us", std::to_string(viewer_test::Time_Of(2))}}), 0, 10, kAll);
  EXPECT_EQ(Texts(from.messages), (std::vector<std::string>{"a2", "b0", "b1"}));
  CStored_Query::sTimeline timeline = query.Timeline("host-a", Filter({{"re", "^b"}}), 10, kAll);
  EXPECT_EQ(timeline.total, 2u);
  EXPECT_EQ(timeline.buckets.width_us, 1000000);
  EXPECT_EQ(timeline.buckets.start_us, viewer_test::Time_Of(3) / 1000000 * 1000000);
}

TEST_F(ServedTree, ADamagedFileIsReportedWithItsOffsetAndTheRestStillServes) {
  std::string damaged = viewer_test::Trd_File({{2, 0, "a0"}, {3, 1, "a1"}, {2, 2, "a2"}});
  // The third data packet's header claims a length beyond the largest packet.
  const size_t third = damaged.rfind("a2") - 4 - 20 - 4;
  const std::string before(damaged, 0, third);
  damaged = before + std::string("\xff\xff\xff\x07", 4) + damaged.substr(third + 4);
  ASSERT_TRUE(mqw_test::Write_File(root_ + "/host-a/20260102-030405-001.trd", damaged));
  CStored_Query query(directory_);
  CStored_Query::sPage page = query.Page("host-a", Filter({}), 0, 100, kAll);
  EXPECT_EQ(Texts(page.messages), (std::vector<std::string>{"a0", "a1", "b0", "b1"}));
  ASSERT_EQ(page.scan.problems.size(), 1u);
  EXPECT_EQ(page.scan.problems[0].file, "host-a/20260102-030405-001.trd");
  EXPECT_NE(page.scan.problems[0].text.find("offset " + std::to_string(third)), std::string::npos)
      << page.scan.problems[0].text;
}

}  // namespace
