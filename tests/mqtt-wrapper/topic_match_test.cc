// Topic matching for Receive gives std::regex_match's answer (whole-topic match), also for
// patterns that need back-tracking.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "mqtt-wrapper/topic_match.h"

namespace tarnvik::mosquitto {
namespace {

TEST(TopicMatchTest, AgreesWithRegexMatch) {
  const char* patterns[] = {"a/b",  "a/.*",    "a/[0-9]+",    "(a|b)/c", "a",
                            ".*/x", "(a)/\\1", "[^/]+/[^/]+", "a/b|c/d", ""};
  const char* topics[] = {"a/b", "a/b/c", "a/123", "a/12x", "b/c", "a",
                          "ab",  "q/x",   "a/a",   "c/d",   ""};
  for (const char* p : patterns) {
    const std::regex pattern(p);
    for (const char* t : topics) {
      EXPECT_EQ(TopicMatches(t, pattern), std::regex_match(std::string(t), pattern))
          << "pattern " << p << " topic " << t;
    }
  }
}

TEST(TopicMatchTest, LongTopicDoesNotExhaustTheStack) {
  const std::string topic = "q/" + std::string(65533, 'a');
  EXPECT_TRUE(TopicMatches(topic, std::regex(".*")));
  EXPECT_TRUE(TopicMatches(topic, std::regex("q/(a|b)*")));
  EXPECT_FALSE(TopicMatches(topic, std::regex("q/(a*)*b")));
}

}  // namespace
}  // namespace tarnvik::mosquitto
