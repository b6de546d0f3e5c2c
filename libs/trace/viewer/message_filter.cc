#include "trace/viewer/message_filter.h"

#include <errno.h>
#include <stdlib.h>

#include <regex>

#include "trace/format/trace_level.h"

struct CMessage_Filter::sPattern {
  std::regex regex;
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
    try {
      if (!std::regex_search(message.text, m_Pattern->regex)) return false;
    } catch (const std::regex_error&) {
      return false;  // the matcher gave up (too complex); counted as no match
    }
  }
  return true;
}
