// The viewer's generated token: without --http-token (or its file) the tool makes a random token
// at start, prints it with the viewer's address, and enforces it: a request for data without it
// is refused, with it answered. Two starts make two different tokens.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "support/http_client.h"
#include "support/server_process.h"
#include "support/wait_until.h"

namespace {

struct Viewer_Address {
  unsigned port = 0;
  std::string token;
};

// Starts `server` with the viewer on an ephemeral loopback port and no token given, and reads
// the address line it prints.
Viewer_Address Start_Viewer(mqw_test::ServerProcess* server) {
  Viewer_Address address;
  if (!server->Start("127.0.0.1:0", {"--http", "127.0.0.1:0"})) return address;
  mqw_test::Wait_Until([&] {
    const std::string out = server->Out();
    const size_t at = out.find("viewer on http://127.0.0.1:");
    char token[300] = {};
    if (at == std::string::npos ||
        sscanf(out.c_str() + at, "viewer on http://127.0.0.1:%u/#token=%299[^\n]", &address.port,
               token) != 2)
      return false;
    address.token = token;
    return true;
  });
  return address;
}

int Status_Of(unsigned port, const std::string& headers) {
  mqw_test::HttpClient client(static_cast<uint16_t>(port));
  if (!client.Connected()) return -1;
  client.Send(mqw_test::HttpClient::Request("GET", "/api/hosts",
                                            "127.0.0.1:" + std::to_string(port), headers));
  return client.Read().status;
}

TEST(ViewerToken, GeneratedWhenNoneIsGivenPrintedAndRequired) {
  mqw_test::ServerProcess server(TRACE_SERVER_PATH);
  const Viewer_Address viewer = Start_Viewer(&server);
  ASSERT_NE(viewer.port, 0u) << server.Out() << server.Err();
  // 32 hexadecimal digits from the system's random source.
  ASSERT_EQ(viewer.token.size(), 32u) << viewer.token;
  EXPECT_EQ(viewer.token.find_first_not_of("0123456789abcdefABCDEF"), std::string::npos)
      << viewer.token;

  struct Case {
    const char* label;
    std::string headers;
    int status;
  };
  const Case cases[] = {
      {"no token", "", 401},
      {"another token", "X-Trace-Token: " + std::string(32, '0') + "\r\n", 401},
      {"the token cut short",
       "X-Trace-Token: " + viewer.token.substr(0, viewer.token.size() - 1) + "\r\n", 401},
      {"the printed token", "X-Trace-Token: " + viewer.token + "\r\n", 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Status_Of(viewer.port, c.headers), c.status);
  }
  EXPECT_EQ(server.Stop(), 0) << server.Err();

  // A second start does not reuse the first token: it is not a constant of the program.
  mqw_test::ServerProcess again(TRACE_SERVER_PATH);
  const Viewer_Address second = Start_Viewer(&again);
  ASSERT_NE(second.port, 0u) << again.Out() << again.Err();
  EXPECT_NE(second.token, viewer.token);
  EXPECT_EQ(Status_Of(second.port, "X-Trace-Token: " + viewer.token + "\r\n"), 401);
}

}  // namespace
