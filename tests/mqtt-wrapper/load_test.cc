// Serialisation under load: eight threads share one wrapper and publish at QoS 1; a second
// wrapper receives every message exactly once with its payload.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "broker_fixture.h"

namespace mqw_test {
namespace {

using LoadTest = BrokerTest;

TEST_F(LoadTest, SharedWrapperDeliversEveryMessageExactlyOnce) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 1000;
  auto subscriber = Connected();
  subscriber->Subscribe("load/#", Qos::AtLeastOnce, false, nullptr, nullptr);
  auto publisher = Connected();

  std::vector<std::thread> threads;
  std::vector<std::string> errors(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        for (int i = 0; i < kPerThread; ++i) {
          publisher->Send("load/" + std::to_string(t),
                          "t" + std::to_string(t) + "-" + std::to_string(i), Qos::AtLeastOnce,
                          false);
        }
      } catch (const std::exception& e) {
        errors[t] = e.what();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(errors[t], "") << "thread " << t;

  std::set<std::string> seen;
  std::vector<int> next(kThreads, 0);
  for (int n = 0; n < kThreads * kPerThread; ++n) {
    MqttMessage m = subscriber->Receive("/#", kReceiveSeconds);
    const std::string payload(m.payload.begin(), m.payload.end());
    ASSERT_TRUE(seen.insert(payload).second) << "duplicate " << payload;
    // Each thread's messages arrive in its publishing order, on its own topic.
    const int t = std::stoi(m.topic.substr(5));
    ASSERT_EQ(payload, "t" + std::to_string(t) + "-" + std::to_string(next[t]));
    ++next[t];
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kPerThread));
  EXPECT_THROW(subscriber->Receive("/#", 1), std::runtime_error);  // nothing extra
}

}  // namespace
}  // namespace mqw_test
