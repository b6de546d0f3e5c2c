// Trace channel: lost calls are counted and reported in the stream, right where they were lost.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trace/channel/channel_fixture.h"

namespace {

using Subs = std::vector<uint32_t>;

struct Loss_Report {
  uint8_t level;
  uint16_t id;
  uint64_t counts[3];  // no room, sink off, connection lost
};

// The loss report in `data` (a data record of the report's descriptor).
Loss_Report Read_Report(const Record& data) {
  const auto header = data.As<sTRTrace_Data>();
  Loss_Report report{header.level, header.id, {}};
  const std::vector<uint8_t> tail = data.Tail(sizeof(sTRTrace_Data));
  EXPECT_EQ(tail.size(), 3 * 8 + 1u);
  if (tail.size() == 3 * 8 + 1) {
    memcpy(report.counts, tail.data(), sizeof(report.counts));
    EXPECT_EQ(tail.back(), 0) << "no module";
  }
  return report;
}

// Refusals by the client and drops while disconnected, per reason: the next delivered call is
// preceded by one report (its descriptor first) with the counts, and the one after it is not.
TEST_F(ChannelTest, RefusedCallsAreReportedBeforeTheNextDeliveredRecord) {
  struct Case {
    const char* label;
    uint32_t refuse_code;  // eCode_Ok: drop by disconnecting instead
    int lost;
    int reason;  // index of the count that grows
  } const cases[] = {
      {"no room", eCode_No_Room, 3, 0},
      {"sink off", eCode_Off, 2, 1},
      {"client error", eCode_Internal, 1, 1},
      {"disconnected", eCode_Ok, 4, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Reopen({});
    ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "call %d", 0));
    if (c.refuse_code != eCode_Ok) {
      client_->Refuse(c.refuse_code);
    } else {
      client_->Set_Status(0, 0);
    }
    for (int i = 1; i <= c.lost; ++i)
      EXPECT_FALSE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "call %d", i));
    client_->Refuse(eCode_Ok);
    client_->Set_Status(1, 0);
    EXPECT_EQ(channel_->Lost_Calls(), static_cast<uint64_t>(c.lost));

    ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "call %d", 99));
    const auto records = Last();
    ASSERT_EQ(Subtypes(records), (Subs{eTRTrace_Format, eTRTrace_Data, eTRTrace_Data}));
    EXPECT_EQ(Format_Text(records[0]), CTRTrace::kLoss_Format);
    EXPECT_EQ(+records[0].As<sTRTrace_Format>().module_id, 0);
    const Loss_Report report = Read_Report(records[1]);
    EXPECT_EQ(report.level, TRL_WARNING);
    EXPECT_EQ(report.id, records[0].As<sTRTrace_Format>().id);
    for (int r = 0; r < 3; ++r)
      EXPECT_EQ(report.counts[r], r == c.reason ? uint64_t(c.lost) : 0u) << r;
    // The delivered call itself follows, unchanged.
    EXPECT_EQ(records[2].Tail(24)[0], 99);
    EXPECT_NE(records[2].As<sTRTrace_Data>().id, report.id);

    ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "call %d", 100));
    EXPECT_EQ(Subtypes(Last()), (Subs{eTRTrace_Data}));
  }
}

TEST_F(ChannelTest, FilteredAndClosedChannelCallsAreNoLoss) {
  channel_->Set_Verbosity(nullptr, TRL_ERROR);
  EXPECT_FALSE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "x"));
  client_->Flush_Channel(channel_->Get_ID());
  EXPECT_FALSE(channel_->Trace(0, TRL_CRITICAL, nullptr, 1, "f", "g", "x"));
  EXPECT_EQ(channel_->Lost_Calls(), 0u);
}

// A report that travels in a refused hand-over is not lost: the counts keep growing, and the
// report and its descriptor go with the next accepted call.
TEST_F(ChannelTest, RefusedReportIsKeptAndItsDescriptorSentAgain) {
  client_->Refuse(eCode_No_Room);
  EXPECT_FALSE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "a"));
  EXPECT_FALSE(channel_->Trace_Managed(0, TRL_INFO, nullptr, 1, "f", "g", "b"));
  client_->Refuse(eCode_Off);
  EXPECT_FALSE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "a"));
  client_->Refuse(eCode_Ok);
  ASSERT_TRUE(channel_->Trace_Managed(0, TRL_INFO, nullptr, 1, "f", "g", "b"));
  const auto records = Last();
  ASSERT_EQ(Subtypes(records), (Subs{eTRTrace_Info, eTRTrace_UTC_Offset, eTRTrace_Format,
                                     eTRTrace_Data, eTRTrace_Format, eTRTrace_Data}));
  EXPECT_EQ(Format_Text(records[2]), CTRTrace::kLoss_Format);
  const Loss_Report report = Read_Report(records[3]);
  EXPECT_EQ(report.counts[0], 2u);
  EXPECT_EQ(report.counts[1], 1u);
  EXPECT_EQ(report.counts[2], 0u);
  EXPECT_EQ(channel_->Lost_Calls(), 3u);
}

// A sink that discarded accepted records tells the channel (under its channel lock, as a sink
// does); the report names them as lost with the connection. After a new connection the report's
// descriptor travels again, after the replayed context.
TEST_F(ChannelTest, SinkLossesAreReportedAfterAReconnection) {
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "a"));
  ITRC_Channel* as_channel = channel_;
  ILoss_Listener* listener = dynamic_cast<ILoss_Listener*>(as_channel);
  ASSERT_NE(listener, nullptr);
  client_->Set_Status(0, 0);
  listener->On_Loss(0, 0, eLoss_Reason::eConnection_Lost);  // nothing lost: no report
  listener->On_Loss(7, 700, eLoss_Reason::eConnection_Lost);
  listener->On_Loss(5, 500, eLoss_Reason::eConnection_Lost);
  EXPECT_FALSE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "a"));
  client_->Set_Status(1, 1);
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "a"));
  const auto records = Last();
  ASSERT_EQ(Subtypes(records), (Subs{eTRTrace_Info, eTRTrace_UTC_Offset, eTRTrace_Format,
                                     eTRTrace_Data, eTRTrace_Format, eTRTrace_Data}));
  const Loss_Report report = Read_Report(records[3]);
  EXPECT_EQ(report.counts[0], 0u);
  EXPECT_EQ(report.counts[1], 1u);
  EXPECT_EQ(report.counts[2], 12u);
  EXPECT_EQ(channel_->Lost_Calls(), 13u);

  // The report's descriptor travels once per connection.
  listener->On_Loss(1, 10, eLoss_Reason::eConnection_Lost);
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "a"));
  EXPECT_EQ(Subtypes(Last()), (Subs{eTRTrace_Data, eTRTrace_Data}));
  EXPECT_EQ(Read_Report(Last()[0]).counts[2], 1u);
}

// Losses not yet reported when the channel closes go before its close record.
TEST_F(ChannelTest, FinalFlushReportsOutstandingLosses) {
  client_->Refuse(eCode_No_Room);
  EXPECT_FALSE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "a"));
  client_->Refuse(eCode_Ok);
  client_->Flush_Channel(channel_->Get_ID());
  const auto records = Last();
  ASSERT_EQ(Subtypes(records), (Subs{eTRTrace_Info, eTRTrace_UTC_Offset, eTRTrace_Format,
                                     eTRTrace_Data, eTRTrace_Close}));
  EXPECT_EQ(Read_Report(records[3]).counts[0], 1u);
}

}  // namespace
