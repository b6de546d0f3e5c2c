// CLive_Ring: the most recent live messages of every host, in arrival order, in a fixed number of
// slots. The receiving thread pushes; page connections read from their own position.
//
// Memory is bounded: Capacity() slots, each holding one sViewer_Message whose texts are cut to
// fixed lengths, and a slot's strings are overwritten in place (their capacity is reused). The
// writer never waits for a reader: a push overwrites the oldest slot, and a reader that falls
// behind by more than the capacity is told how many messages it skipped.
//
// Numbering: every pushed message gets the next sequence number (from 1). Slot of number n is
// (n - 1) % capacity; the ring holds the numbers [Oldest(), Next()).
//
// Thread-safety: every method may be called from any thread. The lock is held only to copy
// messages in or out, a bounded batch at a time (kBatch), never while filtering or writing to a
// connection, so readers delay the writer by a few copies at most.
#ifndef TRACE_VIEWER_LIVE_RING_H_
#define TRACE_VIEWER_LIVE_RING_H_

#include <stdint.h>

#include <vector>

#include "trace/base/lock.h"
#include "trace/base/thread_annotations.h"
#include "trace/viewer/message_filter.h"
#include "trace/viewer/viewer_message.h"

class CLive_Ring {
 public:
  static constexpr uint32_t kDefault_Capacity = 50000;
  static constexpr uint32_t kBatch = 256;

  explicit CLive_Ring(uint32_t capacity = kDefault_Capacity);

  CLive_Ring(const CLive_Ring&) = delete;
  CLive_Ring& operator=(const CLive_Ring&) = delete;

  // Stores a copy of `message` under the next number (its `sequence` is set to it).
  void Push(const sViewer_Message& message);

  struct sRead {
    std::vector<sViewer_Message> messages;  // matching, in order
    uint64_t last = 0;  // the last number consumed: the `after` of the next Read
    uint64_t skipped = 0;  // messages after `after` already overwritten when read
  };
  // The matching messages numbered above `after`, at most `limit` of them, scanning at most
  // `scan_limit` messages (so a narrow filter cannot hold the caller for long).
  sRead Read(uint64_t after, const CMessage_Filter& filter, uint32_t limit,
             uint32_t scan_limit = 1u << 20) const;

  // The context of message `sequence`: up to `lines` messages of the same host either side of it
  // (in arrival order, whatever any filter shows) and the message itself, which is absent when
  // it has left the ring. At most kContext_Scan messages are looked at either way, so a host that
  // sends rarely beside busy ones gets fewer lines rather than a long hold of the lock.
  static constexpr uint32_t kContext_Scan = 4096;
  struct sContext {
    std::vector<sViewer_Message> before;  // oldest first
    bool found = false;
    sViewer_Message message;
    std::vector<sViewer_Message> after;
  };
  sContext Context(uint64_t sequence, uint32_t lines) const;

  uint32_t Capacity() const { return m_Capacity; }
  // The number the next push gets; Next() - 1 is the newest message.
  uint64_t Next() const;

 private:
  const uint32_t m_Capacity;
  mutable CLock m_Lock;
  std::vector<sViewer_Message> m_Slots TR_GUARDED_BY(m_Lock);  // m_Capacity slots
  uint64_t m_Next TR_GUARDED_BY(m_Lock) = 1;
};

#endif  // TRACE_VIEWER_LIVE_RING_H_
