// MqttAsyncWrapper: the inbound message queue (filled by onMsgArrive on Paho's thread) and the
// synchronous receive operations. Only queueMutex is used here.
#include <mqtt-wrapper/mqtt_client_wrapper.h>

#include <chrono>
#include <cstring>

#include <fmt/format.h>

#include <mqtt-wrapper/trhelper.h>

#include "mqtt-wrapper/client_status.h"
#include "mqtt-wrapper/command_guard.h"
#include "mqtt-wrapper/topic_match.h"

namespace tarnvik::mosquitto {

namespace {

// Waits on the queue until `select` finds a message and moves it out. `timeout` in seconds: 0
// waits without limit, below 0 looks only at what is queued. Returns false on time-out; the queue
// is tested once more at the deadline. On Paho's callback thread it never waits (see below).
template <class Select>
bool TakeFirst(client_status& status, int timeout, Select select, MqttMessage& out) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
  std::list<MqttMessage> taken;
  MutexLock lock(status.queueMutex);
  bool lastLook = false;  // the deadline has passed: this look at the queue is the last
  for (;;) {
    auto found = status.messages.begin();
    while (found != status.messages.end() && !select(*found)) ++found;
    if (found != status.messages.end()) {
      taken.splice(taken.end(), status.messages, found);
      break;
    }
    if (PahoCallbackScope::Active()) {
      // On Paho's callback thread nothing can arrive while this thread waits: only what is
      // queued can be taken, and waiting would stall every client of the process.
      throw std::runtime_error(
          "Cannot wait for MQTT messages in an MQTT callback: nothing can arrive meanwhile");
    }
    if (lastLook) return false;
    if (timeout == 0) {
      lock.Wait(status.queueCondition);
    } else {
      lastLook = !lock.WaitUntil(status.queueCondition, deadline);
    }
  }
  lock.Unlock();
  out = std::move(taken.front());
  return true;
}

}  // namespace

int MqttAsyncWrapper::onMsgArrive(void* context, char* topicName, int topicLen,
                                  MQTTAsync_message* message) {
  auto* record = static_cast<client_status*>(context);
  PahoCallbackScope scope;
  CallbackInFlight inFlight(record);
  if (message == nullptr || record->abandoned.load(std::memory_order_acquire)) {
    if (message != nullptr) MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topicName);
    return 1;
  }
  // The copy is made before queueMutex is taken, so receivers are never held up by a large
  // payload; only the list splice happens under the lock.
  std::list<MqttMessage> arrived;
  try {
    MqttMessage& entry = arrived.emplace_back();
    if (topicLen > 0) {
      entry.topic.assign(topicName, static_cast<size_t>(topicLen));
    } else if (topicName != nullptr) {
      entry.topic.assign(topicName);
    }
    if (message->payloadlen > 0 && message->payload != nullptr) {
      const auto* bytes = static_cast<const unsigned char*>(message->payload);
      entry.payload.assign(bytes, bytes + message->payloadlen);
    }
    entry.retained = message->retained != 0;
  } catch (const std::exception& e) {
    // Out of memory: leave the message with Paho (return 0), which delivers it again later,
    // rather than losing it.
    TR_LOG(TRL_ERROR, "MQTT message could not be queued: %s", e.what());
    return 0;
  }
  bool queued = false;
  {
    MutexLock lock(record->queueMutex);
    if (!(record->dropRetained && arrived.front().retained)) {
      record->messages.splice(record->messages.end(), arrived);
      queued = true;
    }
  }
  MQTTAsync_freeMessage(&message);
  MQTTAsync_free(topicName);
  if (queued) record->queueCondition.notify_all();
  return 1;
}

MqttMessage MqttAsyncWrapper::Receive(const std::string& topic, int timeout) {
  const bool any = topic == "/#";
  MqttMessage message;
  if (!TakeFirst(
          *status, timeout, [&](const MqttMessage& m) { return any || m.topic == topic; },
          message)) {
    throw std::runtime_error(fmt::format("Timeout on topic: {}", topic));
  }
  return message;
}

MqttMessage MqttAsyncWrapper::Receive(const std::regex& topicPattern, int timeout) {
  MqttMessage message;
  if (!TakeFirst(
          *status, timeout,
          [&](const MqttMessage& m) { return TopicMatches(m.topic, topicPattern); }, message)) {
    throw std::runtime_error("Timeout on regex");
  }
  return message;
}

void MqttAsyncWrapper::ClearRecievedQueue() {
  std::list<MqttMessage> removed;
  MutexLock lock(status->queueMutex);
  removed.swap(status->messages);
}

size_t MqttAsyncWrapper::getReceiveQueueSize() {
  MutexLock lock(status->queueMutex);
  return status->messages.size();
}

}  // namespace tarnvik::mosquitto
