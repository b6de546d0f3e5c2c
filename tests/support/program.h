// Helpers for tests that run the project's programs (trace-cat, trace-server, test hosts) as
// child processes: through the emulator of a cross build (MQW_EMULATOR), with standard output
// and standard error in files, and their exit status read back.
//
// Thread-safety: Spawn_Program forks; call it from the test's main thread.
#ifndef TESTS_SUPPORT_PROGRAM_H_
#define TESTS_SUPPORT_PROGRAM_H_

#include <stdint.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace mqw_test {

// Starts `path` with `args`, standard output into the file `out` and standard error into `err`
// (both created or truncated). Returns the child's process ID, or -1 when fork failed.
pid_t Spawn_Program(const char* path, const std::vector<std::string>& args, const std::string& out,
                    const std::string& err);

// Waits for `pid` and returns its exit status, or 128 + the signal that ended it. A child still
// running after `limit` is killed (SIGKILL) and the test fails.
int Wait_Status(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(300));

// What a program run to its end printed, and its exit status as Wait_Status gives it.
struct sProgram_Run {
  int status = -1;
  std::vector<std::string> lines;  // standard output, by line
  std::string err;                 // standard error
};

// Runs `path` with `args` to its end, its output in a temporary directory removed afterwards.
sProgram_Run Run_Program(const char* path, const std::vector<std::string>& args);

// `text` cut at line feeds (no line feed kept; no empty last line).
std::vector<std::string> Split_Lines(const std::string& text);

// The names in `directory` without "." and "..", sorted; empty when it cannot be read.
std::vector<std::string> Directory_Entries(const std::string& directory);

// `native` divided by 10 under an emulator (MQW_EMULATOR set) and again by 10 under a sanitizer,
// where every call costs many times more: test volumes that stay meaningful and quick everywhere.
uint32_t Scaled(uint32_t native);

}  // namespace mqw_test

#endif  // TESTS_SUPPORT_PROGRAM_H_
