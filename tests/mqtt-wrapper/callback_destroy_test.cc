// A wrapper destroyed from its own callback. Its own binary: the abandoned Paho client stays in
// the process for the rest of the run.
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "broker_fixture.h"

namespace mqw_test {
namespace {

using CallbackDestroyTest = BrokerTest;

// The wrapper under test, handed between the test thread and Paho's callback thread. Whoever
// takes it destroys it; the test waits for the callback to be completely done before its
// fixtures (broker, recording trace) go away, however long that takes on a loaded machine.
struct Handoff {
  std::mutex mutex;
  std::condition_variable done;
  std::unique_ptr<MqttAsyncWrapper> owned;  // guarded by mutex
  bool takenByCallback = false;             // guarded by mutex
  bool callbackDone = false;                // guarded by mutex
};
Handoff g_handoff;

// A wrapper destroyed from its own callback must not free what Paho and the running callback
// still use (the sanitizer build checks); the session is ended and the destruction logged.
void DestroyFromCallback(void*, MQTTAsync_successData*) {
  std::unique_ptr<MqttAsyncWrapper> mine;
  {
    std::lock_guard<std::mutex> lock(g_handoff.mutex);
    mine = std::move(g_handoff.owned);
    g_handoff.takenByCallback = mine != nullptr;
  }
  mine.reset();  // the destruction under test, on Paho's callback thread
  {
    std::lock_guard<std::mutex> lock(g_handoff.mutex);
    g_handoff.callbackDone = true;
  }
  g_handoff.done.notify_all();
}

TEST_F(CallbackDestroyTest, DestroyedFromItsOwnCallback) {
  // Created before the hand-off lock is taken: Paho's callbacks run under Paho's own lock and
  // take the hand-off lock, so creating a client (which takes Paho's lock) under the hand-off
  // lock would invert that order.
  auto created = std::make_unique<MqttAsyncWrapper>(NextClientId(), kCommandTimeout);
  MqttAsyncWrapper* wrapper = created.get();
  {
    std::lock_guard<std::mutex> lock(g_handoff.mutex);
    g_handoff.owned = std::move(created);
  }
  bool connected = false;
  EXPECT_NO_THROW({
    wrapper->Connect(true, &DestroyFromCallback, nullptr);
    connected = true;
  });
  std::unique_ptr<MqttAsyncWrapper> leftover;
  {
    std::unique_lock<std::mutex> lock(g_handoff.mutex);
    if (connected || g_handoff.takenByCallback) {
      // A successful connect always calls the callback (after Connect may have returned): wait
      // for it to finish, without a deadline, so that no callback outlives the fixtures.
      g_handoff.done.wait(lock, [] { return g_handoff.callbackDone; });
    } else {
      // No callback took the wrapper: destroy it here; its destructor waits for any callback
      // still in flight.
      leftover = std::move(g_handoff.owned);
    }
  }
  leftover.reset();
  ASSERT_TRUE(connected);
  ASSERT_TRUE(g_handoff.takenByCallback);
  auto warnings = trace.Matching(TRL_WARNING, "MQTT Disconnect error: %s");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].text.find("own callback thread"), std::string::npos) << warnings[0].text;
  // Other wrappers work on.
  auto other = Connected();
  EXPECT_NO_THROW(other->Send("t", "x", Qos::AtLeastOnce, false));
}

}  // namespace
}  // namespace mqw_test
