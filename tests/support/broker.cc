#include "support/broker.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/temp_dir.h"

namespace mqw_test {

namespace {

constexpr const char* kBrokerPath = "/usr/sbin/mosquitto";

}  // namespace

Broker::Broker(uint16_t port) : m_Port(port) {}

Broker::~Broker() { Stop(); }

bool Broker::Port_Accepts(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return ok;
}

bool Broker::Start(std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  };
  if (Running()) return true;
  if (access(kBrokerPath, X_OK) != 0) return fail(std::string(kBrokerPath) + " is not installed");
  if (Port_Accepts(m_Port)) return fail("port " + std::to_string(m_Port) + " is already in use");

  m_Dir = std::make_unique<TempDir>("mqw-broker");
  if (!m_Dir->Valid()) return fail("cannot create a temporary directory");
  std::ostringstream config;
  config << "listener " << m_Port << " 127.0.0.1\n"
         << "allow_anonymous true\n"
         << "persistence false\n"
         << "max_queued_messages 1000000\n"
         << "max_inflight_messages 0\n"
         << "set_tcp_nodelay true\n"
         << "log_dest file " << m_Dir->File("broker.log") << "\n"
         << "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n";
  // Started as root the broker would switch to its own user, which cannot write here.
  if (geteuid() == 0) config << "user root\n";
  const std::string configPath = m_Dir->File("broker.conf");
  if (!Write_File(configPath, config.str())) return fail("cannot write " + configPath);

  // Everything the child needs is prepared before fork: only async-signal-safe calls after it.
  const std::string outputPath = m_Dir->File("broker.out");
  const char* argv[] = {"mosquitto", "-c", configPath.c_str(), nullptr};
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) return fail("fork failed");
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const int null = open("/dev/null", O_RDONLY);
    const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (null >= 0) dup2(null, 0);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    // The child must not inherit blocked signals (SIGTERM must end it).
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(kBrokerPath, const_cast<char* const*>(argv));
    _exit(127);
  }
  m_Pid = pid;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Port_Accepts(m_Port)) return true;
    int status = 0;
    if (waitpid(m_Pid, &status, WNOHANG) == m_Pid) {
      m_Pid = -1;
      return fail("the broker ended at start-up: " + Log());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Stop();
  return fail("the broker did not accept connections within 20 s");
}

void Broker::Reap(int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(m_Pid, &status, WNOHANG);
    if (r == m_Pid || (r < 0 && errno != EINTR)) {
      m_Pid = -1;
      return;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(m_Pid, SIGKILL);
      waitpid(m_Pid, &status, 0);
      m_Pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void Broker::Stop() {
  if (!Running()) return;
  kill(m_Pid, SIGCONT);
  kill(m_Pid, SIGTERM);
  Reap(5000);
}

bool Broker::Pause() { return Running() && kill(m_Pid, SIGSTOP) == 0; }

bool Broker::Resume() { return Running() && kill(m_Pid, SIGCONT) == 0; }

bool Broker::Kill() {
  if (!Running()) return false;
  kill(m_Pid, SIGKILL);
  Reap(5000);
  return true;
}

std::string Broker::Log() const {
  if (!m_Dir || !m_Dir->Valid()) return {};
  std::string text;
  for (const char* name : {"broker.out", "broker.log"}) {
    std::ifstream in(m_Dir->File(name));
    std::stringstream content;
    content << in.rdbuf();
    text += content.str();
  }
  return text;
}

}  // namespace mqw_test
