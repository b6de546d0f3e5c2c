// WallClockSkew: while in scope, CLOCK_REALTIME reads `seconds` off in this process, as if the
// wall clock had just been stepped by -`seconds`, while the kernel's own wall clock (against
// which an absolute wall-clock deadline is checked) stays where it is. A deadline computed from
// the skewed reading is exactly one computed just before a real step of that size, so a wait
// bounded by the wall clock lasts `seconds` longer (or ends at once), while a wait on the
// monotonic clock is unaffected. No privileges needed.
//
// Works only in a test binary that links wall_clock_skew.cc, which interposes clock_gettime for
// the whole process; such a binary holds nothing else that reads the wall clock meanwhile.
#ifndef TESTS_TRACE_BASE_WALL_CLOCK_SKEW_H_
#define TESTS_TRACE_BASE_WALL_CLOCK_SKEW_H_

#include <stdint.h>

namespace mqw_test {

class WallClockSkew {
 public:
  explicit WallClockSkew(int64_t seconds);
  ~WallClockSkew();
  WallClockSkew(const WallClockSkew&) = delete;
  WallClockSkew& operator=(const WallClockSkew&) = delete;
};

}  // namespace mqw_test

#endif  // TESTS_TRACE_BASE_WALL_CLOCK_SKEW_H_
