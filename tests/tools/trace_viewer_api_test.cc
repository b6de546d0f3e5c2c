// The viewer's JSON API over real HTTP on a loopback port: an in-process CViewer_Server whose hub
// the test fills as the receiving loop would, and whose served directory holds files built byte
// by byte. Checks hosts, live pages and events, verbosity requests and their token rule, stored
// pages, filters, timeline, export, path rules and the page's security headers; then who may
// ask (Host, token, cookie, Origin) and the bounds that keep any one connection from holding
// the server, each attack sent as raw bytes.
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "access_token.h"
#include "server_options.h"
#include "request_rules.h"
#include "support/http_client.h"
#include "support/temp_dir.h"
#include "trace/viewer/viewer_fixture.h"
#include "viewer_server.h"

namespace {

using nlohmann::json;
using viewer_test::Message;

class ViewerApi : public ::testing::Test {
 protected:
  static constexpr const char* kToken = "t0ken";

  void SetUp() override {
    ASSERT_TRUE(dir_.Valid());
    const std::string served = dir_.File("served");
    ASSERT_EQ(mkdir(served.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((served + "/host-a").c_str(), 0755), 0);
    ASSERT_TRUE(mqw_test::Write_File(
        served + "/host-a/20260102-030405-001.trd",
        viewer_test::Trd_File({{2, 0, "a0"}, {3, 1, "a1 <b>x</b>"}, {1, 2, "a2"}, {4, 2, "a3"}})));
    ASSERT_TRUE(mqw_test::Write_File(dir_.File("outside.trd"), viewer_test::Trd_File({{5, 0, "no"}})));
    ASSERT_EQ(symlink(dir_.File("outside.trd").c_str(), (served + "/out.trd").c_str()), 0);
    // Cut inside its only data packet: damaged, reported, the rest of the directory serves.
    const std::string whole = viewer_test::Trd_File({{2, 0, "cut"}});
    ASSERT_TRUE(mqw_test::Write_File(served + "/cut.trd", whole.substr(0, whole.size() - 3)));

    sHost_Status host;
    host.name = "sensor_127.0.0.1_42";
    host.client = "sensor";
    host.address = "127.0.0.1:5000";
    host.process_id = 42;
    host.connected = true;
    host.records = 9;
    host.rate = 80000;  // the last interval's count, also published with the host's leaving
    host.skipped = 7;
    host.channels = {{0, "Trace channel 1", 3, {{1, "net", 2}, {2, "disk", kUnknown_Level}}}};
    hub_.Update_Host(host);
    host.name = "old_127.0.0.1_7";
    host.connected = false;
    hub_.Update_Host(host);
    served_ = served;
    Restart([](CViewer_Server::sConfig&) {});
  }

  // (Re)starts the server with the test's defaults as `change` leaves them.
  void Restart(const std::function<void(CViewer_Server::sConfig&)>& change) {
    if (server_) server_->Stop();
    server_.reset();
    CViewer_Server::sConfig config;
    config.port = 0;
    config.token = kToken;
    config.directory = served_;
    config.version = "test";
    change(config);
    server_ = std::make_unique<CViewer_Server>(config, &hub_);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->Port());
    client_->set_read_timeout(10, 0);
    host_ = "127.0.0.1:" + std::to_string(server_->Port());
  }

  static httplib::Headers Auth() { return {{"X-Trace-Token", kToken}}; }

  // A raw request's answer on a fresh connection.
  mqw_test::HttpClient::Response Raw(const std::string& request) {
    mqw_test::HttpClient raw(server_->Port());
    EXPECT_TRUE(raw.Connected());
    raw.Send(request);
    return raw.Read();
  }

  void TearDown() override {
    if (server_) server_->Stop();
  }

  // GET `path`: status and parsed body (null when it is not JSON).
  std::pair<int, json> Get(const std::string& path) {
    auto result = client_->Get(path.c_str(), Auth());
    if (!result) {
      ADD_FAILURE() << "no answer to " << path;
      return {0, json()};
    }
    return {result->status, json::parse(result->body, nullptr, false)};
  }

  int Post_Verbosity(const json& body, const char* token) {
    httplib::Headers headers;
    if (token) headers.emplace("X-Trace-Token", token);
    auto result = client_->Post("/api/verbosity", headers, body.dump(), "application/json");
    return result ? result->status : 0;
  }

  static std::vector<std::string> Texts(const json& messages) {
    std::vector<std::string> texts;
    for (const json& message : messages) texts.push_back(message["text"].get<std::string>());
    return texts;
  }

