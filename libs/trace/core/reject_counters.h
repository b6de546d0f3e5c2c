// CReject_Counters: the refused Sent calls of a buffering sink, by reason, and the sTRC_Info
// record that Get_Info reports from them and from the sink's buffer pool.
//
// Thread-safety: the counters are self-synchronised (relaxed atomic increments, any thread);
// Fill reads each counter once. The pool figures passed to Fill are the caller's to guard.
#ifndef TRACE_CORE_REJECT_COUNTERS_H_
#define TRACE_CORE_REJECT_COUNTERS_H_

#include <atomic>
#include <cstdint>

#include <mqtt-wrapper/TR.h>

class CReject_Counters {
 public:
  std::atomic<uint32_t> no_room{0};  // refused with eCode_No_Room
  std::atomic<uint32_t> off{0};      // refused with eCode_Off
  std::atomic<uint32_t> error{0};    // refused for a client error status or bad arguments

  // Fills `info` from a pool of `buffer_count` buffers of `buffer_size` bytes, of which
  // `used_buffers` hold data and `free_buffers` are free, and from the three counters.
  void Fill(sTRC_Info* info, uint32_t buffer_size, uint32_t used_buffers, uint32_t free_buffers,
            uint32_t buffer_count) const {
    info->used_bytes = buffer_size * used_buffers;
    info->free_bytes = buffer_size * free_buffers;
    info->allocated_bytes = buffer_size * buffer_count;
    info->rejects_no_room = no_room.load(std::memory_order_relaxed);
    info->rejects_off = off.load(std::memory_order_relaxed);
    info->rejects_error = error.load(std::memory_order_relaxed);
  }
};

#endif  // TRACE_CORE_REJECT_COUNTERS_H_
