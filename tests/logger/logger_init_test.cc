// Logger set-up: which arguments create the client, what the channel sends first, failures.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include <mqtt-wrapper/trhelper.h>

#include "logger/logger_config.h"
#include "support/child_process.h"
#include "support/recording_client.h"
#include "support/temp_dir.h"
#include "trace/base/proc.h"
#include "trace/channel/stream_reader.h"
#include "trace/format/trace_format.h"

namespace {

struct Seen {
  std::vector<std::string> args;
  RecordingClient* client = nullptr;
  bool fail = false;
  bool refuse_channel = false;
};
Seen g_seen;

ITR_Client* Recording_Factory(const char* args) {
  g_seen.args.push_back(args ? args : "<null>");
  if (g_seen.fail) return nullptr;
  g_seen.client = new RecordingClient();
  g_seen.client->Refuse_Registration(g_seen.refuse_channel);
  g_seen.client->Add_Ref();  // the test's own reference
  return g_seen.client;
}

class LoggerInitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Valid());
    g_seen = Seen{};
    TR::detail::Set_Client_Factory_For_Testing(&Recording_Factory);
    TR::detail::Set_Config_Path_For_Testing(nullptr);
    missing_ = dir_.File("absent.cfg");
    TR::detail::Set_Config_Path_For_Testing(missing_.c_str());
  }
  void TearDown() override {
    if (TR::l_pTrace) TR::l_pTrace->Release();
    if (TR::l_pClient) TR::l_pClient->Release();
    TR::l_pTrace = nullptr;
    TR::l_pClient = nullptr;
    if (g_seen.client) g_seen.client->Release();
    for (int sig : {SIGTERM, SIGSEGV, SIGINT, SIGILL, SIGABRT, SIGFPE}) signal(sig, SIG_DFL);
    TR::detail::Set_Client_Factory_For_Testing(nullptr);
    TR::detail::Set_Config_Path_For_Testing(nullptr);
  }
  void Use_Config(const std::string& content) {
    config_ = dir_.File("tr.cfg");
    ASSERT_TRUE(mqw_test::Write_File(config_, content));
    TR::detail::Set_Config_Path_For_Testing(config_.c_str());
  }

  mqw_test::TempDir dir_{"logger-init"};
  std::string missing_;
  std::string config_;
};

TEST_F(LoggerInitTest, ArgumentsComeFromTheFirstConfigLineOrTheDefault) {
  struct Case {
    const char* config;  // null: no file
    const char* expected;
  };
  const Case cases[] = {
      {nullptr, "/TR.Sink=Null /TR.Name=\"a b\""},
      {"/TR.Sink=Console /TR.Verb=1\n/TR.Sink=FileBin\n", "/TR.Sink=Console /TR.Verb=1"},
      {"/TR.Sink=Console", "/TR.Sink=Console"},
      {"\n/TR.Sink=FileBin\n", ""},  // an empty first line is used as it is
      {"", ""},
      {"  /TR.Sink=Null\t\r\n", "  /TR.Sink=Null\t\r"},  // no trimming
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config ? c.config : "<no file>");
    TearDown();
    SetUp();
    if (c.config) Use_Config(c.config);
    ASSERT_NE(TR::LoggerInit("module", "/TR.Sink=Null /TR.Name=\"a b\""), nullptr);
    ASSERT_EQ(g_seen.args.size(), 1u);
    EXPECT_EQ(g_seen.args[0], c.expected);
  }
}

TEST_F(LoggerInitTest, ChannelIsPublishedAndVersionIsTheFirstMessage) {
  ITR_Trace* channel = TR::LoggerInit("my module", "");
  ASSERT_NE(channel, nullptr);
  EXPECT_EQ(TR::getTrace(), channel);
  EXPECT_EQ(TR::l_pClient, g_seen.client);
  EXPECT_FALSE(TR::l_bTID1);

  std::vector<Record> records;
  for (const auto& packet : g_seen.client->Packets()) {
    auto part = Parse_Records(packet);
    ASSERT_FALSE(part.empty());
    records.insert(records.end(), part.begin(), part.end());
  }
  ASSERT_EQ(Subtypes(records),
            (std::vector<uint32_t>{eTRTrace_Info, eTRTrace_UTC_Offset, eTRTrace_Thread_Start,
                                   eTRTrace_Module, eTRTrace_Format, eTRTrace_Data}));
  EXPECT_EQ(Narrow(records[0].As<sTRTrace_Info>().name, 64), "Trace channel 1");
  auto thread = records[2].As<sTRTrace_Thread_Start>();
  EXPECT_STREQ(thread.name, "Application");
  EXPECT_EQ(+thread.thread_id, CProc::Get_Thread_ID());
  EXPECT_STREQ(records[3].As<sTRTrace_Module>().name, "my module");

  const std::vector<uint8_t>& data = records[5].bytes;
  EXPECT_EQ(data[6], TRL_INFO);
  std::string version(reinterpret_cast<const char*>(data.data()) + 24);
  EXPECT_EQ(version, TR::detail::kVersion);
  // The format travels as UTF-16 after the fixed part and one argument descriptor.
  const std::vector<uint8_t>& format = records[4].bytes;
  std::string text;
  for (size_t i = 14; i + 1 < format.size() && format[i]; i += 2) text.push_back(char(format[i]));
  EXPECT_EQ(text, "Logger initialised! VERSION %s");
}

