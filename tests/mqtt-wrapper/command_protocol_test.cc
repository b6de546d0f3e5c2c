// The command protocol and the completion handlers, driven directly (no broker): completions
// before and after the wait, failure texts, start failures, time-outs and late completions.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <mqtt-wrapper/mqtt_client_wrapper.h>

#include "mqtt-wrapper/client_status.h"
#include "mqtt-wrapper/command_guard.h"
#include "support/recording_trace.h"

namespace tarnvik::mosquitto {
namespace {

using mqw_test::RecordingTrace;
using mqw_test::ScopedTraceInstall;
using namespace std::chrono_literals;

constexpr const char* kLateFormat =
    "Late MQTT completion observed after timeout; continuing with next command: operation=%s";

class CommandProtocolTest : public ::testing::Test {
 protected:
  // Runs `complete` on another thread after a short delay, as Paho's thread would.
  std::thread Later(std::function<void()> complete) {
    return std::thread([complete] {
      std::this_thread::sleep_for(50ms);
      complete();
    });
  }

  int State() {
    MutexLock lock(status.statusMutex);
    return status.state;
  }

  RecordingTrace trace;
  ScopedTraceInstall install{&trace};
  client_status status;
  int cell = 0;  // stands for the client cell handed to caller callbacks
};

TEST_F(CommandProtocolTest, CompletionBeforeTheWaitReturnsAtOnce) {
  CommandGuard guard(status, "send", 60000ms, &cell, nullptr, nullptr);
  MqttAsyncWrapper::onSuccess(&status, nullptr);
  const auto start = std::chrono::steady_clock::now();
  guard.Complete(MQTTASYNC_SUCCESS);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_EQ(State(), Idle);
}

TEST_F(CommandProtocolTest, FailureTextsFromTheResponse) {
  char refused[] = "refused";
  MQTTAsync_failureData withMessage = {};
  withMessage.code = 5;
  withMessage.message = refused;
  MQTTAsync_failureData withoutMessage = {};
  withoutMessage.code = -3;
  struct Case {
    MQTTAsync_failureData* response;
    const char* text;
  };
  const Case cases[] = {
      {nullptr, "MQTT Code: -1 Description: "},
      {&withMessage, "MQTT Code: 5 Description: refused"},
      {&withoutMessage, "MQTT Code: -3 Description: "},
  };
  for (const Case& c : cases) {
    CommandGuard guard(status, "subscribe", 60000ms, &cell, nullptr, nullptr);
    std::thread paho = Later([&] { MqttAsyncWrapper::onFailure(&status, c.response); });
    try {
      guard.Complete(MQTTASYNC_SUCCESS);
      ADD_FAILURE() << "failure reported as success";
    } catch (const TimeoutError& e) {
      ADD_FAILURE() << e.what();
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), c.text);
    }
    paho.join();
    EXPECT_EQ(State(), Idle);
  }
  EXPECT_EQ(trace.Count(TRL_ERROR, "MQTT Failure callback"), 3u);
  EXPECT_EQ(trace.Count(TRL_INFO, "%s"), 3u);  // the stamp before each
}

TEST_F(CommandProtocolTest, StartFailureIsReportedAndDoesNotBlockTheNextCommand) {
  {
    CommandGuard guard(status, "unsubscribe", 60000ms, &cell, nullptr, nullptr);
    try {
      guard.Complete(MQTTASYNC_DISCONNECTED);
      FAIL() << "start failure reported as success";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "MQTT unsubscribe failed to start. Code: -3");
    }
  }
  EXPECT_EQ(State(), Failed);
  CommandGuard next(status, "send", 60000ms, &cell, nullptr, nullptr);
  MqttAsyncWrapper::onSuccess(&status, nullptr);
  EXPECT_NO_THROW(next.Complete(MQTTASYNC_SUCCESS));
  EXPECT_EQ(trace.Count(TRL_WARNING, kLateFormat), 0u);
}

TEST_F(CommandProtocolTest, LateFailureAfterTimeoutDoesNotFailTheNextCommand) {
  {
    CommandGuard guard(status, "send", 20ms, &cell, nullptr, nullptr);
    try {
      guard.Complete(MQTTASYNC_SUCCESS);
      FAIL() << "no time-out";
    } catch (const TimeoutError& e) {
      EXPECT_STREQ(e.what(), "MQTT send timed out after 20 ms; final command status is unknown");
    }
  }
  EXPECT_THROW(CommandGuard(status, "connect", 20ms, &cell, nullptr, nullptr), TimeoutError);
  MqttAsyncWrapper::onFailure(&status, nullptr);
  auto late = trace.Matching(TRL_WARNING, "MQTT command failed after wrapper timeout: %s");
  ASSERT_EQ(late.size(), 1u);
  EXPECT_EQ(late[0].text, "MQTT command failed after wrapper timeout: MQTT Code: -1 Description: ");

  CommandGuard next(status, "disconnect", 60000ms, &cell, nullptr, nullptr);
  auto warnings = trace.Matching(TRL_WARNING, kLateFormat);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].text,
            "Late MQTT completion observed after timeout; continuing with next command: "
            "operation=disconnect");
  MqttAsyncWrapper::onSuccess(&status, nullptr);
  EXPECT_NO_THROW(next.Complete(MQTTASYNC_SUCCESS));
}

// A time-out is honoured even when it is huge (no overflow into an immediate time-out).
TEST_F(CommandProtocolTest, HugeTimeoutStillWaitsForTheCompletion) {
  CommandGuard guard(status, "send", std::chrono::milliseconds::max(), &cell, nullptr, nullptr);
  std::thread paho = Later([&] { MqttAsyncWrapper::onSuccess(&status, nullptr); });
  EXPECT_NO_THROW(guard.Complete(MQTTASYNC_SUCCESS));
  paho.join();
}

// Late completions still run the caller callbacks stored for the timed-out command, with the
// client cell as context.
void* g_lateContext = nullptr;
void LateCallback(void* context, MQTTAsync_successData*) { g_lateContext = context; }

TEST_F(CommandProtocolTest, LateSuccessRunsTheStoredCallback) {
  {
    CommandGuard guard(status, "subscribe", 10ms, &cell, &LateCallback, nullptr);
    EXPECT_THROW(guard.Complete(MQTTASYNC_SUCCESS), TimeoutError);
  }
  MqttAsyncWrapper::onSuccess(&status, nullptr);
  EXPECT_EQ(g_lateContext, &cell);
  EXPECT_EQ(trace.Count(TRL_WARNING, "MQTT command completed successfully after wrapper timeout"),
            1u);
}

}  // namespace
}  // namespace tarnvik::mosquitto
