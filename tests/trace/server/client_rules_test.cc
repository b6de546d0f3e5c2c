// Rules of the server's commands and client directories: verbosity rules parsed and matched,
// and directory names that never leave the server's directory whatever a client calls itself.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "trace/server/client_naming.h"
#include "trace/server/verbosity_rule.h"

namespace {

TEST(VerbosityRuleTest, ParsesRulesAndRefusesMalformedOnes) {
  struct Case {
    const char* text;
    bool ok;
    const char* client;
    const char* channel;
    const char* module;
    uint32_t level;
  } const cases[] = {
      {"app/Trace channel 1=debug", true, "app", "Trace channel 1", "", 1},
      {"*/0/net=4", true, "*", "0", "net", 4},
      {"a/b/7=CRITICAL", true, "a", "b", "7", 5},
      {"a/b=0", true, "a", "b", "", 0},
      {"a/b=6", false, "", "", "", 0},
      {"a/b=loud", false, "", "", "", 0},
      {"a/b", false, "", "", "", 0},
      {"a=1", false, "", "", "", 0},
      {"/b=1", false, "", "", "", 0},
      {"a/=1", false, "", "", "", 0},
      {"a/b/=1", false, "", "", "", 0},
      {"a/b/c/d=1", false, "", "", "", 0},
      {"a/32=1", false, "", "", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    sTRS_Verbosity_Rule rule;
    std::string error;
    ASSERT_EQ(TRS_Parse_Verbosity_Rule(c.text, &rule, &error), c.ok);
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(rule.client, c.client);
    EXPECT_EQ(rule.channel, c.channel);
    EXPECT_EQ(rule.module, c.module);
    EXPECT_EQ(rule.level, c.level);
  }
}

TEST(VerbosityRuleTest, PatternsMatchNamesAndDigitsMatchIds) {
  EXPECT_TRUE(TRS_Name_Matches("*", "anything", 3));
  EXPECT_TRUE(TRS_Name_Matches("net*", "network", 3));
  EXPECT_FALSE(TRS_Name_Matches("net", "network", 3));
  EXPECT_TRUE(TRS_Name_Matches("3", "network", 3));
  EXPECT_TRUE(TRS_Name_Matches("3", "3", 7));  // a channel named "3"
  EXPECT_FALSE(TRS_Name_Matches("4", "network", 3));
}

sTP_Endpoint Endpoint(int family, const char* address) {
  sTP_Endpoint endpoint;
  endpoint.family = static_cast<uint16_t>(family);
  endpoint.port = htons(5000);
  inet_pton(family, address, endpoint.address);
  return endpoint;
}

TEST(ClientNamingTest, DirectoryNamesStayOnePlainEntry) {
  const sTP_Endpoint v4 = Endpoint(AF_INET, "127.0.0.1");
  struct Case {
    const char* name;
    const char* expected;
  } const cases[] = {
      {"sensor", "sensor_127.0.0.1_42"},           {"../../etc", "_._.._etc_127.0.0.1_42"},
      {"/etc/passwd", "_etc_passwd_127.0.0.1_42"}, {"..", "_._127.0.0.1_42"},
      {".hidden", "_hidden_127.0.0.1_42"},         {"", "unnamed_127.0.0.1_42"},
      {"a b\\c\xC3\xA9", "a_b_c___127.0.0.1_42"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = TRS_Client_Directory_Name(c.name, v4, 42);
    EXPECT_EQ(name, c.expected);
    EXPECT_EQ(name.find('/'), std::string::npos);
    EXPECT_NE(name[0], '.');
  }
  EXPECT_EQ(TRS_Client_Directory_Name(std::string(300, 'x'), v4, 1).size(), 64u + 1 + 9 + 1 + 1);
  EXPECT_EQ(TRS_Client_Directory_Name("s", Endpoint(AF_INET6, "::1"), 7), "s___1_7");
  EXPECT_EQ(TRS_Endpoint_Text(Endpoint(AF_INET6, "::1")), "[::1]:5000");
  EXPECT_EQ(TRS_Endpoint_Text(v4), "127.0.0.1:5000");
}

}  // namespace
