// client_status: the status record and inbound queue of one MqttAsyncWrapper. Paho receives its
// address as the context of every callback, so it lives on the heap at a fixed address for the
// wrapper's lifetime.
//
// Thread-safety: each field names the lock that guards it. Lock order: commandMutex before
// statusMutex; queueMutex is never held together with statusMutex (nor with commandMutex held
// across a wait), so the receive path never waits for a command and vice versa.
#ifndef LIBS_MQTT_WRAPPER_CLIENT_STATUS_H_
#define LIBS_MQTT_WRAPPER_CLIENT_STATUS_H_

#include <atomic>
#include <condition_variable>
#include <list>
#include <mutex>
#include <string>

#include <MQTTAsync.h>

#include <mqtt-wrapper/mqtt_client_wrapper.h>

namespace tarnvik::mosquitto {

// Command state; Pending survives a time-out so that a late completion finds a consistent record.
enum CommandState : int {
  Idle = 0,
  Pending = 1,
  Succeeded = 2,
  Failed = 3,
};

struct client_status {
  // Held by a command from its start until it returns; serialises commands.
  std::mutex commandMutex;

  std::mutex statusMutex;
  std::condition_variable statusCondition;  // notify-all when a command completes
  int state = Idle;                         // guarded by statusMutex
  // guarded by statusMutex: a waiter gave up while the command was Pending
  bool timedOut = false;
  std::string errorText;  // guarded by statusMutex: failure text of the current command
  MQTTAsync_onSuccess* onSuccess = nullptr;  // guarded by statusMutex: caller callback
  MQTTAsync_onFailure* onFailure = nullptr;  // guarded by statusMutex: caller callback
  void* context = nullptr;  // guarded by statusMutex: the wrapper's client cell (MQTTAsync*)

  std::mutex queueMutex;
  std::condition_variable queueCondition;  // notify-all on every queued arrival
  std::list<MqttMessage> messages;         // guarded by queueMutex: oldest first; size() is O(1)
  bool dropRetained = false;               // guarded by queueMutex

  // Number of the wrapper's Paho callbacks (including the caller callbacks they run) executing
  // now. Paho runs callbacks with its own lock released, so one may still be executing when
  // MQTTAsync_destroy returns; the destructor waits for this count to drop to 0 before the record
  // is released.
  std::atomic<int> callbacksInFlight{0};

  // Set when the wrapper was destroyed from one of its own callbacks and this record was left
  // allocated: the abandoned client's messages are dropped and its connection loss no longer
  // ends the process.
  std::atomic<bool> abandoned{false};
};

// Counts one callback in flight for its scope; the decrement is the callback's last access to
// the record.
class CallbackInFlight {
 public:
  explicit CallbackInFlight(client_status* status) : status(status) {
    status->callbacksInFlight.fetch_add(1, std::memory_order_acq_rel);
  }
  ~CallbackInFlight() { status->callbacksInFlight.fetch_sub(1, std::memory_order_acq_rel); }
  CallbackInFlight(const CallbackInFlight&) = delete;
  CallbackInFlight& operator=(const CallbackInFlight&) = delete;

 private:
  client_status* status;
};

}  // namespace tarnvik::mosquitto

#endif  // LIBS_MQTT_WRAPPER_CLIENT_STATUS_H_
