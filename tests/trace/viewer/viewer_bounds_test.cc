// What a requester or a host chooses cannot crash the viewer, hold it, or grow its answers:
// hostile expressions, scans stopped by their budget and resumed from their cursor, times at the
// ends of the 64-bit range, and host rows with more modules than any page could show.
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "trace/viewer/live_ring.h"
#include "trace/viewer/message_filter.h"
#include "trace/viewer/served_directory.h"
#include "trace/viewer/stored_query.h"
#include "trace/viewer/timeline.h"
#include "trace/viewer/viewer_hub.h"
#include "trace/viewer/viewer_json.h"
#include "filter_params.h"
#include "viewer_fixture.h"

namespace {

using viewer_test::Line;
using viewer_test::Message;
using viewer_test::Parse_Filter;

CMessage_Filter Filter(const std::map<std::string, std::string>& params) {
  CMessage_Filter filter;
  const auto error = Parse_Filter(&filter, params);
  EXPECT_FALSE(error.has_value()) << *error;
  return filter;
}

// Each pattern is either refused with RE2's reason or matched in linear time; none may crash the
// process (a backtracking matcher exhausts its stack on the first) or run on for long.
TEST(ViewerHostileExpressions, AreRefusedWithAReasonOrMatched) {
  const std::string nested = std::string(127, '(') + "." + std::string(127, ')') + "*";
  ASSERT_EQ(nested.size(), CMessage_Filter::kMax_Pattern);
  const std::string forty(40, 'x');
  struct Case {
    const char* name;
    std::string pattern;
    std::string text;
    const char* refused_because;  // null: accepted
    bool matches;
  };
  const Case cases[] = {
      {"127 nested groups, starred", nested, std::string(300, 'x'), nullptr, true},
      {"alternative of equals, repeated", "^(.|.)*(#)", forty, nullptr, false},
      {"alternative of equals, found", "^(.|.)*(#)", forty + "#", nullptr, true},
      {"nested quantifiers", "(x+x+)+y", std::string(sViewer_Message::kMax_Text, 'x'), nullptr,
       false},
      {"huge counted program", "(((a{100}){100}){100})", "aaa", "invalid repetition size", false},
      {"program over the memory cap", "\\pL{1000}", "abc", "pattern too large", false},
      {"backreference", "(a)\\1", "aa", "invalid escape sequence: \\1", false},
      {"lookahead", "a(?=b)", "ab", "(?=", false},
      {"negative lookahead", "a(?!b)", "ac", "(?!", false},
      {"lookbehind", "(?<=a)b", "ab", "(?<", false},
      {"invalid UTF-8", "a\xff", "a", "invalid UTF-8", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CMessage_Filter filter;
    const std::optional<std::string> error = Parse_Filter(&filter, {{"re", c.pattern}});
    if (c.refused_because) {
      ASSERT_TRUE(error.has_value());
      EXPECT_EQ(error->rfind("re: ", 0), 0u) << *error;  // names the parameter, then RE2's reason
      EXPECT_NE(error->find(c.refused_because), std::string::npos) << *error;
      continue;
    }
    ASSERT_FALSE(error.has_value()) << *error;
    EXPECT_EQ(filter.Matches(Message("h", 2, c.text, 1)), c.matches);
  }
}

// A served directory "host" of three files: a long one (more messages than a budget check
// interval, in several reads), a short one and another long one. Every 100th message is a
// warning, the rest info.
class BudgetedScan : public ::testing::Test {
 protected:
  static constexpr uint32_t kLong = 2500;
  static constexpr uint32_t kShort = 3;

  static std::vector<Line> Lines(uint32_t count, const std::string& prefix) {
    std::vector<Line> lines;
    for (uint32_t i = 0; i < count; ++i)
      lines.push_back({static_cast<uint8_t>(i % 100 == 50 ? 3 : 2), i, prefix + std::to_string(i)});
    return lines;
  }

  void SetUp() override {
    ASSERT_TRUE(dir_.Valid());
    ASSERT_EQ(mkdir(dir_.File("host").c_str(), 0755), 0);
    ASSERT_TRUE(
        mqw_test::Write_File(dir_.File("host/1.trd"), viewer_test::Trd_File(Lines(kLong, "a"))));
    ASSERT_TRUE(
        mqw_test::Write_File(dir_.File("host/2.trd"), viewer_test::Trd_File(Lines(kShort, "b"))));
    ASSERT_TRUE(
        mqw_test::Write_File(dir_.File("host/3.trd"), viewer_test::Trd_File(Lines(kLong, "c"))));
    ASSERT_TRUE(directory_.Open(dir_.Path()));
  }

  // Every matching text from message `after` on, read without a budget.
  std::vector<std::string> All(const CMessage_Filter& filter, uint64_t after = 0) {
    std::vector<std::string> texts;
    const CStored_Query::sScan scan = CStored_Query(directory_)
                                          .Scan(
                                              "host", filter, after,
                                              [&](const sViewer_Message& message) {
                                                texts.push_back(message.text);
                                                return true;
                                              },
                                              false, sScan_Budget::Unlimited());
    EXPECT_TRUE(scan.complete);
    EXPECT_FALSE(scan.cut);
    return texts;
  }

  // A budget without a deadline whose requester is gone from its `n`th check on (1: the first).
  static sScan_Budget Gone_From_Check(int n, int* calls) {
    return sScan_Budget{sScan_Budget::tClock::time_point::max(),
                        [n, calls] { return ++*calls >= n; }};
  }

  mqw_test::TempDir dir_{"viewer-budget"};
  CServed_Directory directory_;
};

TEST_F(BudgetedScan, ADeadlineAlreadyPastCutsAtOnceAndSaysSo) {
  const CStored_Query query(directory_);
  const sScan_Budget past = sScan_Budget::For(-std::chrono::seconds(1));
  const CStored_Query::sPage page = query.Page("host", Filter({}), 10, 100, past);
  EXPECT_TRUE(page.scan.cut);
  EXPECT_FALSE(page.scan.complete);
  EXPECT_EQ(page.scan.scanned, 0u);
  EXPECT_TRUE(page.messages.empty());
  EXPECT_TRUE(page.more);
  EXPECT_EQ(page.next, 10u);  // nothing examined: the same page again
  const CStored_Query::sTimeline timeline = query.Timeline("host", Filter({}), 10, past);
  EXPECT_TRUE(timeline.scan.cut);
  EXPECT_EQ(timeline.total, 0u);
  // Without a budget the same source is read to its end.
  const CStored_Query::sTimeline whole =
      query.Timeline("host", Filter({}), 10, sScan_Budget::Unlimited());
  EXPECT_FALSE(whole.scan.cut);
  EXPECT_TRUE(whole.scan.complete);
  EXPECT_EQ(whole.total, 2 * kLong + kShort);
}

TEST_F(BudgetedScan, ARequesterThatIsGoneStopsTheScanAtTheNextCheck) {
  const uint64_t total = 2 * kLong + kShort;
  uint64_t previous_next = 0;
  int n = 1;
  for (;; ++n) {
    SCOPED_TRACE("gone from check " + std::to_string(n));
    int calls = 0;
    uint64_t visited = 0;
    const CStored_Query::sScan scan =
        CStored_Query(directory_)
            .Scan(
                "host", Filter({}), 0,
                [&](const sViewer_Message& message) {
                  EXPECT_EQ(message.sequence, visited);  // in order, none left out before the cut
                  ++visited;
                  return true;
                },
                false, Gone_From_Check(n, &calls));
    if (!scan.cut) {  // fewer checks than n: read whole
      EXPECT_TRUE(scan.complete);
      EXPECT_EQ(visited, total);
      break;
    }
    EXPECT_FALSE(scan.complete);
    EXPECT_EQ(calls, n);  // not asked again once gone
    EXPECT_LT(scan.scanned, total);
    EXPECT_EQ(scan.next, visited);        // what it examined, exactly
    EXPECT_GE(scan.next, previous_next);  // a later cut never examined less
    previous_next = scan.next;
  }
  // Checked before each file, after each read and every kCheck_Every messages: the last cut
  // falls in the last file, and the first thousands of messages saw several checks.
  EXPECT_GT(previous_next, uint64_t{kLong + kShort});
  EXPECT_GE(n, 8);
}

// Cut at every check a scan makes, a page and the page after its cursor hold every match once.
TEST_F(BudgetedScan, ACutPageResumesWithoutSkippingOrRepeating) {
  const struct {
    const char* name;
    std::map<std::string, std::string> params;
  } filters[] = {
      {"all", {}}, {"rare warnings", {{"level", "warning"}}}, {"none", {{"text", "zzz"}}}};
  for (const auto& f : filters) {
    const CMessage_Filter filter = Filter(f.params);
    const std::vector<std::string> expected = All(filter);
    bool advanced_without_a_match = false;
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::string(f.name) + ", gone from check " + std::to_string(n));
      const CStored_Query query(directory_);
      int calls = 0;
      const CStored_Query::sPage cut =
          query.Page("host", filter, 0, CStored_Query::kMax_Page, Gone_From_Check(n, &calls));
      if (!cut.scan.cut) break;  // fewer checks than n (or a full page first)
      EXPECT_TRUE(cut.more);
      if (cut.messages.empty() && cut.next > 0) advanced_without_a_match = true;
      std::vector<std::string> texts;
      for (const sViewer_Message& message : cut.messages) {
        EXPECT_LT(message.sequence, cut.next);
        texts.push_back(message.text);
      }
      const std::vector<std::string> rest = All(filter, cut.next);
      texts.insert(texts.end(), rest.begin(), rest.end());
      EXPECT_EQ(texts, expected);
    }
    if (std::string(f.name) == "none") {
      EXPECT_TRUE(advanced_without_a_match);  // a cut page that found nothing still moves on
    }
  }
}

