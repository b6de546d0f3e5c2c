// The fleet index against a private PostgreSQL: stored files copied into the database exactly
// once (across restarts, files still growing and the database going away), texts stored as the
// viewer shows them, the schema's version rule, retention by whole days, --index-level, and the
// fleet source's selections and keyset pages.
#include <sys/stat.h>
#include <time.h>

#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "copy_text.h"
#include "fleet_database.h"
#include "fleet_query.h"
#include "index_schema.h"
#include "support/temp_dir.h"
#include "trace/viewer/filter_params.h"
#include "trace/viewer/viewer_fixture.h"
#include "trace/viewer/viewer_json.h"
#include "trd_indexer.h"

namespace {

using fleet_test::Sql;
using viewer_test::Line;
using viewer_test::Trd_File;

std::vector<Line> Numbered(uint32_t count, const std::string& prefix, uint8_t level = 2) {
  std::vector<Line> lines;
  for (uint32_t i = 0; i < count; ++i) lines.push_back({level, i, prefix + std::to_string(i)});
  return lines;
}

class FleetIndex : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Valid());
    url_ = fleet_test::New_Database();
    ASSERT_FALSE(url_.empty());
  }

  CTrd_Indexer::sConfig Config() const {
    CTrd_Indexer::sConfig config;
    config.url = url_;
    config.server = "srv-a";
    config.directory = dir_.Path();
    config.batch = 7;  // several transactions per file
    config.retry = std::chrono::milliseconds(0);
    return config;
  }

  void Write(const std::string& relative, const std::string& bytes) {
    mkdir(dir_.File(relative.substr(0, relative.find('/'))).c_str(), 0755);
    ASSERT_TRUE(mqw_test::Write_File(dir_.File(relative), bytes));
  }

  // One indexer's life: prepared, one round, gone (as a server that is stopped or killed).
  bool Index_Once(CTrd_Indexer::sConfig config) {
    CTrd_Indexer indexer(config);
    std::string error;
    EXPECT_TRUE(indexer.Prepare(&error)) << error;
    return indexer.Pass();
  }

  std::string Count(const std::string& where = "TRUE") {
    return Sql(url_, "SELECT count(*) FROM trace_messages WHERE " + where);
  }

  mqw_test::TempDir dir_{"mqw-fleet-index"};
  std::string url_;
};

TEST_F(FleetIndex, EveryMessageOnceAcrossGrowthAndRestarts) {
  const std::string whole = Trd_File(Numbered(50, "m"));
  // The file as a server writes it: first cut inside a packet, then whole.
  Write("host-a_10.0.0.1_7/1.trd", whole.substr(0, whole.size() * 2 / 3 + 3));
  Write("host-b_10.0.0.2_8/1.trd", Trd_File(Numbered(20, "b")));
  {
    CTrd_Indexer indexer(Config());
    std::string error;
    ASSERT_TRUE(indexer.Prepare(&error)) << error;
    EXPECT_FALSE(indexer.Pass() && Count("client = 'host-a_10.0.0.1_7'") == "50");
    const std::string first = Count();
    EXPECT_GT(std::stoi(first), 20);
    // The rest arrives; the same indexer goes on.
    Write("host-a_10.0.0.1_7/1.trd", whole);
    EXPECT_TRUE(indexer.Pass());
    EXPECT_EQ(Count(), "70");
  }
  // Restarts over the same files, and one with a file grown by a second file meanwhile.
  EXPECT_TRUE(Index_Once(Config()));
  Write("host-a_10.0.0.1_7/2.trd", Trd_File(Numbered(5, "n")));
  EXPECT_TRUE(Index_Once(Config()));
  EXPECT_EQ(Count(), "75");
  EXPECT_EQ(Sql(url_, "SELECT count(*) FROM (SELECT client, message FROM trace_messages"
                      " GROUP BY 1, 2 HAVING count(*) > 1) d"),
            "0");
  // The checkpoints name each file with its message count and its whole size.
  EXPECT_EQ(Sql(url_, "SELECT file || ' ' || messages || ' ' || (offset_bytes = " +
                          std::to_string(whole.size()) +
                          ") FROM trace_checkpoints WHERE server = 'srv-a' ORDER BY file"),
            "host-a_10.0.0.1_7/1.trd 50 true\nhost-a_10.0.0.1_7/2.trd 5 false\n"
            "host-b_10.0.0.2_8/1.trd 20 false");
}

