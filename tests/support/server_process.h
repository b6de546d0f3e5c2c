// ServerProcess: the trace-server tool as a child process for the tests, with its files, its
// port file and its output in a temporary directory of its own that it removes at the end.
//
// Start runs the tool on a listen address (empty: the tool's default) and waits until it has
// written its port file; Start again after Stop serves the same directory (and, given the same
// listen address, the same port). Stop sends SIGTERM, on which the tool writes out and closes
// its files, and returns its exit status. The destructor stops a tool still running.
//
// Thread-safety: none; one test thread drives it (Spawn_Program forks).
#ifndef TESTS_SUPPORT_SERVER_PROCESS_H_
#define TESTS_SUPPORT_SERVER_PROCESS_H_

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace mqw_test {

class ServerProcess {
 public:
  // `program`: the tool's path; must outlive this object.
  explicit ServerProcess(const char* program) : program_(program) {}
  ~ServerProcess();

  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // False when the tool wrote no port file before the event backstop.
  bool Start(const std::string& listen, const std::vector<std::string>& extra = {});
  int Stop();

  uint16_t Port() const { return port_; }
  // The --dir of the tool.
  std::string Traces() const { return dir_.File("traces"); }
  std::string Out() const;
  std::string Err() const;
  // The one client directory whose name begins with `prefix` (empty when there is none; a test
  // failure when there are two).
  std::string Client_Dir(const std::string& prefix) const;
  // The ".trd" files of the only client directory so far, in the order they were written;
  // none while there is no client directory or more than one.
  std::vector<std::string> Files() const;
  // Files(), with a test failure unless there is exactly one client directory.
  std::vector<std::string> Client_Files() const;

 private:
  const char* program_;
  TempDir dir_{"trace-server"};
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

}  // namespace mqw_test

#endif  // TESTS_SUPPORT_SERVER_PROCESS_H_
