// CTimeline: messages per level over time, counted per second while a range is scanned and then
// merged into at most a given number of equal buckets whose width is a round number of seconds
// (1, 2, 5, 10, 15, 30 s, 1, 2, 5, 10, 15, 30 min, 1, 2, 3, 6, 12 h, then whole days), so that the
// page can label them and a click on one maps to a time range.
//
// Memory grows with the number of distinct seconds that hold messages, not with the messages.
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

  struct sBuckets {
    int64_t start_us = 0;  // start of the first bucket, a multiple of width_us
    int64_t width_us = 0;  // 0 when there is no message
    std::vector<tCounts> counts;
  };

  void Add(int64_t time_us, uint32_t level);
  // REQUIRES: max_buckets >= 1.
  sBuckets Build(uint32_t max_buckets) const;
  uint64_t Total() const { return m_Total; }

 private:
  std::map<int64_t, tCounts> m_Seconds;  // by second since 1970 (floor)
  uint64_t m_Total = 0;
};

#endif  // TRACE_VIEWER_TIMELINE_H_
