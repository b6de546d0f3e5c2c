#include "request_rules.h"

#include "access_token.h"

const char kToken_Cookie[] = "trace_token";

namespace {

bool Same_Name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
    if (x != y) return false;
  }
  return true;
}

// Splits "name", "name:port", "[v6]" or "[v6]:port"; false when malformed. `port` is empty when
// none was given.
bool Split_Host(std::string_view text, std::string_view* name, std::string_view* port) {
  *port = {};
  if (text.empty()) return false;
  if (text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    *name = text.substr(1, close - 1);
    std::string_view rest = text.substr(close + 1);
    if (rest.empty()) return !name->empty();
    if (rest.front() != ':') return false;
    *port = rest.substr(1);
    return !name->empty() && !port->empty();
  }
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    *name = text;
    return true;
  }
  if (text.find(':', colon + 1) != std::string_view::npos) return false;  // a bare IPv6 address
  *name = text.substr(0, colon);
  *port = text.substr(colon + 1);
  return !name->empty() && !port->empty();
}

}  // namespace

bool Parse_Decimal(std::string_view text, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (result > (UINT64_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

bool Host_Allowed(const sHost_Rule& rule, std::string_view host) {
  std::string_view name, port;
  if (!Split_Host(host, &name, &port) || name.find('\0') != std::string_view::npos) return false;
  if (!port.empty()) {
    uint64_t number = 0;
    if (!Parse_Decimal(port, &number) || number != rule.port) return false;
  }
  if (Same_Name(name, "localhost") || Is_Loopback_Host(std::string(name))) return true;
  if (Same_Name(name, rule.bound_host)) return true;
  for (const std::string& other : rule.allowed)
    if (Same_Name(name, other)) return true;
  return false;
}

bool Origin_Allowed(std::string_view origin, std::string_view host) {
  constexpr std::string_view kScheme = "http://";
  if (origin.size() != kScheme.size() + host.size()) return false;
  return Same_Name(origin.substr(0, kScheme.size()), kScheme) &&
         Same_Name(origin.substr(kScheme.size()), host);
}

std::string Token_Cookie(const std::string& token) {
  return std::string(kToken_Cookie) + "=" + token + "; Path=/api; HttpOnly; SameSite=Strict";
}
