// Sizing of a buffering sink's pool from "/TR.Pool=" (kilobytes), one rule for every sink.
//
// Without the option: the sink's default plan (16 buffers of 128 KiB unless the sink names its
// own). With it: memory = value x 1024 bytes, at least
// 48 KiB and at most the sink's cap; the buffer size is the largest of 128 KiB, 64 KiB, 32 KiB,
// 16 KiB ... that gives at least three buffers, and the count is memory / size. A value that does
// not parse, is zero or negative asks for the minimum; a value whose byte count would pass the
// cap (however large, also beyond 64 bits) gets the cap, never a wrapped small pool.
//
// Thread-safety: no shared state.
#ifndef TRACE_CORE_POOL_PLAN_H_
#define TRACE_CORE_POOL_PLAN_H_

#include <stdint.h>

struct sPool_Plan {
  uint32_t buffer_size;
  uint32_t buffer_count;
};

constexpr uint32_t kPool_Min_Buffer = 16384;
constexpr uint64_t kPool_Min_Memory = 49152;
// Caps of the binary file sink (below 4 GiB) and of the text sink (1 GiB).
constexpr uint64_t kPool_File_Cap = 0xFFFFFFFFULL;
constexpr uint64_t kPool_Text_Cap = 1ULL << 30;

// Plan of a sink that names no default of its own: 16 x 128 KiB.
constexpr sPool_Plan kPool_Default{131072, 16};
// Plan of the binary file sink without the option: 8 MiB, the default the help text states. Four
// times the general default, because its writer shares the processor with the producers: a burst
// of four threads logging as fast as they can on two busy cores outran 2 MiB, and at times 4 MiB,
// while the writer waited for the processor, and calls were refused although the disk kept up.
constexpr sPool_Plan kPool_File_Default{131072, 64};

// The plan for the option's value (null: option absent, giving `absent`) under a cap of
// `max_memory` bytes (at least kPool_Min_Memory). The result's buffer size is below
// kPool_Min_Buffer only when no sensible plan exists.
sPool_Plan Plan_Pool(const char* value, uint64_t max_memory, sPool_Plan absent = kPool_Default);

#endif  // TRACE_CORE_POOL_PLAN_H_