TEST_F(FleetIndex, RestartMidFileResumesFromTheCheckpoint) {
  const std::string whole = Trd_File(Numbered(40, "m"));
  // Killed after some batches: a first life saw only part of the file.
  Write("h/1.trd", whole.substr(0, whole.size() - 300));
  Index_Once(Config());
  const int before = std::stoi(Count());
  ASSERT_GT(before, 0);
  ASSERT_LT(before, 40);
  Write("h/1.trd", whole);
  EXPECT_TRUE(Index_Once(Config()));
  EXPECT_EQ(Count(), "40");
  EXPECT_EQ(Sql(url_, "SELECT count(DISTINCT sequence) FROM trace_messages"), "40");
}

TEST_F(FleetIndex, ServersSharingTheDatabaseKeepTheirOwnCheckpoints) {
  Write("h/1.trd", Trd_File(Numbered(10, "m")));
  CTrd_Indexer::sConfig other = Config();
  other.server = "srv-b";
  EXPECT_TRUE(Index_Once(Config()));
  EXPECT_TRUE(Index_Once(other));
  EXPECT_TRUE(Index_Once(Config()));
  EXPECT_EQ(Sql(url_, "SELECT server || ' ' || count(*) FROM trace_messages GROUP BY server ORDER BY 1"),
            "srv-a 10\nsrv-b 10");
}

TEST_F(FleetIndex, TextsAreStoredAsTheViewerShowsThem) {
  const std::vector<std::string> texts = {
      "it's \"quoted\"", "back\\slash \\N \\.", "tab\there", "new\nline\r\n", "bad \xC3 utf8 \xFF\xFE",
"overlong \xC0\xAF", "ok \xE2\x82\xAC", "", "%_*"};
  std::vector<Line> lines;
  for (size_t i = 0; i < texts.size(); ++i) lines.push_back({2, static_cast<uint32_t>(i), texts[i]});
  Write("h/1.trd", Trd_File(lines));
  ASSERT_TRUE(Index_Once(Config()));
  CPg_Connection connection;
  CPg_Result rows;
  std::string error;
  ASSERT_TRUE(connection.Connect(url_, &error));
  ASSERT_TRUE(connection.Exec("SELECT message FROM trace_messages ORDER BY time", {}, &rows, &error))
      << error;
  ASSERT_EQ(rows.Rows(), static_cast<int>(texts.size()));
  for (size_t i = 0; i < texts.size(); ++i) {
    // What the viewer's JSON shows, read back; a NUL (which no text column holds) as U+FFFD.
    std::string shown =
        nlohmann::json::parse(Viewer_Dump(nlohmann::json(texts[i]))).get<std::string>();
    std::string expected;
    for (char c : shown) expected += c == '\0' ? std::string("\xEF\xBF\xBD") : std::string(1, c);
    EXPECT_EQ(rows.Text(static_cast<int>(i), 0), expected) << "case " << i;
  }
}

TEST_F(FleetIndex, RowsCarryTheFileHeaderAndTheRecord) {
  Write("sensor_10.1.2.3_42/1.trd", Trd_File({{4, 3, "boom"}}));
  ASSERT_TRUE(Index_Once(Config()));
  EXPECT_EQ(Sql(url_, "SELECT concat_ws('|', server, client, channel, level, level_name, thread,"
                      " message, sequence, (extract(epoch FROM time) * 1000000)::bigint)"
                      " FROM trace_messages"),
            "srv-a|sensor_10.1.2.3_42|Chan|4|error|66|boom|1|" +
                std::to_string(viewer_test::Time_Of(3)));
}

TEST_F(FleetIndex, IndexLevelStoresOnlyFromItButCountsEverything) {
  Write("h/1.trd", Trd_File({{0, 0, "t"}, {2, 1, "i"}, {3, 2, "w"}, {5, 3, "c"}}));
  CTrd_Indexer::sConfig config = Config();
  config.min_level = 3;
  ASSERT_TRUE(Index_Once(config));
  EXPECT_EQ(Sql(url_, "SELECT string_agg(message, ',' ORDER BY time) FROM trace_messages"), "w,c");
  EXPECT_EQ(Sql(url_, "SELECT messages FROM trace_checkpoints"), "4");
}

