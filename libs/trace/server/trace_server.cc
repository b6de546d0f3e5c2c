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

// Marks the server as inside its listener callbacks for a scope, whatever leaves it (a
// listener's exception too), so that Drop_Client defers its erasing exactly while iterators or
// sessions of the handling code are in use.
class CCallback_Scope {
 public:
  explicit CCallback_Scope(bool* flag) : m_Flag(flag) { *m_Flag = true; }
  ~CCallback_Scope() { *m_Flag = false; }
  CCallback_Scope(const CCallback_Scope&) = delete;
  CCallback_Scope& operator=(const CCallback_Scope&) = delete;

 private:
  bool* const m_Flag;
};

// The key that counts the sessions of one source address, whatever their ports.
sTP_Endpoint Address_Of(const sTP_Endpoint& source) {
  sTP_Endpoint address = source;
  address.port = 0;
  return address;
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
  if (found == m_Sessions.end() || found->second->Ended()) return false;
  try {
    return found->second->Queue_User_Data(chunks, size);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool CTRS_Server::Refused_After_Drop(const sTP_Endpoint& source, uint32_t now_ms) {
  auto refusal = m_Refusals.find(source);
  if (refusal == m_Refusals.end()) return false;
  if (now_ms - refusal->second.since_ms < refusal->second.for_ms) return true;
  m_Refusals.erase(refusal);
  return false;
}

CTRS_Session* CTRS_Server::Open(const sTP_Endpoint& source, uint32_t now_ms) {
  if (Refused_After_Drop(source, now_ms)) {
    ++m_Stats.refused_dropped;
    return nullptr;
  }
  const sTP_Endpoint address = Address_Of(source);
  auto count = m_PerAddress.find(address);
  if (count != m_PerAddress.end() && count->second >= m_Limits.max_clients_per_address &&
      !Evict_Unconfirmed(&address)) {
    ++m_Stats.refused_per_address;
    return nullptr;
  }
  if (m_Sessions.size() >= m_Limits.max_clients && !Evict_Unconfirmed(nullptr)) {
    ++m_Stats.refused_clients;
    return nullptr;
  }
  uint16_t id = 0;
  if (!m_IDs.Next([this](uint16_t candidate) { return m_ClientIDs.count(candidate) != 0; }, &id)) {
    ++m_Stats.refused_clients;
    return nullptr;
  }
  auto created = std::make_unique<CTRS_Session>(id, m_Limits, m_Listener, now_ms);
  CTRS_Session* session = created.get();
  // Every container grows before any is changed, so that a failed allocation leaves them
  // consistent: the count entry may stay at 0, which the next open uses.
  auto counted = m_PerAddress.emplace(address, 0).first;
  auto named = m_ClientIDs.emplace(id, source).first;
  try {
    m_Sessions.emplace(source, std::move(created));
  } catch (...) {
    m_ClientIDs.erase(named);
    throw;
  }
  ++counted->second;
  return session;
}

bool CTRS_Server::Evict_Unconfirmed(const sTP_Endpoint* address) {
  auto oldest = m_Sessions.end();
  uint32_t oldest_age = 0;
  for (auto it = m_Sessions.begin(); it != m_Sessions.end(); ++it) {
    const CTRS_Session& session = *it->second;
    if (session.Confirmed() || session.Ended()) continue;
    if (address && Address_Of(it->first) != *address) continue;
    const uint32_t age = m_Now - session.Opened();
    if (oldest == m_Sessions.end() || age > oldest_age) {
      oldest = it;
      oldest_age = age;
    }
  }
  if (oldest == m_Sessions.end()) return false;
  ++m_Stats.evicted_unconfirmed;
  End_Session(oldest, eTRS_Leave::Silent);
  return true;
}

CTRS_Server::tSessions::iterator CTRS_Server::End_Session(tSessions::iterator session,
                                                          eTRS_Leave reason) {
  const uint16_t id = session->second->Client_ID();
  session->second->End();
  m_Listener->On_Leave(id, reason);
  m_ClientIDs.erase(id);
  auto count = m_PerAddress.find(Address_Of(session->first));
  if (count != m_PerAddress.end() && --count->second == 0) m_PerAddress.erase(count);
  return m_Sessions.erase(session);
}

void CTRS_Server::Finish_Ended() {
  // On_Leave may end further sessions; each round takes what the previous one left.
  while (!m_Ended.empty()) {
    std::vector<uint16_t> ended;
    ended.swap(m_Ended);
    for (uint16_t id : ended) {
      auto named = m_ClientIDs.find(id);
      if (named == m_ClientIDs.end()) continue;
      auto found = m_Sessions.find(named->second);
      if (found != m_Sessions.end()) End_Session(found, eTRS_Leave::Dropped);
    }
  }
}

bool CTRS_Server::Drop_Client(uint16_t client_id, uint32_t now_ms, uint32_t refuse_ms) {
  auto named = m_ClientIDs.find(client_id);
  if (named == m_ClientIDs.end()) return false;
  auto found = m_Sessions.find(named->second);
  if (found == m_Sessions.end() || found->second->Ended()) return false;
  ++m_Stats.dropped;
  if (refuse_ms) {
    try {
      if (m_Refusals.size() >= kMax_Refusals && m_Refusals.count(found->first) == 0) {
        // The entry nearest to its end goes first.
        auto oldest = m_Refusals.begin();
        for (auto it = m_Refusals.begin(); it != m_Refusals.end(); ++it) {
          if (it->second.for_ms - (now_ms - it->second.since_ms) <
              oldest->second.for_ms - (now_ms - oldest->second.since_ms))
            oldest = it;
        }
        m_Refusals.erase(oldest);
      }
      m_Refusals[found->first] = sRefusal{now_ms, refuse_ms};
    } catch (const std::bad_alloc&) {
      // The session still ends; only the refusal time is lost.
    }
  }
  if (m_In_Callbacks) {
    found->second->End();
    m_Ended.push_back(client_id);
  } else {
    CCallback_Scope scope(&m_In_Callbacks);
    End_Session(found, eTRS_Leave::Dropped);
    Finish_Ended();
  }
  return true;
}

bool CTRS_Server::On_Datagram(const uint8_t* bytes, uint32_t length, const sTP_Endpoint& source,
                              uint32_t now_ms, tTRS_Reply* reply) {
  reply->clear();
  m_Now = now_ms;
  CCallback_Scope scope(&m_In_Callbacks);
  bool send = false;
  try {
    send = Handle(bytes, length, source, now_ms, reply) && !reply->empty();
    if (send) {
      const CTRS_Session* session = Find(source);
      if (session && session->Ended()) {
        send = false;  // the owner dropped it while this datagram was handled
      } else if (!session || !session->Confirmed()) {
        const uint32_t bound = length > kMax_Unconfirmed_Reply ? length : kMax_Unconfirmed_Reply;
        if (reply->size() > bound) {
          ++m_Stats.bounded_replies;
          send = false;
        }
      }
    }
  } catch (const std::bad_alloc&) {
    send = false;
  }
  if (!send) reply->clear();
  try {
    Finish_Ended();
  } catch (const std::bad_alloc&) {
    // Erasing allocates nothing; only a listener's own allocation can fail here.
  }
  return send;
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
      session = Open(source, now_ms);
      if (!session) {
        m_ReplyID = TP_Next_ID(m_ReplyID);
        *reply = TRS_Make_Ack(m_ReplyID, kTP_No_Client, packet.id, 0, 0);
        return true;
      }
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
      End_Session(found, eTRS_Leave::Bye);
      return false;
    default:
      ++m_Stats.unexpected;
      return false;
  }
}

void CTRS_Server::Drop_Idle(uint32_t now_ms, uint32_t idle_ms) {
  {
    CCallback_Scope scope(&m_In_Callbacks);
    Expire(now_ms, idle_ms);
    Finish_Ended();
  }
  for (auto it = m_Refusals.begin(); it != m_Refusals.end();) {
    if (now_ms - it->second.since_ms >= it->second.for_ms) {
      it = m_Refusals.erase(it);
    } else {
      ++it;
    }
  }
}

void CTRS_Server::Expire(uint32_t now_ms, uint32_t idle_ms) {
  for (auto it = m_Sessions.begin(); it != m_Sessions.end();) {
    const CTRS_Session& session = *it->second;
    if (session.Ended()) {
      ++it;
    } else if (now_ms - session.Last_Heard() > idle_ms) {
      it = End_Session(it, eTRS_Leave::Idle);
    } else if (m_Limits.first_data_ms && !session.Had_Data() &&
               now_ms - session.Opened() > m_Limits.first_data_ms) {
      ++m_Stats.expired_silent;
      it = End_Session(it, eTRS_Leave::Silent);
    } else {
      ++it;
    }
  }
}
