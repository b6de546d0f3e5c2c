#include "trace/viewer/live_ring.h"

#include <algorithm>

CLive_Ring::CLive_Ring(uint32_t capacity) : m_Capacity(capacity ? capacity : 1) {
  CLockGuard guard(&m_Lock);
  m_Slots.resize(m_Capacity);
}

void CLive_Ring::Push(const sViewer_Message& message) {
  CLockGuard guard(&m_Lock);
  sViewer_Message& slot = m_Slots[(m_Next - 1) % m_Capacity];
  slot = message;  // copy-assignment keeps the slot's string buffers where they fit
  slot.sequence = m_Next++;
}

uint64_t CLive_Ring::Next() const {
  CLockGuard guard(&m_Lock);
  return m_Next;
}

CLive_Ring::sRead CLive_Ring::Read(uint64_t after, const CMessage_Filter& filter, uint32_t limit,
                                   uint32_t scan_limit) const {
  sRead result;
  // The number wanted next; `after` comes from the page, and its largest value means "beyond the
  // newest" like any other position past it, not 0.
  uint64_t next = after == UINT64_MAX ? after : after + 1;
  std::vector<sViewer_Message> batch;
  uint32_t scanned = 0;
  while (result.messages.size() < limit && scanned < scan_limit) {
    batch.clear();
    {
      CLockGuard guard(&m_Lock);
      const uint64_t oldest = m_Next > m_Capacity ? m_Next - m_Capacity : 1;
      if (next > m_Next) next = m_Next;  // a position from before a restart: from now on
      if (next < oldest) {
        result.skipped += oldest - next;
        next = oldest;
      }
      const uint64_t end = std::min<uint64_t>(m_Next, next + kBatch);
      for (uint64_t n = next; n < end; ++n) batch.push_back(m_Slots[(n - 1) % m_Capacity]);
    }
    if (batch.empty()) break;
    for (sViewer_Message& message : batch) {
      ++scanned;
      next = message.sequence + 1;
      if (filter.Matches(message)) {
        result.messages.push_back(std::move(message));
        if (result.messages.size() >= limit) break;
      }
    }
  }
  result.last = next - 1;
  return result;
}

CLive_Ring::sContext CLive_Ring::Context(uint64_t sequence, uint32_t lines) const {
  sContext context;
  CLockGuard guard(&m_Lock);
  const uint64_t oldest = m_Next > m_Capacity ? m_Next - m_Capacity : 1;
  if (sequence < oldest || sequence >= m_Next) return context;
  context.found = true;
  context.message = m_Slots[(sequence - 1) % m_Capacity];
  const std::string& host = context.message.host;
  for (uint64_t n = sequence - 1, seen = 0;
       n >= oldest && seen < kContext_Scan && context.before.size() < lines; --n, ++seen) {
    const sViewer_Message& slot = m_Slots[(n - 1) % m_Capacity];
    if (slot.host == host) context.before.push_back(slot);
  }
  std::reverse(context.before.begin(), context.before.end());
  for (uint64_t n = sequence + 1, seen = 0;
       n < m_Next && seen < kContext_Scan && context.after.size() < lines; ++n, ++seen) {
    const sViewer_Message& slot = m_Slots[(n - 1) % m_Capacity];
    if (slot.host == host) context.after.push_back(slot);
  }
  return context;
}