TEST_F(FleetIndex, DatabaseDownThenBackGoesOnFromTheCheckpoints) {
  Write("h/1.trd", Trd_File(Numbered(10, "a")));
  CTrd_Indexer indexer(Config());
  std::string error;
  ASSERT_TRUE(indexer.Prepare(&error)) << error;
  ASSERT_TRUE(indexer.Pass());
  ASSERT_TRUE(fleet_test::Stop_Server());
  Write("h/2.trd", Trd_File(Numbered(30, "b")));
  EXPECT_FALSE(indexer.Pass());
  const CTrd_Indexer::sStatus down = indexer.Status();
  EXPECT_FALSE(down.connected);
  EXPECT_GT(down.lag_messages, 0u);
  EXPECT_GT(down.lag_bytes, 0u);
  // Only what is not in the database counts: the second file, not the first.
  const uint64_t second_file = Trd_File(Numbered(30, "b")).size();
  EXPECT_LE(down.lag_bytes, second_file);
  EXPECT_FALSE(down.last_error.empty());
  ASSERT_TRUE(fleet_test::Start_Server());
  EXPECT_TRUE(indexer.Pass());
  EXPECT_TRUE(indexer.Status().connected);
  EXPECT_EQ(indexer.Status().lag_messages, 0u);
  EXPECT_EQ(Count(), "40");
}

TEST_F(FleetIndex, PrepareRefusesWhatItCannotUse) {
  CTrd_Indexer::sConfig config = Config();
  struct sCase {
    std::string url;
    std::string says;
  } cases[] = {
      {"postgresql://trace@/nosuchdb?host=" + url_.substr(url_.find("host=") + 5), "nosuchdb"},
      {url_.substr(0, url_.find("trace@")) + "locked@" + url_.substr(url_.find('@') + 1),
       "password"},
      {"postgresql://x:secret@[::1", "malformed"},
      {"host=/nonexistent/dir", "cannot connect"},
  };
  for (const sCase& c : cases) {
    config.url = c.url;
    CTrd_Indexer indexer(config);
    std::string error;
    EXPECT_FALSE(indexer.Prepare(&error)) << c.url;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_EQ(error.find("secret"), std::string::npos) << error;
  }
}

TEST_F(FleetIndex, SchemaVersionRule) {
  EXPECT_TRUE(Index_Once(Config()));
  EXPECT_EQ(Sql(url_, "SELECT version FROM trace_schema"), std::to_string(kIndex_Schema_Version));
  // A second server finds the schema made and leaves it.
  EXPECT_TRUE(Index_Once(Config()));
  EXPECT_EQ(Sql(url_, "SELECT count(*) FROM trace_schema"), "1");
  // A newer server changed it: this one refuses, naming both versions.
  Sql(url_, "UPDATE trace_schema SET version = 99");
  CTrd_Indexer indexer(Config());
  std::string error;
  EXPECT_FALSE(indexer.Prepare(&error));
  EXPECT_NE(
      error.find("version 99, newer than this server's " + std::to_string(kIndex_Schema_Version)),
      std::string::npos)
      << error;
}

TEST_F(FleetIndex, RetentionDropsWholeOldDaysAndClosedDaysGetTheirTextIndex) {
  CPg_Connection connection;
  std::string error;
  ASSERT_TRUE(connection.Connect(url_, &error));
  ASSERT_TRUE(Ensure_Index_Schema(&connection, &error)) << error;
  const int64_t today = static_cast<int64_t>(time(nullptr)) / 86400;
  for (int64_t day : {today - 40, today - 3, today - 2, today}) {
    ASSERT_TRUE(Ensure_Day_Partition(&connection, day, &error)) << error;
    Sql(url_, "INSERT INTO trace_names VALUES ('epoch'::date + " + std::to_string(day) +
                  ", 0, 'h', 'h')");
  }
  int dropped = 0;
  ASSERT_TRUE(Drop_Partitions_Before(&connection, today - 2, &dropped, &error)) << error;
  EXPECT_EQ(dropped, 2);
  // The dropped days' names go with them.
  EXPECT_EQ(
      Sql(url_,
          "SELECT string_agg((day - 'epoch'::date)::text, ',' ORDER BY day) FROM trace_names"),
      std::to_string(today - 2) + "," + std::to_string(today));
  EXPECT_EQ(Sql(url_, "SELECT string_agg(c.relname, ',' ORDER BY c.relname) FROM pg_inherits i"
                      " JOIN pg_class c ON c.oid = i.inhrelid"
                      " WHERE i.inhparent = 'trace_rows'::regclass"),
            Index_Partition_Name(today - 2) + "," + Index_Partition_Name(today));
  // Closing days: every day before today gets its trigram index, today none yet.
  int closed = 0;
  ASSERT_TRUE(Close_Day_Partitions(&connection, today, &closed, &error)) << error;
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(Sql(url_, "SELECT string_agg(indexname, ',') FROM pg_indexes WHERE indexdef LIKE '%gin_trgm_ops%'"),
            Index_Partition_Name(today - 2) + "_message");
  ASSERT_TRUE(Close_Day_Partitions(&connection, today, &closed, &error)) << error;
  EXPECT_EQ(closed, 0);
}

