#include "mqtt-wrapper/topic_rules.h"

#include <cstdint>

namespace tarnvik::mosquitto {

namespace {

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF) and none of the
// code points U+0000..U+001F and U+007F..U+009F, which brokers may treat as a protocol violation.
std::string TextProblem(std::string_view text) {
  if (text.empty()) return "topic is empty";
  if (text.size() > kMaxTopicBytes) return "topic is longer than 65535 bytes";
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    uint32_t code = 0;
    size_t length = 0;
    if (lead < 0x80) {
      code = lead;
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      code = lead & 0x1Fu;
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      code = lead & 0x0Fu;
      length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      code = lead & 0x07u;
      length = 4;
    } else {
      return "topic is not valid UTF-8";
    }
    if (text.size() - i < length) return "topic is not valid UTF-8";
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0u) != 0x80u) return "topic is not valid UTF-8";
      code = (code << 6) | (next & 0x3Fu);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return "topic is not valid UTF-8";
    }
    if (code == 0) return "topic contains a NUL byte";
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return "topic contains a control character";
    i += length;
  }
  return {};
}

}  // namespace

std::string TopicNameProblem(std::string_view topic) {
  std::string problem = TextProblem(topic);
  if (!problem.empty()) return problem;
  if (topic.find_first_of("+#") != std::string_view::npos) {
    return "topic name contains a wildcard ('+' or '#')";
  }
  return {};
}

std::string TopicFilterProblem(std::string_view filter) {
  std::string problem = TextProblem(filter);
  if (!problem.empty()) return problem;
  size_t levelStart = 0;
  for (size_t i = 0; i <= filter.size(); ++i) {
    if (i != filter.size() && filter[i] != '/') continue;
    const std::string_view level = filter.substr(levelStart, i - levelStart);
    if (level.find('#') != std::string_view::npos && (level != "#" || i != filter.size())) {
      return "topic filter uses '#' other than as its whole last level";
    }
    if (level.find('+') != std::string_view::npos && level != "+") {
      return "topic filter uses '+' other than as a whole level";
    }
    levelStart = i + 1;
  }
  return {};
}

std::string PublishSizeProblem(size_t topicSize, size_t payloadSize, int qos) {
  // Topic length field, topic, packet identifier (QoS 1 and 2), payload.
  const size_t fixed = 2 + topicSize + (qos > 0 ? 2 : 0);
  if (fixed > kMaxRemainingLength || payloadSize > kMaxRemainingLength - fixed) {
    return "message is larger than one MQTT packet can carry";
  }
  return {};
}

}  // namespace tarnvik::mosquitto
