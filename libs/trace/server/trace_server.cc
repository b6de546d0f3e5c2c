#include "trace/server/trace_server.h"

#include <new>

#include "trace/base/utf.h"
#include "trace/server/reply_builder.h"

namespace {

// The largest window whose loss bitmap fits a packet of the smallest size (512 bytes).
constexpr uint32_t kMax_Reportable_Window = (512 - kTP_Report_Offset_Bitmap) * 8;

sTRS_Limits Capped(sTRS_Limits limits) {
  if (limits.max_window > kMax_Reportable_Window) limits.max_window = kMax_Reportable_Window;
  if (limits.max_window == 0) limits.max_window = 1;
  return limits;
}

sTRS_Hello Read_Hello(const sTP_View& packet) {
  sTRS_Hello hello;
  hello.version = TP_Load16(packet.bytes + kTP_Hello_Offset_Version);
  hello.packet_size = TP_Load16(packet.bytes + kTP_Hello_Offset_Packet_Size);
  hello.process_id = TP_Load32(packet.bytes + kTP_Hello_Offset_Process);
  hello.start_time =
      (static_cast<uint64_t>(TP_Load32(packet.bytes + kTP_Hello_Offset_Time_High)) << 32) |
      TP_Load32(packet.bytes + kTP_Hello_Offset_Time_Low);
  uint16_t units[kTP_Hello_Name_Units];
  for (uint32_t i = 0; i < kTP_Hello_Name_Units; ++i)
    units[i] = TP_Load16(packet.bytes + kTP_Hello_Offset_Name + 2 * i);
  units[kTP_Hello_Name_Units - 1] = 0;  // a name without its terminator is cut
  char name[kTP_Hello_Name_Units * 3 + 1];
  if (Convert_UTF16_To_UTF8(units, name, sizeof(name)) >= 0) hello.name = name;
  return hello;
}

}  // namespace

CTRS_Server::CTRS_Server(const sTRS_Limits& limits, ITRS_Listener* listener)
    : m_Limits(Capped(limits)), m_Listener(listener) {}

CTRS_Server::~CTRS_Server() = default;

const CTRS_Session* CTRS_Server::Find(const sTP_Endpoint& source) const {
  auto found = m_Sessions.find(source);
  return found == m_Sessions.end() ? nullptr : found->second.get();
}

const CTRS_Session* CTRS_Server::Find_Client(uint16_t client_id) const {
  auto id = m_ClientIDs.find(client_id);
  return id == m_ClientIDs.end() ? nullptr : Find(id->second);
}

bool CTRS_Server::Queue_User_Data(uint16_t client_id, const uint8_t* chunks, uint32_t size) {
  auto id = m_ClientIDs.find(client_id);
  if (id == m_ClientIDs.end()) return false;
  auto found = m_Sessions.find(id->second);
  if (found == m_Sessions.end()) return false;
  try {
    return found->second->Queue_User_Data(chunks, size);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool CTRS_Server::Allocate_Client_ID(uint16_t* id) {
  for (uint32_t tries = 0; tries < kTP_No_Client; ++tries) {
    uint16_t candidate = m_NextClientID;
    m_NextClientID =
        static_cast<uint16_t>(m_NextClientID + 1 == kTP_No_Client ? 0 : m_NextClientID + 1);
    if (m_ClientIDs.find(candidate) == m_ClientIDs.end()) {
      *id = candidate;
      return true;
    }
  }
  return false;
}

bool CTRS_Server::On_Datagram(const uint8_t* bytes, uint32_t length, const sTP_Endpoint& source,
                              uint32_t now_ms, tTRS_Reply* reply) {
  reply->clear();
  try {
    return Handle(bytes, length, source, now_ms, reply) && !reply->empty();
  } catch (const std::bad_alloc&) {
    reply->clear();
    return false;
  }
}

bool CTRS_Server::Handle(const uint8_t* bytes, uint32_t length, const sTP_Endpoint& source,
                         uint32_t now_ms, tTRS_Reply* reply) {
  sTP_View packet;
  const bool good = TP_Check_Datagram(bytes, length, &packet) == eTP_Check_OK;
  auto found = m_Sessions.find(source);
  CTRS_Session* session = found == m_Sessions.end() ? nullptr : found->second.get();
  if (!good) {
    ++m_Stats.refused_datagrams;
    if (session) ++session->Mutable_Stats().bad_datagrams;
    return false;
  }

  if (packet.type == eTP_Hello) {
    if (!session) {
      uint16_t id = 0;
      if (m_Sessions.size() >= m_Limits.max_clients || !Allocate_Client_ID(&id)) {
        ++m_Stats.refused_clients;
        m_ReplyID = TP_Next_ID(m_ReplyID);
        *reply = TRS_Make_Ack(m_ReplyID, kTP_No_Client, packet.id, 0, 0);
        return true;
      }
      auto created = std::make_unique<CTRS_Session>(id, m_Limits, m_Listener);
      session = created.get();
      m_ClientIDs.emplace(id, source);
      m_Sessions.emplace(source, std::move(created));
    }
    session->Set_Last_Heard(now_ms);
    session->On_Hello(packet, Read_Hello(packet), reply);
    return true;
  }

  if (!session) {
    if (packet.type == eTP_Ping || packet.type == eTP_Data_Window) {
      ++m_Stats.unknown_control;
      m_ReplyID = TP_Next_ID(m_ReplyID);
      *reply = TRS_Make_Ack(m_ReplyID, kTP_No_Client, packet.id, 0, 0);
      return true;
    }
    ++m_Stats.unexpected;
    return false;
  }

  session->Set_Last_Heard(now_ms);
  switch (packet.type) {
    case eTP_Ping:
      session->On_Ping(packet, reply);
      return true;
    case eTP_Data:
      if (m_DropFilter && m_DropFilter(source, packet)) {
        ++session->Mutable_Stats().filtered;
        return false;
      }
      session->On_Data(packet);
      return false;
    case eTP_Data_Window:
      session->On_Data_Window(packet, reply);
      return true;
    case eTP_Bye:
      if (packet.client_id != session->Client_ID()) return false;
      m_Listener->On_Leave(session->Client_ID(), eTRS_Leave::Bye);
      m_ClientIDs.erase(session->Client_ID());
      m_Sessions.erase(found);
      return false;
    default:
      ++m_Stats.unexpected;
      return false;
  }
}

void CTRS_Server::Drop_Idle(uint32_t now_ms, uint32_t idle_ms) {
  for (auto it = m_Sessions.begin(); it != m_Sessions.end();) {
    if (now_ms - it->second->Last_Heard() > idle_ms) {
      uint16_t id = it->second->Client_ID();
      m_Listener->On_Leave(id, eTRS_Leave::Idle);
      m_ClientIDs.erase(id);
      it = m_Sessions.erase(it);
    } else {
      ++it;
    }
  }
}
