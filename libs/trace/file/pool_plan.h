// Sizing of the binary file sink's buffer pool from "/TR.Pool=" (kilobytes).
//
// Without the option: 16 buffers of 128 KiB. With it: memory = value x 1024 bytes, at least
// 48 KiB; the buffer size is the largest of 128 KiB, 64 KiB, 32 KiB, 16 KiB ... that gives at
// least three buffers, and the count is memory / size. A value that does not parse, is zero or
// negative asks for the minimum; memory is capped below 4 GiB.
//
// Thread-safety: no shared state.
#ifndef TRACE_FILE_POOL_PLAN_H_
#define TRACE_FILE_POOL_PLAN_H_

#include <stdint.h>

struct sPool_Plan {
  uint32_t buffer_size;
  uint32_t buffer_count;
};

constexpr uint32_t kPool_Min_Buffer = 16384;

// The plan for the option's value (null: option absent). The result's buffer size is below
// kPool_Min_Buffer only when no sensible plan exists.
sPool_Plan Plan_File_Pool(const char* value);

#endif  // TRACE_FILE_POOL_PLAN_H_
