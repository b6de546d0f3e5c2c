#include "support/program.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "support/temp_dir.h"

namespace mqw_test {

pid_t Spawn_Program(const char* path, const std::vector<std::string>& args, const std::string& out,
                    const std::string& err) {
  std::vector<std::string> command;
  const char* emulator = getenv("MQW_EMULATOR");
  if (emulator && *emulator) command.push_back(emulator);
  command.push_back(path);
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& part : command) argv.push_back(part.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(o, 1);
    dup2(e, 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

int Wait_Status(pid_t pid, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "child " << pid << " killed after " << limit.count() << " s";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

sProgram_Run Run_Program(const char* path, const std::vector<std::string>& args) {
  TempDir dir("mqw-run");
  sProgram_Run run;
  run.status = Wait_Status(Spawn_Program(path, args, dir.File("out"), dir.File("err")));
  run.lines = Split_Lines(Read_File(dir.File("out")));
  run.err = Read_File(dir.File("err"));
  return run;
}

std::vector<std::string> Split_Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Directory_Entries(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(directory.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
        names.push_back(entry->d_name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

uint32_t Scaled(uint32_t native) {
  const char* emulator = getenv("MQW_EMULATOR");
  uint32_t divisor = (emulator != nullptr && emulator[0] != 0) ? 10 : 1;
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  divisor *= 10;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
  divisor *= 10;
#endif
#endif
  return native / divisor;
}

}  // namespace mqw_test
