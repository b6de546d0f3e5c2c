#include "trace/viewer/timeline.h"

#include <assert.h>
#include <stddef.h>

namespace {

int64_t Floor_Div(int64_t value, int64_t divisor) {
  int64_t quotient = value / divisor;
  if ((value % divisor != 0) && ((value < 0) != (divisor < 0))) --quotient;
  return quotient;
}

// The smallest round width in seconds that covers `span` seconds with `buckets` buckets.
int64_t Round_Width(int64_t span, uint32_t buckets) {
  static const int64_t kSteps[] = {1,    2,    5,    10,    15,    30,    60,   120,
                                   300,  600,  900,  1800,  3600,  7200,  10800, 21600,
                                   43200, 86400};
  for (int64_t step : kSteps) {
    if (step * buckets >= span) return step;
  }
  const int64_t days = (span + 86400 * buckets - 1) / (86400 * static_cast<int64_t>(buckets));
  return days * 86400;
}

}  // namespace

void CTimeline::Add(int64_t time_us, uint32_t level) {
  tCounts& counts = m_Seconds[Floor_Div(time_us, 1000000)];
  ++counts[level > 5 ? 5 : level];
  ++m_Total;
}

CTimeline::sBuckets CTimeline::Build(uint32_t max_buckets) const {
  assert(max_buckets >= 1);
  sBuckets result;
  if (m_Seconds.empty()) return result;
  const int64_t first = m_Seconds.begin()->first;
  const int64_t last = m_Seconds.rbegin()->first;
  int64_t width = Round_Width(last - first + 1, max_buckets);
  int64_t start = Floor_Div(first, width) * width;
  // Aligning the start may need one more bucket than the span alone: widen until it fits.
  while (Floor_Div(last, width) * width - start >= width * max_buckets) {
    width = Round_Width(width * max_buckets + 1, max_buckets);
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
