// A tour of libmqtt-wrapper: MQTT traffic through MqttAsyncWrapper, traced two ways.
//
//  * TR::LoggerInit sets up the process's trace channel with a console text client, so every
//    log line of the wrapper and of this program shows up on standard output as it happens.
//  * A second client, through a channel of its own, sends the same messages either to a trace
//    server ("network PORT": the network sink to 127.0.0.1:PORT; scripts/demo.sh starts a
//    trace-server, which stores them as binary files) or into a binary trace file ("file DIR",
//    the default with "demo-traces"). trace-cat prints those files afterwards.
//
// The choice is made with plain words, not "/TR." options: options on the command line apply to
// every client of the process, the console client of step 1 included.
//
// Needs an MQTT broker on 127.0.0.1:1883 (scripts/demo.sh starts one when none listens there).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include <mqtt-wrapper/TR.h>
#include <mqtt-wrapper/mqtt_client_wrapper.h>
#include <mqtt-wrapper/trhelper.h>

using tarnvik::mosquitto::MqttAsyncWrapper;
using tarnvik::mosquitto::MqttMessage;
using tarnvik::mosquitto::Qos;

namespace {

// The second client's channel and its module; every call below also goes to the console
// channel.
ITR_Trace* g_file = nullptr;
void* g_module = nullptr;

#define DEMO_LOG(level, ...)                                                                    \
  do {                                                                                          \
    TR_LOG(level, __VA_ARGS__);                                                                 \
    if (g_file) g_file->Trace(0, (level), g_module, __LINE__, __FILE__, __func__, __VA_ARGS__); \
  } while (0)

std::string Text(const MqttMessage& message) {
  return std::string(message.payload.begin(), message.payload.end());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string where = argc > 2 ? argv[2] : "demo-traces";
  const std::string options =
      argc > 2 && std::string(argv[1]) == "network"
          ? "/TR.Sink=Network /TR.Addr=127.0.0.1 /TR.Port=" + where + " /TR.Name=mqtt_trace_demo"
          : "/TR.Sink=FileBin /TR.Dir=" + where;

  // 1. The process's channel: console text, a compact line per message. (A first line in
  //    /etc/tr.cfg, or /TR. options on the command line, take precedence over these defaults.)
  if (!TR::LoggerInit("MqttDemo", "/TR.Sink=Console \"/TR.Format=%tm %lv [%tn] %fs:%fl %ms\"")) {
    std::fprintf(stderr, "logging could not be set up (TR_Last_Error %u)\n", TR_Last_Error());
    return 1;
  }

  // 2. A second client and channel, configured by the command line's options.
  ITR_Client* file_client = TR_Create_Client(options.c_str());
  if (file_client) g_file = TR_Create_Trace(file_client, "Demo traffic", nullptr);
  if (g_file) g_file->Register_Thread("Application", static_cast<uint32_t>(gettid()));
  if (g_file) g_file->Register_Module("MqttDemo", &g_module);
  DEMO_LOG(TRL_INFO, "second client: %s", file_client ? options.c_str() : "could not be created");

  int status = 0;
  try {
    // 3. Two MQTT clients: a sensor that publishes and a controller that subscribes.
    MqttAsyncWrapper sensor("demo-sensor", std::chrono::milliseconds(5000));
    MqttAsyncWrapper controller("demo-controller", std::chrono::milliseconds(5000));
    sensor.Connect(true, nullptr, nullptr);
    controller.Connect(true, nullptr, nullptr);
    DEMO_LOG(TRL_INFO, "both clients connected to 127.0.0.1:1883");

    controller.Subscribe(std::vector<std::string>{"demo/sensors/#", "demo/status"},
                         Qos::AtLeastOnce, false, nullptr, nullptr);
    DEMO_LOG(TRL_INFO, "controller subscribed to demo/sensors/# and demo/status");

    // 4. Publish with each quality of service; the controller takes every message by topic
    //    pattern or by exact topic.
    const struct {
      const char* topic;
      double value;
      Qos qos;
    } readings[] = {{"demo/sensors/temperature", 21.5, Qos::AtMostOnce},
                    {"demo/sensors/humidity", 48.0, Qos::AtLeastOnce},
                    {"demo/sensors/pressure", 1013.2, Qos::ExactlyOnce}};
    for (const auto& reading : readings) {
      char payload[32];
      std::snprintf(payload, sizeof(payload), "%.1f", reading.value);
      sensor.Send(reading.topic, std::string(payload), reading.qos, false);
      DEMO_LOG(TRL_DEBUG, "sensor published %s = %s (QoS %d)", reading.topic, payload,
               static_cast<int>(reading.qos));
    }
    const std::regex any_sensor("demo/sensors/.*");
    for (size_t i = 0; i < sizeof(readings) / sizeof(readings[0]); ++i) {
      MqttMessage message = controller.Receive(any_sensor, 5);
      DEMO_LOG(TRL_INFO, "controller received %s = %s", message.topic.c_str(),
               Text(message).c_str());
    }
    sensor.Send("demo/status", std::string("online"), Qos::AtLeastOnce, false);
    MqttMessage status_message = controller.Receive("demo/status", 5);
    DEMO_LOG(TRL_INFO, "controller received %s = %s", status_message.topic.c_str(),
             Text(status_message).c_str());

    // 5. A receive that times out is reported as an exception, and traced as a warning.
    try {
      controller.Receive("demo/nothing-here", -1);
    } catch (const std::exception& error) {
      DEMO_LOG(TRL_WARNING, "as expected: %s", error.what());
    }
    controller.Unsubscribe(std::vector<std::string>{"demo/sensors/#", "demo/status"});
    DEMO_LOG(TRL_INFO, "done; %zu messages left in the queue", controller.getReceiveQueueSize());
  } catch (const std::exception& error) {
    DEMO_LOG(TRL_ERROR, "MQTT failed: %s", error.what());
    std::fprintf(stderr, "MQTT failed: %s\n", error.what());
    status = 1;
  }

  // 6. Releasing the second client delivers what it holds (writes out and closes the binary
  //    file, or waits for the trace server's acknowledgements) and closes it.
  if (g_file) g_file->Release();
  g_file = nullptr;
  if (file_client) file_client->Release();
  return status;
}
