// The channels' timer: the counter's watch against the monotonic clock, and the timer going on
// from where the counter should have been once the watch finds the counter wrong. Changes the
// process's timer for good, so it runs in a binary of its own.
#include <time.h>

#include <gtest/gtest.h>

#include "trace/base/clocks.h"

namespace {

using clocks_internal::Counter_Agrees;

uint64_t Now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

#if defined(__x86_64__)
void Sleep_ms(long ms) {
  timespec pause{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0) {
  }
}
#endif

TEST(ChannelTimer, CounterAgreesWithTheClockWithinOneMillisecondAndOnePercent) {
  constexpr uint64_t kHz = 2000000000;  // 2 ticks per ns
  constexpr uint64_t kCounter0 = 1000000000000;
  constexpr uint64_t kNs0 = 5000000000;
  struct sCase {
    const char* what;
    uint64_t counted_ns;  // the counter's progress, in ns at kHz
    uint64_t elapsed_ns;  // the clock's
    bool counter_went_back;
    bool agrees;
  };
  const sCase cases[] = {
      {"steady", 50000000, 50000000, false, true},
      {"1.4 ms apart over 50 ms (1 ms and 1 % allowed)", 51400000, 50000000, false, true},
      {"1.6 ms apart over 50 ms", 51600000, 50000000, false, false},
      {"a calibration error of 50 ppm over an idle hour", 3600180000000, 3600000000000, false, true},
      {"0.5 % slow over a second", 995000000, 1000000000, false, true},
      {"half the rate over a second", 500000000, 1000000000, false, false},
      {"jumped 2 s ahead", 2050000000, 50000000, false, false},
      {"stood still for 2 s (restored from a snapshot)", 0, 2000000000, false, false},
      {"went back", 1000, 50000000, true, false},
  };
  for (const sCase& c : cases) {
    const uint64_t counter1 =
        c.counter_went_back ? kCounter0 - c.counted_ns * 2 : kCounter0 + c.counted_ns * 2;
    EXPECT_EQ(Counter_Agrees(kCounter0, kNs0, counter1, kNs0 + c.elapsed_ns, kHz), c.agrees)
        << c.what;
  }
  EXPECT_FALSE(Counter_Agrees(kCounter0, kNs0, kCounter0, kNs0, 0)) << "no frequency";
}

TEST(ChannelTimer, GoesOnFromWhereTheCounterShouldHaveBeenWhenTheCounterJumps) {
  // Before a frequency is chosen the timer is the monotonic clock at 10 MHz.
  const uint64_t before = Now_ns() / 100;
  const uint64_t early = Channel_Timer();
  EXPECT_GE(early + 1, before);
  EXPECT_LE(early, Now_ns() / 100 + 1);

  const uint64_t hz = Channel_Timer_Frequency();
#if defined(__x86_64__)
  if (!clocks_internal::g_Use_Cycle_Counter.load()) GTEST_SKIP() << "no invariant counter here";
  // A check that agrees keeps the counter.
  const uint64_t counter = __builtin_ia32_rdtsc();
  EXPECT_EQ(clocks_internal::Check_Counter_With(counter, Now_ns()), counter);
  EXPECT_TRUE(clocks_internal::g_Use_Cycle_Counter.load());

  // The counter is 10 s ahead of the clock: the timer goes on from where it should be.
  const uint64_t real = Channel_Timer();
  const uint64_t value = clocks_internal::Check_Counter_With(real + hz * 10, Now_ns());
  EXPECT_FALSE(clocks_internal::g_Use_Cycle_Counter.load());
  const uint64_t five_ms = hz / 200;
  EXPECT_GE(value + five_ms, real);
  EXPECT_LE(value, real + five_ms);

  // From then on it runs on the clock at the same frequency, and never goes back.
  const uint64_t next = Channel_Timer();
  EXPECT_GE(next, value);
  const uint64_t start_ns = Now_ns();
  Sleep_ms(30);
  const uint64_t later = Channel_Timer();
  const uint64_t slept_ns = Now_ns() - start_ns;
  const double ticks_per_ns = static_cast<double>(later - next) / static_cast<double>(slept_ns);
  EXPECT_NEAR(ticks_per_ns, static_cast<double>(hz) / 1e9, static_cast<double>(hz) / 1e9 * 0.05);
#else
  (void)hz;
  GTEST_SKIP() << "the counter is watched on x86-64 only";
#endif
}

}  // namespace
