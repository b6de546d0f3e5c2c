// Multi-event object: rotation, manual versus auto reset, non-blocking and timed waits, and the
// lock and clocks it is used with. Timing bounds are generous (sanitizers, emulation).
#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <thread>
#include <vector>

#include "trace/base/clocks.h"
#include "trace/base/lock.h"
#include "trace/base/mevent.h"

namespace {

TEST(MEventTest, InitRules) {
  CMEvent event;
  EXPECT_FALSE(event.Init(0));
  EXPECT_TRUE(event.Init(2, 0, 2));
  EXPECT_FALSE(event.Init(2, 0, 0));  // already initialised

  CMEvent unused;
  EXPECT_FALSE(unused.Set(0));
  EXPECT_EQ(unused.Wait(0), static_cast<uint32_t>(MEVENT_NONE));
  EXPECT_EQ(unused.Get_Signal(), static_cast<uint32_t>(MEVENT_NONE));
  EXPECT_EQ(MEVENT_NONE, 0x0FFFFFFF);
}

TEST(MEventTest, SignalledEventsAreServedInRotation) {
  struct Case {
    const char* name;
    uint8_t count;
    std::vector<uint32_t> sets;
    std::vector<uint32_t> expected;  // results of consecutive Wait(0)
  };
  const uint32_t none = MEVENT_NONE;
  const Case cases[] = {
      {"two set, first wait gives event 1", 2, {0, 1}, {1, 0, none}},
      {"rotation continues after the last delivered", 3, {0, 1, 2, 0}, {1, 2, 0, 0, none}},
      {"counting auto-reset", 2, {0, 0, 0}, {0, 0, 0, none}},
      {"nothing set", 4, {}, {none}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CMEvent event;
    ASSERT_TRUE(c.count == 2   ? event.Init(2, 0, 2)
                : c.count == 3 ? event.Init(3, 0, 0, 0)
                               : event.Init(4, 0, 0, 0, 0));
    for (uint32_t index : c.sets) EXPECT_TRUE(event.Set(index));
    std::vector<uint32_t> results;
    for (size_t i = 0; i < c.expected.size(); ++i) results.push_back(event.Wait(0));
    EXPECT_EQ(results, c.expected);
  }
}

TEST(MEventTest, ManualResetStaysSignalledUntilCleared) {
  CMEvent event;
  ASSERT_TRUE(event.Init(2, 1, 0));
  EXPECT_FALSE(event.Clr(0));  // manual but not signalled
  EXPECT_TRUE(event.Set(0));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(event.Wait(0), 0u);
  EXPECT_EQ(event.Get_Signal(), 0u);
  EXPECT_EQ(event.Wait(0), 0u);  // Get_Signal took no unit from a manual event

  EXPECT_TRUE(event.Set(1));
  EXPECT_EQ(event.Wait(0), 1u);  // the auto event is not starved by the manual one
  EXPECT_EQ(event.Wait(0), 0u);

  EXPECT_FALSE(event.Clr(1));  // auto-reset events cannot be cleared
  EXPECT_TRUE(event.Clr(0));
  EXPECT_FALSE(event.Clr(0));
  EXPECT_EQ(event.Wait(0), static_cast<uint32_t>(MEVENT_NONE));
}

TEST(MEventTest, OutOfRangeIndexChangesNothing) {
  CMEvent event;
  ASSERT_TRUE(event.Init(2, 1, 0));
  EXPECT_FALSE(event.Set(2));
  EXPECT_FALSE(event.Set(UINT32_MAX));
  EXPECT_FALSE(event.Clr(2));
  EXPECT_EQ(event.Wait(0), static_cast<uint32_t>(MEVENT_NONE));
}

TEST(MEventTest, GetSignalConsumesWithoutWaiting) {
  CMEvent event;
  ASSERT_TRUE(event.Init(1, 0));
  event.Set(0);
  EXPECT_EQ(event.Get_Signal(), 0u);
  EXPECT_EQ(event.Get_Signal(), static_cast<uint32_t>(MEVENT_NONE));
  // The semaphore unit is still there: the next wait wakes with nothing to do.
  EXPECT_EQ(event.Wait(0), static_cast<uint32_t>(MEVENT_NONE));
  EXPECT_EQ(event.Wait(0), static_cast<uint32_t>(MEVENT_NONE));
}

TEST(MEventTest, TimedWaitExpiresAndWakesOnSet) {
  CMEvent event;
  ASSERT_TRUE(event.Init(2, 0, 0));

  uint64_t start = GetPerformanceCounter();
  EXPECT_EQ(event.Wait(100), static_cast<uint32_t>(MEVENT_NONE));
  double waited_ms = static_cast<double>(GetPerformanceCounter() - start) / 10000.0;
  EXPECT_GE(waited_ms, 90.0);
  EXPECT_LT(waited_ms, 5000.0);

  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    event.Set(1);
  });
  start = GetPerformanceCounter();
  EXPECT_EQ(event.Wait(20000), 1u);
  EXPECT_LT(static_cast<double>(GetPerformanceCounter() - start) / 10000.0, 15000.0);
  setter.join();

