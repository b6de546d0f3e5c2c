// End to end: a host process (e2e_host: TR::LoggerInit, the network sink) traces to the
// trace-server tool, and the files the tool stores are read back with trace-cat. Every call the
// host was told was accepted must be stored exactly once and in its thread's order, through
// 65280-byte packets (the sink's size on a loopback address), with and without data packets lost
// on the way; the engine's defaults must find a server on 127.0.0.1:9009; a server restart must
// leave a reconnected host and a new file that decodes by itself; a verbosity the server sends
// must reach the host's channel. Runs in a private network namespace (fixed port 9009).
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "logger/logger_config.h"
#include "support/program.h"
#include "support/server_process.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "trace/channel/trace.h"
#include "trace/core/loss_listener.h"

namespace {

using mqw_test::Directory_Entries;
using mqw_test::Spawn_Program;
using mqw_test::Split_Lines;
using mqw_test::Wait_Status;

using namespace std::chrono_literals;

// One line of a host as trace-cat prints it with kFormat.
const char kFormat[] = "%lv|%ms";
struct Message {
  std::string level;
  int thread = -1;
  uint32_t accepted = 0;  // s=: accepted calls of the thread before this one
  uint32_t call = 0;      // i=: every call of the thread
};

struct Cat_Result {
  int status = -1;
  std::vector<std::string> lines;
  std::vector<Message> messages;  // the lines written by e2e_host's calls
};

Cat_Result Run_Cat(const std::vector<std::string>& inputs) {
  std::vector<std::string> args = {std::string("--format=") + kFormat};
  args.insert(args.end(), inputs.begin(), inputs.end());
  mqw_test::sProgram_Run run = mqw_test::Run_Program(TRACE_CAT_PATH, args);
  Cat_Result result;
  result.status = run.status;
  result.lines = std::move(run.lines);
  for (const std::string& line : result.lines) {
    const size_t bar = line.find('|');
    Message message;
    if (bar == std::string::npos || sscanf(line.c_str() + bar + 1, "e2e t=%d s=%u i=%u",
                                           &message.thread, &message.accepted, &message.call) != 3)
      continue;
    message.level = line.substr(0, bar);
    result.messages.push_back(message);
  }
  return result;
}

// The tool on loopback with its files in a temporary directory.
class Server : public mqw_test::ServerProcess {
 public:
  Server() : ServerProcess(TRACE_SERVER_PATH) {}
};

struct Host_Result {
  int status = -1;
  std::vector<uint32_t> accepted;  // per thread
  std::string err;
};

// A host ended by a signal cannot remove the shared-memory objects named after its process ID;
// the test removes them, so that a run leaves nothing behind.
void Remove_Shared_Objects(pid_t pid) {
  const std::string tag = "_PID" + std::to_string(pid) + "_";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", error)) {
    const std::string name = entry.path().filename().string();
    if (name.find("TR_Type") != std::string::npos && name.find(tag) != std::string::npos)
      std::filesystem::remove(entry.path(), error);
  }
}

// e2e_host as a child: Launch, then Finish.
class Host {
 public:
  ~Host() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      Remove_Shared_Objects(pid_);
    }
  }
  // `options`: the host's /TR. options (LoggerInit's default arguments); the configuration file
  // it is given never exists.
  void Launch(const std::vector<std::string>& mode, const std::vector<std::string>& options) {
    std::vector<std::string> args = {dir_.File("absent-tr.cfg")};
    args.insert(args.end(), mode.begin(), mode.end());
    args.insert(args.end(), options.begin(), options.end());
    pid_ = Spawn_Program(E2E_HOST_PATH, args, dir_.File("out"), dir_.File("err"));
  }
  Host_Result Finish() {
    Host_Result result;
    result.status = Wait_Status(pid_);
    Remove_Shared_Objects(pid_);
    pid_ = -1;
    for (const std::string& line : Split_Lines(mqw_test::Read_File(dir_.File("out")))) {
      size_t thread;
      uint32_t count;
      if (sscanf(line.c_str(), "accepted t=%zu n=%u", &thread, &count) != 2) continue;
      if (result.accepted.size() <= thread) result.accepted.resize(thread + 1);
      result.accepted[thread] = count;
    }
    result.err = mqw_test::Read_File(dir_.File("err"));
    return result;
  }
  // What the host has written to its standard output so far.
  std::string Out() const { return mqw_test::Read_File(dir_.File("out")); }
  Host_Result Run(const std::vector<std::string>& mode, const std::vector<std::string>& options) {
    Launch(mode, options);
    return Finish();
  }

 private:
  mqw_test::TempDir dir_{"e2e-host"};
  pid_t pid_ = -1;
};

std::vector<std::string> Network_Options(uint16_t port) {
  return {"/TR.Sink=Network", "/TR.Addr=127.0.0.1", "/TR.Port=" + std::to_string(port),
          "/TR.Name=e2e-host"};
}

