// The viewer's request rules over any header texts: Host, Origin, numbers (after, limit,
// Last-Event-ID) and the token comparison. Whatever the bytes, a Host passes only when it names
// a loopback address, the bound address or an allowed name, with the viewer's port or none; the
// verdict does not depend on letter case; an Origin passes only as "http://" and the Host;
// a number passes only as the digits of a 64-bit value; tokens match only when equal.
//
// Input: host, NUL, origin, NUL, number, NUL, token.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <string_view>
#include <vector>

#include "access_token.h"
#include "fuzz_support.h"
#include "request_rules.h"

namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && parts.size() < 4) {
      parts.emplace_back();
    } else {
      parts.back() += static_cast<char>(data[i]);
    }
  }
  parts.resize(4);
  const std::string& host = parts[0];
  const std::string& origin = parts[1];
  const std::string& number = parts[2];
  const std::string& token = parts[3];

  const sHost_Rule rule{"192.0.2.7", 8080, {"viewer.example"}};
  const bool allowed = Host_Allowed(rule, host);
  fuzz::Check(allowed == Host_Allowed(rule, Upper(host)), "the Host verdict depends on case");
  if (allowed) {
    const std::string lower = Lower(host);
    const size_t close = lower.rfind(']');
    const size_t colon = lower.find(':', close == std::string::npos ? 0 : close);
    const std::string name = lower.substr(0, colon);
    const std::string port = colon == std::string::npos ? "" : lower.substr(colon + 1);
    fuzz::Check(port.empty() || strtoul(port.c_str(), nullptr, 10) == 8080,
                "a Host with another port passed");
    const std::string bare =
        name.size() > 1 && name.front() == '[' ? name.substr(1, name.size() - 2) : name;
    fuzz::Check(bare == "localhost" || bare == "192.0.2.7" || bare == "viewer.example" ||
                    Is_Loopback_Host(bare),
                "a Host that is not ours passed: " + host);
    fuzz::Check(bare.find('\0') == std::string::npos, "a Host with a NUL passed");
  }

  if (Origin_Allowed(origin, host))
    fuzz::Check(Lower(origin) == "http://" + Lower(host), "a foreign Origin passed");

  uint64_t value = 0;
  if (Parse_Decimal(number, &value)) {
    fuzz::Check(number.find_first_not_of("0123456789") == std::string::npos && !number.empty(),
                "a number with other characters passed");
    fuzz::Check(strtoull(number.c_str(), nullptr, 10) == value, "a number parsed to another value");
  }

  fuzz::Check(Token_Matches(token, host) == (!token.empty() && token == host),
              "tokens compared wrongly");
  fuzz::Check(Token_Matches(token, token) == !token.empty(), "a token does not match itself");
  return 0;
}
