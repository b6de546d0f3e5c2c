// A wrapper destroyed from its own callback. Its own binary: the abandoned Paho client stays in
// the process for the rest of the run.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "broker_fixture.h"

namespace mqw_test {
namespace {

using CallbackDestroyTest = BrokerTest;

// A wrapper destroyed from its own callback must not free what Paho and the running callback
// still use (the sanitizer build checks); the session is ended and the destruction logged.
std::unique_ptr<MqttAsyncWrapper> g_owned;
std::atomic<bool> g_destroyed{false};
void DestroyFromCallback(void*, MQTTAsync_successData*) {
  g_owned.reset();
  g_destroyed = true;
}

TEST_F(CallbackDestroyTest, DestroyedFromItsOwnCallback) {
  g_owned = std::make_unique<MqttAsyncWrapper>(NextClientId(), kCommandTimeout);
  g_owned->Connect(true, &DestroyFromCallback, nullptr);
  for (int i = 0; i < 1000 && !g_destroyed; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(g_destroyed);
  auto warnings = trace.Matching(TRL_WARNING, "MQTT Disconnect error: %s");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].text.find("own callback thread"), std::string::npos) << warnings[0].text;
  // Other wrappers work on.
  auto other = Connected();
  EXPECT_NO_THROW(other->Send("t", "x", Qos::AtLeastOnce, false));
}

}  // namespace
}  // namespace mqw_test
