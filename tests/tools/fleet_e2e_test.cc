// The fleet end to end, shortened from `./run fleet`: a private PostgreSQL, three trace servers
// indexing into it, fleet-sim's hosts sending to them. One server is killed with SIGKILL and
// started again mid-run, and the database is stopped and started again mid-run; at the end every
// message the servers' files hold is in the database exactly once, and the first server's viewer
// answers the "fleet" source over HTTP with messages of every server.
//
// In a private network namespace (fixed loopback ports).
#include <httplib.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <map>
#include <thread>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <mqtt-wrapper/TRTextSink.h>

#include "fleet_database.h"
#include "support/program.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "trace/decode/trace_file_reader.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// Polls `probe` every 100 ms (each look is a request or a query) until it is true or `limit`
// passed.
bool Eventually(const std::function<bool()>& probe, std::chrono::milliseconds limit) {
  return mqw_test::Wait_Until(probe, limit, 100ms);
}

struct sCounter final : public CClTextSink {
  uint64_t count = 0;
  uint32_t Initialize(char**, int) override { return 0; }
  uint32_t Log(const sLog*, const char*, uint64_t) override {
    ++count;
    return 0;
  }
  uint32_t DumpBuffers() override { return 0; }
};

// Messages per client directory in the files under `directory`, decoded as the indexer does.
std::map<std::string, uint64_t> Count_Files(const std::string& directory) {
  std::map<std::string, uint64_t> counts;
  for (const std::string& client : mqw_test::Directory_Entries(directory)) {
    for (const std::string& file : mqw_test::Directory_Entries(directory + "/" + client)) {
      sCounter counter;
      CTrace_File_Reader reader;
      reader.Init("%ms", &counter);
      const std::string bytes = mqw_test::Read_File(directory + "/" + client + "/" + file);
      reader.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      counts[client] += counter.count;
    }
  }
  return counts;
}

class FleetEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Valid());
    url_ = fleet_test::New_Database();
    ASSERT_FALSE(url_.empty());
    ASSERT_TRUE(mqw_test::Write_File(dir_.File("token"), "fleet-token\n"));
  }

  void TearDown() override {
    for (pid_t pid : servers_)
      if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
  }

  void Start_Server(int n) {
    std::vector<std::string> args = {"--listen", "127.0.0.1:" + std::to_string(9200 + n),
                                     "--dir", dir_.File("server-" + std::to_string(n)),
                                     "--index", url_, "--index-name", "server-" + std::to_string(n),
                                     "--max-clients-per-address", "1000"};
    if (n == 1) {
      args.insert(args.end(), {"--http", "127.0.0.1:0", "--http-token-file", dir_.File("token")});
    }
    const std::string out = dir_.File("server-" + std::to_string(n) + ".out");
    const std::string err = dir_.File("server-" + std::to_string(n) + ".err");
    servers_[n - 1] = mqw_test::Spawn_Program(TRACE_SERVER_PATH, args, out, err);
    ASSERT_GT(servers_[n - 1], 0);
    ASSERT_TRUE(Eventually(
        [&] { return mqw_test::Read_File(out).find("listening on") != std::string::npos; }, 20s))
        << mqw_test::Read_File(err);
  }

  mqw_test::TempDir dir_{"fleet-e2e"};
  std::string url_;
  pid_t servers_[3] = {-1, -1, -1};
};