TEST_F(FleetIndex, MessagesPastTheRetentionAreCountedNotStored) {
  // The fixture's messages are from January 2026, long before a one-day retention.
  Write("h/1.trd", Trd_File(Numbered(3, "old")));
  CTrd_Indexer::sConfig config = Config();
  config.keep_days = 1;
  ASSERT_TRUE(Index_Once(config));
  EXPECT_EQ(Count(), "0");
  EXPECT_EQ(Sql(url_, "SELECT messages FROM trace_checkpoints"), "3");
}

// The fleet source's selections over two hosts, run straight against the database.
class FleetQuery : public FleetIndex {
 protected:
  void SetUp() override {
    FleetIndex::SetUp();
    Write("sensor-1_10.0.0.1_1/1.trd",
          Trd_File({{0, 0, "Boot done"}, {4, 1, "Disk FULL"}, {2, 2, "50% used_x"}, {5, 3, "panic"}}));
    Write("gate-7_10.0.0.2_2/1.trd", Trd_File({{3, 0, "disk slow"}, {2, 1, "hello"}}));
    ASSERT_TRUE(Index_Once(Config()));
    auto connection = std::make_unique<CPg_Connection>();
    std::string error;
    ASSERT_TRUE(connection->Connect(url_, &error)) << error;
    query_ = std::make_unique<CFleet_Query>(std::move(connection));
  }

  std::string Texts(const std::map<std::string, std::string>& params, std::string* next = nullptr) {
    sFleet_Filter filter;
    std::string error;
    if (!filter.Parse(viewer_test::Param_Lookup(params), &error))
      return "refused: " + error;
    CFleet_Query::sPage page;
    const uint32_t limit = params.count("limit") ? std::stoul(params.at("limit")) : 100;
    if (!query_->Page(filter, limit, 2000, &page, &error)) return "failed: " + error;
    if (next) *next = page.more ? page.next : "";
    std::string out;
    for (const sFleet_Row& row : page.messages) out += (out.empty() ? "" : ",") + row.message.text;
    return out;
  }

  std::unique_ptr<CFleet_Query> query_;
};

TEST_F(FleetQuery, Selections) {
  const struct {
    std::map<std::string, std::string> params;
    std::string texts;
  } cases[] = {
      // Equal times are ordered by server, then client.
      {{{"order", "oldest"}}, "disk slow,Boot done,hello,Disk FULL,50% used_x,panic"},
      {{}, "panic,50% used_x,Disk FULL,hello,Boot done,disk slow"},
      {{{"level", "warning"}, {"order", "oldest"}}, "disk slow,Disk FULL,panic"},
      {{{"level", "4"}}, "panic,Disk FULL"},
      {{{"text", "disk"}, {"order", "oldest"}}, "disk slow,Disk FULL"},
      {{{"text", "disk"}, {"case", "1"}}, "disk slow"},
      {{{"text", "50%"}}, "50% used_x"},
      {{{"text", "%"}}, "50% used_x"},
      {{{"text", "d_x"}}, "50% used_x"},
      {{{"text", "d%x"}}, ""},
      {{{"text", "d*x"}}, ""},
      {{{"re", "^(boot|panic)"}}, "panic,Boot done"},
      {{{"re", "^Disk"}, {"case", "1"}}, "Disk FULL"},
      {{{"host", "gate-*"}}, "hello,disk slow"},
      {{{"host", "sensor-1_10.0.0.1_1"}, {"level", "5"}}, "panic"},
      {{{"host", "*,!sensor*"}}, "hello,disk slow"},
      {{{"host", "!gate-7_10.0.0.2_2"}, {"text", "o"}}, "Boot done"},
      {{{"host", "nobody"}}, ""},
      {{{"host", "gate%"}}, ""},
      {{{"channel", "Chan"}, {"module", "!x"}, {"level", "5"}}, "panic"},
      {{{"thread", "66"}, {"level", "5"}}, "panic"},
      {{{"from_us", std::to_string(viewer_test::Time_Of(1))},
        {"to_us", std::to_string(viewer_test::Time_Of(3))}, {"order", "oldest"}},
       "hello,Disk FULL,50% used_x"},
      {{{"level", "loud"}}, "refused: level: 0..5 or a level name"},
      {{{"from_us", "x"}}, "refused: from_us: not a number"},
      {{{"order", "sideways"}}, "refused: order: newest or oldest"},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& [name, value] : c.params) shown += name + "=" + value + " ";
    EXPECT_EQ(Texts(c.params), c.texts) << shown;
  }
  // An expression the database refuses is an error, not a crash or an empty page.
  EXPECT_EQ(Texts({{"re", "("}}).rfind("failed: ", 0), 0u);
  EXPECT_EQ(Texts({{"after", "zz"}}), "failed: after: not a cursor of this source");
}

