// client_status: the status record and inbound queue of one MqttAsyncWrapper. Paho receives its
// address as the context of every callback, so it lives on the heap at a fixed address for the
// wrapper's lifetime.
//
// Thread-safety: each field is annotated with the lock that guards it, and clang's
// -Wthread-safety checks every access. Lock order of the wrapper (declared below where clang can
// check it): commandMutex before statusMutex; queueMutex is never held together with statusMutex
// (nor with commandMutex held across a wait), so the receive path never waits for a command and
// vice versa. No trace call and no caller callback runs under statusMutex or queueMutex.
#ifndef LIBS_MQTT_WRAPPER_CLIENT_STATUS_H_
#define LIBS_MQTT_WRAPPER_CLIENT_STATUS_H_

#include <atomic>
#include <condition_variable>
#include <list>
#include <string>

#include <MQTTAsync.h>

#include <mqtt-wrapper/mqtt_client_wrapper.h>

#include "mqtt-wrapper/mutex.h"
#include "trace/base/thread_annotations.h"

namespace tarnvik::mosquitto {

// Command state; Pending survives a time-out so that a late completion finds a consistent record.
enum CommandState : int {
  Idle = 0,
  Pending = 1,
  Succeeded = 2,
  Failed = 3,
};

struct client_status {
  // Held by a command from its start until it returns (CommandGuard); serialises commands.
  Mutex commandMutex;

  Mutex statusMutex TR_ACQUIRED_AFTER(commandMutex);
  std::condition_variable statusCondition;  // notify-all when a command completes
  int state TR_GUARDED_BY(statusMutex) = Idle;
  // A waiter gave up while the command was Pending.
  bool timedOut TR_GUARDED_BY(statusMutex) = false;
  std::string errorText TR_GUARDED_BY(statusMutex);  // failure text of the current command
  MQTTAsync_onSuccess* onSuccess TR_GUARDED_BY(statusMutex) = nullptr;  // caller callback
  MQTTAsync_onFailure* onFailure TR_GUARDED_BY(statusMutex) = nullptr;  // caller callback
  // The wrapper's client cell (MQTTAsync*), handed to the caller callbacks.
  void* context TR_GUARDED_BY(statusMutex) = nullptr;

  Mutex queueMutex;
  std::condition_variable queueCondition;                     // notify-all on every queued arrival
  std::list<MqttMessage> messages TR_GUARDED_BY(queueMutex);  // oldest first; size() is O(1)
  bool dropRetained TR_GUARDED_BY(queueMutex) = false;

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
