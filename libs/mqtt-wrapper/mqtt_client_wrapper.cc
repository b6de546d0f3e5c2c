// MqttAsyncWrapper: construction, Connect, the completion handlers shared by every command, and
// destruction. Publishing, subscriptions and the inbound queue live in the sibling
// mqtt_client_wrapper_*.cc files.
//
// Lock order: see client_status.h. A command may take queueMutex briefly under commandMutex
// (Subscribe sets the retained-message rule), never across a wait. Completion handlers notify
// statusCondition while still holding statusMutex, so a woken waiter (which may go on to destroy
// the wrapper) can never observe the new state before the handler has finished with the record.
#include <mqtt-wrapper/mqtt_client_wrapper.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <unistd.h>

#include <fmt/format.h>

#include <mqtt-wrapper/trhelper.h>

#include "mqtt-wrapper/client_status.h"
#include "mqtt-wrapper/command_guard.h"
#include "mqtt-wrapper/connection_loss.h"

namespace tarnvik::mosquitto {

TimeoutError::~TimeoutError() = default;

const std::string& MqttAsyncWrapper::GetLocalAddress() {
  static const std::string address = "127.0.0.1:1883";
  return address;
}

MqttAsyncWrapper::MqttAsyncWrapper(const std::string& clientId_)
    : MqttAsyncWrapper(clientId_, std::chrono::milliseconds(5000)) {}

MqttAsyncWrapper::MqttAsyncWrapper(const std::string& clientId_, std::chrono::milliseconds timeout)
    : commandTimeout(timeout < std::chrono::milliseconds(1) ? std::chrono::milliseconds(1)
                                                            : timeout),
      client(nullptr),
      status(nullptr),
      clientId(clientId_) {
  auto cell = std::make_unique<MQTTAsync>(nullptr);
  auto record = std::make_unique<client_status>();

  int rc = MQTTAsync_create(cell.get(), GetLocalAddress().c_str(), clientId.c_str(),
                            MQTTCLIENT_PERSISTENCE_NONE, nullptr);
  if (rc != MQTTASYNC_SUCCESS) {
    if (*cell != nullptr) MQTTAsync_destroy(cell.get());
    throw std::runtime_error(fmt::format("MQTT create failed. Code: {}", rc));
  }
  record->context = cell.get();
  rc = MQTTAsync_setCallbacks(*cell, record.get(), &MqttAsyncWrapper::onConnectionLost,
                              &MqttAsyncWrapper::onMsgArrive, &MqttAsyncWrapper::onDelivery);
  if (rc != MQTTASYNC_SUCCESS) {
    MQTTAsync_destroy(cell.get());
    throw std::runtime_error(fmt::format("MQTT setCallbacks failed. Code: {}", rc));
  }
  client = cell.release();
  status = record.release();
  TR_LOG(TRL_INFO, "MQTT Context created %p", static_cast<void*>(client));
}

MqttAsyncWrapper::~MqttAsyncWrapper() {
  TR::pushBacktraceStamp(0);
  if (ConnectionLoss::ExitInProgress()) {
    // The process is already ending from Paho's thread; disconnecting or destroying the client
    // now could only wait on that thread. The memory goes with the process.
    return;
  }
  if (PahoCallbackScope::Active()) {
    // Destroyed from one of its own callbacks: Paho is still inside this client and the record
    // is still in use further up this very stack. End the session without waiting and leave the
    // client and its record allocated rather than freeing memory that is in use.
    status->abandoned.store(true, std::memory_order_release);
    TR_LOG(TRL_WARNING, "MQTT Disconnect error: %s",
           "wrapper destroyed on its own callback thread; client left allocated");
    MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
    MQTTAsync_disconnect(*client, &options);
    return;
  }
  try {
    disconnect();
  } catch (const std::exception& e) {
    TR_LOG(TRL_WARNING, "MQTT Disconnect error: %s", e.what());
  } catch (...) {
    TR_LOG(TRL_WARNING, "MQTT Disconnect error");
  }
  TR_LOG(TRL_INFO, "MQTT Destruct context %p", static_cast<void*>(client));
  MQTTAsync_destroy(client);
  // Paho runs callbacks without its lock; one that started before the destroy may still run.
  while (status->callbacksInFlight.load(std::memory_order_acquire) != 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  delete client;
  delete status;
}

void MqttAsyncWrapper::disconnect() {
  CommandGuard guard(*status, "disconnect", commandTimeout, client, nullptr, nullptr);
  MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
  options.onSuccess = &MqttAsyncWrapper::onSuccess;
  options.onFailure = &MqttAsyncWrapper::onFailure;
  options.context = status;
  guard.Complete(MQTTAsync_disconnect(*client, &options));
}

void MqttAsyncWrapper::Connect(bool cleanSession, MQTTAsync_onSuccess* successCallback,
                               MQTTAsync_onFailure* failureCallback) {
  CommandGuard guard(*status, "connect", commandTimeout, client, successCallback, failureCallback);
  // Paho accepts a connect on a connected client but never completes it, which would leave this
  // and every later command pending for good.
  if (MQTTAsync_isConnected(*client)) {
    guard.Refuse("MQTT connect failed to start: already connected");
  }
  MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
  options.keepAliveInterval = 240;
  options.cleansession = cleanSession ? 1 : 0;
  options.onSuccess = &MqttAsyncWrapper::onSuccess;
  options.onFailure = &MqttAsyncWrapper::onFailure;
  options.context = status;
  guard.Complete(MQTTAsync_connect(*client, &options));
}

namespace {

// Runs the caller's completion callback on Paho's thread; nothing it throws reaches Paho. The
// log texts stay literal format strings, so each names its own case.
template <class Callback, class Response>
void callCallerCallback(bool success, Callback* callback, void* callbackContext,
                        Response* response) {
  if (callback == nullptr) return;
  try {
    callback(callbackContext, response);
  } catch (const std::exception& e) {
    if (success) {
      TR_LOG(TRL_ERROR, "MQTT success callback threw exception: %s", e.what());
    } else {
      TR_LOG(TRL_ERROR, "MQTT failure callback threw exception: %s", e.what());
    }
  } catch (...) {
    if (success) {
      TR_LOG(TRL_ERROR, "MQTT success callback threw unknown exception");
    } else {
      TR_LOG(TRL_ERROR, "MQTT failure callback threw unknown exception");
    }
  }
}

// The command in flight succeeded: the waiting caller is released and the caller's callback run.
void finishCommandSuccess(client_status* record, MQTTAsync_successData* response) {
  bool timedOut = false;
  MQTTAsync_onSuccess* callback = nullptr;
  void* callbackContext = nullptr;
  {
    MutexLock lock(record->statusMutex);
    record->errorText.clear();
    timedOut = record->timedOut;
    callback = record->onSuccess;
    callbackContext = record->context;
    record->state = Succeeded;
    record->statusCondition.notify_all();
  }
  if (timedOut) TR_LOG(TRL_WARNING, "MQTT command completed successfully after wrapper timeout");
  callCallerCallback(true, callback, callbackContext, response);
}

// The command in flight failed with `text`: the waiting caller gets it as its exception text.
void finishCommandFailure(client_status* record, const std::string& text,
                          MQTTAsync_failureData* response) {
  bool timedOut = false;
  MQTTAsync_onFailure* callback = nullptr;
  void* callbackContext = nullptr;
  {
    MutexLock lock(record->statusMutex);
    callback = record->onFailure;
    callbackContext = record->context;
    timedOut = record->timedOut;
    record->errorText = text;
    record->state = Failed;
    record->statusCondition.notify_all();
  }
  if (timedOut) TR_LOG(TRL_WARNING, "MQTT command failed after wrapper timeout: %s", text.c_str());
  callCallerCallback(false, callback, callbackContext, response);
}

}  // namespace

void MqttAsyncWrapper::onSuccess(void* context, MQTTAsync_successData* response) {
  auto* record = static_cast<client_status*>(context);
  PahoCallbackScope scope;
  CallbackInFlight inFlight(record);
  finishCommandSuccess(record, response);
}

void MqttAsyncWrapper::onFailure(void* context, MQTTAsync_failureData* response) {
  auto* record = static_cast<client_status*>(context);
  PahoCallbackScope scope;
  CallbackInFlight inFlight(record);
  TR::pushBacktraceStamp(0);
  TR_LOG(TRL_ERROR, "MQTT Failure callback");
  const int code = response != nullptr ? response->code : -1;
  const char* description =
      response != nullptr && response->message != nullptr ? response->message : "";
  finishCommandFailure(record, fmt::format("MQTT Code: {} Description: {}", code, description),
                       response);
}

void MqttAsyncWrapper::onConnectionLost(void* context, char* cause) {
  auto* record = static_cast<client_status*>(context);
  PahoCallbackScope scope;
  if (record->abandoned.load(std::memory_order_acquire)) return;
  if (!ConnectionLoss::BeginExit()) {
    // Another wrapper's loss is already ending the process; exit() must not run twice.
    for (;;) pause();
  }
  TR::pushBacktraceStamp(0);
  TR_LOG(TRL_ERROR, "MQTT Connection lost");
  {
    MutexLock lock(record->statusMutex);
    if (record->state == Pending) {
      record->errorText =
          cause != nullptr && cause[0] != '\0' ? std::string(cause) : "MQTT connection lost";
      record->state = Failed;
    }
    record->statusCondition.notify_all();
  }
  // Everything logged so far (the stamp included) reaches its destination before the process
  // ends.
  TR_Exceptional_Flush();
  exit(1);
}

void MqttAsyncWrapper::onDelivery(void*, MQTTAsync_token) {}

}  // namespace tarnvik::mosquitto
