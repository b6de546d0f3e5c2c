// A trace channel on a RecordingClient, released at the end of each test.
#ifndef TESTS_TRACE_CHANNEL_CHANNEL_FIXTURE_H_
#define TESTS_TRACE_CHANNEL_CHANNEL_FIXTURE_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/recording_client.h"
#include "trace/base/proc.h"
#include "trace/channel/stream_reader.h"
#include "trace/channel/trace.h"

class ChannelTest : public ::testing::Test {
 protected:
  void Open(std::vector<std::string> args = {}, const char* name = "test channel",
            const stTrace_Conf* conf = nullptr) {
    client_ = new RecordingClient(std::move(args));
    channel_ = CTRTrace::Create(client_, name, conf);
    ASSERT_NE(channel_, nullptr);
  }
  void SetUp() override { Open(); }
  void TearDown() override {
    if (channel_) channel_->Release();
    if (client_) {
      EXPECT_EQ(client_->Size_Mismatches(), 0u);
      client_->Release();
    }
  }
  void Reopen(std::vector<std::string> args, const char* name = "test channel",
              const stTrace_Conf* conf = nullptr) {
    TearDown();
    channel_ = nullptr;
    client_ = nullptr;
    Open(std::move(args), name, conf);
  }

  std::vector<Record> Last() {
    auto packets = client_->Packets();
    if (packets.empty()) return {};
    return Parse_Records(packets.back());
  }
  // The last accepted packet that holds a data record, minus any context before it.
  Record Last_Data() {
    for (const Record& record : Last()) {
      if (record.subtype == eTRTrace_Data) return record;
    }
    return Record{~0u, {}};
  }

  RecordingClient* client_ = nullptr;
  CTRTrace* channel_ = nullptr;
};

#endif  // TESTS_TRACE_CHANNEL_CHANNEL_FIXTURE_H_
