#include "trace/viewer/message_filter.h"

#include <errno.h>
#include <stdlib.h>

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

RE2::Options Pattern_Options() {
  RE2::Options options;  // UTF-8, case-sensitive, '.' not matching a newline
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
    auto compiled = std::make_shared<const sPattern>(*pattern, Pattern_Options());
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
  if (!m_Host.empty() && message.host != m_Host) return false;
  if (!m_Channel.empty() && message.channel != m_Channel) return false;
  if (!m_Module.empty() && message.module != m_Module) return false;
  if (!m_Thread.empty() && message.thread != m_Thread &&
      std::to_string(message.thread_id) != m_Thread)
    return false;
  if (!m_Text.empty() && message.text.find(m_Text) == std::string::npos) return false;
  return !m_Pattern || RE2::PartialMatch(message.text, m_Pattern->regex);
}
