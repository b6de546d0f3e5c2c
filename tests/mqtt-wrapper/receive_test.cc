// The inbound queue: selection by exact topic, by "/#" and by regular expression, blocking and
// time-outs, several receivers, size and clearing.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <thread>

#include "broker_fixture.h"

namespace mqw_test {
namespace {

class ReceiveTest : public BrokerTest {
 protected:
  void SetUp() override {
    BrokerTest::SetUp();
    if (HasFatalFailure()) return;
    subscriber = Connected();
    publisher = Connected();
    subscriber->Subscribe("q/#", Qos::AtLeastOnce, false, nullptr, nullptr);
  }

  // Publishes and waits until everything is queued (a marker published last has arrived).
  void Queue(const std::vector<std::pair<std::string, std::string>>& messages) {
    for (const auto& [topic, payload] : messages) {
      publisher->Send(topic, payload, Qos::AtLeastOnce, false);
    }
    publisher->Send("q/marker", "", Qos::AtLeastOnce, false);
    subscriber->Receive("q/marker", kReceiveSeconds);
  }

  static std::string Text(const MqttMessage& m) {
    return std::string(m.payload.begin(), m.payload.end());
  }

  std::unique_ptr<MqttAsyncWrapper> subscriber;
  std::unique_ptr<MqttAsyncWrapper> publisher;
};

TEST_F(ReceiveTest, SelectsOldestMatchingMessage) {
  Queue({{"q/a", "a1"}, {"q/b", "b1"}, {"q/a", "a2"}, {"q/c1", "c1"}, {"q/c22", "c22"}});
  EXPECT_EQ(subscriber->getReceiveQueueSize(), 5u);
  EXPECT_EQ(Text(subscriber->Receive("q/b", kReceiveSeconds)), "b1");
  // Whole-topic match: "q/c[0-9]{2}" skips q/a, q/a and q/c1.
  EXPECT_EQ(Text(subscriber->Receive(std::regex("q/c[0-9]{2}"), kReceiveSeconds)), "c22");
  // Same topic: arrival order.
  EXPECT_EQ(Text(subscriber->Receive("q/a", kReceiveSeconds)), "a1");
  EXPECT_EQ(Text(subscriber->Receive(std::regex("q/.*"), kReceiveSeconds)), "a2");
  EXPECT_EQ(Text(subscriber->Receive("/#", kReceiveSeconds)), "c1");
  EXPECT_EQ(subscriber->getReceiveQueueSize(), 0u);
}

TEST_F(ReceiveTest, TimeoutsLeaveTheQueueUnchanged) {
  Queue({{"q/a", "a"}});
  struct Case {
    std::function<void()> receive;
    const char* text;
  };
  const Case cases[] = {
      {[&] { subscriber->Receive("q/none", 1); }, "Timeout on topic: q/none"},
      {[&] { subscriber->Receive(std::regex("q/none|q"), 1); }, "Timeout on regex"},
      {[&] { subscriber->Receive("q/none", -3); }, "Timeout on topic: q/none"},
      {[&] { subscriber->Receive(std::regex("nothing"), -1); }, "Timeout on regex"},
  };
  for (const Case& c : cases) {
    try {
      c.receive();
      FAIL() << "no time-out for " << c.text;
    } catch (const TimeoutError& e) {
      FAIL() << "receive time-outs are plain runtime errors: " << e.what();
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), c.text);
    }
  }
  EXPECT_EQ(subscriber->getReceiveQueueSize(), 1u);
  // A negative time-out still returns what is already queued.
  EXPECT_EQ(Text(subscriber->Receive("q/a", -1)), "a");
}

TEST_F(ReceiveTest, OneSecondTimeoutWaitsAboutOneSecond) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(subscriber->Receive("q/none", 1), std::runtime_error);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(990));
  EXPECT_LT(elapsed, std::chrono::seconds(30));  // generous: sanitizers and emulation
}

TEST_F(ReceiveTest, BlockingReceiveTakesOnlyItsTopic) {
  auto waiting = std::async(std::launch::async, [&] { return subscriber->Receive("q/wanted", 0); });
  auto regexWaiting =
      std::async(std::launch::async, [&] { return subscriber->Receive(std::regex("q/r.*"), 0); });
  publisher->Send("q/other", "other", Qos::AtLeastOnce, false);
  // The other message wakes both receivers but neither takes it.
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  publisher->Send("q/wanted", "wanted", Qos::AtLeastOnce, false);
  publisher->Send("q/regex", "regex", Qos::AtLeastOnce, false);
  EXPECT_EQ(Text(waiting.get()), "wanted");
  EXPECT_EQ(Text(regexWaiting.get()), "regex");
  EXPECT_EQ(Text(subscriber->Receive("q/other", kReceiveSeconds)), "other");
}

TEST_F(ReceiveTest, SizeCountsAllTopicsAndClearEmptiesTheQueue) {
  Queue({{"q/a", "1"}, {"q/b", "2"}, {"q/c/d", "3"}});
  EXPECT_EQ(subscriber->getReceiveQueueSize(), 3u);
  subscriber->ClearRecievedQueue();
  EXPECT_EQ(subscriber->getReceiveQueueSize(), 0u);
  EXPECT_THROW(subscriber->Receive("/#", -1), std::runtime_error);
  // The queue works on after clearing.
  Queue({{"q/a", "after"}});
  EXPECT_EQ(Text(subscriber->Receive("q/a", kReceiveSeconds)), "after");
}

// Long topics (up to the 65535 bytes MQTT allows) and patterns with nested repetition are
// matched without exhausting the stack or hanging while the queue is locked.
TEST_F(ReceiveTest, LongTopicsAndNestedPatternsAreSafe) {
  const std::string longTopic = "q/" + std::string(65000, 'a');
  Queue({{longTopic, "long"}});
  EXPECT_THROW(subscriber->Receive(std::regex("q/(a*)*b"), -1), std::runtime_error);
  EXPECT_THROW(subscriber->Receive(std::regex(".*b"), -1), std::runtime_error);
  MqttMessage m = subscriber->Receive(std::regex("q/(a|b)*"), kReceiveSeconds);
  EXPECT_EQ(m.topic, longTopic);
  Queue({{longTopic, "again"}});
  EXPECT_EQ(Text(subscriber->Receive(std::regex(".*"), kReceiveSeconds)), "again");
}

}  // namespace
}  // namespace mqw_test
