// The null sink: accepts and drops everything, always connected, no counters of its own.
#include "trace/core/null_sink.h"

#include <gtest/gtest.h>

#include "support/recording_channel.h"

namespace {

TEST(NullSink, AcceptsEverythingAndReportsAWorkingConnection) {
  char option[] = "/TR.Sink=Null";
  char* args[] = {option};
  auto* client = new CClNull(args, 1);
  EXPECT_EQ(client->Get_Type(), ITR_Client::eNull);
  EXPECT_EQ(client->Get_Status(), eCode_Ok);
  EXPECT_STREQ(client->Get_Argument("/TR.Sink="), "Null");

  sTRC_Status status{0, 9};
  ASSERT_TRUE(client->Get_Status(&status));
  EXPECT_EQ(status.connected, 1);
  EXPECT_EQ(status.resets, 0u);
  EXPECT_FALSE(client->Get_Status(nullptr));

  // Dropped, not refused: channels must see their data as delivered, whatever it is.
  const char payload[] = "abc";
  sTRC_Data_Chunk chunk{payload, 3};
  EXPECT_EQ(client->Sent(0, &chunk, 1, 3), eCode_Ok);
  EXPECT_EQ(client->Sent(31, &chunk, 1, 3), eCode_Ok);

  // Counters: the three reject counters are zero, the pool fields are not the null sink's.
  sTRC_Info info{11, 22, 33, 44, 55, 66};
  ASSERT_TRUE(client->Get_Info(&info));
  EXPECT_EQ(info.used_bytes, 11u);
  EXPECT_EQ(info.free_bytes, 22u);
  EXPECT_EQ(info.allocated_bytes, 33u);
  EXPECT_EQ(info.rejects_no_room, 0u);
  EXPECT_EQ(info.rejects_off, 0u);
  EXPECT_EQ(info.rejects_error, 0u);
  EXPECT_FALSE(client->Get_Info(nullptr));

  // A registered channel is told it is connected.
  RecordingChannel channel;
  ASSERT_EQ(client->Register_Channel(&channel), eCode_Ok);
  auto events = channel.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].kind, RecordingChannel::Kind::Status);
  EXPECT_EQ(events[1].status.connected, 1);

  client->Flush();
  EXPECT_TRUE(client->Close());
  EXPECT_EQ(client->Unregister_Channel(channel.Id()), eCode_Ok);
  EXPECT_EQ(client->Release(), 0u);
}

}  // namespace
