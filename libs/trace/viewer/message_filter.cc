#include "trace/viewer/message_filter.h"

#include <errno.h>
#include <stdlib.h>

#include <regex>

#include "trace/format/trace_level.h"

struct CMessage_Filter::sPattern {
  std::regex regex;
  // Text that every match contains (empty: none known): messages without it are passed over
  // without running the expression, which is most of the cost of a query over stored files.
  std::string required;
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

}  // namespace

std::string CMessage_Filter::Required_Literal(const std::string& pattern) {
  // Only a plain sequence at the top level is certain to appear in every match, and only when the
  // top level has no alternative: a group, a class, an escape, a wildcard or an anchor ends the run being collected,
  // and a character followed by a quantifier is not part of it.
  static const std::string kSpecial = "\\^$.*+?()[]{}|";
  std::string best, run;
  int depth = 0;
  bool in_class = false;
  auto finish = [&]() {
    if (run.size() > best.size()) best = run;
    run.clear();
  };
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\') {
      finish();
      ++i;  // the escaped character is not collected
      continue;
    }
    if (in_class) {
      if (c == ']') in_class = false;
      continue;
    }
    if (c == '[') {
      finish();
      in_class = true;
      continue;
    }
    if (c == '(') {
      finish();
      ++depth;
      continue;
    }
    if (c == ')') {
      if (depth > 0) --depth;
      continue;
    }
    if (depth > 0) continue;
    if (c == '|') return "";  // an alternative at the top level: nothing is certain
    if (c == '*' || c == '+' || c == '?' || c == '{') {
      if (!run.empty()) run.pop_back();  // the quantified character may be absent or repeated
      finish();
      if (c == '{') {
        while (i < pattern.size() && pattern[i] != '}') ++i;
      }
      continue;
    }
    if (kSpecial.find(c) != std::string::npos) {
      finish();
      continue;
    }
    run.push_back(c);
  }
  finish();
  return best;
}

bool CMessage_Filter::Parse(const tParam& param, std::string* error) {
  if (auto level = param("level"); level && !level->empty()) {
    if (!TRTrace_Parse_Level(level->c_str(), &m_Level)) {
      *error = "level: \"" + *level + "\" is not 0..5 or a level name";
      return false;
    }
  }
  m_Host = param("host").value_or("");
  m_Channel = param("channel").value_or("");
  m_Module = param("module").value_or("");
  m_Thread = param("thread").value_or("");
  m_Text = param("text").value_or("");
  if (auto from = param("from_us"); from && !Parse_Time(*from, &m_From)) {
    *error = "from_us: not a number";
    return false;
  }
  if (auto to = param("to_us"); to && !Parse_Time(*to, &m_To)) {
    *error = "to_us: not a number";
    return false;
  }
  if (auto pattern = param("re"); pattern && !pattern->empty()) {
    if (pattern->size() > kMax_Pattern) {
      *error = "re: longer than " + std::to_string(kMax_Pattern) + " characters";
      return false;
    }
    auto compiled = std::make_shared<sPattern>();
    try {
      compiled->regex.assign(*pattern, std::regex::ECMAScript | std::regex::optimize);
    } catch (const std::regex_error& problem) {
      *error = std::string("re: ") + problem.what();
      return false;
    }
    compiled->required = Required_Literal(*pattern);
    m_Pattern = std::move(compiled);
  }
  return true;
}

bool CMessage_Filter::Matches(const sViewer_Message& message) const {
  if (message.level < m_Level) return false;
  if (message.time_us < m_From || message.time_us >= m_To) return false;
  if (!m_Host.empty() && message.host != m_Host) return false;
  if (!m_Channel.empty() && message.channel != m_Channel) return false;
  if (!m_Module.empty() && message.module != m_Module) return false;
  if (!m_Thread.empty() && message.thread != m_Thread &&
      std::to_string(message.thread_id) != m_Thread)
    return false;
  if (!m_Text.empty() && message.text.find(m_Text) == std::string::npos) return false;
  if (m_Pattern) {
    if (!m_Pattern->required.empty() &&
        message.text.find(m_Pattern->required) == std::string::npos)
      return false;
    try {
      if (!std::regex_search(message.text, m_Pattern->regex)) return false;
    } catch (const std::regex_error&) {
      return false;  // the matcher gave up (too complex); counted as no match
    }
  }
  return true;
}
