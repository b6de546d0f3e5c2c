// Timed waits of the engine do not follow the wall clock. A gateway without a real-time clock
// steps its wall clock by years at its first time synchronisation; a wait whose deadline is a
// wall-clock time would then last as long as the step (a writer's write-out, a roll check or a
// worker's poll stalled) or end at once. The step is simulated by WallClockSkew.
#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "trace/base/mevent.h"
#include "trace/base/wall_clock_skew.h"

namespace {

using mqw_test::WallClockSkew;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

TEST(WallClockStepTest, InterposedWallClockIsSkewed) {
  timespec plain{};
  clock_gettime(CLOCK_REALTIME, &plain);
  WallClockSkew skew(3600);
  timespec skewed{};
  clock_gettime(CLOCK_REALTIME, &skewed);
  EXPECT_GE(skewed.tv_sec - plain.tv_sec, 3599);  // otherwise the test below proves nothing
}

TEST(WallClockStepTest, TimedEventWaitKeepsItsLength) {
  struct Case {
    const char* name;
    int64_t skew_seconds;
  };
  const Case cases[] = {
      {"wall clock an hour ahead, as after a step back: a wall-clock wait lasts an hour", 3600},
      {"wall clock an hour behind, as after a step forward: a wall-clock wait ends at once", -3600},
  };
  constexpr uint32_t kTimeoutMs = 300;
  // Far beyond the time-out (sanitizers, emulation), far below the hour a wrong wait takes.
  constexpr auto kBound = std::chrono::seconds(30);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CMEvent event;
    ASSERT_TRUE(event.Init(1, 0));
    std::atomic<bool> done{false};
    uint32_t result = 0;
    const auto start = steady_clock::now();
    steady_clock::time_point end;
    bool stuck = false;
    {
      WallClockSkew skew(c.skew_seconds);
      std::thread waiter([&] {
        result = event.Wait(kTimeoutMs);
        end = steady_clock::now();
        done = true;
      });
      while (!done && steady_clock::now() - start < kBound) {
        std::this_thread::sleep_for(milliseconds(10));
      }
      stuck = !done;
      if (stuck) {
        ADD_FAILURE() << "the wait did not end within " << kBound.count() << " s";
        event.Set(0);  // releases the waiter
      }
      waiter.join();
    }
    if (stuck) continue;
    EXPECT_EQ(result, static_cast<uint32_t>(MEVENT_NONE));
    EXPECT_GE(end - start, milliseconds(kTimeoutMs - 10));
  }
}

}  // namespace