TEST_F(FleetQuery, KeysetPagesVisitEveryRowOnceInBothOrders) {
  for (const char* order : {"newest", "oldest"}) {
    std::vector<std::string> seen;
    std::string next;
    for (int page = 0; page < 10; ++page) {
      std::map<std::string, std::string> params = {{"order", order}, {"limit", "4"}};
      if (page) params["after"] = next;
      const std::string texts = Texts(params, &next);
      seen.push_back(texts);
      if (next.empty()) break;
    }
    ASSERT_EQ(seen.size(), 2u) << order;
    const std::string all = Texts({{"order", order}});
    EXPECT_EQ(seen[0] + "," + seen[1], all) << order;
  }
}

TEST_F(FleetQuery, TimelineCountsPerLevelFromTheDatabase) {
  sFleet_Filter filter;
  std::string error;
  ASSERT_TRUE(filter.Parse([](const char*) { return std::nullopt; }, &error));
  filter.hosts = {{false, true, "sensor*"}};
  CTimeline::sBuckets buckets;
  uint64_t total = 0;
  ASSERT_TRUE(query_->Timeline(filter, 4, 2000, &buckets, &total, &error)) << error;
  EXPECT_EQ(total, 4u);
  CTimeline::tCounts sum{};
  for (const auto& bucket : buckets.counts)
    for (size_t level = 0; level < 6; ++level) sum[level] += bucket[level];
  EXPECT_EQ(sum, (CTimeline::tCounts{1, 0, 1, 0, 1, 1}));
  EXPECT_LE(buckets.counts.size(), 4u);
}

