#include "mqtt-wrapper/command_guard.h"

#include <fmt/format.h>

#include <mqtt-wrapper/trhelper.h>

namespace tarnvik::mosquitto {

namespace {

thread_local bool t_inPahoCallback = false;

// now + timeout on the monotonic clock, saturated so that a huge time-out cannot overflow into
// the past. The monotonic clock keeps the bound honest when the wall clock is stepped (a gateway
// without a real-time clock jumps by years at its first time synchronisation).
std::chrono::steady_clock::time_point DeadlineAfter(std::chrono::milliseconds timeout) {
  const auto now = std::chrono::steady_clock::now();
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::time_point::max() - now);
  if (timeout >= room) return std::chrono::steady_clock::time_point::max();
  return now + timeout;
}

}  // namespace

PahoCallbackScope::PahoCallbackScope() : previous(t_inPahoCallback) { t_inPahoCallback = true; }

PahoCallbackScope::~PahoCallbackScope() { t_inPahoCallback = previous; }

bool PahoCallbackScope::Active() { return t_inPahoCallback; }

CommandGuard::CommandGuard(client_status& status_, std::string operation_,
                           std::chrono::milliseconds timeout_, void* context,
                           MQTTAsync_onSuccess* successCallback,
                           MQTTAsync_onFailure* failureCallback)
    : status(status_),
      operation(NotInCallback(std::move(operation_))),
      timeout(timeout_ < std::chrono::milliseconds(1) ? std::chrono::milliseconds(1) : timeout_),
      commandLock(status_.commandMutex) {
  // An exception from start() releases commandMutex through commandLock's destructor.
  start(context, successCallback, failureCallback);
}

std::string CommandGuard::NotInCallback(std::string operation) {
  if (PahoCallbackScope::Active()) {
    throw std::runtime_error(fmt::format(
        "Cannot start MQTT {} from an MQTT callback: its completion could never be delivered",
        operation));
  }
  return operation;
}

void CommandGuard::start(void* context, MQTTAsync_onSuccess* successCallback,
                         MQTTAsync_onFailure* failureCallback) {
  bool late = false;
  {
    MutexLock statusLock(status.statusMutex);
    if (status.state == Pending) {
      throw TimeoutError(fmt::format(
          "Cannot start MQTT {}: previous MQTT command is still pending after timeout", operation));
    }
    late = status.timedOut;
    status.timedOut = false;
    status.state = Pending;
    status.errorText.clear();
    status.onSuccess = successCallback;
    status.onFailure = failureCallback;
    status.context = context;
  }
  // Logged outside statusMutex so that a slow trace sink never delays Paho's completion thread.
  if (late) {
    TR_LOG(TRL_WARNING,
           "Late MQTT completion observed after timeout; continuing with next command: "
           "operation=%s",
           operation.c_str());
  }
}

MQTTAsync_responseOptions CommandGuard::ResponseOptions(client_status* status) {
  MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
  options.onSuccess = &MqttAsyncWrapper::onSuccess;
  options.onFailure = &MqttAsyncWrapper::onFailure;
  options.context = status;
  return options;
}

void CommandGuard::Complete(int rc) {
  if (rc != MQTTASYNC_SUCCESS) failStart(rc);
  waitAndFinish();
}

void CommandGuard::failStart(int rc) {
  Refuse(fmt::format("MQTT {} failed to start. Code: {}", operation, rc));
}

void CommandGuard::Refuse(const std::string& text) {
  {
    MutexLock statusLock(status.statusMutex);
    status.state = Failed;
    status.errorText = text;
  }
  throw std::runtime_error(text);
}

void CommandGuard::waitAndFinish() {
  const auto deadline = DeadlineAfter(timeout);
  MutexLock statusLock(status.statusMutex);
  // The state is tested before the first wait, so a completion that arrived while the Paho call
  // was still returning is seen at once.
  while (status.state == Pending) {
    if (!statusLock.WaitUntil(status.statusCondition, deadline) && status.state == Pending) {
      // Stays Pending: the late completion must still find a consistent record, and the next
      // command is refused until it arrives.
      status.timedOut = true;
      throw TimeoutError(
          fmt::format("MQTT {} timed out after {} ms; final command status is unknown", operation,
                      timeout.count()));
    }
  }
  std::string failure;
  if (status.state == Failed) {
    failure = status.errorText;
    // A failure is never reported as success, even when its cause came without a text.
    if (failure.empty()) failure = fmt::format("MQTT {} failed", operation);
  }
  status.timedOut = false;
  status.state = Idle;
  status.errorText.clear();
  status.onSuccess = nullptr;
  status.onFailure = nullptr;
  statusLock.Unlock();
  if (!failure.empty()) throw std::runtime_error(failure);
}

}  // namespace tarnvik::mosquitto