  mqw_test::TempDir dir_{"viewer-api"};
  std::string served_;
  std::string host_;  // our own Host value
  CViewer_Hub hub_{8};
  std::unique_ptr<CViewer_Server> server_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(ViewerApi, HostsShowCountersChannelsAndModules) {
  auto [status, body] = Get("/api/hosts");
  ASSERT_EQ(status, 200);
  ASSERT_EQ(body["hosts"].size(), 2u);
  const json& sensor = body["hosts"][1];
  EXPECT_EQ(sensor["name"], "sensor_127.0.0.1_42");
  EXPECT_EQ(sensor["connected"], true);
  EXPECT_EQ(sensor["records"], 9);
  EXPECT_EQ(sensor["channels"][0]["name"], "Trace channel 1");
  EXPECT_EQ(sensor["channels"][0]["modules"][0]["name"], "net");
  // Levels as known: the channel's own and each module's, null when never reported or set.
  EXPECT_EQ(sensor["channels"][0]["level"], 3);
  EXPECT_EQ(sensor["channels"][0]["modules"][0]["level"], 2);
  EXPECT_TRUE(sensor["channels"][0]["modules"][1]["level"].is_null());
  EXPECT_EQ(sensor["rate"], 80000);
  EXPECT_EQ(sensor["skipped"], 7);  // stored, not decoded for the viewer
  EXPECT_EQ(body["hosts"][0]["connected"], false);
  EXPECT_EQ(body["hosts"][0]["rate"], 0);  // a gone host sends nothing
  EXPECT_EQ(Get("/api/info").second["fleet"], false);  // no database-backed source here
}

TEST_F(ViewerApi, LivePagesFilterAndReportWhatTheRingDropped) {
  for (int i = 0; i < 12; ++i)
    hub_.Ring().Push(Message(i % 2 ? "h1" : "h2", static_cast<uint32_t>(i % 4 == 3 ? 4 : 2),
                             "m" + std::to_string(i)));
  // The ring holds 8: a reader from the start skipped 4.
  auto [status, body] = Get("/api/live?after=0&limit=3");
  ASSERT_EQ(status, 200);
  EXPECT_EQ(body["skipped"], 4);
  EXPECT_EQ(Texts(body["messages"]), (std::vector<std::string>{"m4", "m5", "m6"}));
  auto [_, next] = Get("/api/live?limit=100&after=" + std::to_string(body["last"].get<uint64_t>()));
  EXPECT_EQ(next["skipped"], 0);
  EXPECT_EQ(Texts(next["messages"]), (std::vector<std::string>{"m7", "m8", "m9", "m10", "m11"}));
  auto [s2, errors] = Get("/api/live?after=0&level=error&host=h1");
  EXPECT_EQ(Texts(errors["messages"]), (std::vector<std::string>{"m7", "m11"}));
  EXPECT_TRUE(errors["took_ms"].is_number());
  // Lists, patterns and exclusion as the page sends them (commas and '!' escaped or not).
  EXPECT_EQ(Texts(Get("/api/live?after=0&level=error&host=h*,!h1").second["messages"]),
            (std::vector<std::string>{}));
  EXPECT_EQ(Texts(Get("/api/live?after=0&level=error&host=%21h2").second["messages"]),
            (std::vector<std::string>{"m7", "m11"}));
  EXPECT_EQ(Texts(Get("/api/live?after=0&text=M1&host=h1%2Ch2").second["messages"]),
            (std::vector<std::string>{"m10", "m11"}));
  EXPECT_EQ(Texts(Get("/api/live?after=0&text=M1&case=1").second["messages"]),
            (std::vector<std::string>{}));
  auto [bad_case, why] = Get("/api/live?case=maybe");
  EXPECT_EQ(bad_case, 400);
  EXPECT_EQ(why["error"].get<std::string>().rfind("case:", 0), 0u) << why;
  EXPECT_EQ(Get("/api/live?re=(").first, 400);
  EXPECT_EQ(Get("/api/live?after=-1").first, 400);
  EXPECT_EQ(Get("/api/live?after=99999999999999999999").first, 400);  // beyond 64 bits
}

TEST_F(ViewerApi, InvalidUtf8InATraceIsReplacedNotRefused) {
  hub_.Ring().Push(Message("h", 2, "bad \xff\xfe byte"));
  auto [status, body] = Get("/api/live?after=0");
  ASSERT_EQ(status, 200);
  EXPECT_EQ(Texts(body["messages"]), (std::vector<std::string>{"bad \xef\xbf\xbd\xef\xbf\xbd byte"}));
}

TEST_F(ViewerApi, EventStreamDeliversNewMessages) {
  hub_.Ring().Push(Message("h", 2, "before"));
  std::string received;
  std::thread late([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    hub_.Ring().Push(Message("h", 3, "<script>late</script>"));
  });
  client_->Get("/api/events?after=1&level=warning", Auth(), [&](const char* data, size_t length) {
    received.append(data, length);
    return received.find("\n\n") == std::string::npos;  // one event is enough
  });
  late.join();
  ASSERT_EQ(received.rfind("event: messages\nid: 2\ndata: ", 0), 0u) << received;
  const json event = json::parse(received.substr(received.find("data: ") + 6));
  EXPECT_EQ(Texts(event["messages"]), (std::vector<std::string>{"<script>late</script>"}));

  // A browser reconnecting names the last event it had: the stream goes on after it, whatever
  // the address says.
  hub_.Ring().Push(Message("h", 3, "after the reconnection"));
  received.clear();
  client_->Get("/api/events?after=0", httplib::Headers{{"Last-Event-ID", "2"}, {"X-Trace-Token", kToken}},
               [&](const char* data, size_t length) {
                 received.append(data, length);
                 return received.find("\n\n") == std::string::npos;
               });
  ASSERT_NE(received.find("data: "), std::string::npos) << received;
  const json resumed = json::parse(received.substr(received.find("data: ") + 6));
  EXPECT_EQ(Texts(resumed["messages"]), (std::vector<std::string>{"after the reconnection"}));
}

TEST_F(ViewerApi, VerbosityNeedsTheTokenAndAConnectedHost) {
  const json good = {{"host", "sensor_127.0.0.1_42"}, {"channel", "Trace channel 1"},
                     {"module", "net"}, {"level", "debug"}};
  struct Case {
    const char* name;
    json body;
    const char* token;
    int status;
  };
  const Case cases[] = {
      {"no token", good, nullptr, 401},
      {"wrong token", good, "t0ke", 401},
      {"empty token", good, "", 401},
      {"unknown host", {{"host", "nobody"}, {"channel", "c"}, {"level", 1}}, kToken, 404},
      {"host that left", {{"host", "old_127.0.0.1_7"}, {"channel", "c"}, {"level", 1}}, kToken, 404},
      {"bad level", {{"host", "sensor_127.0.0.1_42"}, {"channel", "c"}, {"level", "loud"}}, kToken, 400},
      {"no channel", {{"host", "sensor_127.0.0.1_42"}, {"level", 1}}, kToken, 400},
      {"slash in a name", {{"host", "sensor_127.0.0.1_42"}, {"channel", "a/b"}, {"level", 1}}, kToken, 400},
      {"not an object", json::array({1, 2}), kToken, 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Post_Verbosity(c.body, c.token), c.status);
    EXPECT_TRUE(hub_.Take_Requests().empty()) << "a refused request changed something";
  }
  EXPECT_EQ(Post_Verbosity(good, kToken), 202);
  const std::vector<sVerbosity_Request> requests = hub_.Take_Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].host, "sensor_127.0.0.1_42");
  EXPECT_EQ(requests[0].channel, "Trace channel 1");
  EXPECT_EQ(requests[0].module, "net");
  EXPECT_EQ(requests[0].level, 1u);
}

