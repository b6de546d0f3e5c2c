// CTimeline: messages per level over time, counted per second while a range is scanned and then
// merged into at most a given number of equal buckets whose width is a round number of seconds
// (1, 2, 5, 10, 15, 30 s, 1, 2, 5, 10, 15, 30 min, 1, 2, 3, 6, 12 h, then whole days), so that the
// page can label them and a click on one maps to a time range.
//
// Memory grows with the number of distinct seconds that hold messages, not with the messages;
// the buckets are at most kMax_Buckets whatever is asked, and at least 2 may be used (a range
// around a multiple of every round width, such as 1970 itself, never fits one aligned bucket).
//
// Any 64-bit time is taken: times more than kLimit_Seconds before or after 1970 (about 31,700
// years, far beyond any clock's) are counted at that limit, so that every bucket's start and width
// in microseconds, and the arithmetic that finds them, stay within 64 bits.
//
// Thread-safety: none; one owner.
#ifndef TRACE_VIEWER_TIMELINE_H_
#define TRACE_VIEWER_TIMELINE_H_

#include <stdint.h>

#include <array>
#include <map>
#include <vector>

class CTimeline {
 public:
  using tCounts = std::array<uint64_t, 6>;  // per level, trace .. critical
  static constexpr uint32_t kMax_Buckets = 1000;
  static constexpr int64_t kLimit_Seconds = 1'000'000'000'000;

  struct sBuckets {
    int64_t start_us = 0;  // start of the first bucket, a multiple of width_us
    int64_t width_us = 0;  // 0 when there is no message
    std::vector<tCounts> counts;
  };

  void Add(int64_t time_us, uint32_t level);
  // At most max_buckets buckets (taken as 2..kMax_Buckets).
  sBuckets Build(uint32_t max_buckets) const;
  uint64_t Total() const { return m_Total; }

 private:
  std::map<int64_t, tCounts> m_Seconds;  // by second since 1970 (floor)
  uint64_t m_Total = 0;
};

#endif  // TRACE_VIEWER_TIMELINE_H_
