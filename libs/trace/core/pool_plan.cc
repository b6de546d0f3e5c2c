#include "trace/core/pool_plan.h"

#include <stdlib.h>

sPool_Plan Plan_Pool(const char* value, uint64_t max_memory, sPool_Plan absent) {
  if (value == nullptr) return absent;
  const long kilobytes = strtol(value, nullptr, 10);
  uint64_t memory = 0;
  if (kilobytes > 0) {
    // strtol saturates a number too large for it (ERANGE), which then asks for the cap too.
    const uint64_t units = static_cast<uint64_t>(kilobytes);
    memory = units > max_memory / 1024 ? max_memory : units * 1024;
  }
  if (memory < kPool_Min_Memory) memory = kPool_Min_Memory;
  uint64_t size = 131072;
  while (size >= kPool_Min_Buffer && memory / size < 3) size /= 2;
  return {static_cast<uint32_t>(size), static_cast<uint32_t>(memory / size)};
}
