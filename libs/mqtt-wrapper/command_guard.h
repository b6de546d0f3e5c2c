// CommandGuard: carries out the synchronous command protocol for one MQTT command, on the
// caller's stack. The constructor claims the wrapper's command slot (holding commandMutex until the
// guard is destroyed) and marks the command Pending; the caller then issues the Paho call with the
// wrapper's response handlers and hands its result to Complete(), which waits for the completion
// and reports it: normal return on success, std::runtime_error with the failure text, or
// TimeoutError when the time-out expires first (the command then stays Pending until Paho
// completes it, and every later command is refused until then).
//
// Thread-safety: one guard per command and thread; guards of one wrapper exclude each other
// through commandMutex, which the guard holds as a scoped capability (clang checks that it is
// taken before statusMutex). Never used on Paho's callback thread (refused in the constructor,
// before commandMutex is taken).
#ifndef LIBS_MQTT_WRAPPER_COMMAND_GUARD_H_
#define LIBS_MQTT_WRAPPER_COMMAND_GUARD_H_

#include <chrono>
#include <string>

#include <MQTTAsync.h>

#include "mqtt-wrapper/client_status.h"
#include "mqtt-wrapper/mutex.h"
#include "trace/base/thread_annotations.h"

namespace tarnvik::mosquitto {

class TR_SCOPED_CAPABILITY CommandGuard {
 public:
  // Throws TimeoutError when the previous command is still pending after its time-out, and
  // std::runtime_error when called on Paho's callback thread; nothing changes in either case.
  CommandGuard(client_status& status, std::string operation, std::chrono::milliseconds timeout,
               void* context, MQTTAsync_onSuccess* successCallback,
               MQTTAsync_onFailure* failureCallback) TR_ACQUIRE(status.commandMutex);
  ~CommandGuard() TR_RELEASE() {}

  CommandGuard(const CommandGuard&) = delete;
  CommandGuard& operator=(const CommandGuard&) = delete;

  // `rc` is the result of the Paho call that issued the command. Returns when the command
  // succeeded; throws otherwise (see above). Call exactly once.
  void Complete(int rc);

  // Ends the command without issuing it: it fails with `text` (std::runtime_error), exactly as
  // when Paho refuses to start it.
  [[noreturn]] void Refuse(const std::string& text);

  // Response options that route the completion of this command to the wrapper's handlers.
  static MQTTAsync_responseOptions ResponseOptions(client_status* status);

 private:
  // Returns `operation` unless the calling thread is running one of the wrapper's Paho callbacks;
  // called before commandMutex is taken.
  static std::string NotInCallback(std::string operation);
  // Start of the protocol under statusMutex; throws TimeoutError while the previous command is
  // still pending.
  void start(void* context, MQTTAsync_onSuccess* successCallback,
             MQTTAsync_onFailure* failureCallback);
  [[noreturn]] void failStart(int rc);
  void waitAndFinish();

  client_status& status;
  std::string operation;  // initialised first: refuses a call from a Paho callback
  std::chrono::milliseconds timeout;
  MutexLock commandLock;  // holds status.commandMutex for the guard's lifetime
};

// Marks the current thread as running one of the wrapper's Paho callbacks while in scope, so that
// a command issued from a caller callback is refused instead of waiting for a completion that
// only this very thread could deliver.
class PahoCallbackScope {
 public:
  PahoCallbackScope();
  ~PahoCallbackScope();
  PahoCallbackScope(const PahoCallbackScope&) = delete;
  PahoCallbackScope& operator=(const PahoCallbackScope&) = delete;

  static bool Active();

 private:
  bool previous;
};

}  // namespace tarnvik::mosquitto

#endif  // LIBS_MQTT_WRAPPER_COMMAND_GUARD_H_