// TR_LOG drops the result of a refused call; the facade still counts it, and the channel reports
// it in the stream before the next delivered message.
TEST_F(LoggerInitTest, RefusedCallsAreCountedAndReported) {
  EXPECT_EQ(TR::getLostCalls(), 0u);  // no channel yet
  ASSERT_NE(TR::LoggerInit("m", ""), nullptr);
  EXPECT_EQ(TR::getLostCalls(), 0u);
  g_seen.client->Refuse(eCode_No_Room);
  for (int i = 0; i < 3; ++i) TR_LOG(TRL_INFO, "lost %d", i);
  EXPECT_EQ(TR::getLostCalls(), 3u);
  g_seen.client->Refuse(eCode_Ok);
  TR_LOG(TRL_INFO, "kept %d", 4);
  EXPECT_EQ(TR::getLostCalls(), 3u);
  const auto records = Parse_Records(g_seen.client->Packets().back());
  ASSERT_EQ(Subtypes(records), (std::vector<uint32_t>{eTRTrace_Format, eTRTrace_Data,
                                                      eTRTrace_Format, eTRTrace_Data}));
  EXPECT_EQ(records[1].bytes[6], TRL_WARNING);
  uint64_t no_room = 0;
  memcpy(&no_room, records[1].bytes.data() + 24, sizeof(no_room));
  EXPECT_EQ(no_room, 3u);
  EXPECT_EQ(records[3].bytes[24], 4);
}

TEST_F(LoggerInitTest, FailuresLeaveNoChannel) {
  g_seen.fail = true;
  EXPECT_EQ(TR::LoggerInit("m", "x"), nullptr);
  EXPECT_EQ(TR::getTrace(), nullptr);
  EXPECT_EQ(TR::l_pClient, nullptr);

  g_seen.fail = false;
  g_seen.refuse_channel = true;
  EXPECT_EQ(TR::LoggerInit("m", "x"), nullptr);
  EXPECT_EQ(TR::getTrace(), nullptr);
  EXPECT_EQ(TR::l_pClient, nullptr);
  EXPECT_EQ(g_seen.client->Refs(), 1u);  // the set-up released its reference
  EXPECT_TRUE(g_seen.client->Packets().empty());
  // No handler was installed.
  EXPECT_EQ(signal(SIGTERM, SIG_DFL), SIG_DFL);
}

TEST_F(LoggerInitTest, InstallsTheStampHandlers) {
  ASSERT_NE(TR::LoggerInit("m", ""), nullptr);
  for (int sig : {SIGTERM, SIGSEGV, SIGINT, SIGILL, SIGABRT, SIGFPE}) {
    struct sigaction current {};
    ASSERT_EQ(sigaction(sig, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, &TR::pushBacktraceStamp) << sig;
  }
}

TEST_F(LoggerInitTest, WorksWithTheRealFactoryAndNullSink) {
  TR::detail::Set_Client_Factory_For_Testing(nullptr);
  ITR_Trace* channel = TR::LoggerInit("m", "/TR.Sink=Null");
  ASSERT_NE(channel, nullptr);
  EXPECT_EQ(TR::getTrace(), channel);
  ASSERT_NE(TR::l_pClient, nullptr);
  EXPECT_EQ(TR::l_pClient->Get_Type(), ITR_Client::eNull);
  EXPECT_TRUE(channel->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "after %s", "set-up"));
}

TEST(LoggerCallbacksTest, PrintNotifications) {
  std::string output = mqw_test::Capture_Stdout([] {
    TR::Connect(nullptr, 1);
    TR::Telemetry_Enable(nullptr, 7, 0);
    fflush(stdout);
  });
  EXPECT_EQ(output, "Connect=1\nId=7, Enable=0\n");
}

}  // namespace
