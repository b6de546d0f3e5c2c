// sTRS_Verbosity_Rule: a verbosity setting that a trace server sends to matching clients, written
// "CLIENT/CHANNEL[/MODULE]=LEVEL".
//
//   CLIENT   the client name of the hello, as a shell pattern ("*" for every client)
//   CHANNEL  a channel name as a shell pattern, or a channel ID (all digits: matches that ID and
//            a channel of that name)
//   MODULE   optional; a module name as a shell pattern, or a module ID (all digits, likewise)
//   LEVEL    0..5 or trace, debug, info, warning, error, critical (case ignored)
//
// Without MODULE the rule sets the verbosity of the whole channel (module ID 0 in the command);
// with it, that of each matching module. Names holding '/' or '=' can only be matched by
// patterns.
//
// Thread-safety: plain values and pure functions.
#ifndef TRACE_SERVER_VERBOSITY_RULE_H_
#define TRACE_SERVER_VERBOSITY_RULE_H_

#include <stdint.h>

#include <string>

struct sTRS_Verbosity_Rule {
  std::string client;
  std::string channel;
  std::string module;  // empty: the whole channel
  uint32_t level = 0;
};

// Parses `text`; on failure returns false and describes the problem in `error`.
bool TRS_Parse_Verbosity_Rule(const char* text, sTRS_Verbosity_Rule* rule, std::string* error);

// Whether `pattern` matches `name` (fnmatch), or is all digits and equal to `number`.
bool TRS_Name_Matches(const std::string& pattern, const std::string& name, uint32_t number);

#endif  // TRACE_SERVER_VERBOSITY_RULE_H_
