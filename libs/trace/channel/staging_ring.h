// CStaging_Ring: the records one thread staged for one channel while that channel's lock was
// busy, waiting to be merged into the channel's stream.
//
// Layout: a power-of-two byte ring of entries, each an sEntry header (the record's size and the
// descriptor it needs) followed by the complete data record as it will travel, padded to 8
// bytes. An entry never wraps: when the end of the ring has no room for it, a skip mark fills the
// rest and the entry starts at the beginning. Positions count bytes since creation and never
// wrap in practice (64 bits).
//
// Thread-safety: one producer, the owning thread (Reserve/Commit), and one consumer at a time,
// whoever holds the channel's lock (Snapshot/Entry_At/Next/Release_To). The producer publishes
// an entry by storing the tail with release order after writing it; the consumer frees space by
// storing the head with release order after it no longer reads it. Neither blocks the other.
//
// Ownership: the channel owns its rings and frees them when it dies; a ring outlives its thread
// (records of a thread that ended are still delivered).
#ifndef TRACE_CHANNEL_STAGING_RING_H_
#define TRACE_CHANNEL_STAGING_RING_H_

#include <stdint.h>
#include <stdlib.h>

#include <atomic>

class CTRTrace_Desc;

class CStaging_Ring {
 public:
  struct sEntry {
    uint32_t size;  // bytes of the record that follows; kSkip: nothing until the ring's end
    uint32_t reserved;
    CTRTrace_Desc* desc;
  };
  static constexpr uint32_t kSkip = UINT32_MAX;
  static constexpr uint32_t kBytes = 512 * 1024;
  // The largest record a ring takes; larger ones go the locked way.
  static constexpr uint32_t kMax_Record = kBytes / 32;

  // A ring for kernel thread `owner`, or null when memory is short.
  static CStaging_Ring* Create(uint32_t owner);
  void Destroy();

  uint32_t Owner() const { return m_Owner; }

  // Producer: room for a record of `size` bytes (<= kMax_Record), or null when the ring is too
  // full. Nothing is visible to the consumer until Commit.
  uint8_t* Reserve(uint32_t size) {
    const uint64_t need = Entry_Bytes(size);
    uint64_t tail = m_Tail.load(std::memory_order_relaxed);
    uint32_t offset = static_cast<uint32_t>(tail & (kBytes - 1));
    const uint64_t skip = offset + need > kBytes ? kBytes - offset : 0;
    if (tail + skip + need - m_Head_Seen > kBytes) {
      m_Head_Seen = m_Head.load(std::memory_order_acquire);
      if (tail + skip + need - m_Head_Seen > kBytes) return nullptr;
    }
    if (skip != 0) {
      Entry_At_Offset(offset)->size = kSkip;
      tail += skip;
      offset = 0;
    }
    m_Reserved_Tail = tail;
    return m_Data + offset + sizeof(sEntry);
  }
  // Producer: publishes the record just written at Reserve's pointer.
  // `timer` is the record's, kept as the ring's newest (Newest_Timer).
  void Commit(uint32_t size, CTRTrace_Desc* desc, uint64_t timer) {
    sEntry* entry = Entry_At_Offset(static_cast<uint32_t>(m_Reserved_Tail & (kBytes - 1)));
    entry->size = size;
    entry->desc = desc;
    m_Newest_Timer.store(timer, std::memory_order_relaxed);
    m_Tail.store(m_Reserved_Tail + Entry_Bytes(size), std::memory_order_release);
  }
  // Any thread: the timer of the newest record committed (0 before the first; a hint).
  uint64_t Newest_Timer() const { return m_Newest_Timer.load(std::memory_order_relaxed); }
  // Producer: true when everything it committed was merged.
  bool Empty_For_Producer() const {
    return m_Head.load(std::memory_order_acquire) == m_Tail.load(std::memory_order_relaxed);
  }
  // Any thread: true when published records wait (a hint; exact for the consumer).
  bool Waiting() const {
    return m_Head.load(std::memory_order_relaxed) != m_Tail.load(std::memory_order_acquire);
  }
  // Producer: true when more than `bytes` wait to be merged (the consumer's head is read again
  // only when its last known value says so).
  bool Waiting_More_Than(uint64_t bytes) {
    const uint64_t tail = m_Tail.load(std::memory_order_relaxed);
    if (tail - m_Head_Seen <= bytes) return false;
    m_Head_Seen = m_Head.load(std::memory_order_acquire);
    return tail - m_Head_Seen > bytes;
  }

  // Consumer: the first unread position and the end of what is published now.
  uint64_t Head() const { return m_Head.load(std::memory_order_relaxed); }
  uint64_t Snapshot() const { return m_Tail.load(std::memory_order_acquire); }
  // Consumer: the entry at `position` (< a snapshot), past a skip mark if one lies there.
  sEntry* Entry_At(uint64_t* position) {
    sEntry* entry = Entry_At_Offset(static_cast<uint32_t>(*position & (kBytes - 1)));
    if (entry->size == kSkip) {
      *position += kBytes - (*position & (kBytes - 1));
      entry = Entry_At_Offset(0);
    }
    return entry;
  }
  static uint64_t Next(uint64_t position, const sEntry* entry) {
    return position + Entry_Bytes(entry->size);
  }
  // Consumer: gives back everything before `position`.
  void Release_To(uint64_t position) { m_Head.store(position, std::memory_order_release); }

 private:
  explicit CStaging_Ring(uint32_t owner, uint8_t* data) : m_Owner(owner), m_Data(data) {}

  static uint64_t Entry_Bytes(uint32_t size) { return (sizeof(sEntry) + size + 7u) & ~7ull; }
  sEntry* Entry_At_Offset(uint32_t offset) { return reinterpret_cast<sEntry*>(m_Data + offset); }

  const uint32_t m_Owner;
  uint8_t* const m_Data;  // kBytes, 8-byte aligned
  // The consumer's line: written at each merge, read by the producer only when it seems full.
  alignas(64) std::atomic<uint64_t> m_Head{0};
  // The producer's line.
  alignas(64) std::atomic<uint64_t> m_Tail{0};
  std::atomic<uint64_t> m_Newest_Timer{0};
  uint64_t m_Head_Seen = 0;      // producer's last read of m_Head
  uint64_t m_Reserved_Tail = 0;  // producer: where the reserved entry starts
};

#endif  // TRACE_CHANNEL_STAGING_RING_H_