  std::thread late_setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    event.Set(0);
  });
  EXPECT_EQ(event.Wait(), 0u);
  late_setter.join();
}

TEST(MEventTest, EverySignalFromManyThreadsIsDeliveredOnce) {
  CMEvent event;
  ASSERT_TRUE(event.Init(4, 0, 0, 2, 0));
  constexpr int kPerThread = 500;
  std::vector<std::thread> setters;
  for (uint32_t t = 0; t < 4; ++t) {
    setters.emplace_back([&event, t] {
      for (int i = 0; i < kPerThread; ++i) event.Set(t);
    });
  }
  int delivered[4] = {};
  for (int i = 0; i < 4 * kPerThread; ++i) {
    uint32_t index = event.Wait(20000);
    ASSERT_LT(index, 4u);
    ++delivered[index];
  }
  for (std::thread& setter : setters) setter.join();
  for (int count : delivered) EXPECT_EQ(count, kPerThread);
  EXPECT_EQ(event.Wait(0), static_cast<uint32_t>(MEVENT_NONE));
}

TEST(ClocksTest, ElapsedIsExactAcrossTheWrap) {
  struct Case {
    uint32_t now, then, elapsed;
  } const cases[] = {
      {10, 10, 0},
      {1010, 10, 1000},
      {0, 0xFFFFFFFFu, 1},
      {5, 0xFFFFFFFBu, 10},
      {0xFFFFFFFFu, 0, 0xFFFFFFFFu},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Elapsed_ms(c.now, c.then), c.elapsed) << c.now << " " << c.then;
}

TEST(ClocksTest, UnitsAndWrap) {
  // Each tick reading is bracketed by two counter readings, so the two clocks are compared
  // without a guess at how long a reading takes on a loaded machine.
  const uint64_t counter_0 = GetPerformanceCounter();
  const uint32_t tick = GetTickCount();
  const uint64_t counter_1 = GetPerformanceCounter();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const uint64_t counter_2 = GetPerformanceCounter();
  const uint32_t tick_elapsed = GetTickCount() - tick;  // unsigned difference survives a wrap
  const uint64_t counter_3 = GetPerformanceCounter();
  EXPECT_GE(tick_elapsed, 29u);
  EXPECT_GE(counter_2 - counter_1, 300000u);  // 100-ns ticks
  // Milliseconds are whole: each tick reading may lie up to 1 ms below the counter's.
  EXPECT_GE(tick_elapsed + 1.0, static_cast<double>(counter_2 - counter_1) / 10000.0);
  EXPECT_LE(tick_elapsed, static_cast<double>(counter_3 - counter_0) / 10000.0 + 1.0);

  // Wall clock: 100-ns units since 1601 (year 2020 is past 132223104000000000).
  EXPECT_GT(Get_System_Time_100ns(), 132223104000000000ULL);
  double wall_seconds =
      static_cast<double>(Get_System_Time_100ns() - kEpoch1601To1970_100ns) / kPerformanceFrequency;
  EXPECT_NEAR(wall_seconds, static_cast<double>(time(nullptr)), 2.0);
}

// Deadlines of timed waits are absolute times on the monotonic clock: `timeout_ms` after a
// monotonic reading taken around the call, never a wall-clock time (which is decades away).
TEST(ClocksTest, MonotonicDeadlineIsNowPlusTimeoutOnTheMonotonicClock) {
  const uint32_t timeouts[] = {0, 1, 999, 1000, 1001, 2500, UINT32_MAX};
  auto nanoseconds = [](const timespec& ts) {
    return static_cast<long double>(ts.tv_sec) * 1e9L + static_cast<long double>(ts.tv_nsec);
  };
  for (uint32_t timeout : timeouts) {
    SCOPED_TRACE(timeout);
    timespec before{}, after{};
    clock_gettime(CLOCK_MONOTONIC, &before);
    const timespec deadline = Monotonic_Deadline(timeout);
    clock_gettime(CLOCK_MONOTONIC, &after);
    EXPECT_GE(deadline.tv_nsec, 0);
    EXPECT_LT(deadline.tv_nsec, 1000000000L);
    const long double offset = static_cast<long double>(timeout) * 1e6L;
    EXPECT_GE(nanoseconds(deadline), nanoseconds(before) + offset);
    EXPECT_LE(nanoseconds(deadline), nanoseconds(after) + offset);
  }
}

}  // namespace
