#include "trace/viewer/message_filter.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>

#include <algorithm>

#include <re2/re2.h>

#include "trace/format/trace_level.h"

struct CMessage_Filter::sPattern {
  sPattern(const std::string& pattern, const RE2::Options& options) : regex(pattern, options) {}
  RE2 regex;
};

namespace {

bool Parse_Time(const std::string& text, int64_t* out) {
  char* end = nullptr;
  errno = 0;
  const long long value = strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0) return false;
  *out = value;
  return true;
}

char Fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `text` contains `folded` (already lower case, not empty) with ASCII letters compared
// folded. Candidates are found by the first character in either case with the library's search
// (memchr), and only they are compared whole.
bool Contains_Folded(const std::string& text, const std::string& folded) {
  if (folded.size() > text.size()) return false;
  const char lower = folded[0];
  const char upper = static_cast<char>(toupper(static_cast<unsigned char>(lower)));
  const size_t last = text.size() - folded.size();
  size_t next_lower = text.find(lower);
  size_t next_upper = upper == lower ? std::string::npos : text.find(upper);
  for (;;) {
    const size_t at = std::min(next_lower, next_upper);
    if (at == std::string::npos || at > last) return false;
    size_t i = 1;
    while (i < folded.size() && Fold(text[at + i]) == folded[i]) ++i;
    if (i == folded.size()) return true;
    if (at == next_lower) next_lower = text.find(lower, at + 1);
    if (at == next_upper) next_upper = text.find(upper, at + 1);
  }
}

RE2::Options Pattern_Options(bool case_sensitive) {
  RE2::Options options;  // UTF-8, '.' not matching a newline
  options.set_case_sensitive(case_sensitive);
  options.set_max_mem(CMessage_Filter::kMax_Program_Memory);
  // A refused pattern is the requester's mistake, answered to it; nothing for the server's log.
  options.set_log_errors(false);
  return options;
}

}  // namespace

bool CMessage_Filter::Parse(const tParam& param, std::string* error) {
  if (auto level = param("level"); level && !level->empty()) {
    if (!TRTrace_Parse_Level(level->c_str(), &m_Level)) {
      *error = "level: \"" + *level + "\" is not 0..5 or a level name";
      return false;
    }
  }
  if (auto sensitive = param("case"); sensitive && !sensitive->empty()) {
    if (*sensitive != "0" && *sensitive != "1") {
      *error = "case: 1 (case-sensitive) or 0";
      return false;
    }
    m_Case = *sensitive == "1";
  }
  if (auto order = param("order"); order && !order->empty()) {
    if (*order != "oldest" && *order != "newest") {
      *error = "order: oldest or newest";
      return false;
    }
    m_Order = *order == "newest" ? eOrder::Newest : eOrder::Oldest;
  }
  const std::pair<const char*, CName_List*> lists[] = {
      {"host", &m_Host}, {"channel", &m_Channel}, {"module", &m_Module}, {"thread", &m_Thread}};
  for (const auto& [name, list] : lists) {
    std::string problem;
    if (!list->Parse(param(name).value_or(""), &problem)) {
      *error = std::string(name) + ": " + problem;
      return false;
    }
  }
  m_Text = param("text").value_or("");
  if (m_Text.size() > sViewer_Message::kMax_Text) {
    *error = "text: longer than any message kept (" + std::to_string(sViewer_Message::kMax_Text) +
             " bytes)";
    return false;
  }
  if (!m_Case) std::transform(m_Text.begin(), m_Text.end(), m_Text.begin(), Fold);
  if (auto from = param("from_us"); from && !from->empty() && !Parse_Time(*from, &m_From)) {
    *error = "from_us: not a number";
    return false;
  }
  if (auto to = param("to_us"); to && !to->empty() && !Parse_Time(*to, &m_To)) {
    *error = "to_us: not a number";
    return false;
  }
  if (auto pattern = param("re"); pattern && !pattern->empty()) {
    if (pattern->size() > kMax_Pattern) {
      *error = "re: longer than " + std::to_string(kMax_Pattern) + " characters";
      return false;
    }
    auto compiled = std::make_shared<const sPattern>(*pattern, Pattern_Options(m_Case));
    if (!compiled->regex.ok()) {
      *error = "re: " + compiled->regex.error();
      return false;
    }
    m_Pattern = std::move(compiled);
  }
  return true;
}

bool CMessage_Filter::Matches(const sViewer_Message& message) const {
  if (message.level < m_Level) return false;
  if (message.time_us < m_From || message.time_us >= m_To) return false;
  if (!m_Host.Empty() && !m_Host.Matches(message.host)) return false;
  if (!m_Channel.Empty() && !m_Channel.Matches(message.channel)) return false;
  if (!m_Module.Empty() && !m_Module.Matches(message.module)) return false;
  if (!m_Thread.Empty() && !m_Thread.Matches(message.thread, std::to_string(message.thread_id)))
    return false;
  if (!m_Text.empty()) {
    if (m_Case ? message.text.find(m_Text) == std::string::npos
               : !Contains_Folded(message.text, m_Text))
      return false;
  }
  return !m_Pattern || RE2::PartialMatch(message.text, m_Pattern->regex);
}
