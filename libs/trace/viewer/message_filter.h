// CMessage_Filter: the selection the page asks for, one rule for the live stream, stored queries,
// every other source that answers the same requests, and exports.
//
// Parsed from the request's query parameters, all optional (absent or empty: no criterion):
//   level      the minimum level, 0..5 or a name ("trace" .. "critical", any case);
//   text       a text the message must contain;
//   re         a regular expression the message must match somewhere (see below);
//   case       "1": text and re compare case included; "0" or absent: they ignore case;
//   from_us, to_us   the time range in microseconds since 1970 UTC, the end excluded;
//   host, channel, module, thread   each a comma-separated list of items (CName_List): an exact
//              name or a pattern with `*` (any run of characters); an item that starts with `!`
//              excludes. A name is selected when it matches some included item (or none is
//              given) and no excluded item. A thread matches by its name or its decimal ID;
//   order      "oldest" (the default) or "newest": which end of a stored source a page starts at.
// The paging parameters (`after`, the cursor a previous answer gave as `next`, opaque to the
// page; `limit`) belong to each request, not to the filter. A malformed parameter is refused with
// its name and what is wrong.
//
// Expressions come from whoever can reach the page, so their cost is bounded whatever they are:
// they are matched by RE2, whose time is linear in the text (no backtracking) and whose stack
// use does not grow with the pattern's nesting. The syntax is RE2's: the usual classes, groups,
// alternatives, counted repetitions and flags such as `(?i)`, but no backreferences or lookaround
// (`\1`, `(?=`, `(?!`, `(?<=` are refused with RE2's reason rather than read another way); the
// text is read as UTF-8. A pattern is refused when it is longer than kMax_Pattern or its
// compiled program would need more than kMax_Program_Memory (as nested counted repetitions such
// as `((a{100}){100}){100}` would), again with RE2's reason. Matching works on texts already cut
// to sViewer_Message::kMax_Text, so the work per message is at most linear in that bound. Without
// case=1 the plain text compares with ASCII letters folded; the expression ignores case in the
// whole of Unicode (RE2's own rule).
//
// Thread-safety: Matches is const and may run on several threads at once.
#ifndef TRACE_VIEWER_MESSAGE_FILTER_H_
#define TRACE_VIEWER_MESSAGE_FILTER_H_

#include <stdint.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "trace/viewer/name_list.h"
#include "trace/viewer/viewer_message.h"

class CMessage_Filter {
 public:
  static constexpr size_t kMax_Pattern = 256;
  // Memory RE2 may use for one compiled expression (program and matching caches together); a
  // pattern whose program alone does not fit is refused at Parse.
  static constexpr int64_t kMax_Program_Memory = 1 << 20;

  enum class eOrder { Oldest, Newest };

  // Looks a query parameter up: its value, or nullopt when absent.
  using tParam = std::function<std::optional<std::string>(const char* name)>;

  // False with `error` (the parameter's name, then what is wrong with it) for a malformed
  // parameter or a refused expression; the filter is then unusable.
  bool Parse(const tParam& param, std::string* error);

  bool Matches(const sViewer_Message& message) const;
  // Start of the time range (INT64_MIN: none); stored queries skip what lies before it.
  int64_t From_us() const { return m_From; }
  // End of the time range, excluded (INT64_MAX: none).
  int64_t To_us() const { return m_To; }
  eOrder Order() const { return m_Order; }

 private:
  uint32_t m_Level = 0;
  CName_List m_Host, m_Channel, m_Module, m_Thread;
  std::string m_Text;  // folded to lower case unless m_Case
  bool m_Case = false;
  eOrder m_Order = eOrder::Oldest;
  // The compiled expression (null: none), kept out of this header so that the many files that
  // include it depend on the expression library's header; shared by copies of the filter (RE2's
  // matching is const and thread-safe).
  struct sPattern;
  std::shared_ptr<const sPattern> m_Pattern;
  int64_t m_From = INT64_MIN;
  int64_t m_To = INT64_MAX;
};

#endif  // TRACE_VIEWER_MESSAGE_FILTER_H_
