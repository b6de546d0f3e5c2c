// A minimal program built against the installed library: a null-sink trace client with one
// channel, and an MQTT wrapper constructed and destroyed without a broker.
#include <mqtt-wrapper/TR.h>
#include <mqtt-wrapper/mqtt_client_wrapper.h>
#include <mqtt-wrapper/trhelper.h>

#include <chrono>
#include <cstdio>

int main() {
  ITR_Client* client = TR_Create_Client("/TR.Sink=Null");
  if (client == nullptr) {
    std::puts("TR_Create_Client failed");
    return 1;
  }
  ITR_Trace* trace = TR_Create_Trace(client, "consumer", nullptr);
  if (trace == nullptr) {
    std::puts("TR_Create_Trace failed");
    return 1;
  }
  bool traced = trace->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d %s", 7, "ok");
  trace->Release();
  client->Release();
  if (!traced) {
    std::puts("Trace failed");
    return 1;
  }
  { tarnvik::mosquitto::MqttAsyncWrapper wrapper("consumer", std::chrono::milliseconds(200)); }
  // No LoggerInit ran, so the facade has no channel to hand out.
  if (TR::getTrace() != nullptr) {
    std::puts("unexpected channel");
    return 1;
  }
  std::puts("consumer ok");
  return 0;
}
