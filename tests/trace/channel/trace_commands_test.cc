// Trace channel: thread and module registration, server commands, final flush.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trace/channel/channel_fixture.h"

namespace {

using Subs = std::vector<uint32_t>;

std::vector<uint8_t> Verbosity_Command(uint32_t level, uint16_t module_id, uint32_t size = 10,
                                       bool swapped = false) {
  sTRTrace_Verbosity command{TRTrace_Make_Header(10, eTRTrace_Verbosity),
                             swapped ? __builtin_bswap32(level) : level,
                             swapped ? __builtin_bswap16(module_id) : module_id};
  std::vector<uint8_t> bytes(reinterpret_cast<uint8_t*>(&command),
                             reinterpret_cast<uint8_t*>(&command) + sizeof(command));
  bytes.resize(size);
  return bytes;
}

TEST_F(ChannelTest, ThreadRegistrationRecords) {
  EXPECT_FALSE(channel_->Register_Thread(nullptr, 1));
  std::string long_name(60, 't');
  ASSERT_TRUE(channel_->Register_Thread(long_name.c_str(), 0));
  auto records = Last();
  ASSERT_EQ(Subtypes(records), (Subs{eTRTrace_Info, eTRTrace_UTC_Offset, eTRTrace_Thread_Start}));
  auto start = records[2].As<sTRTrace_Thread_Start>();
  EXPECT_EQ(+start.header, 0x000100A0u);
  EXPECT_EQ(+start.thread_id, CProc::Get_Thread_ID());
  EXPECT_EQ(std::string(start.name), std::string(47, 't'));

  // Unknown threads are refused without queueing anything.
  uint32_t calls = client_->Sent_Calls();
  EXPECT_FALSE(channel_->Unregister_Thread(12345));
  EXPECT_EQ(client_->Sent_Calls(), calls);

  ASSERT_TRUE(channel_->Unregister_Thread(0));
  auto stop = Last().back().As<sTRTrace_Thread_Stop>();
  EXPECT_EQ(+stop.header, 0x000040C0u);
  EXPECT_EQ(+stop.thread_id, CProc::Get_Thread_ID());
  // A delivered stop retires its start: no longer known, not replayed.
  EXPECT_FALSE(channel_->Unregister_Thread(0));
  client_->Set_Status(1, 1);
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "x"));
  EXPECT_EQ(Subtypes(Last()),
            (Subs{eTRTrace_Info, eTRTrace_UTC_Offset, eTRTrace_Format, eTRTrace_Data}));
}

TEST_F(ChannelTest, ThreadLimitsAndPendingStops) {
  client_->Set_Status(0, 0);  // nothing is delivered, so stops stay pending
  for (uint32_t id = 1; id <= 128; ++id) ASSERT_TRUE(channel_->Register_Thread("t", id)) << id;
  EXPECT_FALSE(channel_->Register_Thread("t", 129));
  for (uint32_t id = 1; id <= 128; ++id) ASSERT_TRUE(channel_->Unregister_Thread(id)) << id;
  // Until their stops are delivered the starts stay live, and a 129th stop does not fit.
  EXPECT_FALSE(channel_->Register_Thread("t", 1000));
  EXPECT_FALSE(channel_->Unregister_Thread(1));

  // Reconnected: live starts and pending stops go out together, then the stops retire.
  client_->Set_Status(1, 1);
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "x"));
  size_t starts = 0, stops = 0;
  for (const Record& record : Last()) {
    starts += record.subtype == eTRTrace_Thread_Start;
    stops += record.subtype == eTRTrace_Thread_Stop;
  }
  EXPECT_EQ(starts, 128u);
  EXPECT_EQ(stops, 128u);
  ASSERT_TRUE(channel_->Register_Thread("t", 1000));
  client_->Set_Status(1, 2);
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "x"));
  auto records = Last();
  ASSERT_EQ(Subtypes(records), (Subs{eTRTrace_Info, eTRTrace_UTC_Offset, eTRTrace_Thread_Start,
                                     eTRTrace_Format, eTRTrace_Data}));
  EXPECT_EQ(+records[2].As<sTRTrace_Thread_Start>().thread_id, 1000u);
}

