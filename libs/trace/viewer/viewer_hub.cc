#include "trace/viewer/viewer_hub.h"

#include <algorithm>

namespace {

// The first `cap` bytes of `text`, shortened further so as not to end inside a UTF-8 sequence
// (continuation bytes at the cut are dropped with their lead byte).
std::string Cut_Name(const std::string& text) {
  if (text.size() <= sHost_Bounds::kMax_Name) return text;
  size_t length = sHost_Bounds::kMax_Name;
  while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  return text.substr(0, length);
}

}  // namespace

sHost_Status Bounded_Host_Status(const sHost_Status& status) {
  sHost_Status bounded;
  bounded.name = status.name;  // the row's key, which requests name: kept whole
  bounded.client = Cut_Name(status.client);
  bounded.address = Cut_Name(status.address);
  bounded.process_id = status.process_id;
  bounded.connected = status.connected;
  bounded.left = Cut_Name(status.left);
  bounded.records = status.records;
  bounded.messages = status.messages;
  bounded.lost = status.lost;
  bounded.resent = status.resent;
  bounded.skipped = status.skipped;
  // A host that has gone sends nothing: its last interval's count is no rate any more.
  bounded.rate = status.connected ? status.rate : 0;
  const size_t channels = std::min(status.channels.size(), sHost_Bounds::kMax_Channels);
  bounded.channels.resize(channels);
  for (size_t c = 0; c < channels; ++c) {
    const sViewer_Channel& from = status.channels[c];
    sViewer_Channel& to = bounded.channels[c];
    to.id = from.id;
    to.name = Cut_Name(from.name);
    to.level = from.level;
    const size_t modules = std::min(from.modules.size(), sHost_Bounds::kMax_Modules);
    to.modules.resize(modules);
    for (size_t m = 0; m < modules; ++m) {
      to.modules[m].id = from.modules[m].id;
      to.modules[m].name = Cut_Name(from.modules[m].name);
      to.modules[m].level = from.modules[m].level;
    }
    to.modules_omitted = from.modules_omitted + (from.modules.size() - modules);
  }
  return bounded;
}

void CViewer_Hub::Update_Host(const sHost_Status& status) {
  sHost_Status bounded = Bounded_Host_Status(status);  // copied outside the lock
  CLockGuard guard(&m_Lock);
  if (m_Hosts.size() >= kMax_Hosts && m_Hosts.find(bounded.name) == m_Hosts.end()) {
    // Full: forget the host that left longest ago, or show no new host while all are connected.
    const std::string* oldest = nullptr;
    uint64_t oldest_update = UINT64_MAX;
    for (const auto& entry : m_Hosts) {
      if (entry.second.connected) continue;
      const uint64_t update = m_Last_Update[entry.first];
      if (update < oldest_update) {
        oldest_update = update;
        oldest = &entry.first;
      }
    }
    if (!oldest) return;
    const std::string name = *oldest;
    m_Hosts.erase(name);
    m_Last_Update.erase(name);
  }
  m_Last_Update[bounded.name] = ++m_Update_Count;
  m_Hosts[bounded.name] = std::move(bounded);
}

std::vector<sHost_Status> CViewer_Hub::Hosts() const {
  CLockGuard guard(&m_Lock);
  std::vector<sHost_Status> hosts;
  hosts.reserve(m_Hosts.size());
  for (const auto& entry : m_Hosts) hosts.push_back(entry.second);
  return hosts;
}

bool CViewer_Hub::Post_Verbosity(const sVerbosity_Request& request) {
  CLockGuard guard(&m_Lock);
  auto found = m_Hosts.find(request.host);
  if (found == m_Hosts.end() || !found->second.connected) return false;
  if (m_Requests.size() >= kMax_Requests) return false;
  m_Requests.push_back(request);
  return true;
}

std::vector<sVerbosity_Request> CViewer_Hub::Take_Requests() {
  CLockGuard guard(&m_Lock);
  std::vector<sVerbosity_Request> taken;
  taken.swap(m_Requests);
  return taken;
}
