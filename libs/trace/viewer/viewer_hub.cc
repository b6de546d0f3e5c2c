#include "trace/viewer/viewer_hub.h"

void CViewer_Hub::Update_Host(const sHost_Status& status) {
  CLockGuard guard(&m_Lock);
  m_Hosts[status.name] = status;
  m_Last_Update[status.name] = ++m_Update_Count;
  if (m_Hosts.size() <= kMax_Hosts) return;
  // Drop the disconnected host updated longest ago.
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
