#include "mqtt-wrapper/topic_match.h"

namespace tarnvik::mosquitto {

bool TopicMatches(const std::string& topic, const std::regex& pattern) {
#if defined(__GLIBCXX__)
  // libstdc++ selects its automaton executor for the "alternate" policy whenever the pattern has
  // no back-references, and falls back to back-tracking otherwise.
  std::smatch unused;
  return std::__detail::__regex_algo_impl(topic.cbegin(), topic.cend(), unused, pattern,
                                          std::regex_constants::match_default,
                                          std::__detail::_RegexExecutorPolicy::_S_alternate, true);
#else
  return std::regex_match(topic, pattern);
#endif
}

}  // namespace tarnvik::mosquitto
