#include "trace/server/client_session.h"

#include "trace/server/reply_builder.h"

CTRS_Session::CTRS_Session(uint16_t client_id, const sTRS_Limits& limits, ITRS_Listener* listener,
                           uint32_t opened_ms)
    : m_ClientID(client_id), m_Limits(limits), m_Listener(listener), m_Opened(opened_ms) {}

uint32_t CTRS_Session::Capacity() const {
  // A window of (capacity / packet size) - 1 packets, each held with its entry's overhead,
  // then stays within the client buffer.
  const uint64_t packet = m_PacketSize ? m_PacketSize : 1;
  const uint64_t capacity = m_Limits.client_buffer_bytes * packet / (packet + kHeld_Entry_Overhead);
  return capacity ? static_cast<uint32_t>(capacity) : 1;
}

bool CTRS_Session::Names_Us(uint16_t client_id) {
  if (!m_Greeted || client_id != m_ClientID) return false;
  m_Confirmed = true;
  return true;
}

void CTRS_Session::Reset_Window() {
  m_InWindow = false;
  m_First = m_Last = m_Count = m_Delivered = 0;
  m_Held.clear();
  m_HeldBytes = 0;
  m_HeldCost = 0;
  m_Reported.clear();
}

namespace {

// Whether [chunks, chunks + size) is whole chunks and nothing else. Anything else would stay at
// the head of the queue for ever (only whole chunks are sent) and block what is queued after it.
bool Whole_Chunks(const uint8_t* chunks, uint32_t size) {
  CTP_Chunk_Reader reader(chunks, size);
  sTP_Chunk chunk;
  const uint8_t* end = chunks;
  while (reader.Next(&chunk)) end = chunk.payload + chunk.payload_size;
  return !reader.Malformed() && end == chunks + size;
}

}  // namespace

bool CTRS_Session::Queue_User_Data(const uint8_t* chunks, uint32_t size) {
  // A chunk set must fit one acknowledgement of the smallest packet size, with the extensions of
  // a hello's acknowledgement.
  if (size == 0 || size > 512 - TRS_Ack_Overhead(true) ||
      m_UserQueue.size() + size > kMax_Queued_Bytes || !Whole_Chunks(chunks, size)) {
    m_Stats.user_data_dropped += size;
    return false;
  }
  m_UserQueue.insert(m_UserQueue.end(), chunks, chunks + size);
  return true;
}

void CTRS_Session::On_Hello(const sTP_View& packet, const sTRS_Hello& hello, tTRS_Reply* reply) {
  if (m_Greeted && packet.id == m_HelloID) {
    // Our acknowledgement was lost: the client sent the same hello again.
    Acknowledge(packet.id, Capacity(), reply, packet.size);
    return;
  }
  bool restart = m_Greeted;
  m_Greeted = true;
  m_HelloID = packet.id;
  m_PacketSize = hello.packet_size;
  // Data that went with an acknowledgement to the client before it started over is lost with
  // its old channels' state; what is still queued goes to the new start.
  m_UserSentValid = false;
  m_Base = packet.id;
  m_DoneValid = false;
  Reset_Window();
  m_Listener->On_Client(m_ClientID, hello, restart);
  // Never larger than the hello: its source address may be forged (see Proof of return).
  Acknowledge(packet.id, Capacity(), reply, packet.size);
}

bool CTRS_Session::Foreign(uint16_t client_id) {
  if (!m_Confirmed || client_id == m_ClientID) return false;
  ++m_Stats.foreign;
  return true;
}

void CTRS_Session::On_Ping(const sTP_View& packet, tTRS_Reply* reply) {
  if (Foreign(packet.client_id)) return;
  if (!Names_Us(packet.client_id)) {
    Refuse(packet.id, reply);
    return;
  }
  // A client pings only with nothing in flight: its next data follows the ping.
  if (!m_InWindow) m_Base = packet.id;
  Acknowledge(packet.id, 0, reply);
}