TEST_F(ViewerApi, StoredMessagesArePagedFilteredAndDamageIsReported) {
  auto [status, sources] = Get("/api/stored/sources");
  ASSERT_EQ(status, 200);
  std::vector<std::string> files;
  for (const json& source : sources["sources"])
    for (const json& file : source["files"]) files.push_back(file["path"]);
  EXPECT_EQ(files, (std::vector<std::string>{"cut.trd", "host-a/20260102-030405-001.trd"}));
  for (const json& source : sources["sources"]) EXPECT_EQ(source["kind"], "directory");

  auto [s1, first] = Get("/api/stored/messages?source=host-a&limit=2");
  ASSERT_EQ(s1, 200);
  EXPECT_EQ(Texts(first["messages"]), (std::vector<std::string>{"a0", "a1 <b>x</b>"}));
  EXPECT_EQ(first["more"], true);
  EXPECT_EQ(first["messages"][1]["level_name"], "warning");
  EXPECT_TRUE(first["took_ms"].is_number());
  auto [s2, second] =
      Get("/api/stored/messages?source=host-a&limit=2&after=" + std::to_string(first["next"].get<uint64_t>()));
  EXPECT_EQ(Texts(second["messages"]), (std::vector<std::string>{"a2", "a3"}));
  EXPECT_EQ(second["more"], false);

  auto [s3, filtered] = Get("/api/stored/messages?source=host-a&level=warning&text=a");
  EXPECT_EQ(Texts(filtered["messages"]), (std::vector<std::string>{"a1 <b>x</b>", "a3"}));

  auto [s4, whole] = Get("/api/stored/messages?source=.");
  ASSERT_EQ(s4, 200);
  EXPECT_EQ(whole["messages"].size(), 0u);  // "." holds only the cut file
  ASSERT_EQ(whole["problems"].size(), 1u);
  EXPECT_EQ(whole["problems"][0]["file"], "cut.trd");
  EXPECT_NE(whole["problems"][0]["error"].get<std::string>().find("offset"), std::string::npos);
}

TEST_F(ViewerApi, ContextShowsTheLinesAroundAMessageLiveAndStored) {
  for (const char* text : {"x1", "y2", "x3", "x4"}) hub_.Ring().Push(Message(std::string(1, text[0]), 2, text));
  auto [status, live] = Get("/api/context?source=live&seq=3&lines=5");
  ASSERT_EQ(status, 200);
  EXPECT_EQ(live["message"]["text"], "x3");
  EXPECT_EQ(Texts(live["before"]), (std::vector<std::string>{"x1"}));  // y2 is another host's
  EXPECT_EQ(Texts(live["after"]), (std::vector<std::string>{"x4"}));
  EXPECT_TRUE(Get("/api/context?seq=99").second["message"].is_null());  // live by default

  auto [s2, stored] = Get("/api/context?source=host-a&seq=2&lines=1");
  ASSERT_EQ(s2, 200);
  EXPECT_EQ(stored["message"]["text"], "a2");
  EXPECT_EQ(Texts(stored["before"]), (std::vector<std::string>{"a1 <b>x</b>"}));
  EXPECT_EQ(Texts(stored["after"]), (std::vector<std::string>{"a3"}));
  EXPECT_TRUE(stored["took_ms"].is_number());

  EXPECT_EQ(Get("/api/context?source=live").first, 400);  // no message named
  EXPECT_EQ(Get("/api/context?source=live&seq=x").first, 400);
  EXPECT_EQ(Get("/api/context?source=../outside.trd&seq=0").first, 400);
  EXPECT_EQ(Get("/api/context?source=missing&seq=0").first, 404);
}

