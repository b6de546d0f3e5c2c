// A lost broker connection ends the process with status 1, after logging the loss; the trace is
// flushed first. Run in a forked child: the wrapper lives there, and the child kills the broker.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <functional>

#include <mqtt-wrapper/TR.h>
#include <mqtt-wrapper/mqtt_client_wrapper.h>
#include <mqtt-wrapper/trhelper.h>

#include "support/broker.h"
#include "support/child_process.h"
#include "support/recording_trace.h"

namespace mqw_test {
namespace {

using tarnvik::mosquitto::MqttAsyncWrapper;
using tarnvik::mosquitto::Qos;

// In the child: connects a wrapper, runs `beforeLoss` on it, kills the broker and waits in a
// receive that only the loss can end. Returns 99 when the process survives the loss.
int Lose_Connection(const char* clientId, pid_t brokerPid,
                    const std::function<void(MqttAsyncWrapper&)>& beforeLoss = {}) {
  MqttAsyncWrapper wrapper(clientId, std::chrono::milliseconds(15000));
  wrapper.Connect(true, nullptr, nullptr);
  if (beforeLoss) beforeLoss(wrapper);
  kill(brokerPid, SIGKILL);
  // The loss must end the process; a receive that would return is a failure.
  try {
    wrapper.Receive("never", 60);
  } catch (...) {
  }
  return 99;
}

// A private broker for each test; the child kills it, the fixture reaps it.
class ConnectionLossTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(broker.Start(&error)) << error;
    brokerPid = broker.Pid();
  }

  // Runs `body` in a forked child (killed after 120 s), then makes sure the broker is gone.
  ChildResult Run_Child(const std::function<int()>& body) {
    ChildResult result = Run_In_Child(body, 120000);
    broker.Kill();
    return result;
  }

  Broker broker;
  pid_t brokerPid = -1;
};

TEST_F(ConnectionLossTest, LostConnectionEndsTheProcessWithStatusOne) {
  const pid_t brokerPid = this->brokerPid;
  ChildResult result = Run_Child([brokerPid] {
    RecordingTrace trace;
    trace.Echo_To(1);
    ScopedTraceInstall install(&trace);
    return Lose_Connection("loses-connection", brokerPid, [](MqttAsyncWrapper& wrapper) {
      wrapper.Send("t", "x", Qos::AtLeastOnce, false);
    });
  });

  ASSERT_TRUE(result.exited) << "signal " << result.signal << " timed out " << result.timed_out;
  EXPECT_EQ(result.exit_code, 1);
  bool lost = false;
  for (const auto& r : RecordingTrace::Parse_Echo(result.output)) {
    if (r.level == TRL_ERROR && r.format == "MQTT Connection lost") lost = true;
  }
  EXPECT_TRUE(lost) << result.output;
}

// With a real client, the loss is logged and reaches the output although the process ends from
// Paho's thread right after: the trace clients are flushed and closed before the exit.
TEST_F(ConnectionLossTest, LossIsLoggedToARealSinkBeforeTheExit) {
  const pid_t brokerPid = this->brokerPid;
  ChildResult result = Run_Child([brokerPid] {
    if (int failed = Install_Console_Trace()) return failed;
    return Lose_Connection("loses-connection-sink", brokerPid);
  });

  ASSERT_TRUE(result.exited) << "signal " << result.signal << " timed out " << result.timed_out;
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.output.find("MQTT Connection lost"), std::string::npos) << result.output;
}

}  // namespace
}  // namespace mqw_test
