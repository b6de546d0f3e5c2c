// MqttAsyncWrapper: publishing (command "send").
#include <mqtt-wrapper/mqtt_client_wrapper.h>

#include <fmt/format.h>

#include "mqtt-wrapper/client_status.h"
#include "mqtt-wrapper/command_guard.h"
#include "mqtt-wrapper/topic_rules.h"

namespace tarnvik::mosquitto {

void MqttAsyncWrapper::Send(const std::string& topic, const std::vector<unsigned char>& payload,
                            Qos qos, bool retained) {
  sendBytes(topic, payload.data(), payload.size(), qos, retained);
}

void MqttAsyncWrapper::Send(const std::string& topic, const std::string& payload, Qos qos,
                            bool retained) {
  // The string's bytes go out as they are (its length decides, not a NUL); no copy is needed
  // because Paho copies the payload before MQTTAsync_send returns.
  sendBytes(topic, reinterpret_cast<const unsigned char*>(payload.data()), payload.size(), qos,
            retained);
}

void MqttAsyncWrapper::sendBytes(const std::string& topic, const unsigned char* data, size_t size,
                                 Qos qos, bool retained) {
  std::string problem = TopicNameProblem(topic);
  if (problem.empty()) problem = PublishSizeProblem(topic.size(), size, qos);
  if (!problem.empty()) throw std::runtime_error(fmt::format("MQTT send rejected: {}", problem));

  // Paho always gets a valid payload address, also for a zero-length message.
  static const unsigned char empty_payload_byte = 0;
  CommandGuard guard(*status, "send", commandTimeout, client, nullptr, nullptr);
  MQTTAsync_responseOptions options = CommandGuard::ResponseOptions(status);
  guard.Complete(MQTTAsync_send(*client, topic.c_str(), static_cast<int>(size),
                                size == 0 ? &empty_payload_byte : data, static_cast<int>(qos),
                                retained ? 1 : 0, &options));
}

}  // namespace tarnvik::mosquitto
