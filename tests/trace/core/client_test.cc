// The client base: channel slots, status hand-over at registration, option lookup, the closing
// walk over the channels and reference counting.
#include "trace/core/client.h"

#include "trace/core/journal.h"
#include "trace/core/staged_source.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/recording_channel.h"

namespace {

using Kind = RecordingChannel::Kind;

// A minimal sink: reports whatever status the test sets, and closes like every sink does
// (channels first). Counts its own destruction so reference counting can be observed.
class TestSink : public CClient {
 public:
  TestSink(std::vector<std::string> args = {}, std::atomic<int>* destroyed = nullptr)
      : CClient(eNull, Pointers(args).data(), static_cast<int>(args.size())),
        destroyed_(destroyed) {}
  TestSink(char** args, int count) : CClient(eNull, args, count), destroyed_(nullptr) {}
  ~TestSink() override {
    if (destroyed_ != nullptr) ++*destroyed_;
  }

  bool Get_Status(sTRC_Status* status) override {
    if (status == nullptr) return false;
    *status = reported_;
    if (after_status_read_) {
      auto hook = std::move(after_status_read_);
      after_status_read_ = nullptr;
      hook();
    }
    return true;
  }
  using CClient::Get_Status;
  bool Get_Info(sTRC_Info*) override { return true; }
  uint32_t Sent(uint32_t, sTRC_Data_Chunk*, uint32_t, uint32_t) override { return 0; }
  void Flush() override {}
  bool Close() override {
    Flush_Channels();
    return true;
  }

  sTRC_Status reported_{1, 0};
  // Runs once, right after the next status read (to model another thread changing the status).
  std::function<void()> after_status_read_;

 private:
  static std::vector<char*> Pointers(std::vector<std::string>& args) {
    std::vector<char*> out;
    for (auto& a : args) out.push_back(a.data());
    return out;
  }
  std::atomic<int>* destroyed_;
};

using ClientPtr = std::unique_ptr<TestSink, void (*)(TestSink*)>;
ClientPtr Make(std::vector<std::string> args = {}, std::atomic<int>* destroyed = nullptr) {
  return ClientPtr(new TestSink(std::move(args), destroyed), [](TestSink* c) { c->Release(); });
}

TEST(ClientSlots, FillsLowestFreeSlotsAndRefusesTheThirtyThird) {
  auto client = Make();
  client->reported_ = sTRC_Status{1, 7};
  RecordingChannel channels[33];
  for (uint32_t i = 0; i < 32; ++i) {
    ASSERT_EQ(client->Register_Channel(&channels[i]), eCode_Ok) << i;
    auto events = channels[i].Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, Kind::Init);
    EXPECT_EQ(events[0].id, i);
    EXPECT_EQ(events[1].kind, Kind::Status);
    EXPECT_EQ(events[1].id, i);
    EXPECT_EQ(events[1].status.connected, 1);
    EXPECT_EQ(events[1].status.resets, 7u);
  }
  EXPECT_EQ(client->Get_Channels_Count(), 32u);

  EXPECT_EQ(client->Register_Channel(&channels[32]), eCode_No_Slot);
  EXPECT_TRUE(channels[32].Events().empty()) << "a refused channel must not be informed";

  // A freed slot is reused, and it is the lowest free one.
  EXPECT_EQ(client->Unregister_Channel(9), eCode_Ok);
  EXPECT_EQ(client->Unregister_Channel(5), eCode_Ok);
  EXPECT_EQ(client->Get_Channels_Count(), 30u);
  ASSERT_EQ(client->Register_Channel(&channels[32]), eCode_Ok);
  EXPECT_EQ(channels[32].Id(), 5u);
  channels[5].Clear();
  ASSERT_EQ(client->Register_Channel(&channels[5]), eCode_Ok);
  EXPECT_EQ(channels[5].Id(), 9u);
}

TEST(ClientSlots, RefusesBadArguments) {
  auto client = Make();
  RecordingChannel channel;
  EXPECT_EQ(client->Register_Channel(nullptr), eCode_Bad_Args);
  EXPECT_EQ(client->Unregister_Channel(0), eCode_Bad_Args) << "free slot";
  ASSERT_EQ(client->Register_Channel(&channel), eCode_Ok);
  for (uint32_t id : {1u, 31u, 32u, 0xFFFFFFFFu}) {
    EXPECT_EQ(client->Unregister_Channel(id), eCode_Bad_Args) << id;
  }
  EXPECT_EQ(client->Get_Channels_Count(), 1u);
  EXPECT_EQ(client->Unregister_Channel(0), eCode_Ok);
  EXPECT_EQ(client->Unregister_Channel(0), eCode_Bad_Args) << "second unregister";
}