// A page must decode a file from its start up to its cursor; a deadline that passes meanwhile
// stops it only once it examined a message from the cursor on, so deep pages still advance.
TEST_F(BudgetedScan, ADeadlinePassingBeforeTheCursorStillLetsThePageAdvance) {
  const CStored_Query query(directory_);
  const uint64_t after = kLong - 100;  // deep in the first file, which no page read whole yet
  bool slept = false;
  const sScan_Budget budget = sScan_Budget::For(std::chrono::milliseconds(20), [&slept] {
    if (!slept) std::this_thread::sleep_for(std::chrono::milliseconds(40));  // the deadline passes
    slept = true;
    return false;
  });
  const CStored_Query::sPage page = query.Page("host", Filter({}), after, 10, budget);
  EXPECT_GT(page.next, after);
  EXPECT_FALSE(page.messages.empty());
  EXPECT_EQ(page.messages.front().sequence, after);
}

// Times from the stream and from the request are 64-bit values a host or page chooses: every
// conversion and bucket computation is defined for all of them (the sanitizer build aborts on an
// overflow), and each still yields a usable answer.
TEST(ViewerExtremeTimes, ConversionsAreDefinedForEveryValue) {
  constexpr uint64_t k1601_To_1970 = 116444736000000000ull;
  const struct {
    uint64_t absolute;
    int64_t unix_us;
  } conversions[] = {
      {0, -static_cast<int64_t>(k1601_To_1970 / 10)},
      {k1601_To_1970, 0},
      {k1601_To_1970 - 1, 0},  // rounded towards 1970
      {k1601_To_1970 - 10, -1},
      {k1601_To_1970 + 10, 1},
      {uint64_t{INT64_MAX}, (INT64_MAX - static_cast<int64_t>(k1601_To_1970)) / 10},
      {uint64_t{INT64_MAX} + 1,
       static_cast<int64_t>((uint64_t{INT64_MAX} + 1 - k1601_To_1970) / 10)},
      {UINT64_MAX, static_cast<int64_t>((UINT64_MAX - k1601_To_1970) / 10)},
  };
  for (const auto& c : conversions) {
    SCOPED_TRACE(c.absolute);
    EXPECT_EQ(Viewer_Unix_Microseconds(c.absolute), c.unix_us);
  }
  const char* saved_tz = getenv("TZ");
  const std::string saved = saved_tz ? saved_tz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  const struct {
    int64_t time_us;
    const char* text;  // null: any text that is not empty
  } texts[] = {
      {0, "1970-01-01 00:00:00.000000"},
      {-1, "1969-12-31 23:59:59.999999"},
      {1'000'000'000'000'001, "2001-09-09 01:46:40.000001"},
      {INT64_MIN, nullptr},
      {INT64_MIN + 1, nullptr},
      {INT64_MAX, nullptr},
      {INT64_MAX - 999'999, nullptr},
      {Viewer_Unix_Microseconds(0), "1601-01-01 00:00:00.000000"},
  };
  for (const auto& c : texts) {
    SCOPED_TRACE(c.time_us);
    const std::string text = Viewer_Local_Time(c.time_us);
    if (c.text) {
      EXPECT_EQ(text, c.text);
    } else {
      EXPECT_FALSE(text.empty());
    }
  }
  if (saved_tz) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(ViewerExtremeTimes, TheTimelineTakesAnyTime) {
  const struct {
    const char* name;
    std::vector<int64_t> times_us;
    uint32_t buckets;
  } cases[] = {
      {"both ends, two buckets", {INT64_MIN, INT64_MAX}, 2},
      {"both ends, one bucket asked", {INT64_MIN, INT64_MAX}, 1},
      {"both ends, all buckets asked", {INT64_MIN, 0, INT64_MAX}, UINT32_MAX},
      {"the earliest alone", {INT64_MIN}, 120},
      {"the latest alone", {INT64_MAX, INT64_MAX - 1}, 120},
      {"around 1970, one bucket asked", {-1, 0}, 1},
      {"near the limit",
       {CTimeline::kLimit_Seconds * 1'000'000, -CTimeline::kLimit_Seconds * 1'000'000},
       3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CTimeline timeline;
    for (int64_t time : c.times_us) timeline.Add(time, 2);
    const CTimeline::sBuckets buckets = timeline.Build(c.buckets);
    ASSERT_GT(buckets.width_us, 0);
    EXPECT_LE(buckets.counts.size(),
              std::max<size_t>(2, std::min(c.buckets, CTimeline::kMax_Buckets)));
    EXPECT_EQ(buckets.start_us % buckets.width_us, 0);
    uint64_t total = 0;
    for (const auto& counts : buckets.counts) total += counts[2];
    EXPECT_EQ(total, c.times_us.size());
    const std::string json = Viewer_Dump(Viewer_Json(buckets));
    EXPECT_NE(json.find("\"width_us\":" + std::to_string(buckets.width_us)), std::string::npos);
  }
}

TEST(ViewerExtremeTimes, RangesAndPositionsFromThePageAreTaken) {
  const sViewer_Message message = Message("h", 2, "text", INT64_MIN);
  EXPECT_TRUE(Filter({{"from_us", std::to_string(INT64_MIN)}}).Matches(message));
  EXPECT_FALSE(Filter({{"to_us", std::to_string(INT64_MIN)}}).Matches(message));
  CMessage_Filter filter;
  EXPECT_TRUE(Parse_Filter(&filter, {{"from_us", "9223372036854775808"}}).has_value());  // beyond int64
  // The largest position is past the newest message, not before the oldest.
  CLive_Ring ring(4);
  ring.Push(message);
  const CLive_Ring::sRead read = ring.Read(UINT64_MAX, Filter({}), 10);
  EXPECT_TRUE(read.messages.empty());
  EXPECT_EQ(read.skipped, 0u);
  EXPECT_EQ(read.last, 1u);
}

sHost_Status Host_With_Modules(size_t channels, size_t modules_each, size_t name_bytes) {
  sHost_Status host;
  host.name = "flood_127.0.0.1_42";
  host.client = std::string(name_bytes, 'c');
  host.address = "127.0.0.1:5000";
  host.connected = true;
  for (size_t c = 0; c < channels; ++c) {
    sViewer_Channel channel;
    channel.id = static_cast<uint32_t>(c);
    channel.name = std::string(name_bytes, 'n');
    for (size_t m = 0; m < modules_each; ++m)
      channel.modules.push_back({static_cast<uint32_t>(m), std::string(name_bytes, 'm')});
    host.channels.push_back(std::move(channel));
  }
  return host;
}

TEST(ViewerHostTable, AHostWithAHundredThousandModulesGivesASmallAnswer) {
  const sHost_Status flood = Host_With_Modules(1, 100000, 20);
  const nlohmann::json json = Viewer_Json(flood);
  const nlohmann::json& channel = json["channels"][0];
  EXPECT_EQ(channel["modules"].size(), sHost_Bounds::kMax_Modules);
  EXPECT_EQ(channel["modules_omitted"], 100000 - sHost_Bounds::kMax_Modules);
  EXPECT_LT(Viewer_Dump(json).size(), 16u << 10);
  // Through the hub the same: the row it keeps is bounded, and says how many it left out.
  CViewer_Hub hub(4);
  hub.Update_Host(flood);
  const std::vector<sHost_Status> hosts = hub.Hosts();
  ASSERT_EQ(hosts.size(), 1u);
  EXPECT_EQ(hosts[0].channels[0].modules.size(), sHost_Bounds::kMax_Modules);
  const nlohmann::json again = Viewer_Json(hosts[0]);
  EXPECT_EQ(again["channels"][0]["modules_omitted"], 100000 - sHost_Bounds::kMax_Modules);
}

TEST(ViewerHostTable, ChannelsAndNamesAreCut) {
  const sHost_Status wide = Host_With_Modules(100, 2, 5000);
  const nlohmann::json json = Viewer_Json(wide);
  EXPECT_EQ(json["channels"].size(), sHost_Bounds::kMax_Channels);
  EXPECT_EQ(json["client"].get<std::string>().size(), sHost_Bounds::kMax_Name);
  EXPECT_EQ(json["channels"][0]["name"].get<std::string>().size(), sHost_Bounds::kMax_Name);
  EXPECT_EQ(json["channels"][0]["modules"][0]["name"].get<std::string>().size(),
            sHost_Bounds::kMax_Name);
  EXPECT_EQ(json["channels"][0]["modules_omitted"], 0);
  // A cut never splits a character: after one 'x', two-byte "é"s; 128 bytes would end
  // inside one, so 127 bytes are kept.
  sHost_Status accents;
  accents.name = "h";
  accents.client = "x" + std::string(200, '\0');
  for (size_t i = 1; i < accents.client.size(); i += 2) {
    accents.client[i] = '\xc3';
    accents.client[i + 1] = '\xa9';
  }
  const std::string client = Bounded_Host_Status(accents).client;
  EXPECT_EQ(client.size(), sHost_Bounds::kMax_Name - 1);
  EXPECT_EQ(Viewer_Dump(nlohmann::json(client)).find("\\ufffd"), std::string::npos);
}

TEST(ViewerHostTable, KeepsAtMostItsRowsForgettingTheOldestGoneHostFirst) {
  CViewer_Hub hub(4);
  auto host = [](const std::string& name, bool connected) {
    sHost_Status status;
    status.name = name;
    status.connected = connected;
    return status;
  };
  hub.Update_Host(host("gone-early", false));
  hub.Update_Host(host("gone-late", false));
  for (size_t i = 2; i < CViewer_Hub::kMax_Hosts; ++i)
    hub.Update_Host(host("live" + std::to_string(i), true));
  hub.Update_Host(host("gone-early", false));  // updated again: now the more recent of the two
  hub.Update_Host(host("new-1", true));
  auto names = [&hub] {
    std::map<std::string, bool> found;
    for (const sHost_Status& status : hub.Hosts()) found[status.name] = status.connected;
    return found;
  };
  EXPECT_EQ(names().size(), CViewer_Hub::kMax_Hosts);
  EXPECT_EQ(names().count("gone-late"), 0u);
  EXPECT_EQ(names().count("new-1"), 1u);
  hub.Update_Host(host("new-2", true));
  EXPECT_EQ(names().count("gone-early"), 0u);
  // Full of connected hosts: a flood of new names adds nothing, known rows still update.
  for (int i = 0; i < 100; ++i) hub.Update_Host(host("flood" + std::to_string(i), true));
  EXPECT_EQ(names().size(), CViewer_Hub::kMax_Hosts);
  EXPECT_EQ(names().count("flood0"), 0u);
  hub.Update_Host(host("new-1", false));
  EXPECT_FALSE(names().at("new-1"));
}

}  // namespace
