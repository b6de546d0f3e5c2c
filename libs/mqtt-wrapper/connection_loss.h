// ConnectionLoss: the process-wide note that a lost broker connection is ending the process.
// Once set, wrapper destructors that run during exit (objects with static storage duration) skip
// the disconnect and the Paho client destruction, which could only wait on the exiting thread.
//
// Thread-safety: lock-free; any thread.
#ifndef LIBS_MQTT_WRAPPER_CONNECTION_LOSS_H_
#define LIBS_MQTT_WRAPPER_CONNECTION_LOSS_H_

namespace tarnvik::mosquitto {

class ConnectionLoss {
 public:
  // True for the first caller only; later callers must not end the process themselves.
  static bool BeginExit();
  static bool ExitInProgress();
};

}  // namespace tarnvik::mosquitto

#endif  // LIBS_MQTT_WRAPPER_CONNECTION_LOSS_H_
