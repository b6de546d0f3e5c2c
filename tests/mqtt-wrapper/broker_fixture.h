// BrokerTest: a fixture that gives each test a fresh private broker (so retained messages and
// sessions never leak between tests), a RecordingTrace installed as the process's channel, and a
// helper that creates connected wrappers with unique client identifiers.
#ifndef TESTS_MQTT_WRAPPER_BROKER_FIXTURE_H_
#define TESTS_MQTT_WRAPPER_BROKER_FIXTURE_H_

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include <mqtt-wrapper/mqtt_client_wrapper.h>

#include "support/broker.h"
#include "support/recording_trace.h"

namespace mqw_test {

using tarnvik::mosquitto::MqttAsyncWrapper;
using tarnvik::mosquitto::MqttMessage;
using tarnvik::mosquitto::Qos;
using tarnvik::mosquitto::TimeoutError;

// Generous for ASan and qemu emulation.
inline constexpr std::chrono::milliseconds kCommandTimeout{15000};
inline constexpr int kReceiveSeconds = 15;

class BrokerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(broker.Start(&error)) << error;
  }

  std::string NextClientId() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->name()).substr(0, 40) + "-" + std::to_string(++clients);
  }

  std::unique_ptr<MqttAsyncWrapper> Connected(std::chrono::milliseconds timeout = kCommandTimeout) {
    auto wrapper = std::make_unique<MqttAsyncWrapper>(NextClientId(), timeout);
    wrapper->Connect(true, nullptr, nullptr);
    return wrapper;
  }

  RecordingTrace trace;
  ScopedTraceInstall install{&trace};
  Broker broker;
  int clients = 0;
};

inline std::vector<unsigned char> Bytes(const std::string& text) {
  return std::vector<unsigned char>(text.begin(), text.end());
}

}  // namespace mqw_test

#endif  // TESTS_MQTT_WRAPPER_BROKER_FIXTURE_H_
