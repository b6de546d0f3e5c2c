// MqttAsyncWrapper: a synchronous, serialised MQTT client for one process, built on the
// asynchronous Paho C client and talking to the broker at "127.0.0.1:1883".
//
// Every command (Connect, Send, Subscribe, Unsubscribe, and the disconnect of the destructor) is
// issued on the caller's thread, and the caller blocks until the broker confirms it (return), it
// fails (std::runtime_error with the failure text) or the wrapper's time-out expires
// (TimeoutError: the outcome is unknown). One command is in flight at a time; a command that timed
// out makes every later command fail at once with TimeoutError until its late completion arrives.
// Messages delivered for the subscriptions are queued inside the wrapper and taken with Receive.
// A lost broker connection ends the process with exit status 1.
//
// Thread-safety: every member function except the destructor may be called from any number of
// threads at once; commands are serialised internally, Receive never waits for a command. Caller
// callbacks run on Paho's callback thread: a command issued there is refused at once (it could
// never complete), and a Receive there takes only what is already queued.
#ifndef MQTT_WRAPPER_MQTT_CLIENT_WRAPPER_H_
#define MQTT_WRAPPER_MQTT_CLIENT_WRAPPER_H_

#include <chrono>
#include <cstddef>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <MQTTAsync.h>

#include <mqtt-wrapper/export.h>

namespace tarnvik::mosquitto {

// MQTT quality of service, passed to Paho unchanged.
enum Qos : int {
  AtMostOnce = 0,
  AtLeastOnce = 1,
  ExactlyOnce = 2,
};

// A command could not start because an earlier one is still pending, or it was not completed
// within the command time-out; in the second case the broker may or may not have acted on it.
class MQW_EXPORT TimeoutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  ~TimeoutError() override;
};

// One received message.
struct MqttMessage {
  std::string topic;
  std::vector<unsigned char> payload;  // empty when the message had none
  bool retained = false;
};

// The wrapper's status and inbound queue; Paho gets its address as callback context.
struct client_status;

// Exported member by member, not as a whole class: the private members stay out of the
// library's interface, so they may change without breaking programs built against it.
class MqttAsyncWrapper {
 public:
  // Creates the Paho client (not connected). `timeout` bounds every command; values below 1 ms
  // are raised to 1 ms. Throws std::runtime_error when the client cannot be created.
  MQW_EXPORT MqttAsyncWrapper(const std::string& clientId, std::chrono::milliseconds timeout);
  MQW_EXPORT explicit MqttAsyncWrapper(const std::string& clientId);  // time-out 5000 ms
  // Disconnects (best effort, never throws) and destroys the Paho client, after waiting for
  // callbacks still running. No other call on this wrapper may run concurrently with or after
  // the destructor. Destroyed from its own callback, the wrapper only ends the session and leaves
  // its Paho client allocated.
  MQW_EXPORT ~MqttAsyncWrapper();

  MqttAsyncWrapper(const MqttAsyncWrapper&) = delete;
  MqttAsyncWrapper& operator=(const MqttAsyncWrapper&) = delete;

  // Connects to the broker; the callbacks (may be null) receive the address of the client handle
  // cell as context and run on Paho's thread after the waiting caller has been woken. Refused
  // with std::runtime_error while already connected.
  MQW_EXPORT void Connect(bool cleanSession, MQTTAsync_onSuccess* successCallback,
                          MQTTAsync_onFailure* failureCallback);

  // Publishes one message and returns when Paho reports it complete. The topic must be a valid
  // MQTT topic name (1 to 65535 bytes, no NUL, no wildcard); otherwise std::runtime_error is
  // thrown before anything is sent.
  MQW_EXPORT void Send(const std::string& topic, const std::vector<unsigned char>& payload, Qos qos,
                       bool retained);
  MQW_EXPORT void Send(const std::string& topic, const std::string& payload, Qos qos,
                       bool retained);

  // Subscribes one topic filter (or each of a list, in order, stopping at the first failure).
  // `dropRetained` sets the wrapper-wide switch that discards arriving retained messages. An
  // invalid filter (empty, over 65535 bytes, NUL or control characters, misplaced '+' or '#') is
  // refused with std::runtime_error before anything changes; so is one given to Unsubscribe.
  MQW_EXPORT void Subscribe(const std::string& topic, Qos qos, bool dropRetained,
                            MQTTAsync_onSuccess* successCallback,
                            MQTTAsync_onFailure* failureCallback);
  MQW_EXPORT void Subscribe(const std::vector<std::string>& topics, Qos qos, bool dropRetained,
                            MQTTAsync_onSuccess* successCallback,
                            MQTTAsync_onFailure* failureCallback);
  // Removes queued messages of exactly this topic ("/#": all of them), then unsubscribes.
  MQW_EXPORT void Unsubscribe(const std::string& topic);
  MQW_EXPORT void Unsubscribe(const std::vector<std::string>& topics);

  // Takes the oldest queued message of `topic` ("/#": of any topic), waiting up to `timeout`
  // seconds (0: without limit; below 0: only what is already queued). Throws std::runtime_error
  // "Timeout on topic: <topic>" when none arrives in time.
  MQW_EXPORT MqttMessage Receive(const std::string& topic, int timeout);
  // Same for the oldest message whose whole topic matches `topicPattern` ("Timeout on regex").
  MQW_EXPORT MqttMessage Receive(const std::regex& topicPattern, int timeout);
  MQW_EXPORT void ClearRecievedQueue();
  MQW_EXPORT size_t getReceiveQueueSize();

  // Paho response callbacks of every command; `context` is the client_status.
  MQW_EXPORT static void onSuccess(void* context, MQTTAsync_successData* response);
  MQW_EXPORT static void onFailure(void* context, MQTTAsync_failureData* response);
  // Paho client callbacks; `context` is the client_status.
  MQW_EXPORT static void onConnectionLost(void* context, char* cause);
  MQW_EXPORT static int onMsgArrive(void* context, char* topicName, int topicLen,
                                    MQTTAsync_message* message);
  MQW_EXPORT static void onDelivery(void* context, MQTTAsync_token token);

  MQW_EXPORT static const std::string& GetLocalAddress();

 private:
  void sendBytes(const std::string& topic, const unsigned char* data, size_t size, Qos qos,
                 bool retained);
  void disconnect();

  std::chrono::milliseconds commandTimeout;
  MQTTAsync* client;      // heap cell with the Paho handle; context of the caller callbacks
  client_status* status;  // owned; shared with Paho's callbacks for the wrapper's lifetime
  std::string clientId;
};

}  // namespace tarnvik::mosquitto

#endif  // MQTT_WRAPPER_MQTT_CLIENT_WRAPPER_H_