void CTRS_Session::Deliver(const uint8_t* body, uint32_t size) {
  ++m_Delivered;
  ++m_Stats.delivered_packets;
  m_Stats.delivered_bytes += size;
  if (size && !m_Ended) m_Listener->On_Stream(m_ClientID, body, size);
}

void CTRS_Session::Drain() {
  while (m_Delivered < m_Count) {
    auto held = m_Held.find(TP_ID_At(m_First, m_Delivered));
    if (held == m_Held.end()) return;
    std::vector<uint8_t> body = std::move(held->second);
    m_Held.erase(held);
    m_HeldBytes -= static_cast<uint32_t>(body.size());
    m_HeldCost -= body.size() + kHeld_Entry_Overhead;
    Deliver(body.data(), static_cast<uint32_t>(body.size()));
    Recycle(std::move(body));
  }
}

void CTRS_Session::On_Data(const sTP_View& packet) {
  if (!Names_Us(packet.client_id)) {
    ++m_Stats.dropped_stale;
    return;
  }
  const uint8_t* body = packet.Body();
  uint32_t size = packet.Body_Size();
  if (m_InWindow) {
    uint32_t distance = TP_ID_Distance(packet.id, m_First);
    if (distance >= m_Count || distance < m_Delivered || Held(packet.id)) {
      ++m_Stats.dropped_stale;
      return;
    }
    if (distance < m_Reported.size() && m_Reported[distance]) {
      ++m_Stats.resent_received;
      m_Reported[distance] = false;
    }
    if (distance == m_Delivered) {
      Deliver(body, size);
      Drain();
      return;
    }
  } else {
    uint32_t ahead = TP_ID_Distance(packet.id, m_Base);
    if (ahead == 0 || ahead > 2 * m_Limits.max_window + 256 || Held(packet.id)) {
      ++m_Stats.dropped_stale;
      return;
    }
  }
  if (m_HeldCost + size + kHeld_Entry_Overhead > m_Limits.client_buffer_bytes) {
    ++m_Stats.dropped_no_room;
    return;
  }
  Hold(packet.id, body, size);
}

void CTRS_Session::Hold(uint32_t id, const uint8_t* body, uint32_t size) {
  std::vector<uint8_t> copy;
  if (!m_Spare.empty()) {
    copy = std::move(m_Spare.back());
    m_Spare.pop_back();
    m_SpareBytes -= static_cast<uint32_t>(copy.capacity());
  }
  copy.assign(body, body + size);
  m_Held.emplace(id, std::move(copy));
  m_HeldBytes += size;
  m_HeldCost += size + kHeld_Entry_Overhead;
}

void CTRS_Session::Recycle(std::vector<uint8_t>&& body) {
  const uint64_t capacity = body.capacity();
  if (m_Spare.size() < kSpare_Bodies && m_SpareBytes + capacity <= kMax_Spare_Bytes) {
    m_Spare.push_back(std::move(body));
    m_SpareBytes += static_cast<uint32_t>(capacity);
  }
}

