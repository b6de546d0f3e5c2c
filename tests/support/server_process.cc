#include "support/server_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>

#include "support/program.h"
#include "support/wait_until.h"

namespace mqw_test {

ServerProcess::~ServerProcess() {
  if (pid_ > 0) Stop();
}

bool ServerProcess::Start(const std::string& listen, const std::vector<std::string>& extra) {
  unlink(dir_.File("port").c_str());
  std::vector<std::string> args = {"--port-file", dir_.File("port"), "--dir", Traces()};
  if (!listen.empty()) args.insert(args.end(), {"--listen", listen});
  args.insert(args.end(), extra.begin(), extra.end());
  pid_ = Spawn_Program(program_, args, dir_.File("out"), dir_.File("err"));
  port_ = 0;
  Wait_Until(
      [&] {
        const std::string text = Read_File(dir_.File("port"));
        if (!text.empty()) port_ = static_cast<uint16_t>(atoi(text.c_str()));
        return port_ != 0;
      },
      kEvent_Backstop, std::chrono::milliseconds(20));
  return port_ != 0;
}

int ServerProcess::Stop() {
  kill(pid_, SIGTERM);
  const int status = Wait_Status(pid_);
  pid_ = -1;
  return status;
}

std::string ServerProcess::Out() const { return Read_File(dir_.File("out")); }

std::string ServerProcess::Err() const { return Read_File(dir_.File("err")); }

std::string ServerProcess::Client_Dir(const std::string& prefix) const {
  std::string found;
  for (const std::string& name : Directory_Entries(Traces())) {
    if (name.compare(0, prefix.size(), prefix) == 0) {
      EXPECT_TRUE(found.empty()) << "two directories for " << prefix;
      found = Traces() + "/" + name;
    }
  }
  return found;
}

std::vector<std::string> ServerProcess::Files() const {
  const std::vector<std::string> clients = Directory_Entries(Traces());
  std::vector<std::string> files;
  if (clients.size() != 1) return files;
  const std::string client = Traces() + "/" + clients[0];
  for (const std::string& name : Directory_Entries(client)) {
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".trd") == 0)
      files.push_back(client + "/" + name);
  }
  return files;
}

std::vector<std::string> ServerProcess::Client_Files() const {
  EXPECT_EQ(Directory_Entries(Traces()).size(), 1u) << "client directories under " << Traces();
  return Files();
}

}  // namespace mqw_test
