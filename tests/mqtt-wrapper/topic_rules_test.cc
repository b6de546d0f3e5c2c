// Topic names, filters and message sizes that the wrapper refuses before anything reaches the
// broker (which would otherwise drop the connection and so end the process).
#include <gtest/gtest.h>

#include <string>

#include "mqtt-wrapper/topic_rules.h"

namespace tarnvik::mosquitto {
namespace {

using namespace std::string_literals;

struct TopicCase {
  std::string topic;
  bool validName;
  bool validFilter;
};

TEST(TopicRulesTest, NamesAndFilters) {
  const TopicCase cases[] = {
      {"a", true, true},
      {"/", true, true},
      {"a/b/c", true, true},
      {"a//b", true, true},
      {"sensors/temp\xC3\xA9/\xE2\x82\xAC/\xF0\x9F\x98\x80", true, true},  // UTF-8
      {std::string(65535, 'x'), true, true},
      {"", false, false},
      {std::string(65536, 'x'), false, false},
      {"a\0b"s, false, false},
      {"a\x01", false, false},
      {"a\x7F", false, false},
      {"a\xC2\x85", false, false},      // U+0085, a C1 control
      {"a\xFF", false, false},          // not UTF-8
      {"a\xC3", false, false},          // truncated sequence
      {"a\xC0\xAF", false, false},      // overlong '/'
      {"a\xED\xA0\x80", false, false},  // surrogate
      {"#", false, true},
      {"a/#", false, true},
      {"+", false, true},
      {"+/+/c", false, true},
      {"a/+/#", false, true},
      {"/#", false, true},
      {"a#", false, false},
      {"a/#/b", false, false},
      {"a/b+", false, false},
      {"+a/b", false, false},
      {"##", false, false},
  };
  for (const TopicCase& c : cases) {
    const std::string shown = c.topic.size() > 40 ? c.topic.substr(0, 40) + "..." : c.topic;
    EXPECT_EQ(TopicNameProblem(c.topic).empty(), c.validName) << "name: " << shown;
    EXPECT_EQ(TopicFilterProblem(c.topic).empty(), c.validFilter) << "filter: " << shown;
  }
}

TEST(TopicRulesTest, ReasonsNameTheProblem) {
  EXPECT_EQ(TopicNameProblem(""), "topic is empty");
  EXPECT_EQ(TopicNameProblem(std::string(65536, 'x')), "topic is longer than 65535 bytes");
  EXPECT_EQ(TopicNameProblem("a\0b"s), "topic contains a NUL byte");
  EXPECT_EQ(TopicNameProblem("a/+"), "topic name contains a wildcard ('+' or '#')");
}

TEST(TopicRulesTest, PublishMustFitOnePacket) {
  // Remaining length = 2 + topic + packet identifier (QoS > 0) + payload <= 268435455.
  EXPECT_TRUE(PublishSizeProblem(1, 268435455 - 3, 0).empty());
  EXPECT_FALSE(PublishSizeProblem(1, 268435455 - 2, 0).empty());
  EXPECT_TRUE(PublishSizeProblem(1, 268435455 - 5, 1).empty());
  EXPECT_FALSE(PublishSizeProblem(1, 268435455 - 4, 2).empty());
  EXPECT_FALSE(PublishSizeProblem(1, size_t{1} << 33, 1).empty());  // would wrap a 32-bit length
}

}  // namespace
}  // namespace tarnvik::mosquitto