TEST_F(ViewerApi, NamesListWhatTheSourceHolds) {
  hub_.Ring().Push(Message("h1", 2, "x"));
  auto [status, live] = Get("/api/names");
  ASSERT_EQ(status, 200);
  // The ring's host and the hub's hosts that have sent nothing it holds.
  EXPECT_EQ(live["hosts"], json::array({"h1", "old_127.0.0.1_7", "sensor_127.0.0.1_42"}));
  EXPECT_EQ(live["modules"], json::array({"net"}));
  EXPECT_EQ(live["threads"], json::array({"Worker"}));
  auto [s2, stored] = Get("/api/names?source=host-a");
  ASSERT_EQ(s2, 200);
  EXPECT_EQ(stored["hosts"], json::array({"host-a"}));
  EXPECT_EQ(stored["channels"], json::array({"Chan"}));
  EXPECT_EQ(Get("/api/names?source=missing").first, 404);
}

TEST_F(ViewerApi, AllStoredSourcesTogetherPageByAStringCursor) {
  auto [status, first] = Get("/api/stored/messages?source=*&limit=3");
  ASSERT_EQ(status, 200) << first;
  EXPECT_EQ(Texts(first["messages"]), (std::vector<std::string>{"a0", "a1 <b>x</b>", "a2"}));
  EXPECT_EQ(first["messages"][0]["source"], "host-a");
  ASSERT_TRUE(first["next"].is_string());
  EXPECT_EQ(first["more"], true);
  EXPECT_EQ(first["problems"].size(), 1u);  // the cut file of "." still reported
  auto [s2, second] = Get("/api/stored/messages?source=*&limit=3&after=" + first["next"].get<std::string>());
  EXPECT_EQ(Texts(second["messages"]), (std::vector<std::string>{"a3"}));
  EXPECT_EQ(second["more"], false);
  EXPECT_EQ(Get("/api/stored/messages?source=*&after=9").first, 400);  // not this source's cursor
  EXPECT_EQ(Get("/api/stored/messages?source=host-a,missing").first, 404);
  auto [s3, timeline] = Get("/api/stored/timeline?source=*&buckets=10");
  EXPECT_EQ(timeline["total"], 4);
  auto lines = client_->Get("/api/export?source=*&format=text&level=warning", Auth());
  ASSERT_TRUE(lines);
  EXPECT_EQ(std::count(lines->body.begin(), lines->body.end(), '\n'), 2) << lines->body;
}