// The host's channel starts at level info: its debug calls are refused.
std::vector<std::string> Info_Level(std::vector<std::string> options) {
  options.push_back("/TR.Trc.Verb=2");
  return options;
}

// Per thread, the stored messages are exactly the accepted calls in order: s = 0, 1, ...,
// accepted - 1, with the call numbers rising.
void Expect_Exactly_Accepted(const std::vector<Message>& messages,
                             const std::vector<uint32_t>& accepted) {
  std::vector<uint32_t> next(accepted.size(), 0);
  std::vector<int64_t> last_call(accepted.size(), -1);
  size_t wrong = 0;
  for (const Message& message : messages) {
    ASSERT_GE(message.thread, 0);
    ASSERT_LT(static_cast<size_t>(message.thread), accepted.size());
    const size_t t = static_cast<size_t>(message.thread);
    if ((message.accepted != next[t] || message.call <= last_call[t]) && wrong++ < 5) {
      ADD_FAILURE() << "thread " << t << ": expected s=" << next[t] << " after call "
                    << last_call[t] << ", got s=" << message.accepted << " i=" << message.call;
    }
    next[t] = message.accepted + 1;
    last_call[t] = message.call;
  }
  for (size_t t = 0; t < accepted.size(); ++t)
    EXPECT_EQ(next[t], accepted[t]) << "messages stored of thread " << t;
}

