// TR_Create_Client: splitting the caller's string, merging it behind the process command line,
// and choosing the sink from the merged options.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <mqtt-wrapper/TR.h>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "trace/core/client.h"

extern char** environ;

namespace {

// Reads the stored options of a client made by the factory (they are protected members).
struct ArgsPeek : CClient {
  static std::vector<std::string> Of(ITR_Client* client) {
    auto* base = dynamic_cast<CClient*>(client);
    std::vector<std::string> out;
    if (base == nullptr) return out;
    char** args = base->*(&ArgsPeek::m_Args);
    const int count = base->*(&ArgsPeek::m_ArgsCount);
    for (int i = 0; i < count; ++i) out.emplace_back(args[i]);
    return out;
  }
};

struct Releaser {
  void operator()(ITR_Client* c) const {
    if (c != nullptr) c->Release();
  }
};
using ClientPtr = std::unique_ptr<ITR_Client, Releaser>;

ClientPtr Create(const char* args) { return ClientPtr(TR_Create_Client(args)); }

// This process's own command line, as the factory sees it.
std::vector<std::string> Own_Command_Line() {
  std::vector<std::string> out;
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  std::string data;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) data.append(buffer, static_cast<size_t>(got));
  close(fd);
  data.resize(std::min<size_t>(data.size(), 4096));
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find('\0', start);
    if (end == std::string::npos) end = data.size();
    out.push_back(data.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

TEST(CreateClientSplit, CallerStringFollowsTheCommandLine) {
  struct Case {
    const char* text;
    std::vector<std::string> expected;
  } cases[] = {
      {"/TR.Sink=Null", {"/TR.Sink=Null"}},
      {R"(/TR.Name="My Client" /TR.Sink=Null)", {"/TR.Name=My Client", "/TR.Sink=Null"}},
      {R"(/TR.Sink=Null /TR.Dir="/tmp/a b"/c)", {"/TR.Sink=Null", "/TR.Dir=/tmp/a b/c"}},
      {"/TR.Sink=Null  /TR.Name=x", {"/TR.Sink=Null", "", "/TR.Name=x"}},
      {" /TR.Sink=Null", {"", "/TR.Sink=Null"}},
      {"/TR.Sink=Null /TR.Name=a\tb", {"/TR.Sink=Null", "/TR.Name=a\tb"}},
      {R"(/TR.Sink=Null "/TR.Name=open quote)", {"/TR.Sink=Null", "/TR.Name=open quote"}},
      {R"(/TR.Sink=Null /TR.Name=""x"")", {"/TR.Sink=Null", "/TR.Name=x"}},
  };
  const std::vector<std::string> command_line = Own_Command_Line();
  ASSERT_FALSE(command_line.empty());
  for (const auto& c : cases) {
    ClientPtr client = Create(c.text);
    ASSERT_NE(client, nullptr) << c.text;
    std::vector<std::string> expected = command_line;
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    EXPECT_EQ(ArgsPeek::Of(client.get()), expected) << c.text;
  }
}

// What the factory must return for one option string: nothing, or a client of this type.
struct SinkCase {
  std::string text;
  std::optional<ITR_Client::eType> type;
};

// A bound UDP port on loopback that never answers: a network sink aimed at it gets no server.
class SilentPort {
 public:
  SilentPort() {
    socket_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      port_ = ntohs(address.sin_port);
  }
  ~SilentPort() { close(socket_); }
  std::string Port_Option() const { return " /TR.Port=" + std::to_string(port_); }

 private:
  int socket_ = -1;
  uint16_t port_ = 0;
};

TEST(CreateClientSink, ChoiceFollowsOnAndSinkOptions) {
  SilentPort silent;
  mqw_test::TempDir dir;
  ASSERT_TRUE(dir.Valid());
  const std::string where = " /TR.Dir=" + dir.Path();
  const auto file_type = std::optional(ITR_Client::eFileBin);
  const auto text_type = std::optional(ITR_Client::eText);

  const SinkCase cases[] = {
      {"/TR.Sink=Null", ITR_Client::eNull},
      {"/TR.Sink=null", ITR_Client::eNull},
      {"/TR.Sink=NULL", ITR_Client::eNull},
      {"/TR.Sink=Null ", ITR_Client::eNull},  // the trailing blank makes an empty argument
      {"/TR.Sink=Nul", text_type},            // not a prefix match: any other value is text
      {"/TR.Sink=Nulls", text_type},
      {"/TR.Sink=Console", text_type},
      {"/TR.Sink=", text_type},
      // The network sink is the default; it is made whether or not a server answers.
      {"", ITR_Client::eNetwork},
      {"/TR.Sink=Network", ITR_Client::eNetwork},
      {"/TR.Sink=nEtWoRk", ITR_Client::eNetwork},
      {"/TR.Sink=File" + where, file_type},
      {"/TR.Sink=fileBIN" + where, file_type},
      // No answer within its wait: the binary file sink instead.
      {"/TR.Sink=Auto" + where + silent.Port_Option(), file_type},
      // Only a value beginning with the digit 0 switches the engine off.
      {"/TR.On=0 /TR.Sink=Null", std::nullopt},
      {"/TR.On=0000 /TR.Sink=Null", std::nullopt},
      {"/TR.On=0ff /TR.Sink=Null", std::nullopt},
      {"/TR.On=false /TR.Sink=Null", ITR_Client::eNull},
      {"/TR.On=1 /TR.Sink=Null", ITR_Client::eNull},
      {"/TR.On= /TR.Sink=Null", ITR_Client::eNull},
      {"/TR.on=0 /TR.Sink=Null", ITR_Client::eNull},           // option names are case-sensitive
      {"/TR.Sink=Null /TR.On=1 /TR.On=0", ITR_Client::eNull},  // first match wins
  };
  for (const auto& c : cases) {
    ClientPtr client = Create(c.text.c_str());
    if (!c.type) {
      EXPECT_EQ(client, nullptr) << c.text;
      continue;
    }
    ASSERT_NE(client, nullptr) << c.text;
    EXPECT_EQ(client->Get_Type(), *c.type) << c.text;
    EXPECT_EQ(client->Get_Status(), eCode_Ok) << c.text;
  }
  ClientPtr defaults(TR_Create_Client(nullptr));
  ASSERT_NE(defaults, nullptr) << "no options: the network sink with every default";
  EXPECT_EQ(defaults->Get_Type(), ITR_Client::eNetwork);
}

TEST(CreateClientSink, NullSinkFromTheFactoryKeepsItsOptions) {
  ClientPtr client = Create("/TR.Sink=Null /TR.Name=Gateway /TR.FlashChannels=0");
  ASSERT_NE(client, nullptr);
  EXPECT_STREQ(client->Get_Argument("/TR.Name="), "Gateway");
  EXPECT_STREQ(client->Get_Argument("/TR.Sink="), "Null");
  EXPECT_EQ(client->Get_Argument("/TR.Port="), nullptr);
  EXPECT_EQ(client->Add_Ref(), 2u);
  EXPECT_EQ(client->Release(), 1u);
}

// --- The process command line: a child of this binary runs one of the cases below with extra
// arguments on its own command line. The cases only run in such a child.

constexpr char kChildEnv[] = "MQW_CREATE_CLIENT_CHILD";

bool In_Child() { return getenv(kChildEnv) != nullptr; }

// Runs this test binary again with `filter` and `extra` arguments on its command line (through
// the emulator, looked up in PATH, when the tests run under one). Returns the child's exit status,
// or -1.
int Run_Child(const std::string& filter, const std::vector<std::string>& extra) {
  char exe[4096];
  const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (length <= 0) return -1;
  exe[length] = 0;

  std::vector<std::string> argv;
  const char* emulator = getenv("MQW_EMULATOR");
  if (emulator != nullptr && emulator[0] != 0) argv.emplace_back(emulator);
  argv.emplace_back(exe);
  argv.push_back("--gtest_filter=" + filter);
  argv.insert(argv.end(), extra.begin(), extra.end());

  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
  env_strings.push_back(std::string(kChildEnv) + "=1");

  std::vector<char*> argv_p, env_p;
  for (auto& a : argv) argv_p.push_back(a.data());
  argv_p.push_back(nullptr);
  for (auto& e : env_strings) env_p.push_back(e.data());
  env_p.push_back(nullptr);

  pid_t pid = 0;
  if (posix_spawnp(&pid, argv_p[0], nullptr, nullptr, argv_p.data(), env_p.data()) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CreateClientCommandLine, OverridesTheCallerString) {
  ASSERT_EQ(Run_Child("CreateClientChild.CommandLineWins",
                      {"/TR.Sink=Null", "/TR.Name=From command line", "/TR.FlashChannels=0"}),
            0);
}

TEST(CreateClientCommandLine, CanSwitchTheEngineOff) {
  ASSERT_EQ(Run_Child("CreateClientChild.SwitchedOff", {"/TR.On=0"}), 0);
}

TEST(CreateClientCommandLine, OnlyTheFirst4096BytesCount) {
  // The long option is cut at the limit; the option behind it lies beyond and is not seen.
  ASSERT_EQ(Run_Child("CreateClientChild.LongCommandLine",
                      {"/TR.Name=" + std::string(5000, 'x'), "/TR.On=0"}),
            0);
}

TEST(CreateClientChild, CommandLineWins) {
  if (!In_Child()) GTEST_SKIP() << "runs in a child process";
  ClientPtr client =
      Create(R"(/TR.Sink=Nul /TR.Name="From string" /TR.FlashChannels=1 /TR.Port=7)");
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->Get_Type(), ITR_Client::eNull);
  EXPECT_STREQ(client->Get_Argument("/TR.Name="), "From command line");
  EXPECT_STREQ(client->Get_Argument("/TR.FlashChannels="), "0");
  EXPECT_STREQ(client->Get_Argument("/TR.Port="), "7") << "string options still count";
  const auto args = ArgsPeek::Of(client.get());
  ASSERT_GE(args.size(), 8u);
  EXPECT_EQ(args[args.size() - 4], "/TR.Sink=Nul") << "the caller's string comes last";
}

TEST(CreateClientChild, SwitchedOff) {
  if (!In_Child()) GTEST_SKIP() << "runs in a child process";
  EXPECT_EQ(TR_Create_Client("/TR.On=1 /TR.Sink=Null"), nullptr);
}

TEST(CreateClientChild, LongCommandLine) {
  if (!In_Child()) GTEST_SKIP() << "runs in a child process";
  ClientPtr client = Create("/TR.Sink=Null");
  ASSERT_NE(client, nullptr) << "/TR.On=0 lies beyond the limit";
  const char* name = client->Get_Argument("/TR.Name=");
  ASSERT_NE(name, nullptr);
  const size_t length = strlen(name);
  EXPECT_GT(length, 0u);
  EXPECT_LT(length, 4096u);
  EXPECT_EQ(std::string(name), std::string(length, 'x'));
}

}  // namespace