TEST_F(FleetEndToEnd, EveryStoredMessageIndexedOnceAcrossAKilledServerAndADatabaseRestart) {
  for (int n = 1; n <= 3; ++n) ASSERT_NO_FATAL_FAILURE(Start_Server(n));
  const pid_t sim = mqw_test::Spawn_Program(
      FLEET_SIM_PATH,
      {"--servers", "127.0.0.1:9201,127.0.0.1:9202,127.0.0.1:9203", "--hosts", "24", "--rate",
       "50", "--seconds", "8"},
      dir_.File("sim.out"), dir_.File("sim.err"));
  ASSERT_GT(sim, 0);

  std::this_thread::sleep_for(2s);
  kill(servers_[1], SIGKILL);
  ASSERT_EQ(mqw_test::Wait_Status(servers_[1], 10s), 128 + SIGKILL);
  ASSERT_NO_FATAL_FAILURE(Start_Server(2));

  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(fleet_test::Stop_Server());
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(fleet_test::Start_Server());

  ASSERT_EQ(mqw_test::Wait_Status(sim, 60s), 0) << mqw_test::Read_File(dir_.File("sim.err"));

  // The viewer of server 1 searches every server's hosts once the index has caught up.
  uint16_t http_port = 0;
  sscanf(mqw_test::Read_File(dir_.File("server-1.out")).c_str(),
         "listening on 127.0.0.1:%*u\nviewer on http://127.0.0.1:%hu/", &http_port);
  ASSERT_NE(http_port, 0);
  httplib::Client client("127.0.0.1", http_port);
  client.set_read_timeout(30, 0);
  const httplib::Headers token{{"X-Trace-Token", "fleet-token"}};
  auto get = [&](const std::string& path) {
    auto result = client.Get(path.c_str(), token);
    return result && result->status == 200 ? json::parse(result->body, nullptr, false) : json();
  };
  ASSERT_TRUE(Eventually(
      [&] {
        const json info = get("/api/info");
        return info.is_object() && info.value("fleet", false) &&
               info["index"].value("connected", false) &&
               info["index"].value("lag_messages", 1) == 0;
      },
      30s));
  // Every server's index catches up with its files (the sender has ended), so that what the
  // fleet source answers below no longer changes between two requests.
  auto in_all_files = [&] {
    uint64_t count = 0;
    for (int n = 1; n <= 3; ++n)
      for (const auto& entry : Count_Files(dir_.File("server-" + std::to_string(n))))
        count += entry.second;
    return std::to_string(count);
  };
  ASSERT_TRUE(Eventually(
      [&] { return fleet_test::Sql(url_, "SELECT count(*) FROM trace_messages") == in_all_files(); },
      60s));
  const json sources = get("/api/stored/sources");
  ASSERT_TRUE(sources.is_object());
  EXPECT_EQ(sources["sources"].back(), (json{{"path", "fleet"}, {"kind", "fleet"}, {"files", json::array()}}));
  // gw-0002 sends to server 2, gw-0003 to server 3: both are searchable from server 1.
  for (const char* host : {"gw-0002*", "gw-0003*"}) {
    const json page = get(std::string("/api/stored/messages?source=fleet&limit=3&host=") + host);
    ASSERT_TRUE(page.is_object()) << host;
    EXPECT_EQ(page["messages"].size(), 3u) << host;
    EXPECT_TRUE(page["more"].get<bool>());
    EXPECT_TRUE(page.contains("took_ms"));
    EXPECT_EQ(page["messages"][0]["host"].get<std::string>().rfind(std::string(host, 7), 0), 0u);
  }

  // A row's context names the row by its "seq" and holds lines of its own host only, in time
  // order; the record's own number travels as "record_seq".
  {
    const json page = get("/api/stored/messages?source=fleet&limit=1&order=oldest&host=gw-0002*");
    ASSERT_TRUE(page.is_object());
    ASSERT_EQ(page["messages"].size(), 1u);
    const json& row = page["messages"][0];
    EXPECT_TRUE(row.contains("record_seq"));
    const json context =
        get("/api/context?source=fleet&lines=3&seq=" + std::to_string(row["seq"].get<uint64_t>()));
    ASSERT_TRUE(context.is_object());
    EXPECT_EQ(context["message"], row);
    EXPECT_TRUE(context["before"].empty());  // the host's oldest row
    ASSERT_EQ(context["after"].size(), 3u);
    int64_t last = row["time_us"].get<int64_t>();
    for (const json& line : context["after"]) {
      EXPECT_EQ(line["host"], row["host"]);
      EXPECT_GE(line["time_us"].get<int64_t>(), last);
      last = line["time_us"].get<int64_t>();
    }
    auto refused = client.Get("/api/context?source=fleet&seq=x", token);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 400);
    const json gone = get("/api/context?source=fleet&lines=3&seq=999999999999");
    ASSERT_TRUE(gone.is_object());
    EXPECT_TRUE(gone["message"].is_null());
  }

  // The names to choose from, and a timeline and an export of the same selection agree.
  const json names = get("/api/names?source=fleet&from_us=0");
  ASSERT_TRUE(names.is_object());
  EXPECT_EQ(names["hosts"].size(), 24u);
  EXPECT_EQ(names["channels"], json::array({"App"}));
  const json timeline = get("/api/stored/timeline?source=fleet&level=critical");
  ASSERT_TRUE(timeline.is_object());
  auto exported = client.Get("/api/export?source=fleet&format=json&level=critical", token);
  ASSERT_TRUE(exported && exported->status == 200);
  EXPECT_EQ(mqw_test::Split_Lines(exported->body).size(), timeline["total"].get<uint64_t>());
  EXPECT_GT(timeline["total"].get<uint64_t>(), 0u);

  // The servers end (SIGTERM): each indexes what it wrote last before leaving.
  for (pid_t& pid : servers_) {
    kill(pid, SIGTERM);
    EXPECT_EQ(mqw_test::Wait_Status(pid, 30s), 0);
    pid = -1;
  }
  uint64_t in_files = 0;
  for (int n = 1; n <= 3; ++n) {
    const std::string server = "server-" + std::to_string(n);
    const std::map<std::string, uint64_t> files = Count_Files(dir_.File(server));
    std::map<std::string, uint64_t> indexed;
    const std::string rows = fleet_test::Sql(
        url_, "SELECT client || ' ' || count(*) FROM trace_messages WHERE server = '" + server +
                  "' GROUP BY client");
    for (const std::string& line : mqw_test::Split_Lines(rows)) {
      const size_t space = line.find(' ');
      indexed[line.substr(0, space)] = std::stoull(line.substr(space + 1));
    }
    EXPECT_EQ(indexed, files) << server;
    for (const auto& entry : files) in_files += entry.second;
  }
  EXPECT_GT(in_files, 3000u);
  // The timeline and export of the fleet source count the same rows.
  EXPECT_EQ(fleet_test::Sql(url_, "SELECT count(*) FROM trace_messages"), std::to_string(in_files));
}

}  // namespace
