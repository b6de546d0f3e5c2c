// sStage_Thread: what one thread keeps for staging trace calls (trace_staging.h): per
// channel it stages for, the ring it writes and the calls left before it tries the lock again;
// and the descriptors it found for its call sites, so a staged call needs no channel lock.
//
// Entries name a channel by its serial, never reused in the process, so an entry of a channel
// that died matches nothing. A descriptor lives as long as its channel, and a caller holds a
// reference to the channel for the whole call.
//
// Ownership and thread-safety: one per thread, created on the thread's first contended call,
// touched only by its thread and freed when the thread ends.
#ifndef TRACE_CHANNEL_STAGE_THREAD_H_
#define TRACE_CHANNEL_STAGE_THREAD_H_

#include <stdint.h>

class CStaging_Ring;
class CTRTrace_Desc;

// Hash of a call site (its function and format addresses, which are unique together) with
// `seed`, for the channel's and the threads' direct-mapped site caches.
inline uint32_t Call_Site_Hash(const void* function, const void* format, uint64_t seed) {
  uint64_t mixed =
      reinterpret_cast<uintptr_t>(format) ^ (reinterpret_cast<uintptr_t>(function) >> 3) ^ seed;
  mixed ^= mixed >> 11;
  return static_cast<uint32_t>((mixed * 0x9E3779B97F4A7C15ULL) >> 32);
}

struct sStage_Ring_Slot {
  uint64_t serial;
  CStaging_Ring* ring;
  uint32_t budget;  // staged calls left before the lock is tried again; 0: not staging
};

struct sStage_Site {
  uint64_t serial;
  const void* function;
  const void* format;
  CTRTrace_Desc* desc;
};

struct sStage_Thread {
  static constexpr uint32_t kRing_Slots = 8;  // direct-mapped by channel serial
  static constexpr uint32_t kSites = 64;      // direct-mapped by serial, function and format
  sStage_Ring_Slot rings[kRing_Slots];
  sStage_Site sites[kSites];
  bool busy;  // a staged call is being written (a signal handler's call must not stage)

  sStage_Ring_Slot* Ring_Slot(uint64_t serial) { return &rings[serial % kRing_Slots]; }
  const sStage_Ring_Slot* Ring_Slot(uint64_t serial) const { return &rings[serial % kRing_Slots]; }
  sStage_Site* Site(uint64_t serial, const void* function, const void* format) {
    return &sites[Call_Site_Hash(function, format, serial << 17) % kSites];
  }
};

// The calling thread's staging state, or null before its first contended call. Initial-exec:
// one TLS access without a resolver call on every trace.
extern __thread sStage_Thread* t_Stage_Thread __attribute__((tls_model("initial-exec")));
inline sStage_Thread* Stage_Thread() { return t_Stage_Thread; }
// The calling thread's staging state, created when missing; null when memory is short.
sStage_Thread* Stage_Thread_Create();

#endif  // TRACE_CHANNEL_STAGE_THREAD_H_