TEST(ClientSlots, RegistrationReportsTheSinksOwnStatus) {
  // The base keeps {1, 0}; the sink reports a lost output. The channel must learn the sink's view.
  auto client = Make();
  client->reported_ = sTRC_Status{0, 3};
  RecordingChannel channel;
  ASSERT_EQ(client->Register_Channel(&channel), eCode_Ok);
  auto events = channel.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].status.connected, 0);
  EXPECT_EQ(events[1].status.resets, 3u);
}

TEST(ClientSlots, StatusChangeDuringRegistrationIsNotLost) {
  // The sink's output goes away between the registration's status read and its taking of the
  // channel lock; the notification walk cannot reach the new channel yet. The new channel must
  // still end up knowing that the sink is disconnected, or it would keep sending into nothing.
  auto client = Make();
  RecordingChannel early, late;
  ASSERT_EQ(client->Register_Channel(&early), eCode_Ok);
  client->after_status_read_ = [&] {
    client->reported_ = sTRC_Status{0, 1};
    client->Notify_Channels(client->reported_);
  };
  ASSERT_EQ(client->Register_Channel(&late), eCode_Ok);
  auto events = late.Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().kind, Kind::Status);
  EXPECT_EQ(events.back().status.connected, 0);
  EXPECT_EQ(events.back().status.resets, 1u);
  EXPECT_EQ(early.Events().back().status.connected, 0);
}

TEST(ClientSlots, GetChannelCountsOccupiedSlotsAndAddsAReference) {
  auto client = Make();
  RecordingChannel filler[8];
  for (auto& c : filler) ASSERT_EQ(client->Register_Channel(&c), eCode_Ok);
  RecordingChannel other;
  ASSERT_EQ(client->Register_Channel(&other), eCode_Ok);
  ASSERT_EQ(other.Id(), 8u);
  for (uint32_t id = 0; id < 8; ++id) {
    if (id != 7) {
      ASSERT_EQ(client->Unregister_Channel(id), eCode_Ok);
    }
  }
  // Occupied: slot 7 and slot 8.
  EXPECT_EQ(client->Get_Channels_Count(), 2u);
  EXPECT_EQ(client->Get_Channel(0), &filler[7]);
  EXPECT_EQ(filler[7].Refs(), 2);
  EXPECT_EQ(client->Get_Channel(1), &other);
  EXPECT_EQ(other.Refs(), 2);
  EXPECT_EQ(client->Get_Channel(2), nullptr);
  EXPECT_EQ(client->Get_Channel(SIZE_MAX), nullptr);
}

