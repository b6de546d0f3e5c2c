// The wrapper's time-outs (a command waiting for its completion, a receive waiting for a
// message) do not follow the wall clock: with the wall clock an hour off (WallClockSkew, as right
// after a step of the gateway's clock) they still end after their own length. No broker: the
// command protocol is driven directly, and receiving needs no connection.
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>

#include <mqtt-wrapper/mqtt_client_wrapper.h>

#include "mqtt-wrapper/client_status.h"
#include "mqtt-wrapper/command_guard.h"
#include "support/recording_trace.h"
#include "trace/base/wall_clock_skew.h"

namespace tarnvik::mosquitto {
namespace {

using mqw_test::RecordingTrace;
using mqw_test::ScopedTraceInstall;
using mqw_test::WallClockSkew;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Far beyond every time-out below (sanitizers, emulation), far below the hour a wrong wait takes.
constexpr auto kBound = std::chrono::seconds(30);

// Runs `wait` (which must end by a time-out after at least `length`) under each skew. A wait
// that follows the wall clock either ends far too early or not within kBound; `release` then
// ends it (or, when it cannot be released, the binary ends with the failure).
void ExpectWaitKeepsItsLength(const std::function<void()>& wait, milliseconds length,
                              const std::function<void()>& release) {
  for (int64_t skew_seconds : {3600, -3600}) {
    SCOPED_TRACE(skew_seconds > 0 ? "wall clock an hour ahead (as after a step back)"
                                  : "wall clock an hour behind (as after a step forward)");
    WallClockSkew skew(skew_seconds);
    const auto start = steady_clock::now();
    auto done = std::async(std::launch::async, [&] {
      wait();
      return steady_clock::now();
    });
    if (done.wait_for(kBound) != std::future_status::ready) {
      ADD_FAILURE() << "the wait did not end within " << kBound.count() << " s";
      if (!release) {
        fprintf(stderr, "a wait that follows the wall clock cannot be released: ending\n");
        _exit(1);
      }
      release();
      done.wait();
      continue;
    }
    EXPECT_GE(done.get() - start, length - milliseconds(10));
  }
}

TEST(WallClockStepTest, CommandTimeoutKeepsItsLength) {
  RecordingTrace trace;
  ScopedTraceInstall install(&trace);
  client_status status;
  int cell = 0;
  constexpr milliseconds kTimeout(400);
  ExpectWaitKeepsItsLength(
      [&] {
        // Each case starts from a completed command: the previous one timed out and is released
        // here as Paho would, late.
        MqttAsyncWrapper::onSuccess(&status, nullptr);
        CommandGuard guard(status, "send", kTimeout, &cell, nullptr, nullptr);
        EXPECT_THROW(guard.Complete(MQTTASYNC_SUCCESS), TimeoutError);
      },
      kTimeout, [&] { MqttAsyncWrapper::onSuccess(&status, nullptr); });
}

TEST(WallClockStepTest, ReceiveTimeoutKeepsItsLength) {
  RecordingTrace trace;
  ScopedTraceInstall install(&trace);
  MqttAsyncWrapper wrapper("wall-clock-step");
  ExpectWaitKeepsItsLength(
      [&] { EXPECT_THROW(wrapper.Receive("nothing/here", 1), std::runtime_error); },
      milliseconds(1000), nullptr);
}

}  // namespace
}  // namespace tarnvik::mosquitto
