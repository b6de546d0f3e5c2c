// A process set up with TR::LoggerInit and a binary file sink keeps every accepted trace when it
// ends: by a fault, by a termination signal, or by returning from main (the exit flush).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include <mqtt-wrapper/trhelper.h>

#include "logger/logger_config.h"
#include "support/child_process.h"
#include "support/registry_objects.h"
#include "support/temp_dir.h"
#include "support/trd_reader.h"

namespace mqw_test {
namespace {

volatile int* volatile g_Unmapped = reinterpret_cast<int*>(16);

enum class Ending { Fault, Terminate, Return };

// In a child: LoggerInit with a file sink in `dir`, 100000 accepted trace calls, then `ending`.
ChildResult Run_Logged_Child(const TempDir& dir, Ending ending) {
  return Run_In_Child(
      [&]() -> int {
        const std::string config = dir.File("absent.cfg");
        TR::detail::Set_Config_Path_For_Testing(config.c_str());
        ITR_Trace* channel = TR::LoggerInit("crashmod", "/TR.Sink=FileBin /TR.Dir=" + dir.Path());
        if (channel == nullptr) return 20;
        printf("pid=%d\n", static_cast<int>(getpid()));
        fflush(stdout);
        int accepted = 0;
        for (int i = 0; accepted < 100000; ++i) {
          if (channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d", i))
            ++accepted;
        }
        switch (ending) {
          case Ending::Fault:
            *g_Unmapped = 1;
            break;
          case Ending::Terminate:
            raise(SIGTERM);
            break;
          case Ending::Return:
            exit(0);  // as returning from main: atexit handlers run
        }
        return 21;
      },
      300000);
}

TEST(CrashFlush, NothingAcceptedIsLostAtTheEnd) {
  struct Case {
    const char* name;
    Ending ending;
    int status;
    const char* stamp;  // start of the stamp record, null when none is expected
    uint8_t level;
  };
  const Case cases[] = {
      {"fault", Ending::Fault, SIGSEGV, "SIGCODE 11", TRL_CRITICAL},
      {"terminate", Ending::Terminate, SIGTERM, "SIGCODE 15", TRL_WARNING},
      {"return", Ending::Return, 0, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::set<std::string> before = Registry_Objects();
    const ChildResult child = Run_Logged_Child(dir, c.ending);
    ASSERT_TRUE(child.exited) << "signal " << child.signal << "\n" << child.output;
    EXPECT_EQ(child.exit_code, c.status) << child.output;
    // The process's shared channel and crash registry are gone with it.
    const size_t at = child.output.find("pid=");
    ASSERT_NE(at, std::string::npos) << child.output;
    EXPECT_EQ(Added_Objects(before, Registry_Objects(atoi(child.output.c_str() + at + 4))),
              std::vector<std::string>{});

    const std::vector<TrdFile> files = Read_Trd_Directory(dir.Path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].error, "");
    int numbered = 0;
    int stamps = 0;
    int64_t last = -1;
    for (const TrdData& data : files[0].data) {
      if (data.format == "%d") {
        ++numbered;
        EXPECT_GT(static_cast<int64_t>(data.numbers.at(0)), last);
        last = static_cast<int64_t>(data.numbers.at(0));
      } else if (c.stamp != nullptr && data.format == "%s" &&
                 data.strings.at(0).rfind(c.stamp, 0) == 0) {
        ++stamps;
        EXPECT_EQ(data.level, c.level);
      }
    }
    EXPECT_EQ(numbered, 100000);
    if (c.stamp != nullptr) {
      EXPECT_EQ(stamps, 1);
    }
    ASSERT_FALSE(files[0].records.empty());
    EXPECT_EQ(files[0].records.back().subtype, 4u);  // the channel's final flush
  }
}

}  // namespace
}  // namespace mqw_test
