// Syslog output against a real receiver: rsyslogd started by the test (UDP input on a loopback
// port, raw messages written to a file), inside the test's private network namespace.
#include "trace/text/cl_text_syslog.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/option_args.h"
#include "support/stream_builder.h"
#include "support/temp_dir.h"
#include "trace/text/cl_text.h"

namespace {

using namespace text_test;
using namespace std::chrono_literals;

constexpr int kPort = 5514;

using mqw_test::OptionArgs;
using mqw_test::Read_File;

void Send_Udp(const std::string& text) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kPort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  close(fd);
}

// rsyslogd in the foreground with its own configuration; one line per message:
// "<pri>|<app-name>|<procid>|<hostname>|<raw message>".
class Rsyslog {
 public:
  Rsyslog() {
    out_ = dir_.File("messages.log");
    std::string conf = dir_.File("rsyslog.conf");
    mqw_test::Write_File(conf, "global(workDirectory=\"" + dir_.Path() +
                                   "\")\n"
                                   "module(load=\"imudp\")\n"
                                   "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" +
                                   std::to_string(kPort) +
                                   "\")\n"
                                   "template(name=\"raw\" type=\"string\" "
                                   "string=\"%pri%|%app-name%|%procid%|%hostname%|%rawmsg%\\n\")\n"
                                   "*.* action(type=\"omfile\" file=\"" +
                                   out_ + "\" template=\"raw\")\n");
    pid_ = fork();
    if (pid_ == 0) {
      std::string pidfile = dir_.File("rsyslogd.pid");
      execl("/usr/sbin/rsyslogd", "rsyslogd", "-n", "-f", conf.c_str(), "-i", pidfile.c_str(),
            nullptr);
      _exit(127);
    }
  }
  ~Rsyslog() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      for (int i = 0; i < 50 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(100ms);
      if (waitpid(pid_, &status, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
    }
  }
  // Sends probes until one is written out: the receiver is then ready.
  bool Ready() {
    for (int i = 0; i < 300; ++i) {
      Send_Udp("<13>1 - - probe - - - probe");
      std::this_thread::sleep_for(100ms);
      if (Read_File(out_).find("probe") != std::string::npos) return true;
    }
    return false;
  }
  // Lines received after the probes, waiting until `count` are there.
  std::vector<std::string> Lines(size_t count) {
    std::vector<std::string> lines;
    for (int i = 0; i < 200; ++i) {
      lines.clear();
      std::stringstream text(Read_File(out_));
      for (std::string line; std::getline(text, line);) {
        if (line.find("probe") == std::string::npos) lines.push_back(line);
      }
      if (lines.size() >= count) break;
      std::this_thread::sleep_for(100ms);
    }
    return lines;
  }

 private:
  mqw_test::TempDir dir_;
  std::string out_;
  pid_t pid_ = -1;
};

CClText* New_Syslog_Client(std::vector<std::string> options) {
  options.push_back("/TR.Sink=Syslog");
  options.push_back("/TR.Port=" + std::to_string(kPort));
  options.push_back("/TR.Format=%ms");
  OptionArgs args(std::move(options));
  return new CClText(args.Get(), args.Count());
}

void Send(ITR_Client* client, const Bytes& payload) {
  sTRC_Data_Chunk chunk{payload.data(), static_cast<uint32_t>(payload.size())};
  ASSERT_EQ(client->Sent(0, &chunk, 1, static_cast<uint32_t>(payload.size())), 0u);
}

std::string Host() {
  char host[96] = {};
  gethostname(host, sizeof(host) - 1);
  for (char* p = host; *p; ++p) {
    if (*p == ' ') *p = '_';
  }
  return host;
}

TEST(ClTextSyslog, LinesReachARealReceiver) {
  Rsyslog receiver;
  ASSERT_TRUE(receiver.Ready());
  CClText* client = New_Syslog_Client({"/TR.Facility=3"});
  ASSERT_EQ(client->Get_Status(), 0u);
  Send(client, Cat({Info("C"), Format(1, "level %d", {4, 8})}));
  const uint8_t levels[] = {0, 2, 3, 4, 5, 7};
  for (uint8_t level : levels) Send(client, Data(1, kTimer0, Int(level), level));
  client->Release();

  const uint32_t severity[] = {7, 6, 4, 3, 2, 2};
  std::vector<std::string> lines = receiver.Lines(6);
  ASSERT_EQ(lines.size(), 6u);
  const std::string suffix = "|text_syslog_test|" + std::to_string(getpid()) + "|" + Host() + "|";
  for (size_t i = 0; i < 6; ++i) {
    uint32_t pri = 3 * 8 + severity[i];
    std::string expected = std::to_string(pri) + suffix + "<" + std::to_string(pri) +
                           ">1 2026-01-02T03:04:05.678Z " + Host() + " text_syslog_test " +
                           std::to_string(getpid()) + " - - level " + std::to_string(levels[i]);
    EXPECT_EQ(lines[i].substr(0, expected.size()), expected) << lines[i];
  }
}

TEST(ClTextSyslog, LongLinesAreCutToThePacket) {
  // A plain UDP receiver sees the exact datagrams.
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(kPort + 1);
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));

  OptionArgs args({"/TR.PSize=100", "/TR.Port=" + std::to_string(kPort + 1), "/TR.Sink=Syslog",
                   "/TR.Format=%ms"});
  CClText* client = new CClText(args.Get(), args.Count());
  ASSERT_EQ(client->Get_Status(), 0u);
  Send(client,
       Cat({Info("C"), Format(1, "%s", {10, 0}), Data(1, kTimer0, Str(std::string(2000, 'L'))),
            Data(1, kTimer0, Str("short"))}));
  client->Release();

  char packet[4096];
  ssize_t n = recv(fd, packet, sizeof(packet), 0);
  ASSERT_EQ(n, 512);  // below 512 the packet size is raised to 512
  EXPECT_EQ(packet[511], '\0');
  EXPECT_EQ(std::string(packet, 511).find_first_of('\0'), std::string::npos);
  EXPECT_EQ(std::string(packet + 510, 1), "L");
  n = recv(fd, packet, sizeof(packet), 0);
  ASSERT_GT(n, 6);
  EXPECT_EQ(std::string(packet + n - 7, 7), std::string("short\0", 6).insert(0, " "));
  close(fd);
}

TEST(ClTextSyslog, UnresolvableAddressFailsCreation) {
  OptionArgs args({"/TR.Sink=Syslog", "/TR.Addr=no.such.host.invalid"});
  CClText* client = new CClText(args.Get(), args.Count());
  EXPECT_EQ(client->Get_Status(), 2u);
  EXPECT_EQ(TR_Last_Error(), 3u);
  client->Release();
}

}  // namespace
