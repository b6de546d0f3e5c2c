// MqttAsyncWrapper: subscriptions (commands "subscribe" and "unsubscribe").
#include <mqtt-wrapper/mqtt_client_wrapper.h>

#include <fmt/format.h>

#include <mqtt-wrapper/trhelper.h>

#include "mqtt-wrapper/client_status.h"
#include "mqtt-wrapper/command_guard.h"
#include "mqtt-wrapper/topic_rules.h"

namespace tarnvik::mosquitto {

namespace {

void CheckFilter(const char* operation, const std::string& topic) {
  const std::string problem = TopicFilterProblem(topic);
  if (!problem.empty()) {
    throw std::runtime_error(fmt::format("MQTT {} rejected: {}", operation, problem));
  }
}

}  // namespace

void MqttAsyncWrapper::Subscribe(const std::string& topic, Qos qos, bool dropRetained,
                                 MQTTAsync_onSuccess* successCallback,
                                 MQTTAsync_onFailure* failureCallback) {
  CheckFilter("subscribe", topic);
  TR_LOG(TRL_INFO, "Subscribe %s", topic.c_str());
  CommandGuard guard(*status, "subscribe", commandTimeout, client, successCallback,
                     failureCallback);
  {
    // Set once the command has started and before the broker can deliver anything for it; it
    // stays in force even when the subscription then fails.
    MutexLock lock(status->queueMutex);
    status->dropRetained = dropRetained;
  }
  MQTTAsync_responseOptions options = CommandGuard::ResponseOptions(status);
  guard.Complete(MQTTAsync_subscribe(*client, topic.c_str(), static_cast<int>(qos), &options));
}

void MqttAsyncWrapper::Subscribe(const std::vector<std::string>& topics, Qos qos, bool dropRetained,
                                 MQTTAsync_onSuccess* successCallback,
                                 MQTTAsync_onFailure* failureCallback) {
  for (const std::string& topic : topics) {
    Subscribe(topic, qos, dropRetained, successCallback, failureCallback);
  }
}

void MqttAsyncWrapper::Unsubscribe(const std::string& topic) {
  CheckFilter("unsubscribe", topic);
  TR_LOG(TRL_INFO, "Unsubscribe %s", topic.c_str());
  {
    // The purge compares topics byte for byte; "/#" stands for every queued message. It stands
    // even when the command below fails. Removed messages are destroyed outside the lock.
    std::list<MqttMessage> removed;
    MutexLock lock(status->queueMutex);
    if (topic == "/#") {
      removed.swap(status->messages);
    } else {
      for (auto it = status->messages.begin(); it != status->messages.end();) {
        auto next = std::next(it);
        if (it->topic == topic) removed.splice(removed.end(), status->messages, it);
        it = next;
      }
    }
  }
  CommandGuard guard(*status, "unsubscribe", commandTimeout, client, nullptr, nullptr);
  MQTTAsync_responseOptions options = CommandGuard::ResponseOptions(status);
  guard.Complete(MQTTAsync_unsubscribe(*client, topic.c_str(), &options));
}

void MqttAsyncWrapper::Unsubscribe(const std::vector<std::string>& topics) {
  for (const std::string& topic : topics) Unsubscribe(topic);
}

}  // namespace tarnvik::mosquitto
