// The viewer end to end: the trace-server tool with --http as a child process, a traced host
// (e2e_host's viewer mode) sending through the network sink, and the JSON API read over HTTP as
// the page reads it. The host's live messages arrive; a verbosity request without the token
// changes nothing, one with it makes the host's debug messages appear, in the live stream and in
// the stored files the same server serves. Ephemeral loopback ports: no private namespace needed.
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "support/http_client.h"
#include "support/program.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// Polls `probe` every 100 ms (each look is a request to the server) until it is true or `limit`
// passed.
bool Eventually(const std::function<bool()>& probe, std::chrono::milliseconds limit) {
  return mqw_test::Wait_Until(probe, limit, 100ms);
}

class ViewerEndToEnd : public ::testing::Test {
 protected:
  void TearDown() override {
    for (pid_t pid : {host_, server_}) {
      if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
  }

  // Starts the server and reads the ports it prints. The token comes from a file, as a service
  // gives it (a token on the command line shows in ps).
  void Start_Server() {
    ASSERT_TRUE(mqw_test::Write_File(dir_.File("token"), " e2e-token \nignored\n"));
    server_ = mqw_test::Spawn_Program(
        TRACE_SERVER_PATH,
        {"--listen", "127.0.0.1:0", "--dir", dir_.File("traces"), "--http", "127.0.0.1:0",
         "--http-token-file", dir_.File("token")},
        dir_.File("server.out"), dir_.File("server.err"));
    ASSERT_GT(server_, 0);
    ASSERT_TRUE(Eventually(
        [&] {
          const std::string out = mqw_test::Read_File(dir_.File("server.out"));
          return sscanf(out.c_str(), "listening on 127.0.0.1:%hu\nviewer on http://127.0.0.1:%hu/",
                        &udp_port_, &http_port_) == 2;
        },
        30s))
        << mqw_test::Read_File(dir_.File("server.err"));
    client_ = std::make_unique<httplib::Client>("127.0.0.1", http_port_);
    client_->set_read_timeout(30, 0);
  }

  void Start_Host(uint32_t milliseconds) {
    host_ = mqw_test::Spawn_Program(
        E2E_HOST_PATH,
        {dir_.File("absent-tr.cfg"), "viewer", std::to_string(milliseconds), "/TR.Sink=Network",
         "/TR.Addr=127.0.0.1", "/TR.Port=" + std::to_string(udp_port_), "/TR.Name=viewer-host",
         "/TR.Trc.Verb=2"},
        dir_.File("host.out"), dir_.File("host.err"));
    ASSERT_GT(host_, 0);
  }

  json Get(const std::string& path) {
    auto result = client_->Get(path.c_str(), httplib::Headers{{"X-Trace-Token", "e2e-token"}});
    if (!result || result->status != 200) return json();
    return json::parse(result->body, nullptr, false);
  }

  // Whether a live message whose text starts with `prefix` has arrived (filters as the page's).
  bool Live_Has(const std::string& prefix, const std::string& filters = "") {
    const json page = Get("/api/live?after=0&limit=5000" + filters);
    if (!page.is_object()) return false;
    for (const json& message : page["messages"])
      if (message["text"].get<std::string>().rfind(prefix, 0) == 0) return true;
    return false;
  }

  int Post(const json& body, const char* token) {
    httplib::Headers headers;
    if (token) headers.emplace("X-Trace-Token", token);
    auto result = client_->Post("/api/verbosity", headers, body.dump(), "application/json");
    return result ? result->status : 0;
  }

  mqw_test::TempDir dir_{"viewer-e2e"};
  pid_t server_ = -1, host_ = -1;
  uint16_t udp_port_ = 0, http_port_ = 0;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(ViewerEndToEnd, LiveMessagesAndVerbosityFromTheViewer) {
  ASSERT_NO_FATAL_FAILURE(Start_Server());
  ASSERT_NO_FATAL_FAILURE(Start_Host(60000));
  ASSERT_TRUE(Eventually([&] { return Live_Has("viewer info i="); }, 30s));
  EXPECT_TRUE(Live_Has("markup <img src=x onerror=alert(1)>", "&level=warning"));
  EXPECT_FALSE(Live_Has("viewer debug")) << "the host's channel starts at level info";

  std::string host;
  ASSERT_TRUE(Eventually(
      [&] {
        const json hosts = Get("/api/hosts");
        if (!hosts.is_object() || hosts["hosts"].empty()) return false;
        const json& row = hosts["hosts"][0];
        host = row["name"].get<std::string>();
        return row["connected"] == true && row["messages"].get<uint64_t>() > 0 &&
               !row["channels"].empty() && row["channels"][0]["name"] == "Trace channel 1";
      },
      10s));
  const json request = {{"host", host}, {"channel", "Trace channel 1"}, {"level", "debug"}};
  EXPECT_EQ(Post(request, nullptr), 401);
  EXPECT_EQ(Post(request, "guess"), 401);
  std::this_thread::sleep_for(1s);
  EXPECT_FALSE(Live_Has("viewer debug")) << "a refused request changed the verbosity";

  EXPECT_EQ(Post(request, "e2e-token"), 202);
  EXPECT_TRUE(Eventually([&] { return Live_Has("viewer debug i="); }, 30s));
  EXPECT_TRUE(Live_Has("verbosity Trace channel 1 set to debug", "&channel=trace-server"));

  // The same server serves what it stored (written out once a second).
  EXPECT_TRUE(Eventually(
      [&] {
        const json page = Get("/api/stored/messages?text=viewer%20debug&limit=5&source=" + host);
        return page.is_object() && !page["messages"].empty() &&
               page["messages"][0]["text"].get<std::string>().rfind("viewer debug i=", 0) == 0;
      },
      10s));

  // Terminated, the host withdraws what it published in its registry (a killed one would leave
  // the objects in /dev/shm); its crash handler exits with the signal's number.
  kill(host_, SIGTERM);
  EXPECT_EQ(mqw_test::Wait_Status(host_, std::chrono::seconds(30)), SIGTERM)
      << mqw_test::Read_File(dir_.File("host.err"));
  host_ = -1;
  // Open event streams and a connection stuck in its headers do not hold the server past a
  // SIGTERM.
  std::vector<std::unique_ptr<mqw_test::HttpClient>> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(std::make_unique<mqw_test::HttpClient>(http_port_));
    held.back()->Send(mqw_test::HttpClient::Request(
        "GET", "/api/events", "127.0.0.1:" + std::to_string(http_port_),
        "X-Trace-Token: e2e-token\r\n"));
  }
  held.push_back(std::make_unique<mqw_test::HttpClient>(http_port_));
  held.back()->Send("GET /api/info HTTP/1.1\r\nHost: 127.0.0.1");
  std::this_thread::sleep_for(300ms);
  kill(server_, SIGTERM);
  EXPECT_EQ(mqw_test::Wait_Status(server_, std::chrono::seconds(5)), 0)
      << mqw_test::Read_File(dir_.File("server.err"));
  server_ = -1;
}

TEST_F(ViewerEndToEnd, AnEmptyOrMissingTokenFileIsRefused) {
  ASSERT_TRUE(mqw_test::Write_File(dir_.File("empty"), "\n"));
  for (const std::string& file : {dir_.File("empty"), dir_.File("missing")}) {
    SCOPED_TRACE(file);
    const pid_t pid = mqw_test::Spawn_Program(
        TRACE_SERVER_PATH,
        {"--listen", "127.0.0.1:0", "--dir", dir_.File("traces"), "--http", "127.0.0.1:0",
         "--http-token-file", file},
        dir_.File("refused.out"), dir_.File("refused.err"));
    ASSERT_GT(pid, 0);
    EXPECT_EQ(mqw_test::Wait_Status(pid, std::chrono::seconds(30)), 2);
    EXPECT_NE(mqw_test::Read_File(dir_.File("refused.err")).find(file), std::string::npos);
  }
}

}  // namespace
