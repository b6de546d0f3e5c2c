// CProc: process start time, executable directory, thread and processor queries.
#include <gtest/gtest.h>
#include <sched.h>

#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "trace/base/clocks.h"
#include "trace/base/proc.h"

namespace {

TEST(ProcTest, ProcessTimeIsThisProcessesStart) {
  uint32_t high = 1, low = 1;
  EXPECT_FALSE(CProc::Get_Process_Time(nullptr, &low));
  EXPECT_FALSE(CProc::Get_Process_Time(&high, nullptr));
  EXPECT_EQ(low, 1u);  // nothing written

  ASSERT_TRUE(CProc::Get_Process_Time(&high, &low));
  uint64_t start = (static_cast<uint64_t>(high) << 32) | low;
  uint64_t now = Get_System_Time_100ns();
  EXPECT_LE(start, now + 2 * kPerformanceFrequency);
  // This test binary started within the last hour (generous: emulated runs are slow).
  EXPECT_GT(start + 3600 * kPerformanceFrequency, now);

  uint32_t high2 = 0, low2 = 0;
  ASSERT_TRUE(CProc::Get_Process_Time(&high2, &low2));
  EXPECT_EQ(high2, high);
  EXPECT_EQ(low2, low);
}

TEST(ProcTest, ProcessPathIsTheExecutablesDirectory) {
  char exe[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof(exe) - 1), 0);
  std::string expected(exe);
  expected.erase(expected.rfind('/') + 1);

  struct Case {
    size_t size;
    bool ok;
  };
  for (Case c :
       {Case{4096, true}, Case{33, expected.size() < 29}, Case{32, false}, Case{3, false}}) {
    SCOPED_TRACE(c.size);
    std::string buffer(c.size + 8, '#');
    EXPECT_EQ(CProc::Get_Process_Path(buffer.data(), c.size), c.ok);
    EXPECT_STREQ(buffer.c_str(), c.ok ? expected.c_str() : "./");
    EXPECT_EQ(buffer[c.size], '#');  // nothing written past the buffer
  }
  char tiny[2] = {'#', '#'};
  EXPECT_FALSE(CProc::Get_Process_Path(tiny, 2));  // "./" does not fit: empty text
  EXPECT_EQ(tiny[0], 0);
  EXPECT_FALSE(CProc::Get_Process_Path(nullptr, 100));
}

TEST(ProcTest, ThreadIdIsTheKernelOne) {
  EXPECT_EQ(CProc::Get_Thread_ID(), static_cast<uint32_t>(getpid()));  // main thread
  uint32_t other = 0;
  std::thread thread([&] { other = CProc::Get_Thread_ID(); });
  thread.join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, CProc::Get_Thread_ID());
}

// A thread pinned to one processor is told that processor, for each processor it may run on.
TEST(ProcTest, CpuIsTheOneTheThreadRunsOn) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof(allowed), &allowed), 0);
  std::thread thread([&] {
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (!CPU_ISSET(cpu, &allowed)) continue;
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(cpu, &one);
      ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
      EXPECT_EQ(CProc::Get_CPU(), static_cast<uint32_t>(cpu));
    }
  });
  thread.join();
}

}  // namespace
