// Helpers to run test code in a forked child process, or with standard output captured.
//
// Run_In_Child forks, runs `body` in the child with its standard output (fd 1) sent to a pipe,
// and returns how the child ended together with everything it wrote there. The child ends with
// _exit(body's result) (125 when body throws), so it never runs the parent's atexit handlers or
// static destructors. GoogleTest assertions inside the child do not reach the parent: report
// failures through the exit code or the output. With a timeout the child is killed (SIGKILL)
// when it has not ended in time.
//
// Capture_Stdout runs `body` in this process with fd 1 redirected to an unlinked temporary file
// and returns what was written (C stdio and raw writes alike).
//
// Thread-safety: call from one thread at a time; the child of a multi-threaded parent holds only
// the forking thread, so `body` must not rely on other threads or locks they might hold.
#ifndef TESTS_SUPPORT_CHILD_PROCESS_H_
#define TESTS_SUPPORT_CHILD_PROCESS_H_

#include <functional>
#include <string>

namespace mqw_test {

struct ChildResult {
  bool started = false;  // fork succeeded
  bool exited = false;   // ended by _exit/exit; exit_code is valid
  int exit_code = -1;
  int signal = 0;          // terminating signal when killed by one
  bool timed_out = false;  // killed by Run_In_Child after the timeout
  std::string output;      // the child's standard output
};

// `timeout_ms` 0: wait as long as the child runs.
ChildResult Run_In_Child(const std::function<int()>& body, unsigned timeout_ms = 0);

std::string Capture_Stdout(const std::function<void()>& body);

}  // namespace mqw_test

#endif  // TESTS_SUPPORT_CHILD_PROCESS_H_