TEST(TraceServerEndToEnd, FourThreadsArriveExactlyAndInOrder) {
  struct Case {
    const char* name;
    std::vector<std::string> server_options;
    uint32_t calls;  // per thread
  };
  const Case cases[] = {
      {"no loss", {}, mqw_test::Scaled(250000)},
      {"10 % of the data packets dropped", {"--drop-percent", "10"}, mqw_test::Scaled(250000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Server server;
    ASSERT_TRUE(server.Start("127.0.0.1:0", c.server_options)) << server.Err();
    Host host;
    // No /TR.PSize=: on a loopback address the sink uses its largest packets (65280 bytes).
    Host_Result run =
        host.Run({"burst", "4", std::to_string(c.calls)}, Network_Options(server.Port()));
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.accepted.size(), 4u);
    // The threads race for the sink's buffers: one of them may find them full for all of its
    // calls, which is no fault; the stream as a whole must carry accepted calls.
    uint64_t total = 0;
    for (uint32_t count : run.accepted) total += count;
    EXPECT_GT(total, 0u);
    EXPECT_EQ(server.Stop(), 0);

    Cat_Result cat = Run_Cat(server.Client_Files());
    ASSERT_EQ(cat.status, 0);
    Expect_Exactly_Accepted(cat.messages, run.accepted);
  }
}

TEST(TraceServerEndToEnd, DefaultOptionsReachTheDefaultServerAddress) {
  Server server;
  ASSERT_TRUE(server.Start(""));  // the tool's default: 127.0.0.1:9009
  ASSERT_EQ(server.Port(), 9009);
  // Bound to loopback only, as the system's own socket table shows (port 9009 is 2331 in hex):
  // never to every interface.
  const std::string sockets = mqw_test::Read_File("/proc/net/udp");
  EXPECT_NE(sockets.find(" 0100007F:2331 "), std::string::npos) << sockets;
  EXPECT_EQ(sockets.find(" 00000000:2331 "), std::string::npos) << sockets;
  Host host;
  Host_Result run =
      host.Run({"burst", "1", "1000"}, {});  // no option at all: network sink, 127.0.0.1:9009
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(run.accepted.size(), 1u);
  EXPECT_EQ(server.Stop(), 0);

  Cat_Result cat = Run_Cat(server.Client_Files());
  ASSERT_EQ(cat.status, 0);
  ASSERT_FALSE(cat.lines.empty());
  EXPECT_EQ(cat.lines[0], std::string("INFO |Logger initialised! VERSION ") + TR::detail::kVersion);
  Expect_Exactly_Accepted(cat.messages, run.accepted);
}

// A fatal signal with records still queued in the network sink: the crash handler's flush
// sends them, and the server stores every accepted call.
TEST(TraceServerEndToEnd, CrashFlushDeliversWhatWasPending) {
  Server server;
  ASSERT_TRUE(server.Start("127.0.0.1:0")) << server.Err();
  Host host;
  Host_Result run =
      host.Run({"crash", std::to_string(mqw_test::Scaled(20000))}, Network_Options(server.Port()));
  // The facade ends a process on a fatal signal with the signal's number as its exit status.
  EXPECT_EQ(run.status, SIGSEGV) << run.err;
  ASSERT_EQ(run.accepted.size(), 1u);
  EXPECT_GT(run.accepted[0], 0u);
  EXPECT_EQ(server.Stop(), 0);

  Cat_Result cat = Run_Cat(server.Client_Files());
  ASSERT_EQ(cat.status, 0);
  Expect_Exactly_Accepted(cat.messages, run.accepted);
}

TEST(TraceServerEndToEnd, HostReconnectsAfterAServerRestart) {
  Server server;
  ASSERT_TRUE(server.Start("127.0.0.1:0"));
  const std::string listen = "127.0.0.1:" + std::to_string(server.Port());
  Host host;
  mqw_test::TempDir control("e2e-control");
  const std::string stop_file = control.File("stop");
  // One call per millisecond throughout, until told to stop: before the server goes, while no
  // server answers, and after it is back. The sink's journal (/TR.Verb=0) tells when it has
  // dropped the connection.
  std::vector<std::string> options = Network_Options(server.Port());
  options.push_back("/TR.Verb=0");
  host.Launch({"paced", stop_file}, options);
  // Each step waits for what it needs: stored calls, the drop seen by the host, stored calls of
  // the new connection.
  const bool stored_before = mqw_test::Wait_Until(
      [&] {
        const std::vector<std::string> files = server.Files();
        return !files.empty() && !Run_Cat(files).messages.empty();
      },
      mqw_test::kEvent_Backstop, 200ms);
  EXPECT_EQ(server.Stop(), 0);
  const bool dropped =
      mqw_test::Wait_Until([&] { return host.Out().find("Drop Connection") != std::string::npos; });
  ASSERT_TRUE(server.Start(listen)) << server.Err();
  const bool stored_after = mqw_test::Wait_Until(
      [&] {
        const std::vector<std::string> files = server.Files();
        return files.size() == 2 && !Run_Cat({files[1]}).messages.empty();
      },
      mqw_test::kEvent_Backstop, 200ms);
  ASSERT_TRUE(mqw_test::Write_File(stop_file, ""));
  Host_Result run = host.Finish();
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_TRUE(stored_before);
  EXPECT_TRUE(dropped) << host.Out();
  EXPECT_TRUE(stored_after);

  const std::vector<std::string> files = server.Client_Files();
  ASSERT_EQ(files.size(), 2u) << "one file before the restart, one after";
  Cat_Result before = Run_Cat({files[0]});
  Cat_Result after = Run_Cat({files[1]});  // decodes without the first file
  ASSERT_EQ(before.status, 0);
  ASSERT_EQ(after.status, 0);
  ASSERT_FALSE(before.messages.empty());
  ASSERT_FALSE(after.messages.empty());
  // Each file holds one run of accepted calls in order; the calls made while no server answered
  // are missing between them.
  for (const Cat_Result* part : {&before, &after}) {
    for (size_t i = 1; i < part->messages.size(); ++i) {
      ASSERT_LT(part->messages[i - 1].call, part->messages[i].call);
      ASSERT_EQ(part->messages[i - 1].accepted + 1, part->messages[i].accepted);
    }
  }
  EXPECT_GT(after.messages.front().call, before.messages.back().call + 1);
  EXPECT_EQ(after.messages.back().accepted + 1, run.accepted[0]);

  // The sink reports the records it discarded to channels that listen for losses; such a channel
  // shows the gap as a warning message of its own, which then stands in the new file.
  static_assert(std::is_base_of_v<ILoss_Listener, CTRTrace>, "channels listen for losses");
  const bool warned =
      std::any_of(after.lines.begin(), after.lines.end(),
                  [](const std::string& line) { return line.rfind("WARN.|", 0) == 0; });
  EXPECT_TRUE(warned) << "no warning about the lost records in the file after the restart";
}

TEST(TraceServerEndToEnd, ServerVerbosityReachesTheHost) {
  Server server;
  // Level 0 (trace) on the host's channel: its debug calls are accepted from then on.
  ASSERT_TRUE(server.Start("127.0.0.1:0", {"--verbosity", "e2e-host*/Trace channel 1=0"}));
  Host host;
  Host_Result run = host.Run({"debug", "10000"}, Info_Level(Network_Options(server.Port())));
  EXPECT_EQ(run.status, 0) << "no debug call was accepted\n" << run.err;
  EXPECT_EQ(server.Stop(), 0);
  Cat_Result cat = Run_Cat(server.Client_Files());
  ASSERT_EQ(cat.status, 0);
  ASSERT_EQ(cat.messages.size(), 5u);
  for (const Message& message : cat.messages) EXPECT_EQ(message.level, "DEBUG");

  // Without the command the channel's own level refuses them.
  Server plain;
  ASSERT_TRUE(plain.Start("127.0.0.1:0"));
  Host quiet;
  EXPECT_EQ(quiet.Run({"debug", "500"}, Info_Level(Network_Options(plain.Port()))).status, 3);
}

}  // namespace