// The details pane's context of a fleet row: the row named by its identity, and the lines either
// side of it in its own client's stream only, in (time, record sequence) order, unfiltered.
TEST_F(FleetQuery, ContextIsTheRowsAroundOneRowOfTheSameClient) {
  // Seconds repeat (equal times keep the records' order) and overlap the other hosts' seconds.
  const std::vector<Line> lines = {{2, 1, "c0"}, {2, 2, "c1"}, {0, 2, "c2"}, {4, 2, "c3"},
                                   {2, 2, "c4"}, {2, 3, "c5"}, {2, 4, "c6"}};
  Write("ctx-3_10.0.0.3_3/1.trd", Trd_File(lines));
  ASSERT_TRUE(Index_Once(Config()));
  sFleet_Filter filter;
  std::string error;
  ASSERT_TRUE(filter.Parse([](const char*) { return std::nullopt; }, &error));
  filter.hosts = {{false, false, "ctx-3_10.0.0.3_3"}};
  filter.newest = false;
  CFleet_Query::sPage page;
  ASSERT_TRUE(query_->Page(filter, 100, 2000, &page, &error)) << error;
  ASSERT_EQ(page.messages.size(), 7u);
  std::map<std::string, uint64_t> id_of;
  std::set<uint64_t> ids;
  for (const sFleet_Row& row : page.messages) {
    id_of[row.message.text] = row.message.sequence;
    ids.insert(row.message.sequence);
  }
  EXPECT_EQ(ids.size(), 7u) << "every row has an identity of its own";

  auto texts = [](const std::vector<sFleet_Row>& rows) {
    std::string out;
    for (const sFleet_Row& row : rows) out += (out.empty() ? "" : ",") + row.message.text;
    return out;
  };
  const struct {
    const char* row;
    uint32_t lines;
    const char* before;
    const char* after;
  } cases[] = {
      {"c3", 2, "c1,c2", "c4,c5"},  // the equal-time neighbours by record order
      {"c3", 0, "", ""},
      {"c0", 3, "", "c1,c2,c3"},
      {"c6", 10, "c0,c1,c2,c3,c4,c5", ""},
      {"c2", 1, "c1", "c3"},  // a trace line among info lines: the context is unfiltered
  };
  for (const auto& c : cases) {
    CFleet_Query::sContext context;
    ASSERT_TRUE(query_->Context(id_of.at(c.row), c.lines, 2000, &context, &error)) << error;
    ASSERT_TRUE(context.found) << c.row;
    EXPECT_EQ(context.row.message.text, c.row);
    EXPECT_EQ(context.row.message.sequence, id_of.at(c.row));
    EXPECT_EQ(context.row.message.host, "ctx-3_10.0.0.3_3");
    EXPECT_EQ(texts(context.before), c.before) << c.row << " " << c.lines;
    EXPECT_EQ(texts(context.after), c.after) << c.row << " " << c.lines;
  }
  // The record's own sequence travels beside the identity.
  CFleet_Query::sContext context;
  ASSERT_TRUE(query_->Context(id_of.at("c4"), 1, 2000, &context, &error)) << error;
  EXPECT_EQ(context.row.record_sequence + 1, context.after.at(0).record_sequence);
  EXPECT_EQ(context.before.at(0).record_sequence + 1, context.row.record_sequence);
  // An identity no row has: not found, no lines, no error.
  ASSERT_TRUE(query_->Context(*ids.rbegin() + 1000, 5, 2000, &context, &error)) << error;
  EXPECT_FALSE(context.found);
  EXPECT_TRUE(context.before.empty() && context.after.empty());
}

// The lists of names come from trace_names, which the indexer fills with the rows: they hold
// what the rows hold (the rows themselves are the oracle), per day and host.
TEST_F(FleetQuery, NamesOfTheRangesDaysAndTheSelectedHosts) {
  // Another day and another host, with a name of its own.
  Write("late-9_10.0.0.9_9/1.trd", Trd_File({{2, 3 * 86400, "three days later"}}));
  ASSERT_TRUE(Index_Once(Config()));
  auto names = [&](const std::map<std::string, std::string>& params, uint32_t limit = 100) {
    sFleet_Filter filter;
    std::string error;
    EXPECT_TRUE(filter.Parse(viewer_test::Param_Lookup(params), &error));
    CFleet_Query::sNames out;
    EXPECT_TRUE(query_->Names(filter, limit, 2000, &out, &error)) << error;
    auto join = [](const std::vector<std::string>& list) {
      std::string text;
      for (const std::string& item : list) text += (text.empty() ? "" : ",") + item;
      return text;
    };
    return join(out.hosts) + "|" + join(out.channels) + "|" + join(out.modules) + "|" +
           join(out.threads) + "|" + std::to_string(out.omitted);
  };
  auto distinct = [&](const char* column, const std::string& where) {
    return Sql(url_, std::string("SELECT coalesce(string_agg(DISTINCT ") + column + ", ','), '')" +
                         " FROM trace_rows WHERE " + column + " <> '' AND " + where);
  };
  const std::string second_day = std::to_string(viewer_test::Time_Of(2 * 86400));
  const std::string all = "gate-7_10.0.0.2_2,late-9_10.0.0.9_9,sensor-1_10.0.0.1_1|" +
                          distinct("channel", "TRUE") + "|" + distinct("module", "TRUE") + "|" +
                          distinct("thread_name", "TRUE") + "|0";
  EXPECT_NE(distinct("channel", "TRUE"), "");
  EXPECT_EQ(names({{"from_us", "0"}}), all);
  EXPECT_EQ(names({{"from_us", "0"}, {"to_us", second_day}}),
            "gate-7_10.0.0.2_2,sensor-1_10.0.0.1_1|" +
                distinct("channel", "client <> 'late-9_10.0.0.9_9'") + "|" +
                distinct("module", "client <> 'late-9_10.0.0.9_9'") + "|" +
                distinct("thread_name", "client <> 'late-9_10.0.0.9_9'") + "|0");
  EXPECT_EQ(names({{"from_us", second_day}}).substr(0, 18), "late-9_10.0.0.9_9|");
  EXPECT_EQ(names({{"from_us", "0"}, {"host", "gate*,late*,!late*"}}).substr(0, 18),
            "gate-7_10.0.0.2_2|");
  // A range ending where the rows' first day begins touches none of their days; one ending a
  // microsecond later touches the first.
  const int64_t day_start = viewer_test::Time_Of(0) / 86400000000 * 86400000000;
  EXPECT_EQ(names({{"from_us", "0"}, {"to_us", std::to_string(day_start)}}), "||||0");
  EXPECT_EQ(names({{"from_us", "0"}, {"to_us", std::to_string(day_start + 1)}}).substr(0, 38),
            "gate-7_10.0.0.2_2,sensor-1_10.0.0.1_1|");
  EXPECT_EQ(names({{"from_us", "0"}}, 1).substr(0, 18), "gate-7_10.0.0.2_2|");
  EXPECT_EQ(names({{"from_us", "0"}}, 1).back(), '1');  // hosts had more
}

