// CMessage_Filter: the selection the page asks for, one rule for the live stream, stored queries
// and exports: a minimum level, exact host, channel and module names, a thread (its name or its
// decimal ID), a time range, and either a plain text the message must contain or a regular
// expression (ECMAScript) it must match somewhere. Empty criteria select everything.
//
// Parsed from the request's query parameters: level (0..5 or a name), host, channel, module,
// thread, text, re, from_us, to_us (microseconds since 1970, the end excluded). A bad level,
// number or expression is refused with a description; expressions longer than kMax_Pattern are
// refused too, since their matching cost grows with them. Matching works on texts already cut
// to sViewer_Message::kMax_Text, which bounds the work per message.
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

  // Looks a query parameter up: its value, or nullopt when absent.
  using tParam = std::function<std::optional<std::string>(const char* name)>;

  // False with `error` for a malformed parameter; the filter is then unusable.
  bool Parse(const tParam& param, std::string* error);

  bool Matches(const sViewer_Message& message) const;
  // Start of the time range (INT64_MIN: none); stored queries skip what lies before it.
  int64_t From_us() const { return m_From; }

  // The longest text that every match of the ECMAScript `pattern` contains, as far as a plain
  // reading of the pattern shows (empty when it shows none); used to pass over messages cheaply.
  static std::string Required_Literal(const std::string& pattern);

 private:
  uint32_t m_Level = 0;
  std::string m_Host, m_Channel, m_Module, m_Thread, m_Text;
  // The compiled expression (null: none), kept out of this header so that the many files that
  // include it do not compile the regular expression library; shared by copies of the filter.
  struct sPattern;
  std::shared_ptr<const sPattern> m_Pattern;
  int64_t m_From = INT64_MIN;
  int64_t m_To = INT64_MAX;
};

#endif  // TRACE_VIEWER_MESSAGE_FILTER_H_
