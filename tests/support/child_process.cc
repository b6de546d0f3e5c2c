#include "support/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <vector>

namespace mqw_test {

namespace {

long long Now_Ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

ChildResult Run_In_Child(const std::function<int()>& body, unsigned timeout_ms) {
  ChildResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return result;
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return result;
  }
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    int code = 125;
    try {
      code = body();
    } catch (...) {
      code = 125;
    }
    fflush(stdout);
    _exit(code);
  }
  result.started = true;
  close(fds[1]);

  long long deadline = timeout_ms ? Now_Ms() + timeout_ms : 0;
  char buffer[4096];
  bool killed = false;
  for (;;) {
    int wait_ms = -1;
    if (deadline && !killed) {
      long long left = deadline - Now_Ms();
      if (left <= 0) {
        kill(pid, SIGKILL);
        killed = true;
        result.timed_out = true;
        break;
      }
      wait_ms = static_cast<int>(left);
    }
    pollfd poll_fd{fds[0], POLLIN, 0};
    int ready = poll(&poll_fd, 1, wait_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    if (ready == 0) continue;
    ssize_t got = read(fds[0], buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    result.output.append(buffer, static_cast<size_t>(got));
  }
  close(fds[0]);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

std::string Capture_Stdout(const std::function<void()>& body) {
  const char* base = getenv("TMPDIR");
  if (!base || !*base) base = "/tmp";
  std::string pattern = std::string(base) + "/mqw-stdout.XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  int file = mkstemp(name.data());
  if (file < 0) {
    body();
    return {};
  }
  unlink(name.data());

  fflush(stdout);
  int saved = dup(STDOUT_FILENO);
  dup2(file, STDOUT_FILENO);
  body();
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);

  std::string output;
  lseek(file, 0, SEEK_SET);
  char buffer[4096];
  for (;;) {
    ssize_t got = read(file, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    output.append(buffer, static_cast<size_t>(got));
  }
  close(file);
  return output;
}

}  // namespace mqw_test
