#include "trace/base/clocks.h"

#include <time.h>

uint32_t GetTickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000ULL +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000000ULL);
}

uint64_t GetPerformanceCounter() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * kPerformanceFrequency +
         static_cast<uint64_t>(ts.tv_nsec) / 100ULL;
}

uint64_t Get_System_Time_100ns() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * kPerformanceFrequency +
         static_cast<uint64_t>(ts.tv_nsec) / 100ULL + kEpoch1601To1970_100ns;
}

timespec Monotonic_Deadline(uint32_t timeout_ms) {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
  deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return deadline;
}
