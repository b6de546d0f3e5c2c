#include "trace/file/pool_plan.h"

#include <stdlib.h>

sPool_Plan Plan_File_Pool(const char* value) {
  if (value == nullptr) return {131072, 16};
  const long kilobytes = strtol(value, nullptr, 10);
  uint64_t memory = kilobytes > 0 ? static_cast<uint64_t>(kilobytes) * 1024 : 0;
  if (memory > 0xFFFFFFFFULL) memory = 0xFFFFFFFFULL;
  if (memory < 49152) memory = 49152;
  uint64_t size = 131072;
  while (size >= kPool_Min_Buffer && memory / size < 3) size /= 2;
  return {static_cast<uint32_t>(size), static_cast<uint32_t>(memory / size)};
}
