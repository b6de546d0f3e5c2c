// The MQTT rules for topic names (publish), topic filters (subscribe, unsubscribe) and message
// sizes, checked before anything reaches Paho. A violation that reached the broker would make it
// close the connection, and a lost connection ends the process; a topic longer than 65535 bytes
// cannot even be encoded (its 16-bit length would wrap and corrupt the packet). Each check returns
// an empty string when the input is acceptable, otherwise the reason as a short phrase.
//
// Thread-safety: pure functions.
#ifndef LIBS_MQTT_WRAPPER_TOPIC_RULES_H_
#define LIBS_MQTT_WRAPPER_TOPIC_RULES_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnvik::mosquitto {

inline constexpr size_t kMaxTopicBytes = 65535;
// The largest remaining length an MQTT packet can declare.
inline constexpr size_t kMaxRemainingLength = 268435455;

// A topic name to publish to: 1..65535 bytes of UTF-8 without NUL or control characters, and no
// wildcard characters.
std::string TopicNameProblem(std::string_view topic);
// A topic filter: as a name, but '+' may stand for one whole level and '#' for the last level.
std::string TopicFilterProblem(std::string_view filter);
// A PUBLISH of `payloadSize` bytes to a topic of `topicSize` bytes must fit one MQTT packet.
std::string PublishSizeProblem(size_t topicSize, size_t payloadSize, int qos);

}  // namespace tarnvik::mosquitto

#endif  // LIBS_MQTT_WRAPPER_TOPIC_RULES_H_
