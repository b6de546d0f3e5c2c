// The MQTT topic rules against an independent statement of them, written here from the rules
// themselves and in another way (a table of well-formed UTF-8 byte ranges, levels split first):
// - a topic name or filter is 1 to 65535 bytes of well-formed UTF-8 (no overlong forms, no
//   surrogates, nothing above U+10FFFF) without U+0000, other C0 controls, U+007F or C1 controls;
// - a name holds neither '+' nor '#';
// - in a filter, a level holding '+' is exactly "+", and a level holding '#' is exactly "#" and
//   the last level;
// - a PUBLISH fits one packet: 2 + topic + (2 with QoS above 0) + payload <= 268435455.
// Also whole-topic regular-expression matching agrees with std::regex_match on short topics.
//
// Input: one byte of selectors, then the topic.
#include <stddef.h>
#include <stdint.h>

#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "mqtt-wrapper/topic_match.h"
#include "mqtt-wrapper/topic_rules.h"

namespace {

namespace mq = tarnvik::mosquitto;

// Well-formed UTF-8 after the Unicode table of byte ranges; returns the code points.
bool Decode_Well_Formed(std::string_view text, std::vector<uint32_t>* codes) {
  struct Range {
    uint8_t low, high;
  };
  struct Form {
    uint8_t lead_low, lead_high;
    int extra;
    Range second;
  };
  static const Form kForms[] = {
      {0x00, 0x7F, 0, {0, 0}},       {0xC2, 0xDF, 1, {0x80, 0xBF}}, {0xE0, 0xE0, 2, {0xA0, 0xBF}},
      {0xE1, 0xEC, 2, {0x80, 0xBF}}, {0xED, 0xED, 2, {0x80, 0x9F}}, {0xEE, 0xEF, 2, {0x80, 0xBF}},
      {0xF0, 0xF0, 3, {0x90, 0xBF}}, {0xF1, 0xF3, 3, {0x80, 0xBF}}, {0xF4, 0xF4, 3, {0x80, 0x8F}},
  };
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<uint8_t>(text[i]);
    const Form* form = nullptr;
    for (const Form& f : kForms) {
      if (lead >= f.lead_low && lead <= f.lead_high) form = &f;
    }
    if (!form || text.size() - i < 1 + static_cast<size_t>(form->extra)) return false;
    uint32_t code = form->extra == 0 ? lead : lead & (0x3Fu >> form->extra);
    for (int k = 1; k <= form->extra; ++k) {
      const auto byte = static_cast<uint8_t>(text[i + static_cast<size_t>(k)]);
      const Range range = k == 1 ? form->second : Range{0x80, 0xBF};
      if (byte < range.low || byte > range.high) return false;
      code = (code << 6) | (byte & 0x3Fu);
    }
    codes->push_back(code);
    i += 1 + static_cast<size_t>(form->extra);
  }
  return true;
}

bool Text_Acceptable(std::string_view text) {
  if (text.empty() || text.size() > 65535) return false;
  std::vector<uint32_t> codes;
  if (!Decode_Well_Formed(text, &codes)) return false;
  for (uint32_t code : codes) {
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return false;
  }
  return true;
}

bool Name_Acceptable(std::string_view topic) {
  return Text_Acceptable(topic) && topic.find('+') == std::string_view::npos &&
         topic.find('#') == std::string_view::npos;
}

bool Filter_Acceptable(std::string_view filter) {
  if (!Text_Acceptable(filter)) return false;
  std::vector<std::string_view> levels;
  size_t start = 0;
  for (;;) {
    size_t slash = filter.find('/', start);
    levels.push_back(filter.substr(
        start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  for (size_t i = 0; i < levels.size(); ++i) {
    std::string_view level = levels[i];
    if (level.find('+') != std::string_view::npos && level != "+") return false;
    if (level.find('#') != std::string_view::npos && (level != "#" || i + 1 != levels.size()))
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selectors = data[0];
  std::string topic(reinterpret_cast<const char*>(data) + 1, size - 1);
  // Now and then a topic at the length limit: the input repeated up to 65535 or 65536 bytes.
  if ((selectors & 0xF0) == 0xF0 && !topic.empty()) {
    const size_t target = 65535 + (selectors & 1);
    std::string longer;
    while (longer.size() < target) longer += topic;
    longer.resize(target);
    topic = longer;
  }

  fuzz::Check(mq::TopicNameProblem(topic).empty() == Name_Acceptable(topic),
              "topic name verdict differs for \"" + topic.substr(0, 200) + "\"");
  fuzz::Check(mq::TopicFilterProblem(topic).empty() == Filter_Acceptable(topic),
              "topic filter verdict differs for \"" + topic.substr(0, 200) + "\"");

  // Sizes near the packet limit, chosen by the selector byte and the input length.
  const size_t payload = mq::kMaxRemainingLength - 8 + (selectors & 7) + (size & 3) - 2;
  const size_t topic_size = (selectors >> 3) & 7;
  const int qos = (selectors >> 6) & 3;
  const bool fits = 2 + topic_size + (qos > 0 ? 2 : 0) + payload <= 268435455;
  fuzz::Check(mq::PublishSizeProblem(topic_size, payload, qos).empty() == fits,
              "publish size verdict differs");

  // Regular-expression matching on short topics, against the library's own matcher.
  if (topic.size() <= 64) {
    static const std::regex kPatterns[] = {std::regex("a/.*"), std::regex("[^/]+/[^/]+"),
                                           std::regex("(ab|a)*b?"), std::regex(".*/#"),
                                           std::regex("(a)\\1.*")};
    const std::regex& pattern = kPatterns[selectors % 5];
    fuzz::Check(mq::TopicMatches(topic, pattern) == std::regex_match(topic, pattern),
                "regular-expression match differs for \"" + topic + "\"");
  }
  return 0;
}