TEST_F(ViewerApi, TimelineCountsFilteredMessagesPerLevel) {
  auto [status, body] = Get("/api/stored/timeline?source=host-a&buckets=10&level=debug");
  ASSERT_EQ(status, 200);
  EXPECT_EQ(body["total"], 4);
  const json& timeline = body["timeline"];
  EXPECT_EQ(timeline["width_us"], 1000000);
  ASSERT_EQ(timeline["buckets"].size(), 3u);
  EXPECT_EQ(timeline["buckets"][0], json::array({0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(timeline["buckets"][1], json::array({0, 0, 0, 1, 0, 0}));
  EXPECT_EQ(timeline["buckets"][2], json::array({0, 1, 0, 0, 1, 0}));
  EXPECT_EQ(Get("/api/stored/timeline?source=host-a&buckets=0").first, 400);
}

TEST_F(ViewerApi, SourcePathsStayInsideTheServedDirectory) {
  struct Case {
    const char* source;
    int status;
  };
  const Case cases[] = {
      {"host-a", 200},
      {"host-a/20260102-030405-001.trd", 200},
      {"..", 400},
      {"../outside.trd", 400},
      {"host-a/../../outside.trd", 400},
      {"%2Fetc%2Fpasswd", 400},
      {"out.trd", 403},  // a link out
      {"missing", 404},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    const std::string query = std::string("?source=") + c.source;
    EXPECT_EQ(Get("/api/stored/messages" + query).first, c.status);
    EXPECT_EQ(Get("/api/stored/timeline" + query).first, c.status);
    EXPECT_EQ(client_->Get(("/api/export" + query).c_str(), Auth())->status, c.status);
  }
}

TEST_F(ViewerApi, ExportWritesTheFilteredViewAsLinesOrJsonLines) {
  auto text = client_->Get("/api/export?source=host-a&format=text&level=warning", Auth());
  ASSERT_TRUE(text);
  EXPECT_EQ(text->status, 200);
  EXPECT_NE(text->get_header_value("Content-Disposition").find("attachment"), std::string::npos);
  // Line format: channel, sequence, time, level ... the message last.
  // Each line names its host first, then the line format.
  EXPECT_EQ(text->body.rfind("host-a Chan #0002 [02.01.2026 03:04:06", 0), 0u) << text->body;
  EXPECT_NE(text->body.find("\nhost-a Chan #0004 [02.01.2026 03:04:07"), std::string::npos)
      << text->body;
  EXPECT_EQ(std::count(text->body.begin(), text->body.end(), '\n'), 2);
  auto lines = client_->Get("/api/export?source=host-a&format=json", Auth());
  ASSERT_TRUE(lines);
  std::vector<std::string> texts;
  size_t start = 0;
  for (size_t end; (end = lines->body.find('\n', start)) != std::string::npos; start = end + 1)
    texts.push_back(json::parse(lines->body.substr(start, end - start))["text"]);
  EXPECT_EQ(texts, (std::vector<std::string>{"a0", "a1 <b>x</b>", "a2", "a3"}));
  hub_.Ring().Push(Message("h", 2, "live one"));
  auto live = client_->Get("/api/export?source=live&format=text", Auth());
  ASSERT_TRUE(live);
  EXPECT_EQ(live->body, "h h live one\n");  // the host, then the message's rendered line
  EXPECT_EQ(client_->Get("/api/export?source=live&format=xml", Auth())->status, 400);
}

TEST_F(ViewerApi, PageIsServedWithAPolicyThatForbidsForeignAndInlineScripts) {
  for (const char* path : {"/", "/viewer.js", "/api/hosts"}) {
    SCOPED_TRACE(path);
    auto result = client_->Get(path, Auth());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    const std::string policy = result->get_header_value("Content-Security-Policy");
    EXPECT_NE(policy.find("script-src 'self'"), std::string::npos);
    EXPECT_EQ(policy.find("unsafe-inline"), std::string::npos);
    EXPECT_EQ(result->get_header_value("X-Content-Type-Options"), "nosniff");
  }
  auto page = client_->Get("/");
  EXPECT_NE(page->body.find("<script src=\"/viewer.js\""), std::string::npos);
  EXPECT_EQ(page->body.find("innerHTML"), std::string::npos);
  EXPECT_EQ(client_->Get("/viewer.js")->body.find("innerHTML"), std::string::npos);
}

TEST_F(ViewerApi, OnlyOurOwnHostWithTheTokenReadsData) {
  Restart([](CViewer_Server::sConfig& config) { config.allowed_hosts = {"viewer.example"}; });
  const std::string token = std::string("X-Trace-Token: ") + kToken + "\r\n";
  const std::string cookie = std::string("Cookie: trace_token=") + kToken + "\r\n";
  const std::string port = std::to_string(server_->Port());
  struct Case {
    const char* name;
    std::string method, path, host, headers, body;
    int status;
  };
  const std::string verbosity =
      R"({"host":"sensor_127.0.0.1_42","channel":"Trace channel 1","level":1})";
  std::vector<Case> cases;
  // A foreign name that resolves to us (DNS rebinding): refused whatever else the request holds.
  for (const char* path : {"/", "/api/info", "/api/hosts", "/api/events", "/api/export?source=live",
                           "/api/stored/messages?source=host-a"})
    cases.push_back({"rebinding", "GET", path, "rebind.attacker.example:" + port, token, "", 403});
  cases.push_back({"our address, another port", "GET", "/api/info", "127.0.0.1:1", token, "", 403});
  // Every data route without the token (or with a wrong one): 401.
  for (const char* path : {"/api/info", "/api/hosts", "/api/live", "/api/events",
                           "/api/stored/sources", "/api/stored/messages?source=host-a",
                           "/api/stored/timeline?source=host-a", "/api/export?source=host-a",
                           "/api/export?source=live"}) {
    cases.push_back({"no token", "GET", path, host_, "", "", 401});
    cases.push_back({"wrong token", "GET", path, host_, "X-Trace-Token: t0keN\r\n", "", 401});
  }
  cases.push_back({"wrong cookie", "GET", "/api/info", host_, "Cookie: trace_token=nope\r\n", "", 401});
  cases.push_back({"cookie on a change", "POST", "/api/verbosity", host_, cookie, verbosity, 401});
  cases.push_back({"foreign origin", "POST", "/api/verbosity", host_,
                   token + "Origin: http://attacker.example\r\n", verbosity, 403});
  cases.push_back({"null origin", "POST", "/api/verbosity", host_, token + "Origin: null\r\n",
                   verbosity, 403});
  // What passes.
  cases.push_back({"page without token", "GET", "/", host_, "", "", 200});
  cases.push_back({"localhost", "GET", "/api/info", "localhost:" + port, token, "", 200});
  cases.push_back({"loopback v6", "GET", "/api/info", "[::1]:" + port, token, "", 200});
  cases.push_back({"other loopback, no port", "GET", "/api/info", "127.0.0.2", token, "", 200});
  cases.push_back({"allowed name", "GET", "/api/info", "Viewer.Example:" + port, token, "", 200});
  cases.push_back({"cookie on a read", "GET", "/api/info", host_, cookie, "", 200});
  cases.push_back({"own origin", "POST", "/api/verbosity", host_,
                   token + "Origin: http://" + host_ + "\r\n", verbosity, 202});
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.path + " Host: " + c.host);
    const mqw_test::HttpClient::Response answer =
        Raw(mqw_test::HttpClient::Request(c.method, c.path, c.host, c.headers, c.body));
    EXPECT_EQ(answer.status, c.status) << answer.head;
    if (c.status == 403 && std::string(c.name) == "rebinding") {
      EXPECT_EQ(answer.body, "");
    }
    if (c.status >= 400) {
      for (const char* secret : {"sensor", served_.c_str(), "a0", "Set-Cookie"})
        EXPECT_EQ((answer.head + answer.body).find(secret), std::string::npos) << secret;
    }
  }
  hub_.Take_Requests();
}

TEST_F(ViewerApi, TheTokenCookieComesOnlyWithAHeaderToken) {
  const auto with_header = Raw(mqw_test::HttpClient::Request(
      "GET", "/api/info", host_, std::string("X-Trace-Token: ") + kToken + "\r\n"));
  ASSERT_EQ(with_header.status, 200);
  const size_t at = with_header.head.find("Set-Cookie: ");
  ASSERT_NE(at, std::string::npos) << with_header.head;
  const std::string cookie = with_header.head.substr(at, with_header.head.find("\r\n", at) - at);
  for (const char* part : {"trace_token=", "SameSite=Strict", "HttpOnly", "Path=/api"})
    EXPECT_NE(cookie.find(part), std::string::npos) << cookie;
  // An event stream, which cannot send headers, is read with the cookie alone.
  mqw_test::HttpClient stream(server_->Port());
  stream.Send(mqw_test::HttpClient::Request(
      "GET", "/api/events", host_, std::string("Cookie: trace_token=") + kToken + "\r\n"));
  EXPECT_NE(stream.Read_Until("\r\n\r\n", std::chrono::seconds(5)).find("200"), std::string::npos);
  const auto with_cookie = Raw(mqw_test::HttpClient::Request(
      "GET", "/api/info", host_, std::string("Cookie: trace_token=") + kToken + "\r\n"));
  EXPECT_EQ(with_cookie.status, 200);
  EXPECT_EQ(with_cookie.head.find("Set-Cookie"), std::string::npos);
}

TEST_F(ViewerApi, HeadersAndBodiesAreBounded) {
  const std::string token = std::string("X-Trace-Token: ") + kToken + "\r\n";
  auto many = [](int count) {
    std::string headers;
    for (int i = 0; i < count; ++i) headers += "X-Filler-" + std::to_string(i) + ": x\r\n";
    return headers;
  };
  const std::string large_body(70 << 10, 'x');
  std::string chunked = "POST /api/verbosity HTTP/1.1\r\nHost: " + host_ + "\r\n" + token +
                        "Transfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 70; ++i) chunked += "400\r\n" + std::string(1024, 'x') + "\r\n";
  chunked += "0\r\n\r\n";
  struct Case {
    const char* name;
    std::string request;
    std::vector<int> statuses;  // 0: the connection closed without an answer
  };
  const Case cases[] = {
      // Host and the token count: 100 in all pass, 101 do not.
      {"100 headers", mqw_test::HttpClient::Request("GET", "/api/info", host_, token + many(98)), {200}},
      {"101 headers", mqw_test::HttpClient::Request("GET", "/api/info", host_, token + many(99)), {431, 0}},
      {"15 KiB of headers",
       mqw_test::HttpClient::Request("GET", "/api/info", host_,
                                     token + "X-Big: " + std::string(15 << 10, 'b') + "\r\n"),
       {200}},
      {"17 KiB of headers",
       mqw_test::HttpClient::Request("GET", "/api/info", host_, token + "X-Big: " + std::string(17 << 10, 'b') + "\r\n"),
       {431, 413, 414, 0}},
      {"300 KiB of headers",
       mqw_test::HttpClient::Request("GET", "/api/info", host_, token + "X-Big: " + std::string(300 << 10, 'b') + "\r\n"),
       {431, 413, 414, 0}},
      {"declared large body",
       mqw_test::HttpClient::Request("POST", "/api/verbosity", host_, token, large_body), {413, 0}},
      {"chunked large body", chunked, {413, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mqw_test::HttpClient raw(server_->Port());
    raw.Send(c.request);
    const mqw_test::HttpClient::Response answer = raw.Read();
    EXPECT_NE(std::find(c.statuses.begin(), c.statuses.end(), answer.status), c.statuses.end())
        << answer.status << " " << answer.head;
    if (answer.status == 0) {
      EXPECT_TRUE(answer.closed);
    }
  }
  EXPECT_TRUE(hub_.Take_Requests().empty());
}

TEST_F(ViewerApi, RangeIsIgnoredAndTheWholeAnswerSent) {
  std::string ranges = "Range: bytes=0-0";
  for (int i = 1; i < 1500; ++i) ranges += "," + std::to_string(i) + "-" + std::to_string(i);
  const auto whole = Raw(mqw_test::HttpClient::Request("GET", "/viewer.js", host_));
  const auto asked = Raw(mqw_test::HttpClient::Request("GET", "/viewer.js", host_, ranges + "\r\n"));
  ASSERT_EQ(whole.status, 200);
  EXPECT_EQ(asked.status, 200);
  EXPECT_EQ(asked.body, whole.body);
}

TEST_F(ViewerApi, SlowAndIdleConnectionsAreCut) {
  Restart([](CViewer_Server::sConfig& config) {
    config.header_timeout = std::chrono::milliseconds(300);
    config.idle_timeout = std::chrono::milliseconds(600);
  });
  // Headers a byte every 100 ms: the connection goes after header_timeout, however steady.
  {
    mqw_test::HttpClient slow(server_->Port());
    const std::string request = mqw_test::HttpClient::Request(
        "GET", "/api/info", host_, std::string("X-Trace-Token: ") + kToken + "\r\nX-Pad: " +
                                       std::string(60, 'p') + "\r\n");
    bool cut = false;
    for (size_t i = 0; i + 1 < request.size() && !cut; ++i) {
      cut = !slow.Send(request.substr(i, 1)) || slow.Closed_Within(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(cut) << "the whole request trickled in without the connection being cut";
  }
  // Nothing at all after connecting.
  {
    mqw_test::HttpClient silent(server_->Port());
    EXPECT_TRUE(silent.Closed_Within(std::chrono::seconds(5)));
  }
  // A kept-alive connection that asks nothing more.
  {
    mqw_test::HttpClient idle(server_->Port());
    idle.Send(mqw_test::HttpClient::Request("GET", "/api/info", host_,
                                            std::string("X-Trace-Token: ") + kToken + "\r\n"));
    EXPECT_EQ(idle.Read().status, 200);
    EXPECT_TRUE(idle.Closed_Within(std::chrono::seconds(5)));
  }
}

TEST_F(ViewerApi, HeldConnectionsAndStreamsLeaveRoomForOthers) {
  Restart([](CViewer_Server::sConfig& config) {
    config.max_per_address = 4;
    config.max_streams = 6;
  });
  const std::string token = std::string("X-Trace-Token: ") + kToken + "\r\n";
  // One address holds its share with requests it never finishes: it gets no more ...
  std::vector<std::unique_ptr<mqw_test::HttpClient>> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(std::make_unique<mqw_test::HttpClient>(server_->Port()));
    held.back()->Send("GET /api/info HTTP/1.1\r\nHost: ");
  }
  {
    mqw_test::HttpClient over(server_->Port());
    over.Send(mqw_test::HttpClient::Request("GET", "/api/info", host_, token));
    EXPECT_NE(over.Read(std::chrono::seconds(5)).status, 200);
  }
  // ... while another is served.
  {
    mqw_test::HttpClient other(server_->Port(), "127.0.0.2");
    other.Send(mqw_test::HttpClient::Request("GET", "/api/info", host_, token));
    EXPECT_EQ(other.Read().status, 200);
  }
  held.clear();
  // Idle event streams from several addresses hold no thread: /api/info still answers, and
  // streams beyond the cap are told to poll.
  std::vector<std::unique_ptr<mqw_test::HttpClient>> streams;
  for (int i = 0; i < 6; ++i) {
    const std::string source = "127.0.1." + std::to_string(i + 1);
    streams.push_back(std::make_unique<mqw_test::HttpClient>(server_->Port(), source.c_str()));
    streams.back()->Send(mqw_test::HttpClient::Request("GET", "/api/events", host_, token));
    // The answer's head arrives at the first event or comment; wait until the stream is open.
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  {
    mqw_test::HttpClient extra(server_->Port(), "127.0.2.1");
    extra.Send(mqw_test::HttpClient::Request("GET", "/api/events", host_, token));
    EXPECT_EQ(extra.Read().status, 503);
  }
  for (int i = 0; i < 3; ++i) {
    mqw_test::HttpClient info(server_->Port(), "127.0.3.1");
    info.Send(mqw_test::HttpClient::Request("GET", "/api/info", host_, token));
    EXPECT_EQ(info.Read().status, 200);
  }
  // The streams still deliver, and Stop ends them.
  hub_.Ring().Push(Message("h", 2, "to every stream"));
  for (auto& stream : streams)
    EXPECT_NE(stream->Read_Until("to every stream").find("to every stream"), std::string::npos);
  server_->Stop();
  for (auto& stream : streams) EXPECT_TRUE(stream->Closed_Within(std::chrono::seconds(5)));
}

TEST_F(ViewerApi, TheConnectionLimitHoldsAndStalledConnectionsMakeRoom) {
  Restart([](CViewer_Server::sConfig& config) {
    config.max_connections = 4;
    config.header_timeout = std::chrono::milliseconds(500);
  });
  const std::string info = mqw_test::HttpClient::Request(
      "GET", "/api/info", host_, std::string("X-Trace-Token: ") + kToken + "\r\n");
  std::vector<std::unique_ptr<mqw_test::HttpClient>> held;
  for (int i = 0; i < 4; ++i) {
    const std::string source = "127.0.4." + std::to_string(i + 1);
    held.push_back(std::make_unique<mqw_test::HttpClient>(server_->Port(), source.c_str()));
    held.back()->Send("GET /api/info HTTP/1.1\r\n");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  {
    mqw_test::HttpClient over(server_->Port(), "127.0.5.1");
    over.Send(info);
    EXPECT_NE(over.Read(std::chrono::milliseconds(300)).status, 200) << "over the limit";
  }
  // The stalled ones are cut by their header deadline, and the server answers again.
  for (auto& client : held) EXPECT_TRUE(client->Closed_Within(std::chrono::seconds(5)));
  mqw_test::HttpClient after(server_->Port(), "127.0.5.2");
  after.Send(info);
  EXPECT_EQ(after.Read().status, 200);
}

TEST(ViewerOptions, HttpAddressIsOptionalAndTokenAndRingAreChecked) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    std::string http;
    std::string token;
    uint32_t ring;
  };
  const Case cases[] = {
      {{}, true, "", "", 50000},
      {{"--http"}, true, "127.0.0.1:8080", "", 50000},
      {{"--http", "--print"}, true, "127.0.0.1:8080", "", 50000},
      {{"--http", "0.0.0.0:9000"}, true, "0.0.0.0:9000", "", 50000},
      {{"--http=[::1]:0", "--http-token", "abc"}, true, "[::1]:0", "abc", 50000},
      {{"--http", "--http-ring", "10"}, true, "127.0.0.1:8080", "", 10},
      {{"--http", "nowhere"}, false, "", "", 0},
      {{"--http=8080"}, false, "", "", 0},
      {{"--http-token", ""}, false, "", "", 0},
      {{"--http-token", std::string(257, 't')}, false, "", "", 0},
      {{"--http-ring", "0"}, false, "", "", 0},
  };
  for (const Case& c : cases) {
    std::string label;
    for (const std::string& arg : c.args) label += arg.substr(0, 20) + " ";
    SCOPED_TRACE(label);
    std::vector<char*> argv = {const_cast<char*>("trace-server")};
    for (const std::string& arg : c.args) argv.push_back(const_cast<char*>(arg.c_str()));
    sServer_Options options;
    std::string error;
    ASSERT_EQ(Parse_Server_Options(static_cast<int>(argv.size()), argv.data(), &options, &error), c.ok)
        << error;
    if (!c.ok) continue;
    EXPECT_EQ(options.http, c.http);
    EXPECT_EQ(options.http_token, c.token);
    EXPECT_EQ(options.http_ring, c.ring);
  }
}

TEST(ViewerAccessToken, LoopbackAndTokenRules) {
  struct Case {
    const char* host;
    bool loopback;
  };
  const Case cases[] = {{"127.0.0.1", true}, {"127.8.9.10", true}, {"::1", true},
                        {"localhost", true}, {"0.0.0.0", false}, {"::", false},
                        {"192.0.2.1", false}, {"example.invalid", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(Is_Loopback_Host(c.host), c.loopback);
  }
  const std::string a = Generate_Access_Token(), b = Generate_Access_Token();
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, b);
  EXPECT_TRUE(Token_Matches(a, a));
  EXPECT_FALSE(Token_Matches(a, b));
  EXPECT_FALSE(Token_Matches(a, a.substr(1)));
  EXPECT_FALSE(Token_Matches("", ""));  // no token configured admits nothing
}

TEST(ViewerRequestRules, HostMustBeOursLoopbackOrAllowed) {
  const sHost_Rule rule{"192.0.2.7", 8080, {"viewer.example"}};
  struct Case {
    const char* host;
    bool allowed;
  };
  const Case cases[] = {
      {"192.0.2.7:8080", true},     {"192.0.2.7", true},          {"localhost:8080", true},
      {"LocalHost", true},          {"127.0.0.1:8080", true},     {"127.1.2.3", true},
      {"[::1]:8080", true},         {"[::1]", true},              {"viewer.example:8080", true},
      {"VIEWER.example", true},     {"192.0.2.7:8081", false},    {"localhost:80", false},
      {"rebind.attacker.example", false}, {"viewer.example.attacker.example", false},
      {"", false},                  {":8080", false},             {"::1", false},
      {"[::1", false},              {"[::1]x", false},            {"127.0.0.1:", false},
      {"127.0.0.1:8080:1", false},  {"127.0.0.1:08080x", false},  {"localhost:99999999999999999999", false},
      {"[::2]:8080", false},        {"0.0.0.0:8080", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(Host_Allowed(rule, c.host), c.allowed);
  }
  EXPECT_TRUE(Origin_Allowed("http://127.0.0.1:8080", "127.0.0.1:8080"));
  EXPECT_FALSE(Origin_Allowed("http://127.0.0.1:8081", "127.0.0.1:8080"));
  EXPECT_FALSE(Origin_Allowed("https://127.0.0.1:8080", "127.0.0.1:8080"));
  EXPECT_FALSE(Origin_Allowed("null", "127.0.0.1:8080"));
  uint64_t value = 0;
  EXPECT_TRUE(Parse_Decimal("18446744073709551615", &value));
  EXPECT_EQ(value, UINT64_MAX);
  for (const char* bad : {"", "18446744073709551616", "-1", "1x", " 1", "+1"})
    EXPECT_FALSE(Parse_Decimal(bad, &value)) << bad;
}

TEST(ViewerAccessToken, TokenFileGivesItsFirstLineTrimmed) {
  mqw_test::TempDir dir("viewer-token");
  struct Case {
    const char* name;
    std::optional<std::string> content;  // nullopt: no such file
    std::string token;                   // empty: refused
  };
  const Case cases[] = {
      {"plain", "s3cret\n", "s3cret"},
      {"no newline", "s3cret", "s3cret"},
      {"blanks and CRLF", " \ts3cret \r\nsecond line\n", "s3cret"},
      {"empty file", "", ""},
      {"blank first line", "\nsecond\n", ""},
      {"too long", std::string(300, 't') + "\n", ""},
      {"missing", std::nullopt, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.File(c.name);
    if (c.content) {
      ASSERT_TRUE(mqw_test::Write_File(path, *c.content));
    }
    std::string token, error;
    EXPECT_EQ(Read_Token_File(path, &token, &error), !c.token.empty()) << error;
    EXPECT_EQ(token, c.token);
    if (c.token.empty()) {
      EXPECT_NE(error.find(path), std::string::npos) << error;
    }
  }
}

TEST(ViewerOptions, AllowedHostsRepeatAndTokenFileIsTaken) {
  const char* args[] = {"trace-server", "--http", "--http-allow-host", "a.example",
                        "--http-allow-host=b.example", "--http-token-file", "/run/token"};
  sServer_Options options;
  std::string error;
  ASSERT_TRUE(Parse_Server_Options(7, const_cast<char**>(args), &options, &error)) << error;
  EXPECT_EQ(options.http_allow_hosts, (std::vector<std::string>{"a.example", "b.example"}));
  EXPECT_EQ(options.http_token_file, "/run/token");
  for (const char* bad : {"a.example:80", "", "[::1]", "a/b"}) {
    const char* wrong[] = {"trace-server", "--http-allow-host", bad};
    sServer_Options other;
    EXPECT_FALSE(Parse_Server_Options(3, const_cast<char**>(wrong), &other, &error)) << bad;
  }
}

}  // namespace
