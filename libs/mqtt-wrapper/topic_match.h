// Whole-topic regular-expression matching for Receive, with the result of std::regex_match but
// without its depth hazard: the default back-tracking matcher recurses once per input character,
// so a long topic (MQTT allows 65535 bytes) exhausts the stack and crashes the process, and
// nested repetitions can take exponential time while the queue lock is held. Where the standard
// library provides it, the automaton matcher is used instead: its recursion depth is bounded by
// the size of the pattern and its time is polynomial. Patterns with back-references can only be
// evaluated by the back-tracking matcher and keep its limits.
//
// Thread-safety: pure function; a std::regex may be used by several threads at once.
#ifndef LIBS_MQTT_WRAPPER_TOPIC_MATCH_H_
#define LIBS_MQTT_WRAPPER_TOPIC_MATCH_H_

#include <regex>
#include <string>

namespace tarnvik::mosquitto {

bool TopicMatches(const std::string& topic, const std::regex& pattern);

}  // namespace tarnvik::mosquitto

#endif  // LIBS_MQTT_WRAPPER_TOPIC_MATCH_H_
