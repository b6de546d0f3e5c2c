#include "trace/server/verbosity_rule.h"

#include <fnmatch.h>
#include <stdlib.h>
#include <strings.h>

#include "trace/format/trace_level.h"

namespace {

bool All_Digits(const std::string& text) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

bool TRS_Parse_Verbosity_Rule(const char* text, sTRS_Verbosity_Rule* rule, std::string* error) {
  const std::string value = text ? text : "";
  const size_t equals = value.rfind('=');
  if (equals == std::string::npos) {
    *error = "expected CLIENT/CHANNEL[/MODULE]=LEVEL";
    return false;
  }
  sTRS_Verbosity_Rule parsed;
  if (!TRTrace_Parse_Level(value.c_str() + equals + 1, &parsed.level)) {
    *error = "unknown level \"" + value.substr(equals + 1) +
             "\" (0..5 or trace, debug, info, warning, error, critical)";
    return false;
  }
  const std::string target = value.substr(0, equals);
  const size_t first = target.find('/');
  if (first == std::string::npos) {
    *error = "expected CLIENT/CHANNEL[/MODULE] before '='";
    return false;
  }
  parsed.client = target.substr(0, first);
  const size_t second = target.find('/', first + 1);
  parsed.channel = target.substr(
      first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
  if (second != std::string::npos) {
    parsed.module = target.substr(second + 1);
    if (parsed.module.empty() || parsed.module.find('/') != std::string::npos) {
      *error = "the module part must be one non-empty name or ID";
      return false;
    }
  }
  if (parsed.client.empty() || parsed.channel.empty()) {
    *error = "the client and channel parts must not be empty";
    return false;
  }
  if (All_Digits(parsed.channel) && strtoul(parsed.channel.c_str(), nullptr, 10) > 31) {
    *error = "channel IDs are 0..31";
    return false;
  }
  *rule = parsed;
  return true;
}

bool TRS_Name_Matches(const std::string& pattern, const std::string& name, uint32_t number) {
  if (All_Digits(pattern) && strtoul(pattern.c_str(), nullptr, 10) == number) return true;
  return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
}
