#include "trace/server/client_naming.h"

#include <arpa/inet.h>
#include <netinet/in.h>

std::string TRS_Address_Text(const sTP_Endpoint& endpoint) {
  char text[INET6_ADDRSTRLEN] = {};
  if (endpoint.family == AF_INET || endpoint.family == AF_INET6) {
    if (inet_ntop(endpoint.family, endpoint.address, text, sizeof(text)) != nullptr) return text;
  }
  return std::string();
}

std::string TRS_Endpoint_Text(const sTP_Endpoint& endpoint) {
  const std::string address = TRS_Address_Text(endpoint);
  const std::string port = std::to_string(ntohs(endpoint.port));
  return endpoint.family == AF_INET6 ? "[" + address + "]:" + port : address + ":" + port;
}

std::string TRS_Safe_Name(const std::string& text, size_t max_bytes) {
  std::string safe;
  for (char c : text) {
    if (safe.size() >= max_bytes) break;
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-';
    safe.push_back(plain ? c : '_');
  }
  if (!safe.empty() && safe[0] == '.') safe[0] = '_';
  return safe.empty() ? "unnamed" : safe;
}

std::string TRS_Client_Directory_Name(const std::string& client_name, const sTP_Endpoint& endpoint,
                                      uint32_t process_id) {
  return TRS_Safe_Name(client_name) + "_" + TRS_Safe_Name(TRS_Address_Text(endpoint)) + "_" +
         std::to_string(process_id);
}
