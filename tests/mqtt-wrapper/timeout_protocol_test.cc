// The time-out protocol against a broker that stops answering (SIGSTOP) and comes back (SIGCONT)
// or dies: the exact texts, refusal of later commands while the old one is pending, and the
// late completion.
#include <gtest/gtest.h>

#include <functional>

#include "broker_fixture.h"

namespace mqw_test {
namespace {

using TimeoutProtocolTest = BrokerTest;

constexpr std::chrono::milliseconds kShortTimeout{5000};

TEST_F(TimeoutProtocolTest, LateSuccessUnblocksTheNextCommand) {
  // Paho may take a few seconds to bring up a further connection; the short time-out is kept
  // for the command under test.
  auto wrapper = Connected(kShortTimeout);
  auto subscriber = Connected();
  subscriber->Subscribe("late", Qos::AtLeastOnce, false, nullptr, nullptr);

  ASSERT_TRUE(broker.Pause());
  try {
    wrapper->Send("late", "delivered-anyway", Qos::AtLeastOnce, false);
    FAIL() << "publish to a paused broker completed";
  } catch (const TimeoutError& e) {
    EXPECT_STREQ(e.what(), "MQTT send timed out after 5000 ms; final command status is unknown");
  }
  // Every later command is refused at once, naming itself, without reaching Paho.
  struct Refusal {
    std::function<void()> command;
    const char* text;
  };
  const Refusal refusals[] = {
      {[&] { wrapper->Send("late", "x", Qos::AtLeastOnce, false); },
       "Cannot start MQTT send: previous MQTT command is still pending after timeout"},
      {[&] { wrapper->Subscribe("s", Qos::AtLeastOnce, false, nullptr, nullptr); },
       "Cannot start MQTT subscribe: previous MQTT command is still pending after timeout"},
      {[&] { wrapper->Unsubscribe("s"); },
       "Cannot start MQTT unsubscribe: previous MQTT command is still pending after timeout"},
      {[&] { wrapper->Connect(true, nullptr, nullptr); },
       "Cannot start MQTT connect: previous MQTT command is still pending after timeout"},
  };
  for (const Refusal& r : refusals) {
    try {
      r.command();
      FAIL() << "not refused: " << r.text;
    } catch (const TimeoutError& e) {
      EXPECT_STREQ(e.what(), r.text);
    }
  }

  ASSERT_TRUE(broker.Resume());
  ASSERT_TRUE(trace.Wait_For(TRL_WARNING,
                             "MQTT command completed successfully after wrapper timeout", 20000));
  EXPECT_EQ(
      trace.Count(TRL_WARNING,
                  "Late MQTT completion observed after timeout; continuing with next command: "
                  "operation=%s"),
      0u);
  wrapper->Send("late", "next", Qos::AtLeastOnce, false);
  auto late = trace.Matching(
      TRL_WARNING,
      "Late MQTT completion observed after timeout; continuing with next command: operation=%s");
  ASSERT_EQ(late.size(), 1u);
  EXPECT_EQ(late[0].text,
            "Late MQTT completion observed after timeout; continuing with next command: "
            "operation=send");
  // The timed-out publish did reach the broker: its status was unknown, not failed.
  EXPECT_EQ(subscriber->Receive("late", kReceiveSeconds).payload, Bytes("delivered-anyway"));
  EXPECT_EQ(subscriber->Receive("late", kReceiveSeconds).payload, Bytes("next"));
  // The warning is logged once; later commands run normally.
  wrapper->Send("late", "again", Qos::AtLeastOnce, false);
  EXPECT_EQ(trace
                .Matching(TRL_WARNING,
                          "Late MQTT completion observed after timeout; continuing with next "
                          "command: operation=%s")
                .size(),
            1u);
}

TEST_F(TimeoutProtocolTest, LateFailureDoesNotFailTheNextCommand) {
  // A connect that the broker never answers, then the broker dies: the late completion is a
  // failure.
  ASSERT_TRUE(broker.Pause());
  MqttAsyncWrapper wrapper(NextClientId(), kShortTimeout);
  EXPECT_THROW(wrapper.Connect(true, nullptr, nullptr), TimeoutError);
  ASSERT_TRUE(broker.Kill());
  ASSERT_TRUE(trace.Wait_For(TRL_WARNING, "MQTT command failed after wrapper timeout: %s", 60000));
  auto failed = trace.Matching(TRL_WARNING, "MQTT command failed after wrapper timeout: %s");
  EXPECT_EQ(failed[0].text.rfind("MQTT command failed after wrapper timeout: MQTT Code: ", 0), 0u)
      << failed[0].text;
  EXPECT_GE(trace.Count(TRL_ERROR, "MQTT Failure callback"), 1u);

  std::string error;
  ASSERT_TRUE(broker.Start(&error)) << error;
  // The same wrapper connects again: the next command runs normally after the warning.
  EXPECT_NO_THROW(wrapper.Connect(true, nullptr, nullptr));
  EXPECT_EQ(
      trace.Count(TRL_WARNING,
                  "Late MQTT completion observed after timeout; continuing with next command: "
                  "operation=%s"),
      1u);
  EXPECT_NO_THROW(wrapper.Send("after", "x", Qos::AtLeastOnce, false));
}

}  // namespace
}  // namespace mqw_test
