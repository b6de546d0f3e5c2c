// Symbol visibility for libmqtt-wrapper.
//
// The library is built with hidden visibility; only declarations marked MQW_EXPORT form its ABI.
// Macros only: no state, nothing to synchronise.
#ifndef MQTT_WRAPPER_EXPORT_H_
#define MQTT_WRAPPER_EXPORT_H_

#define MQW_EXPORT __attribute__((visibility("default")))

#endif  // MQTT_WRAPPER_EXPORT_H_
