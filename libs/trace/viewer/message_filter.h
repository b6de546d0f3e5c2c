// CMessage_Filter: the selection the page asks for, one rule for the live stream, stored queries
// and exports: a minimum level, exact host, channel and module names, a thread (its name or its
// decimal ID), a time range, a plain text the message must contain and a regular expression it
// must match somewhere. Empty criteria select everything.
//
// Parsed from the request's query parameters: level (0..5 or a name), host, channel, module,
// thread, text, re, from_us, to_us (microseconds since 1970, the end excluded). A bad level or
// number is refused with a description.
//
// Expressions come from whoever can reach the page, so their cost is bounded whatever they are:
// they are matched by RE2, whose time is linear in the text (no backtracking) and whose stack
// use does not grow with the pattern's nesting. The syntax is RE2's: the usual classes, groups,
// alternatives, counted repetitions and flags such as `(?i)`, but no backreferences or lookaround
// (`\1`, `(?=`, `(?!`, `(?<=` are refused with RE2's reason rather than read another way); the
// text is read as UTF-8. A pattern is refused when it is longer than kMax_Pattern or its
// compiled program would need more than kMax_Program_Memory (as nested counted repetitions such
// as `((a{100}){100}){100}` would), again with RE2's reason. Matching works on texts already cut
// to sViewer_Message::kMax_Text, so the work per message is at most linear in that bound.
//
// Thread-safety: Matches is const and may run on several threads at once.
#ifndef TRACE_VIEWER_MESSAGE_FILTER_H_
#define TRACE_VIEWER_MESSAGE_FILTER_H_

#include <stdint.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "trace/viewer/viewer_message.h"

class CMessage_Filter {
 public:
  static constexpr size_t kMax_Pattern = 256;
  // Memory RE2 may use for one compiled expression (program and matching caches together); a
  // pattern whose program alone does not fit is refused at Parse.
  static constexpr int64_t kMax_Program_Memory = 1 << 20;

  // Looks a query parameter up: its value, or nullopt when absent.
  using tParam = std::function<std::optional<std::string>(const char* name)>;

  // False with `error` (the parameter's name, then what is wrong with it) for a malformed
  // parameter or a refused expression; the filter is then unusable.
  bool Parse(const tParam& param, std::string* error);

  bool Matches(const sViewer_Message& message) const;
  // Start of the time range (INT64_MIN: none); stored queries skip what lies before it.
  int64_t From_us() const { return m_From; }

 private:
  uint32_t m_Level = 0;
  std::string m_Host, m_Channel, m_Module, m_Thread, m_Text;
  // The compiled expression (null: none), kept out of this header so that the many files that
  // include it depend on the expression library's header; shared by copies of the filter (RE2's
  // matching is const and thread-safe).
  struct sPattern;
  std::shared_ptr<const sPattern> m_Pattern;
  int64_t m_From = INT64_MIN;
  int64_t m_To = INT64_MAX;
};

#endif  // TRACE_VIEWER_MESSAGE_FILTER_H_
