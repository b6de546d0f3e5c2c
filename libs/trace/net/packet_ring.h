// CPacket_Ring: a FIFO of data packets with a fixed capacity chosen once, so that queueing a
// packet never allocates. Each entry remembers where the packet's first user-data header lies,
// which is what lets a discarded packet be read back record by record (the bytes before that
// header continue a record that began in an earlier packet).
//
// Thread-safety: none; the owner guards each ring (see cl_network.h).
#ifndef TRACE_NET_PACKET_RING_H_
#define TRACE_NET_PACKET_RING_H_

#include <stdint.h>

#include <memory>
#include <new>

class CTPacket;

struct sQueued_Packet {
  static constexpr uint32_t kNo_Header = 0xFFFFFFFF;

  CTPacket* packet = nullptr;
  uint32_t first_header = kNo_Header;  // buffer offset of the first header, or kNo_Header
};

class CPacket_Ring {
 public:
  bool Init(uint32_t capacity) {
    m_Entries.reset(new (std::nothrow) sQueued_Packet[capacity]);
    m_Capacity = m_Entries ? capacity : 0;
    return m_Entries != nullptr;
  }

  uint32_t Count() const { return m_Count; }
  bool Empty() const { return m_Count == 0; }
  // False when full (the capacity covers every packet the pool can make, so only a fault fills it).
  bool Push_Back(const sQueued_Packet& entry) {
    if (m_Count == m_Capacity) return false;
    m_Entries[(m_Head + m_Count) % m_Capacity] = entry;
    ++m_Count;
    return true;
  }
  bool Pop_Front(sQueued_Packet* entry) {
    if (m_Count == 0) return false;
    *entry = m_Entries[m_Head];
    m_Head = (m_Head + 1) % m_Capacity;
    --m_Count;
    return true;
  }
  bool Pop_Back(sQueued_Packet* entry) {
    if (m_Count == 0) return false;
    --m_Count;
    *entry = m_Entries[(m_Head + m_Count) % m_Capacity];
    return true;
  }
  // REQUIRES: index < Count().
  sQueued_Packet& At(uint32_t index) { return m_Entries[(m_Head + index) % m_Capacity]; }
  sQueued_Packet& Back() { return At(m_Count - 1); }
  // Keeps, in order, the entries for which `keep` is true; the others go to `drop`.
  template <typename Keep, typename Drop>
  void Filter(Keep keep, Drop drop) {
    uint32_t kept = 0;
    for (uint32_t i = 0; i < m_Count; ++i) {
      sQueued_Packet entry = At(i);
      if (keep(entry)) {
        At(kept++) = entry;
      } else {
        drop(entry);
      }
    }
    m_Count = kept;
  }

 private:
  std::unique_ptr<sQueued_Packet[]> m_Entries;
  uint32_t m_Capacity = 0;
  uint32_t m_Head = 0;
  uint32_t m_Count = 0;
};

#endif  // TRACE_NET_PACKET_RING_H_
