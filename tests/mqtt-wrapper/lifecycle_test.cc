// Wrapper lifecycle: construction, Connect with caller callbacks, failures, and destruction.
#include <gtest/gtest.h>

#include <stdio.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "broker_fixture.h"

namespace mqw_test {
namespace {

std::string PointerText(const void* p) {
  char text[32];
  snprintf(text, sizeof(text), "%p", p);
  return text;
}

TEST(WrapperLifecycleTest, NeverConnectedWrapperLogsCreationAndDisconnectError) {
  RecordingTrace trace;
  ScopedTraceInstall install(&trace);
  std::string created;
  {
    MqttAsyncWrapper wrapper("never-connected");
    auto records = trace.Matching(TRL_INFO, "MQTT Context created %p");
    ASSERT_EQ(records.size(), 1u);
    created = records[0].text;
  }
  auto disconnect = trace.Matching(TRL_WARNING, "MQTT Disconnect error: %s");
  ASSERT_EQ(disconnect.size(), 1u);
  EXPECT_EQ(
      disconnect[0].text.rfind("MQTT Disconnect error: MQTT disconnect failed to start. Code: ", 0),
      0u)
      << disconnect[0].text;
  auto destructed = trace.Matching(TRL_INFO, "MQTT Destruct context %p");
  ASSERT_EQ(destructed.size(), 1u);
  EXPECT_EQ(destructed[0].text.substr(destructed[0].text.rfind(' ')),
            created.substr(created.rfind(' ')));
  // The destructor stamps its call stack at info level: one record starting with a line break.
  auto stamps = trace.Matching(TRL_INFO, "%s");
  ASSERT_EQ(stamps.size(), 1u);
  EXPECT_EQ(stamps[0].text.front(), '\n');
}

TEST(WrapperLifecycleTest, CreateFailureIsReportedWithPahoCode) {
  RecordingTrace trace;
  ScopedTraceInstall install(&trace);
  try {
    MqttAsyncWrapper wrapper(
        "bad\xFF"
        "id");
    FAIL() << "a client identifier that is not UTF-8 was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("MQTT create failed. Code: ", 0), 0u) << e.what();
  }
  EXPECT_EQ(trace.Count(TRL_INFO, "MQTT Context created %p"), 0u);
}

TEST(WrapperLifecycleTest, ConnectWithoutBrokerFailsWithPahoText) {
  RecordingTrace trace;
  ScopedTraceInstall install(&trace);
  MqttAsyncWrapper wrapper("no-broker", kCommandTimeout);
  try {
    wrapper.Connect(true, nullptr, nullptr);
    FAIL() << "connect without a broker succeeded";
  } catch (const TimeoutError& e) {
    FAIL() << "expected a failure, not a time-out: " << e.what();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("MQTT Code: ", 0), 0u) << e.what();
    EXPECT_NE(std::string(e.what()).find(" Description: "), std::string::npos) << e.what();
  }
  EXPECT_EQ(trace.Count(TRL_ERROR, "MQTT Failure callback"), 1u);
}

using BrokerLifecycleTest = BrokerTest;

// Caller callbacks get the client cell's address, the one logged at creation.
std::mutex g_callbackMutex;
std::string g_callbackContext;
std::thread::id g_callbackThread;
void RecordSuccess(void* context, MQTTAsync_successData*) {
  std::lock_guard<std::mutex> lock(g_callbackMutex);
  g_callbackContext = PointerText(context);
  g_callbackThread = std::this_thread::get_id();
}

TEST_F(BrokerLifecycleTest, ConnectRunsSuccessCallbackOnPahoThreadWithClientCell) {
  MqttAsyncWrapper wrapper(NextClientId(), kCommandTimeout);
  auto created = trace.Matching(TRL_INFO, "MQTT Context created %p");
  ASSERT_EQ(created.size(), 1u);
  wrapper.Connect(true, &RecordSuccess, nullptr);
  // The callback runs after the waiter was woken; wait for it.
  for (int i = 0; i < 1000; ++i) {
    {
      std::lock_guard<std::mutex> lock(g_callbackMutex);
      if (!g_callbackContext.empty()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard<std::mutex> lock(g_callbackMutex);
  EXPECT_EQ("MQTT Context created " + g_callbackContext, created[0].text);
  EXPECT_NE(g_callbackThread, std::this_thread::get_id());
}

void ThrowStd(void*, MQTTAsync_successData*) { throw std::runtime_error("boom"); }
void ThrowOther(void*, MQTTAsync_successData*) { throw 42; }

TEST_F(BrokerLifecycleTest, ThrowingSuccessCallbackIsLoggedAndSwallowed) {
  struct Case {
    MQTTAsync_onSuccess* callback;
    const char* format;
    const char* text;
  };
  const Case cases[] = {
      {&ThrowStd, "MQTT success callback threw exception: %s",
       "MQTT success callback threw exception: boom"},
      {&ThrowOther, "MQTT success callback threw unknown exception",
       "MQTT success callback threw unknown exception"},
  };
  for (const Case& c : cases) {
    MqttAsyncWrapper wrapper(NextClientId(), kCommandTimeout);
    EXPECT_NO_THROW(wrapper.Connect(true, c.callback, nullptr));
    ASSERT_TRUE(trace.Wait_For(TRL_ERROR, c.format, 10000)) << c.format;
    EXPECT_EQ(trace.Matching(TRL_ERROR, c.format).back().text, c.text);
    // The wrapper is still usable.
    EXPECT_NO_THROW(wrapper.Send("t", "x", Qos::AtLeastOnce, false));
  }
}

// A command issued from a caller callback could never complete (its completion needs the very
// thread that is blocked); it is refused at once instead of timing out.
MqttAsyncWrapper* g_wrapper = nullptr;
std::string g_nestedError;
std::atomic<bool> g_nestedDone{false};
void SendFromCallback(void*, MQTTAsync_successData*) {
  try {
    g_wrapper->Send("nested", "x", Qos::AtLeastOnce, false);
    g_nestedError = "no exception";
  } catch (const std::exception& e) {
    g_nestedError = e.what();
  }
  g_nestedDone = true;
}

TEST_F(BrokerLifecycleTest, CommandFromCallbackIsRefused) {
  MqttAsyncWrapper wrapper(NextClientId(), kCommandTimeout);
  g_wrapper = &wrapper;
  wrapper.Connect(true, &SendFromCallback, nullptr);
  for (int i = 0; i < 1000 && !g_nestedDone; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(g_nestedDone);
  EXPECT_EQ(g_nestedError,
            "Cannot start MQTT send from an MQTT callback: its completion could never be "
            "delivered");
  EXPECT_NO_THROW(wrapper.Send("t", "x", Qos::AtLeastOnce, false));
  g_wrapper = nullptr;
}

// In a caller callback (Paho's thread) a receive never waits: it takes what is queued or fails
// at once, instead of stalling the thread that delivers every message.
std::string g_receiveResult;
std::atomic<int> g_receives{0};
void ReceiveFromCallback(void*, MQTTAsync_successData*) {
  try {
    MqttMessage m = g_wrapper->Receive("cb", 0);
    g_receiveResult = std::string(m.payload.begin(), m.payload.end());
  } catch (const std::exception& e) {
    g_receiveResult = e.what();
  }
  ++g_receives;
}

TEST_F(BrokerLifecycleTest, ReceiveInCallbackNeverWaits) {
  auto wrapper = Connected();
  g_wrapper = wrapper.get();
  wrapper->Subscribe("cb", Qos::AtLeastOnce, false, &ReceiveFromCallback, nullptr);
  for (int i = 0; i < 1000 && g_receives < 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(g_receiveResult,
            "Cannot wait for MQTT messages in an MQTT callback: nothing can arrive meanwhile");
  wrapper->Send("cb", "queued", Qos::AtLeastOnce, false);
  while (wrapper->getReceiveQueueSize() == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  wrapper->Subscribe("other", Qos::AtLeastOnce, false, &ReceiveFromCallback, nullptr);
  for (int i = 0; i < 1000 && g_receives < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(g_receiveResult, "queued");
  g_wrapper = nullptr;
}

// A second Connect on a connected wrapper is refused at once; the connection, its subscriptions
// and later commands are unaffected (the command never becomes pending).
TEST_F(BrokerLifecycleTest, SecondConnectIsRefusedAndLeavesTheConnectionUsable) {
  auto wrapper = Connected();
  wrapper->Subscribe("again", Qos::AtLeastOnce, false, nullptr, nullptr);
  try {
    wrapper->Connect(true, nullptr, nullptr);
    FAIL() << "second connect accepted";
  } catch (const TimeoutError& e) {
    FAIL() << e.what();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "MQTT connect failed to start: already connected");
  }
  wrapper->Send("again", "still subscribed", Qos::AtLeastOnce, false);
  EXPECT_EQ(wrapper->Receive("again", kReceiveSeconds).payload, Bytes("still subscribed"));
}

TEST_F(BrokerLifecycleTest, ConnectedWrapperDisconnectsCleanly) {
  { auto wrapper = Connected(); }
  EXPECT_EQ(trace.Count(TRL_WARNING, "MQTT Disconnect error: %s"), 0u);
  EXPECT_EQ(trace.Count(TRL_WARNING, "MQTT Disconnect error"), 0u);
  EXPECT_EQ(trace.Count(TRL_INFO, "MQTT Destruct context %p"), 1u);
}

// The time-out argument is raised to 1 ms; the one-argument form waits 5000 ms. Observed on a
// broker that does not answer (paused), through the time-out text.
TEST_F(BrokerLifecycleTest, CommandTimeoutIsAtLeastOneMillisecond) {
  struct Case {
    std::chrono::milliseconds timeout;
    const char* text;
  };
  const Case cases[] = {
      {std::chrono::milliseconds(0),
       "MQTT connect timed out after 1 ms; final command status is unknown"},
      {std::chrono::milliseconds(-5),
       "MQTT connect timed out after 1 ms; final command status is unknown"},
      {std::chrono::milliseconds(300),
       "MQTT connect timed out after 300 ms; final command status is unknown"},
  };
  ASSERT_TRUE(broker.Pause());
  for (const Case& c : cases) {
    MqttAsyncWrapper wrapper(NextClientId(), c.timeout);
    try {
      wrapper.Connect(true, nullptr, nullptr);
      FAIL() << "connect to a paused broker succeeded";
    } catch (const TimeoutError& e) {
      EXPECT_STREQ(e.what(), c.text);
    }
  }
  MqttAsyncWrapper wrapper(NextClientId());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(wrapper.Connect(true, nullptr, nullptr), TimeoutError);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4900));
  ASSERT_TRUE(broker.Resume());
}

}  // namespace
}  // namespace mqw_test
