#include "trace/net/buffers_pool.h"

#include <string.h>

#include <new>

#include "trace/core/journal.h"

static_assert(sizeof(CTPacket) <= CBuffers_Pool::kObject_Bytes,
              "a packet object fits in front of its buffer");
static_assert(alignof(CTPacket) <= 8, "slots are laid out on 8-byte boundaries");

CBuffers_Pool::sSizing CBuffers_Pool::Plan(uint32_t limit, uint32_t packet_size) {
  sSizing sizing{};
  if (packet_size == 0 || packet_size > 0xFFFF) return sizing;
  sizing.slot_size = packet_size + kObject_Bytes;
  uint64_t step = (static_cast<uint64_t>(limit / 10 / sizing.slot_size) + 1) * sizing.slot_size;
  sizing.step = step > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(step);
  sizing.maximal_buffers = limit / sizing.slot_size;
  return sizing;
}

CBuffers_Pool::CBuffers_Pool(uint32_t limit, uint32_t packet_size, IJournal* journal)
    : m_Limit(limit), m_PacketSize(packet_size), m_Journal(journal) {
  if (m_Journal) m_Journal->Add_Ref();
  sSizing sizing = Plan(limit, packet_size);
  m_SlotSize = sizing.slot_size;
  m_SlotStride = (m_SlotSize + 7) & ~7u;
  m_Step = sizing.step;
  m_SlotsPerBlock = m_SlotSize ? m_Step / m_SlotSize : 0;
  m_MaximalBuffers = sizing.maximal_buffers;
  m_Initialized = m_MaximalBuffers > 0 && m_SlotsPerBlock > 0;
}

CBuffers_Pool::~CBuffers_Pool() {
  CLockGuard guard(&m_Lock);
  if (m_Taken != 0) TR_JOURNAL(m_Journal, IJournal::eError, "%d buffers are missed !.", m_Taken);
  if (m_RefCount > 0)
    TR_JOURNAL(m_Journal, IJournal::eError, "Reference count is greater than 0 !");
  m_Free.Clear(false);
  for (auto* cell = m_Blocks.Get_First(); cell; cell = m_Blocks.Get_Next(cell)) {
    for (uint32_t i = 0; i < m_SlotsPerBlock; ++i) {
      reinterpret_cast<CTPacket*>(cell->data + static_cast<size_t>(i) * m_SlotStride)->~CTPacket();
    }
  }
  m_Blocks.Clear(true);
  if (m_Journal) m_Journal->Release();
}

bool CBuffers_Pool::Allocate() {
  if (m_Allocated.load(std::memory_order_relaxed) >= m_Limit) {
    TR_JOURNAL(m_Journal, IJournal::eError,
               "Failed, Memory limit is reached, ID = %d Count = %d, Max = %d. Buffer Size = %d, "
               "Memory limit = %d",
               m_PoolID, m_Created, m_MaximalBuffers, m_PacketSize, m_Limit);
    return false;
  }
  size_t bytes = static_cast<size_t>(m_SlotsPerBlock) * m_SlotStride;
  uint8_t* block = new (std::nothrow) uint8_t[bytes];
  if (!block) return false;
  if (!m_Blocks.Add_Last(block)) {
    delete[] block;
    return false;
  }
  m_Allocated.store(m_Allocated.load(std::memory_order_relaxed) + m_Step,
                    std::memory_order_relaxed);
  for (uint32_t i = 0; i < m_SlotsPerBlock; ++i) {
    uint8_t* slot = block + static_cast<size_t>(i) * m_SlotStride;
    uint8_t* buffer = slot + kObject_Bytes;
    memset(buffer, 0, m_PacketSize);
    CTPacket* packet = new (slot) CTPacket(buffer, m_PacketSize, m_PoolID);
    if (!m_Free.Add_Last(packet)) {
      // No list cell: the packet stays unreachable until the pool dies; the block is counted.
      continue;
    }
    ++m_Created;
  }
  return true;
}

CTPacket* CBuffers_Pool::Pull_Buffer() {
  CLockGuard guard(&m_Lock);
  if (!m_Initialized) return nullptr;
  // Counting down past 0 wraps to kNo_Failure: the injected failure happens once.
  if (m_PullsBeforeFailure != kNo_Failure && m_PullsBeforeFailure-- == 0) return nullptr;
  if (m_Free.Count() == 0 && !Allocate()) return nullptr;
  auto* first = m_Free.Get_First();
  if (!first) return nullptr;
  CTPacket* packet = first->data;
  m_Free.Remove(first, false);
  ++m_Taken;
  m_TakenSeen.store(m_Taken, std::memory_order_relaxed);
  return packet;
}

void CBuffers_Pool::Push_Buffer(CTPacket* packet) {
  CLockGuard guard(&m_Lock);
  if (!packet || m_Taken == 0) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Wrong parameters.");
    return;
  }
  if (!m_Free.Add_Last(packet)) return;
  --m_Taken;
  m_TakenSeen.store(m_Taken, std::memory_order_relaxed);
}

void CBuffers_Pool::Fail_Pull_After(uint32_t pulls) {
  CLockGuard guard(&m_Lock);
  m_PullsBeforeFailure = pulls;
}

sBuffers_Pool_State CBuffers_Pool::Get_State() {
  CLockGuard guard(&m_Lock);
  return {m_Allocated.load(std::memory_order_relaxed), m_Created, m_MaximalBuffers, m_Taken,
          m_PacketSize};
}

int32_t CBuffers_Pool::Add_Ref() {
  CLockGuard guard(&m_Lock);
  return ++m_RefCount;
}

int32_t CBuffers_Pool::Release() {
  CLockGuard guard(&m_Lock);
  return --m_RefCount;
}