TEST_F(ChannelTest, ModuleRegistration) {
  void* module = nullptr;
  EXPECT_FALSE(channel_->Register_Module(nullptr, &module));
  EXPECT_FALSE(channel_->Register_Module("m", nullptr));
  ASSERT_TRUE(channel_->Register_Module("alpha", &module));
  auto record = Last().back().As<sTRTrace_Module>();
  EXPECT_EQ(+record.header, 0x000100E0u);
  EXPECT_EQ(+record.id, 1);
  EXPECT_STREQ(record.name, "alpha");
  uint32_t calls = client_->Sent_Calls();
  void* again = nullptr;
  ASSERT_TRUE(channel_->Register_Module("alpha", &again));
  EXPECT_EQ(again, module);
  EXPECT_EQ(client_->Sent_Calls(), calls);

  std::string long_name(60, 'm');
  ASSERT_TRUE(channel_->Register_Module(long_name.c_str(), &module));
  EXPECT_EQ(std::string(Last().back().As<sTRTrace_Module>().name), std::string(53, 'm'));

  // Module records sit side by side, so registrations made while disconnected merge into one
  // chunk, and the limit is 512 modules.
  client_->Set_Status(0, 0);
  for (int i = 3; i <= 512; ++i)
    ASSERT_TRUE(channel_->Register_Module(std::to_string(i).c_str(), &module)) << i;
  EXPECT_FALSE(channel_->Register_Module("one too many", &module));
  client_->Set_Status(1, 0);
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "x"));
  auto records = Last();
  ASSERT_EQ(records.size(), 510u + 2);
  EXPECT_EQ(+records[509].As<sTRTrace_Module>().id, 512);
}

TEST_F(ChannelTest, ServerVerbosityCommands) {
  struct Seen {
    void* module = reinterpret_cast<void*>(1);
    uint32_t level = 99;
    int calls = 0;
  } seen;
  stTrace_Conf conf{};
  conf.context = &seen;
  conf.on_verbosity = [](void* context, void* module, uint32_t level) {
    auto* s = static_cast<Seen*>(context);
    s->module = module;
    s->level = level;
    ++s->calls;
  };
  Reopen({}, "cmd", &conf);
  void* modules[3];
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(channel_->Register_Module(("m" + std::to_string(i)).c_str(), &modules[i]));
  uint32_t id = channel_->Get_ID();

  client_->Receive(id, Verbosity_Command(4, 3));
  EXPECT_EQ(channel_->Get_Verbosity(modules[2]), TRL_ERROR);
  EXPECT_EQ(channel_->Get_Verbosity(modules[0]), TRL_TRACE);
  EXPECT_EQ(seen.module, modules[2]);
  EXPECT_EQ(seen.level, 4u);

  client_->Receive(id, Verbosity_Command(2, 2, 10, /*swapped=*/true), /*swap=*/1);
  EXPECT_EQ(channel_->Get_Verbosity(modules[1]), TRL_INFO);

  client_->Receive(id, Verbosity_Command(5, 0));
  EXPECT_EQ(channel_->Get_Verbosity(nullptr), TRL_CRITICAL);
  EXPECT_EQ(seen.module, nullptr);

  // Unknown module: nothing changes, the callback still hears of it with no module.
  seen.module = reinterpret_cast<void*>(1);
  client_->Receive(id, Verbosity_Command(1, 9));
  EXPECT_EQ(seen.module, nullptr);
  EXPECT_EQ(channel_->Get_Verbosity(nullptr), TRL_CRITICAL);
  for (void* module : modules) EXPECT_NE(channel_->Get_Verbosity(module), TRL_DEBUG);

  // Without a module ID the whole channel changes; too short to hold a level or a header:
  // ignored; another stream type: ignored.
  int calls = seen.calls;
  client_->Receive(id, Verbosity_Command(3, 2, 8));
  EXPECT_EQ(channel_->Get_Verbosity(nullptr), TRL_WARNING);
  EXPECT_EQ(channel_->Get_Verbosity(modules[1]), TRL_INFO);
  client_->Receive(id, Verbosity_Command(1, 0, 6));
  client_->Receive(id, Verbosity_Command(1, 0, 3));
  auto other_type = Verbosity_Command(1, 0);
  other_type[0] |= 1;
  client_->Receive(id, other_type);
  EXPECT_EQ(channel_->Get_Verbosity(nullptr), TRL_WARNING);
  EXPECT_EQ(seen.calls, calls + 1);
}

TEST_F(ChannelTest, CloseRequestEndsTheChannel) {
  ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "x"));
  client_->Receive(channel_->Get_ID(), {0x00, 0x11, 0x00, 0x00});  // header of subtype 8, size 4
  auto records = Last();
  ASSERT_EQ(Subtypes(records), (Subs{eTRTrace_Close}));
  EXPECT_EQ(+records[0].As<sTRTrace_Close>().header, 0x00001080u);
  uint32_t calls = client_->Sent_Calls();
  EXPECT_FALSE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "g", "x"));
  client_->Flush_Channel(channel_->Get_ID());
  // Registrations still update the records, but nothing is sent any more.
  void* module = nullptr;
  EXPECT_TRUE(channel_->Register_Module("late", &module));
  EXPECT_EQ(client_->Sent_Calls(), calls);
}

TEST_F(ChannelTest, FinalFlushTakesPendingRecordsAlong) {
  client_->Refuse(eCode_Off);
  ASSERT_TRUE(channel_->Register_Thread("t", 3));
  client_->Refuse(eCode_Ok);
  client_->Flush_Channel(channel_->Get_ID());
  EXPECT_EQ(Subtypes(Last()),
            (Subs{eTRTrace_Info, eTRTrace_UTC_Offset, eTRTrace_Thread_Start, eTRTrace_Close}));
}

}  // namespace
