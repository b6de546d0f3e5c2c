#include "trace/base/wall_clock_skew.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<int64_t> g_Wall_Skew_Seconds{0};

}  // namespace

// Every clock_gettime of the process lands here: the executable's definition comes before the C
// library's (and a sanitizer's interceptor), and it is exported (default visibility, and the
// test's link option) so that the C++ library's clocks find it too. Only the wall clocks are
// skewed.
extern "C" __attribute__((visibility("default"))) int clock_gettime(clockid_t clock,
                                                                    timespec* now) noexcept {
  const long rc = syscall(SYS_clock_gettime, clock, now);
  if (rc == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE)) {
    now->tv_sec += static_cast<time_t>(g_Wall_Skew_Seconds.load());
  }
  return static_cast<int>(rc);
}

namespace mqw_test {

WallClockSkew::WallClockSkew(int64_t seconds) { g_Wall_Skew_Seconds = seconds; }

WallClockSkew::~WallClockSkew() { g_Wall_Skew_Seconds = 0; }

}  // namespace mqw_test
