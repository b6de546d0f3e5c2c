#include "trace/viewer/timeline.h"

#include <stddef.h>

#include <algorithm>

namespace {

int64_t Floor_Div(int64_t value, int64_t divisor) {
  int64_t quotient = value / divisor;
  if ((value % divisor != 0) && ((value < 0) != (divisor < 0))) --quotient;
  return quotient;
}

// The smallest round width in seconds that covers `span` seconds with `buckets` buckets.
// REQUIRES: 1 <= span <= a few times kLimit_Seconds and buckets <= kMax_Buckets, which keeps
// every product here far below 2^63.
int64_t Round_Width(int64_t span, int64_t buckets) {
  static const int64_t kSteps[] = {1,   2,   5,    10,   15,   30,    60,    120,   300,
                                   600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400};
  for (int64_t step : kSteps) {
    if (step * buckets >= span) return step;
  }
  const int64_t days = (span + 86400 * buckets - 1) / (86400 * buckets);
  return days * 86400;
}

}  // namespace

void CTimeline::Add(int64_t time_us, uint32_t level) {
  const int64_t second =
      std::clamp<int64_t>(Floor_Div(time_us, 1000000), -kLimit_Seconds, kLimit_Seconds);
  tCounts& counts = m_Seconds[second];
  ++counts[level > 5 ? 5 : level];
  ++m_Total;
}

CTimeline::sBuckets CTimeline::Build(uint32_t asked_buckets) const {
  // Seconds lie within +-kLimit_Seconds, so with 2 buckets or more the width stays below the span
  // plus two days and the aligned start above -kLimit_Seconds minus a width: both far below 2^63
  // in microseconds.
  const int64_t max_buckets = std::clamp<int64_t>(asked_buckets, 2, kMax_Buckets);
  sBuckets result;
  if (m_Seconds.empty()) return result;
  const int64_t first = m_Seconds.begin()->first;
  const int64_t last = m_Seconds.rbegin()->first;
  int64_t width = Round_Width(last - first + 1, max_buckets);
  int64_t start = Floor_Div(first, width) * width;
  // Aligning the start may need one more bucket than the span alone: widen to cover the aligned
  // span until it fits. Each step widens strictly and the width converges on span / (buckets - 1),
  // so this ends within a few dozen steps.
  while (Floor_Div(last, width) * width - start >= width * max_buckets) {
    width = Round_Width(last - start + 1, max_buckets);
    start = Floor_Div(first, width) * width;
  }
  const size_t count = static_cast<size_t>((Floor_Div(last, width) * width - start) / width + 1);
  result.counts.assign(count, tCounts{});
  for (const auto& [second, counts] : m_Seconds) {
    tCounts& bucket = result.counts[static_cast<size_t>((second - start) / width)];
    for (size_t level = 0; level < bucket.size(); ++level) bucket[level] += counts[level];
  }
  result.start_us = start * 1000000;
  result.width_us = width * 1000000;
  return result;
}