// A schema of version 1 with rows in it is migrated: its rows get identities, new rows too.
TEST_F(FleetIndex, VersionOneRowsGetIdentitiesWhenMigrated) {
  const char* const kVersion_One[] = {
      "CREATE EXTENSION IF NOT EXISTS pg_trgm",
      "CREATE TABLE trace_schema (version integer NOT NULL)",
      "INSERT INTO trace_schema VALUES (1)",
      "CREATE TABLE trace_rows (time timestamptz NOT NULL, server text NOT NULL,"
      " client text NOT NULL, address text, pid bigint, process_start timestamptz,"
      " channel text, level smallint NOT NULL, module text, thread bigint, thread_name text,"
      " cpu integer, file text, line integer, function text, message text, sequence bigint)"
      " PARTITION BY RANGE (time)",
      "CREATE TABLE trace_rows_p20260101 PARTITION OF trace_rows"
      " FOR VALUES FROM ('2026-01-01 00:00:00+00') TO ('2026-01-02 00:00:00+00')",
      "CREATE TABLE trace_checkpoints (server text NOT NULL, file text NOT NULL,"
      " messages bigint NOT NULL, offset_bytes bigint NOT NULL,"
      " updated timestamptz NOT NULL DEFAULT now(), PRIMARY KEY (server, file))",
      "CREATE VIEW trace_messages AS SELECT time, server, client, address, pid, channel, level,"
      " 'info'::text AS level_name, module, thread, thread_name, file, line, function, message,"
      " sequence FROM trace_rows",
      "INSERT INTO trace_rows (time, server, client, level, message, sequence) VALUES"
      " ('2026-01-01 10:00:00+00', 'old', 'h', 2, 'a', 1),"
      " ('2026-01-01 10:00:01+00', 'old', 'h', 2, 'b', 2)",
  };
  for (const char* statement : kVersion_One)
    ASSERT_EQ(Sql(url_, statement).rfind("error:", 0), std::string::npos) << statement;
  Write("host_10.0.0.1_1/1.trd", Trd_File(Numbered(3, "new-")));
  ASSERT_TRUE(Index_Once(Config()));
  EXPECT_EQ(Sql(url_, "SELECT version FROM trace_schema"), std::to_string(kIndex_Schema_Version));
  EXPECT_EQ(Sql(url_, "SELECT count(DISTINCT id) FROM trace_rows"), "5");
  // The old rows' names are in trace_names, beside the new ones.
  EXPECT_EQ(Sql(url_, "SELECT string_agg(name, ',' ORDER BY name) FROM trace_names WHERE kind = 0"),
            "h,host_10.0.0.1_1");
  EXPECT_EQ(Count(), "5");
}

TEST(FleetText, CopyEscapesAndCleaning) {
  std::string out;
  Append_Copy_Field("a\\b\tc\nd\re", &out);
  EXPECT_EQ(out, "a\\\\b\\tc\\nd\\re");
  EXPECT_EQ(Index_Text("plain \xE2\x82\xAC"), "plain \xE2\x82\xAC");
  EXPECT_EQ(Index_Text(std::string("a\0b", 3)), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(Index_Text("\xED\xA0\x80"), Index_Text("\xED\xA0\x80"));  // a surrogate is replaced
  EXPECT_EQ(Index_Text("\xED\xA0\x80").find('\xED'), std::string::npos);
}

}  // namespace
