// A lost broker connection ends the process with status 1, after logging the loss; the trace is
// flushed first. Run in a forked child: the wrapper lives there, and the child kills the broker.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

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

TEST(ConnectionLossTest, LostConnectionEndsTheProcessWithStatusOne) {
  Broker broker;
  std::string error;
  ASSERT_TRUE(broker.Start(&error)) << error;
  const pid_t brokerPid = broker.Pid();

  ChildResult result = Run_In_Child(
      [&] {
        RecordingTrace trace;
        trace.Echo_To(1);
        ScopedTraceInstall install(&trace);
        MqttAsyncWrapper wrapper("loses-connection", std::chrono::milliseconds(15000));
        wrapper.Connect(true, nullptr, nullptr);
        wrapper.Send("t", "x", Qos::AtLeastOnce, false);
        kill(brokerPid, SIGKILL);
        // The loss must end the process; a receive that would return is a failure.
        try {
          wrapper.Receive("never", 60);
        } catch (...) {
        }
        return 99;
      },
      120000);
  broker.Kill();

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
TEST(ConnectionLossTest, LossIsLoggedToARealSinkBeforeTheExit) {
  Broker broker;
  std::string error;
  ASSERT_TRUE(broker.Start(&error)) << error;
  const pid_t brokerPid = broker.Pid();

  ChildResult result = Run_In_Child(
      [&] {
        ITR_Client* client = TR_Create_Client("/TR.Sink=Console");
        if (client == nullptr) return 97;
        ITR_Trace* channel = TR_Create_Trace(client, "Trace channel 1", nullptr);
        if (channel == nullptr) return 98;
        TR::l_pClient = client;
        TR::l_pTrace = channel;
        MqttAsyncWrapper wrapper("loses-connection-sink", std::chrono::milliseconds(15000));
        wrapper.Connect(true, nullptr, nullptr);
        kill(brokerPid, SIGKILL);
        try {
          wrapper.Receive("never", 60);
        } catch (...) {
        }
        return 99;
      },
      120000);
  broker.Kill();

  ASSERT_TRUE(result.exited) << "signal " << result.signal << " timed out " << result.timed_out;
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.output.find("MQTT Connection lost"), std::string::npos) << result.output;
}

}  // namespace
}  // namespace mqw_test