TEST(ClientSlots, ConcurrentRegistrationsNeverShareASlot) {
  auto client = Make();
  constexpr int kThreads = 4;
  constexpr int kRounds = 500;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      RecordingChannel mine[8];
      for (int round = 0; round < kRounds; ++round) {
        for (auto& c : mine) {
          c.Clear();
          if (client->Register_Channel(&c) != eCode_Ok) ++failures;
        }
        for (auto& c : mine) {
          if (client->Unregister_Channel(c.Id()) != eCode_Ok) ++failures;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  // 4 threads x 8 channels = 32: every registration fits, and a slot given to two channels would
  // make one of the unregistrations fail.
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(client->Get_Channels_Count(), 0u);
}

TEST(ClientArguments, LookupIsFirstMatchCaseSensitivePrefix) {
  auto client = Make({"/usr/bin/app", "/TR.Trc.Verb=4", "/TR.Helpme", "/TR.Sink=Null",
                      "/TR.Sink=File", "/TR.Name=", "/tr.Port=1"});
  struct Case {
    const char* prefix;
    const char* expected;  // null: no match
  } cases[] = {
      {"/TR.Verb=", nullptr},                        // not a prefix of /TR.Trc.Verb=4
      {"/TR.Trc.Verb=", "4"},   {"/TR.Help", "me"},  // prefix of /TR.Helpme
      {"/TR.Sink=", "Null"},                         // first match wins
      {"/TR.Name=", ""},                             // present with an empty value
      {"/TR.Port=", nullptr},                        // case-sensitive
      {"/TR.Helpme+", nullptr},                      // longer than every argument
      {"", "/usr/bin/app"},                          // empty prefix matches the first argument
      {nullptr, nullptr},
  };
  for (const auto& c : cases) {
    const char* got = client->Get_Argument(c.prefix);
    if (c.expected == nullptr) {
      EXPECT_EQ(got, nullptr) << (c.prefix ? c.prefix : "(null)");
    } else {
      ASSERT_NE(got, nullptr) << c.prefix;
      EXPECT_STREQ(got, c.expected) << c.prefix;
    }
  }
  auto help = Make({"/TR.Help=1"});
  ASSERT_NE(help->Get_Argument("/TR.Help"), nullptr);
  EXPECT_STREQ(help->Get_Argument("/TR.Help"), "=1");
  EXPECT_EQ(Make()->Get_Argument("/TR."), nullptr) << "no arguments";
}

TEST(ClientArguments, AreOwnedCopies) {
  char option[] = "/TR.Name=First";
  char* args[] = {option, nullptr};  // a null entry is kept as an empty argument
  auto* client = new TestSink(args, 2);
  option[9] = 'X';
  ASSERT_NE(client->Get_Argument("/TR.Name="), nullptr);
  EXPECT_STREQ(client->Get_Argument("/TR.Name="), "First");
  EXPECT_EQ(client->Get_Argument("/TR.Other="), nullptr);
  client->Release();
}

TEST(ClientArguments, JournalOnlyWhenVerbosityAsksForOne) {
  struct Case {
    const char* option;
    bool journal;
  } cases[] = {
      {nullptr, false},     {"/TR.Verb=6", false}, {"/TR.Verb=5", true},
      {"/TR.Verb=0", true}, {"/TR.Verb=-1", true}, {"/TR.Trc.Verb=2", false},
  };
  for (const auto& c : cases) {
    auto client = c.option ? Make({c.option}) : Make();
    EXPECT_EQ(client->Get_Journal() != nullptr, c.journal) << (c.option ? c.option : "(none)");
  }
}

// A client with two channels in slots 0 and 2 (slot 1 freed), closed with the given options.
std::vector<std::vector<RecordingChannel::Event>> CloseWith(std::vector<std::string> args) {
  auto client = Make(std::move(args));
  RecordingChannel a, gap, b;
  EXPECT_EQ(client->Register_Channel(&a), eCode_Ok);
  EXPECT_EQ(client->Register_Channel(&gap), eCode_Ok);
  EXPECT_EQ(client->Register_Channel(&b), eCode_Ok);
  EXPECT_EQ(client->Unregister_Channel(1), eCode_Ok);
  a.Clear();
  b.Clear();
  gap.Clear();
  EXPECT_TRUE(client->Close());
  EXPECT_TRUE(gap.Events().empty());
  return {a.Events(), b.Events()};
}

TEST(ClientClose, FlushesEveryChannelThenStopsIt) {
  struct Case {
    std::vector<std::string> args;
    bool flushed;
  } cases[] = {
      {{}, true},
      {{"/TR.FlashChannels=1"}, true},
      {{"/TR.FlashChannels=yes"}, true},
      {{"/TR.FlashChannels=0"}, false},
      {{"/TR.FlashChannels=0ff"}, false},
      {{"/TR.FlashChannels=1", "/TR.FlashChannels=0"}, true},  // first match wins
  };
  for (const auto& c : cases) {
    std::string label = c.args.empty() ? "(none)" : c.args.front();
    auto events = CloseWith(c.args);
    const uint32_t ids[] = {0, 2};
    for (int ch = 0; ch < 2; ++ch) {
      if (!c.flushed) {
        EXPECT_TRUE(events[ch].empty()) << label;
        continue;
      }
      ASSERT_EQ(events[ch].size(), 2u) << label;
      EXPECT_EQ(events[ch][0].kind, Kind::Flush);
      EXPECT_EQ(events[ch][0].id, ids[ch]);
      EXPECT_EQ(events[ch][0].flag, 1u);
      EXPECT_EQ(events[ch][1].kind, Kind::Status);
      EXPECT_EQ(events[ch][1].id, ids[ch]);
      EXPECT_EQ(events[ch][1].status.connected, 0);
      EXPECT_EQ(events[ch][1].status.resets, 0u);
    }
  }
}

TEST(ClientClose, ChannelUnregisteringInsideItsFlushIsNotCalledAgain) {
  auto client = Make();
  RecordingChannel channel;
  ASSERT_EQ(client->Register_Channel(&channel), eCode_Ok);
  channel.Set_Flush_Hook([&](uint32_t id) { EXPECT_EQ(client->Unregister_Channel(id), eCode_Ok); });
  channel.Clear();
  EXPECT_TRUE(client->Close());
  auto events = channel.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, Kind::Flush);
  EXPECT_EQ(client->Get_Channels_Count(), 0u);
}

// A channel with staged records that its sink takes only once another thread got through the
// client's channel lock (as a sink's own thread needs it to tell the channels of a reconnection).
class StagedChannel final : public ITRC_Channel, public IStaged_Source {
 public:
  explicit StagedChannel(CClient* client, uint64_t staged) : client_(client), staged_(staged) {}

  uint32_t Get_Type() override { return 0; }
  uint32_t Add_Ref() override { return 1; }
  uint32_t Release() override { return 1; }
  void On_Init(sTRC_Channel_Info*) override {}
  void On_Status(uint32_t, const sTRC_Status*) override {}
  void On_Flush(uint32_t, uint32_t*) override { staged_at_flush_ = staged_.load(); }
  void On_Receive(uint32_t, uint8_t*, uint32_t, uint32_t) override {}

  bool Has_Staged() const override { return staged_.load() != 0; }
  void Merge_Staged() override {
    ++merges_;
    if (room_.load() && staged_.load() != 0) --staged_;
  }
  void Try_Merge_Staged() override { Merge_Staged(); }
  uint64_t Staged_Bytes() const override { return staged_.load(); }

  CClient* client_;
  std::atomic<uint64_t> staged_;
  std::atomic<uint32_t> merges_{0};
  std::atomic<bool> room_{false};
  uint64_t staged_at_flush_ = UINT64_MAX;
};

TEST(ClientClose, StagedRecordsAreWaitedForWithoutTheChannelLock) {
  auto client = Make();
  StagedChannel channel(client.get(), 5);
  ASSERT_EQ(client->Register_Channel(&channel), eCode_Ok);
  std::thread other([&] {
    // Once the close is waiting for room, this thread must get the channel lock.
    while (channel.merges_.load() < 3) std::this_thread::yield();
    EXPECT_EQ(client->Get_Channels_Count(), 1u);
    channel.room_ = true;
  });
  EXPECT_TRUE(client->Close());
  other.join();
  EXPECT_EQ(channel.staged_at_flush_, 0u) << "the final flush found records still staged";
  client->Unregister_Channel(0);
}

TEST(ClientStatus, NotifyReachesEveryChannelAndStatusStartsConnected) {
  auto client = Make();
  // The base record, read through the base class, starts as {1, 0}.
  sTRC_Status base{9, 9};
  ASSERT_TRUE(client->CClient::Get_Status(&base));
  EXPECT_EQ(base.connected, 1);
  EXPECT_EQ(base.resets, 0u);
  EXPECT_FALSE(client->CClient::Get_Status(nullptr));
  EXPECT_EQ(client->Get_Status(), eCode_Ok);

  RecordingChannel a, b;
  ASSERT_EQ(client->Register_Channel(&a), eCode_Ok);
  ASSERT_EQ(client->Register_Channel(&b), eCode_Ok);
  const uint32_t ids[] = {a.Id(), b.Id()};
  a.Clear();
  b.Clear();
  client->Notify_Channels(sTRC_Status{1, 4});
  int index = 0;
  for (auto* ch : {&a, &b}) {
    auto events = ch->Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Status);
    EXPECT_EQ(events[0].id, ids[index++]);
    EXPECT_EQ(events[0].status.connected, 1);
    EXPECT_EQ(events[0].status.resets, 4u);
  }
}

