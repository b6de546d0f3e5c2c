// Publishing and subscriptions against a real broker: payloads byte for byte at every QoS,
// retained messages and the dropRetained switch, list forms, the unsubscribe purge, and input
// that must be refused before it reaches the broker.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "broker_fixture.h"

namespace mqw_test {
namespace {

using namespace std::string_literals;
using PublishSubscribeTest = BrokerTest;

std::vector<unsigned char> RandomBytes(size_t size) {
  std::mt19937 generator(12345);
  std::vector<unsigned char> bytes(size);
  for (auto& b : bytes) b = static_cast<unsigned char>(generator());
  return bytes;
}

TEST_F(PublishSubscribeTest, PayloadsArriveByteForByteAtEveryQos) {
  struct Case {
    std::string topic;
    std::vector<unsigned char> payload;
  };
  const Case cases[] = {
      {"p/text", Bytes("hello")},
      {"p/empty", {}},
      {"p/nul", Bytes("a\0b\0\0c"s)},
      {"p/binary", RandomBytes(256 * 1024)},
      {"p/\xC3\xA9t\xC3\xA9/\xE2\x82\xAC", Bytes("utf-8 topic")},
  };
  auto subscriber = Connected();
  auto publisher = Connected();
  subscriber->Subscribe("p/#", Qos::ExactlyOnce, false, nullptr, nullptr);
  for (Qos qos : {Qos::AtMostOnce, Qos::AtLeastOnce, Qos::ExactlyOnce}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.topic + " qos " + std::to_string(qos));
      publisher->Send(c.topic, c.payload, qos, false);
      MqttMessage m = subscriber->Receive(c.topic, kReceiveSeconds);
      EXPECT_EQ(m.topic, c.topic);
      EXPECT_EQ(m.payload, c.payload);
      EXPECT_FALSE(m.retained);
    }
  }
  // The text form sends the string's bytes, its length deciding (NUL bytes included).
  publisher->Send("p/string", "x\0y"s, Qos::AtLeastOnce, false);
  EXPECT_EQ(subscriber->Receive("p/string", kReceiveSeconds).payload, Bytes("x\0y"s));
  publisher->Send("p/string", ""s, Qos::AtLeastOnce, false);
  EXPECT_TRUE(subscriber->Receive("p/string", kReceiveSeconds).payload.empty());
  EXPECT_EQ(subscriber->getReceiveQueueSize(), 0u);
  // Nothing is logged on the success path of a publish.
  EXPECT_EQ(trace.Count(TRL_ERROR, "MQTT Failure callback"), 0u);
}

TEST_F(PublishSubscribeTest, RetainedMessagesAndTheDropRetainedSwitch) {
  auto publisher = Connected();
  publisher->Send("r/a", "kept-a", Qos::AtLeastOnce, true);
  publisher->Send("r/b", "kept-b", Qos::AtLeastOnce, true);

  // A new subscriber gets the retained message, flagged retained.
  auto keeping = Connected();
  keeping->Subscribe("r/a", Qos::AtLeastOnce, false, nullptr, nullptr);
  MqttMessage m = keeping->Receive("r/a", kReceiveSeconds);
  EXPECT_EQ(m.payload, Bytes("kept-a"));
  EXPECT_TRUE(m.retained);

  // With dropRetained the retained message is discarded, a live one on the topic is queued.
  auto dropping = Connected();
  dropping->Subscribe("r/a", Qos::AtLeastOnce, true, nullptr, nullptr);
  publisher->Send("r/a", "live", Qos::AtLeastOnce, false);
  m = dropping->Receive("r/a", kReceiveSeconds);
  EXPECT_EQ(m.payload, Bytes("live"));
  EXPECT_FALSE(m.retained);
  EXPECT_EQ(dropping->getReceiveQueueSize(), 0u);

  // The switch is wrapper-wide: subscribing another topic with false queues retained messages of
  // both topics again.
  dropping->Subscribe("r/b", Qos::AtLeastOnce, false, nullptr, nullptr);
  m = dropping->Receive("r/b", kReceiveSeconds);
  EXPECT_TRUE(m.retained);
  dropping->Subscribe("r/a", Qos::AtLeastOnce, false, nullptr, nullptr);  // resent as retained
  m = dropping->Receive("r/a", kReceiveSeconds);
  EXPECT_TRUE(m.retained);
  EXPECT_EQ(m.payload, Bytes("kept-a"));

  // An empty retained publish clears the topic's retained message.
  publisher->Send("r/a", std::vector<unsigned char>{}, Qos::AtLeastOnce, true);
  auto late = Connected();
  late->Subscribe("r/a", Qos::AtLeastOnce, false, nullptr, nullptr);
  EXPECT_THROW(late->Receive("r/a", 1), std::runtime_error);
}