void CTRS_Session::On_Data_Window(const sTP_View& packet, tTRS_Reply* reply) {
  if (Foreign(packet.client_id)) return;
  if (!Names_Us(packet.client_id)) {
    Refuse(packet.id, reply);
    return;
  }
  uint32_t first = TP_Load32(packet.bytes + kTP_Window_Offset_First);
  uint32_t last = TP_Load32(packet.bytes + kTP_Window_Offset_Last);
  if (m_InWindow) {
    if (first != m_First || last != m_Last) {
      Refuse(packet.id, reply);
      return;
    }
  } else if (m_DoneValid && first == m_DoneFirst && last == m_DoneLast && packet.id == m_DoneID) {
    // Our acknowledgement of the completed window was lost.
    Acknowledge(packet.id, 0, reply);
    return;
  } else {
    bool ids_valid = first >= 1 && first <= kTP_Max_ID && last >= 1 && last <= kTP_Max_ID;
    uint32_t count = ids_valid ? TP_ID_Distance(last, first) + 1 : 0;
    uint32_t ahead = ids_valid ? TP_ID_Distance(first, m_Base) : 0;
    if (!ids_valid || count > m_Limits.max_window || ahead == 0 ||
        ahead > 2 * m_Limits.max_window + 256) {
      Refuse(packet.id, reply);
      return;
    }
    m_InWindow = true;
    m_First = first;
    m_Last = last;
    m_Count = count;
    m_Delivered = 0;
    // Held packets outside the window can never be delivered.
    for (auto held = m_Held.begin(); held != m_Held.end();) {
      if (TP_ID_Distance(held->first, first) >= count) {
        m_HeldBytes -= static_cast<uint32_t>(held->second.size());
        m_HeldCost -= held->second.size() + kHeld_Entry_Overhead;
        held = m_Held.erase(held);
        ++m_Stats.dropped_stale;
      } else {
        ++held;
      }
    }
  }
  Drain();
  if (m_Delivered < m_Count) {
    Report(packet.id, reply);
    return;
  }
  ++m_Stats.windows_completed;
  m_DoneValid = true;
  m_DoneFirst = first;
  m_DoneLast = last;
  m_DoneID = packet.id;
  m_Base = packet.id;
  Reset_Window();
  Acknowledge(packet.id, 0, reply);
}

void CTRS_Session::Acknowledge(uint32_t id, uint32_t capacity, tTRS_Reply* reply,
                               uint32_t max_size) {
  if (!m_UserSentValid || m_UserSentID != id) {
    // A new control packet: the data of the previous acceptance has reached the client (it
    // moved on), so the next whole chunks that fit go with this one.
    m_UserSent.clear();
    m_UserSentValid = false;
    const uint32_t largest = max_size < Max_Reply() ? max_size : Max_Reply();
    const uint32_t overhead = TRS_Ack_Overhead(capacity != 0);
    const uint32_t room = largest > overhead ? largest - overhead : 0;
    CTP_Chunk_Reader chunks(m_UserQueue.data(), static_cast<uint32_t>(m_UserQueue.size()));
    sTP_Chunk chunk;
    uint32_t take = 0;
    while (chunks.Next(&chunk) && take + kTP_Chunk_Header + chunk.payload_size <= room) {
      take += kTP_Chunk_Header + chunk.payload_size;
    }
    if (take) {
      m_UserSent.assign(m_UserQueue.begin(), m_UserQueue.begin() + take);
      m_UserQueue.erase(m_UserQueue.begin(), m_UserQueue.begin() + take);
      m_UserSentValid = true;
      m_UserSentID = id;
    }
  }
  m_Stats.user_data_sent += m_UserSent.size();
  m_ReplyID = TP_Next_ID(m_ReplyID);
  *reply = TRS_Make_Ack(m_ReplyID, m_ClientID, id, 1, capacity, m_UserSent);
}

void CTRS_Session::Refuse(uint32_t id, tTRS_Reply* reply) {
  ++m_Stats.refused;
  Reset_Window();
  m_ReplyID = TP_Next_ID(m_ReplyID);
  *reply = TRS_Make_Ack(m_ReplyID, m_ClientID, id, 0, 0);
}

void CTRS_Session::Report(uint32_t window_id, tTRS_Reply* reply) {
  std::vector<uint8_t> lost;
  if (m_Reported.size() < m_Count) m_Reported.resize(m_Count, false);
  for (uint32_t distance = m_Delivered; distance < m_Count; ++distance) {
    if (Held(TP_ID_At(m_First, distance))) continue;
    if (lost.size() <= distance / 8) lost.resize(distance / 8 + 1, 0);
    lost[distance / 8] |= static_cast<uint8_t>(1u << (distance % 8));
    ++m_Stats.reported_lost;
    m_Reported[distance] = true;
  }
  ++m_Stats.reports_sent;
  m_ReplyID = TP_Next_ID(m_ReplyID);
  *reply = TRS_Make_Report(m_ReplyID, m_ClientID, window_id, lost);
}