TEST(ClientRefCount, LastReleaseDeletesThroughTheSinkDestructor) {
  std::atomic<int> destroyed{0};
  auto* client = new TestSink({}, &destroyed);
  EXPECT_EQ(client->Add_Ref(), 2u);
  EXPECT_EQ(client->Release(), 1u);
  EXPECT_EQ(destroyed.load(), 0);
  EXPECT_EQ(client->Release(), 0u);
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(ClientRefCount, DestroyedClientNeverStaysInTheSharedRegistry) {
  // TestSink's destructor does not leave the registry itself; the base must do it.
  auto* client = new TestSink();
  ASSERT_TRUE(client->Share("client-test-release"));
  ITR_Client* found = TR_Get_Shared("client-test-release");
  ASSERT_EQ(found, client);
  EXPECT_EQ(found->Release(), 1u);
  EXPECT_EQ(client->Release(), 0u);
  EXPECT_EQ(TR_Get_Shared("client-test-release"), nullptr);
}

TEST(ClientRefCount, ConcurrentAddRefAndReleaseBalance) {
  std::atomic<int> destroyed{0};
  auto* client = new TestSink({}, &destroyed);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([client] {
      for (int i = 0; i < 10000; ++i) {
        client->Add_Ref();
        client->Release();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(destroyed.load(), 0);
  EXPECT_EQ(client->Release(), 0u);
  EXPECT_EQ(destroyed.load(), 1);
}

}  // namespace