std::atomic<int> g_subscribeCallbacks{0};
std::atomic<bool> g_onCallerThread{false};
std::thread::id g_testThread;
void CountSubscribe(void*, MQTTAsync_successData*) {
  if (std::this_thread::get_id() == g_testThread) g_onCallerThread = true;
  ++g_subscribeCallbacks;
}

TEST_F(PublishSubscribeTest, ListFormsAndCallbacks) {
  g_testThread = std::this_thread::get_id();
  auto subscriber = Connected();
  auto publisher = Connected();
  subscriber->Subscribe(std::vector<std::string>{}, Qos::AtLeastOnce, false, &CountSubscribe,
                        nullptr);
  subscriber->Subscribe(std::vector<std::string>{"l/1", "l/2"}, Qos::AtLeastOnce, false,
                        &CountSubscribe, nullptr);
  for (int i = 0; i < 1000 && g_subscribeCallbacks < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(g_subscribeCallbacks, 2);
  EXPECT_FALSE(g_onCallerThread);
  EXPECT_EQ(trace.Count(TRL_INFO, "Subscribe %s"), 2u);
  EXPECT_EQ(trace.Matching(TRL_INFO, "Subscribe %s").front().text, "Subscribe l/1");

  publisher->Send("l/1", "one", Qos::AtLeastOnce, false);
  publisher->Send("l/2", "two", Qos::AtLeastOnce, false);
  EXPECT_EQ(subscriber->Receive("l/2", kReceiveSeconds).payload, Bytes("two"));
  EXPECT_EQ(subscriber->Receive("l/1", kReceiveSeconds).payload, Bytes("one"));

  subscriber->Unsubscribe(std::vector<std::string>{});
  subscriber->Unsubscribe(std::vector<std::string>{"l/1", "l/2"});
  EXPECT_EQ(trace.Matching(TRL_INFO, "Unsubscribe %s").back().text, "Unsubscribe l/2");
  publisher->Send("l/1", "gone", Qos::AtLeastOnce, false);
  // A marker on a still-subscribed topic shows that nothing of l/1 was delivered before it.
  subscriber->Subscribe("marker", Qos::AtLeastOnce, false, nullptr, nullptr);
  publisher->Send("marker", "m", Qos::AtLeastOnce, false);
  subscriber->Receive("marker", kReceiveSeconds);
  EXPECT_EQ(subscriber->getReceiveQueueSize(), 0u);
}

TEST_F(PublishSubscribeTest, UnsubscribePurgesOnlyTheExactTopic) {
  auto subscriber = Connected();
  auto publisher = Connected();
  subscriber->Subscribe("u/#", Qos::AtLeastOnce, false, nullptr, nullptr);
  const char* topics[] = {"u/a", "u/a/b", "u/b", "u/a", "u/c"};
  for (const char* t : topics) publisher->Send(t, t, Qos::AtLeastOnce, false);
  publisher->Send("u/end", "end", Qos::AtLeastOnce, false);
  subscriber->Receive("u/end", kReceiveSeconds);  // everything before it is queued now
  ASSERT_EQ(subscriber->getReceiveQueueSize(), 5u);

  subscriber->Unsubscribe("u/a");  // never subscribed as such: the broker still answers
  EXPECT_EQ(subscriber->getReceiveQueueSize(), 3u);
  subscriber->Unsubscribe("u/+");  // no wildcard matching in the purge
  EXPECT_EQ(subscriber->getReceiveQueueSize(), 3u);
  EXPECT_EQ(subscriber->Receive("/#", -1).topic, "u/a/b");
  subscriber->Unsubscribe("/#");  // every queued message
  EXPECT_EQ(subscriber->getReceiveQueueSize(), 0u);
}

// Input that the broker would answer by dropping the connection (and so end the process) or
// that cannot be encoded is refused with a clear exception; the connection stays usable.
TEST_F(PublishSubscribeTest, InvalidTopicsAreRefusedBeforeReachingTheBroker) {
  auto subscriber = Connected();
  auto publisher = Connected();
  struct Case {
    std::string topic;
    const char* sendError;       // null: accepted
    const char* subscribeError;  // null: accepted
  };
  const Case cases[] = {
      {"", "MQTT send rejected: topic is empty", "MQTT subscribe rejected: topic is empty"},
      {std::string(65536, 'x'), "MQTT send rejected: topic is longer than 65535 bytes",
       "MQTT subscribe rejected: topic is longer than 65535 bytes"},
      {"a\0b"s, "MQTT send rejected: topic contains a NUL byte",
       "MQTT subscribe rejected: topic contains a NUL byte"},
      {"a\x01", "MQTT send rejected: topic contains a control character",
       "MQTT subscribe rejected: topic contains a control character"},
      {"a\xFF", "MQTT send rejected: topic is not valid UTF-8",
       "MQTT subscribe rejected: topic is not valid UTF-8"},
      {"a/+", "MQTT send rejected: topic name contains a wildcard ('+' or '#')", nullptr},
      {"a#", "MQTT send rejected: topic name contains a wildcard ('+' or '#')",
       "MQTT subscribe rejected: topic filter uses '#' other than as its whole last level"},
      {"a/b+", "MQTT send rejected: topic name contains a wildcard ('+' or '#')",
       "MQTT subscribe rejected: topic filter uses '+' other than as a whole level"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.topic.substr(0, 20));
    try {
      publisher->Send(c.topic, "x", Qos::AtLeastOnce, false);
      EXPECT_EQ(c.sendError, nullptr);
    } catch (const std::runtime_error& e) {
      ASSERT_NE(c.sendError, nullptr) << e.what();
      EXPECT_STREQ(e.what(), c.sendError);
    }
    try {
      subscriber->Subscribe(c.topic, Qos::AtLeastOnce, false, nullptr, nullptr);
      EXPECT_EQ(c.subscribeError, nullptr);
    } catch (const std::runtime_error& e) {
      ASSERT_NE(c.subscribeError, nullptr) << e.what();
      EXPECT_STREQ(e.what(), c.subscribeError);
    }
    if (c.subscribeError != nullptr) {
      EXPECT_THROW(subscriber->Unsubscribe(c.topic), std::runtime_error);
    }
  }
  // An out-of-range QoS is refused by Paho at the start of the command.
  try {
    publisher->Send("q", "x", static_cast<Qos>(3), false);
    FAIL() << "QoS 3 accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("MQTT send failed to start. Code: ", 0), 0u) << e.what();
  }
  // Both connections are still up, and the longest legal topic works end to end.
  const std::string longest(65535, 'L');
  subscriber->Subscribe(longest, Qos::AtLeastOnce, false, nullptr, nullptr);
  publisher->Send(longest, "long", Qos::AtLeastOnce, false);
  MqttMessage m = subscriber->Receive(longest, kReceiveSeconds);
  EXPECT_EQ(m.topic, longest);
  EXPECT_EQ(m.payload, Bytes("long"));
}

}  // namespace
}  // namespace mqw_test
