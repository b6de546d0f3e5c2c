// The text client: framing and queueing in Sent, the worker, Close, the outputs it chooses, and
// how it behaves when its stream cannot be parsed. Real threads, a real trace channel and real
// timing (generous tolerances), no mocks beyond a capturing output.
#include "trace/text/cl_text.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/capture_sink.h"
#include "support/child_process.h"
#include "support/option_args.h"
#include "support/recording_channel.h"
#include "support/sent_contract.h"
#include "support/stream_builder.h"

namespace {

using namespace text_test;
using namespace std::chrono_literals;

using Args = mqw_test::OptionArgs;

std::string Handle_Option(CClTextSink* sink) {
  char text[64];
  snprintf(text, sizeof(text), "/TR.ExtAddr=%llX",
           static_cast<unsigned long long>(TR_Register_Text_Sink(sink)));
  return text;
}

// A text client writing to `sink`, with extra options.
CClText* New_Client(CaptureSink* sink, std::vector<std::string> extra = {}) {
  extra.push_back("/TR.Sink=ExternalSinc");
  extra.push_back(Handle_Option(sink));
  Args args(extra);
  return new CClText(args.Get(), args.Count());
}

uint32_t Send(ITR_Client* client, uint32_t channel, const Bytes& payload) {
  sTRC_Data_Chunk chunk{payload.data(), static_cast<uint32_t>(payload.size())};
  return client->Sent(channel, &chunk, 1, static_cast<uint32_t>(payload.size()));
}

// A payload of exactly `size` bytes that parses: the channel information and a record of
// another stream type (which readers skip) filling the rest.
Bytes Filler_Payload(uint32_t size) {
  Bytes payload = Info("Filler");
  Bytes other(size - payload.size(), 0);
  uint32_t header = (static_cast<uint32_t>(other.size()) << 10) | 1;
  memcpy(other.data(), &header, 4);
  return Cat({payload, other});
}

TEST(ClText, PoolSizing) {
  const struct {
    const char* option;
    uint32_t count;
    uint32_t size;
  } cases[] = {{nullptr, 16, 131072},    {"/TR.Pool=1024", 8, 131072}, {"/TR.Pool=256", 4, 65536},
               {"/TR.Pool=1", 3, 16384}, {"/TR.Pool=100", 3, 32768},   {"/TR.Pool=x", 3, 16384}};
  for (const auto& c : cases) {
    CaptureSink sink;
    std::vector<std::string> options;
    if (c.option) options.push_back(c.option);
    CClText* client = New_Client(&sink, options);
    EXPECT_EQ(client->Get_Status(), 0u);
    EXPECT_EQ(client->Buffer_Count(), c.count) << (c.option ? c.option : "default");
    EXPECT_EQ(client->Buffer_Size(), c.size) << (c.option ? c.option : "default");
    sTRC_Info info{};
    ASSERT_TRUE(client->Get_Info(&info));
    EXPECT_EQ(info.allocated_bytes, c.count * c.size);
    client->Release();
  }
}

TEST(ClText, SentRefusesWhatItCannotTake) {
  CaptureSink sink;
  CClText* client = New_Client(&sink, {"/TR.Pool=1"});  // 3 x 16384 bytes
  Bytes payload = Info("C");
  const uint32_t wrong = mqw_test::Expect_Sent_Refuses_Wrong_Arguments(client);
  // The packet (payload + 4) must be smaller than the whole pool.
  EXPECT_EQ(Send(client, 1, Filler_Payload(49148)), 4u);
  EXPECT_EQ(Send(client, 1, Filler_Payload(49147)), 0u);
  EXPECT_EQ(Send(client, 1, Filler_Payload(49147)), 0u);  // waits for the worker to make room
  sTRC_Info info{};
  ASSERT_TRUE(client->Get_Info(&info));
  EXPECT_EQ(info.rejects_error, wrong);
  EXPECT_EQ(info.rejects_no_room, 1u);
  EXPECT_EQ(info.rejects_off, 0u);
  ASSERT_TRUE(client->Close());
  EXPECT_EQ(Send(client, 1, payload), 1u);
  ASSERT_TRUE(client->Get_Info(&info));
  EXPECT_EQ(info.rejects_off, 1u);
  client->Release();
}

TEST(ClText, PartlyFilledBufferIsRenderedWithoutFlush) {
  CaptureSink sink;
  CClText* client = New_Client(&sink);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Send(client, 0, Cat({Info("C"), Format(1, "hello"), Data(1, kTimer0)})), 0u);
  ASSERT_TRUE(sink.Wait_Lines(1, 5s));
  // About 100 ms by design; generous for sanitizers and emulation.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_EQ(sink.Lines()[0].message, "hello");
  client->Release();
}

TEST(ClText, EveryAcceptedRecordIsRenderedOnceAndInOrder) {
  CaptureSink sink;
  CClText* client = New_Client(&sink, {"/TR.Pool=1", "/TR.Format=%ms"});
  ASSERT_EQ(Send(client, 3, Cat({Info("C"), Format(1, "line %d", {4, 8})})), 0u);
  const int kLines = 5000;
  std::vector<std::thread> producers;
  std::atomic<int> next{0};
  for (int t = 0; t < 2; ++t) {
    producers.emplace_back([&] {
      // Each call is one packet; the shared counter gives every line a unique number, the
      // channel ID keeps one producer's packets in order.
      for (int i; (i = next.fetch_add(1)) < kLines;)
        EXPECT_EQ(Send(client, 3, Data(1, kTimer0, Int(i))), 0u);
    });
  }
  for (auto& producer : producers) producer.join();
  client->Release();  // Close renders whatever the worker had not reached yet
  auto lines = sink.Texts();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kLines));
  std::vector<int> seen(kLines, 0);
  for (const std::string& line : lines) {
    int value = atoi(line.c_str() + 5);
    ASSERT_GE(value, 0);
    ASSERT_LT(value, kLines);
    ++seen[value];
  }
  for (int count : seen) EXPECT_EQ(count, 1);
}

TEST(ClText, OnlyRegisteredOutputsAreUsed) {
  CaptureSink registered;
  CaptureSink unregistered;
  char address[64];
  snprintf(address, sizeof(address), "/TR.ExtAddr=%llX",
           static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&unregistered)));
  const char* invalid[] = {address, "/TR.ExtAddr=", "/TR.ExtAddr=zz",
                           "/TR.ExtAddr=FFFFFFFFFFFFFFFFF"};
  for (const char* option : invalid) {
    Args args({"/TR.Sink=ExternalSinc", option});
    std::string out = mqw_test::Capture_Stdout([&] {
      CClText* client = new CClText(args.Get(), args.Count());
      EXPECT_EQ(client->Get_Status(), 0u);
      Send(client, 0, Cat({Info("C"), Format(1, "to the console"), Data(1, kTimer0)}));
      client->Release();
    });
    EXPECT_NE(out.find("to the console"), std::string::npos) << option;
  }
  EXPECT_EQ(unregistered.Initialized(), 0);

  uint64_t handle = TR_Register_Text_Sink(&registered);
  ASSERT_NE(handle, 0u);
  EXPECT_EQ(TR_Register_Text_Sink(&registered), handle);
  EXPECT_EQ(TR_Register_Text_Sink(nullptr), 0u);
  char option[64];
  snprintf(option, sizeof(option), "/TR.ExtAddr=%llx", static_cast<unsigned long long>(handle));
  Args args({"/TR.Sink=externalsinc", option});
  CClText* client = new CClText(args.Get(), args.Count());
  Send(client, 0, Cat({Info("C"), Format(1, "registered"), Data(1, kTimer0)}));
  client->Release();
  EXPECT_EQ(registered.Initialized(), 1);
  ASSERT_EQ(registered.Lines().size(), 1u);
  EXPECT_TRUE(TR_Unregister_Text_Sink(handle));
  EXPECT_FALSE(TR_Unregister_Text_Sink(handle));
  // A withdrawn handle no longer selects the object.
  std::string out = mqw_test::Capture_Stdout([&] {
    CClText* again = new CClText(args.Get(), args.Count());
    again->Release();
  });
  EXPECT_EQ(registered.Initialized(), 1);
}

// A stream that cannot be parsed switches the client off instead of stalling its producers.
TEST(ClText, UnparsableStreamTurnsTheClientOff) {
  CaptureSink sink;
  RecordingChannel channel;
  std::string journal = mqw_test::Capture_Stdout([&] {
    CClText* client = New_Client(&sink, {"/TR.Pool=1", "/TR.Verb=4"});
    ASSERT_EQ(client->Register_Channel(&channel), 0u);
    sink.Block();
    // One line, then a packet whose only record claims 0 bytes; both land in the first buffer.
    ASSERT_EQ(Send(client, 0, Cat({Info("C"), Format(1, "x"), Data(1, kTimer0)})), 0u);
    ASSERT_EQ(Send(client, 0, Bytes{0, 0, 0, 0}), 0u);
    ASSERT_TRUE(sink.Wait_Blocked(5s));  // the worker holds the first buffer
    // Fill the rest of the pool, then one more producer has to wait for room.
    ASSERT_EQ(Send(client, 0, Filler_Payload(16380)), 0u);
    ASSERT_EQ(Send(client, 0, Filler_Payload(16380)), 0u);
    auto waiting =
        std::async(std::launch::async, [&] { return Send(client, 0, Filler_Payload(16380)); });
    EXPECT_EQ(waiting.wait_for(300ms), std::future_status::timeout);
    sink.Release();
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 1u);
    sTRC_Status status{1, 0};
    ASSERT_TRUE(client->Get_Status(&status));
    EXPECT_EQ(status.connected, 0);
    EXPECT_EQ(Send(client, 0, Info("C")), 1u);
    sTRC_Info info{};
    client->Get_Info(&info);
    EXPECT_EQ(info.rejects_off, 2u);
    // Every channel hears that the client is off (right after the producers were released).
    bool told = false;
    for (int i = 0; i < 100 && !told; ++i) {
      for (const auto& event : channel.Events()) {
        if (event.kind == RecordingChannel::Kind::Status && event.status.connected == 0)
          told = true;
      }
      if (!told) std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(told);
    client->Unregister_Channel(channel.Id());
    client->Release();
  });
  // Failures inside the capture were printed into it as well.
  EXPECT_NE(journal.find("Text output stopped"), std::string::npos) << journal;
  EXPECT_EQ(journal.find("Failure"), std::string::npos) << journal;
  EXPECT_EQ(sink.Lines().size(), 1u);
}

TEST(ClText, TraceChannelEndToEnd) {
  CaptureSink sink;
  std::string options =
      "/TR.Sink=ExternalSinc " + Handle_Option(&sink) + " /TR.Format=%cn|%tn|%mn|%lv|%fs|%ms";
  ITR_Client* client = TR_Create_Client(options.c_str());
  ASSERT_NE(client, nullptr);
  ITR_Trace* trace = TR_Create_Trace(client, "Main", nullptr);
  ASSERT_NE(trace, nullptr);
  void* module = nullptr;
  ASSERT_TRUE(trace->Register_Module("Net", &module));
  ASSERT_TRUE(trace->Register_Thread("Tester", gettid()));
  EXPECT_TRUE(trace->Trace(0, TRL_INFO, module, 10, "/a/b/c.cc", "F", "%s has %d items (%.1f%%)",
                           "list", 3, 42.5));
  EXPECT_TRUE(trace->Trace(0, TRL_ERROR, nullptr, 11, "c.cc", "F", "%c%lc %ls %p", 'x', L'\u00e9',
                           L"wide", (void*)0x1f));
  EXPECT_TRUE(trace->Trace_Managed(0, TRL_WARNING, nullptr, 12, "c.cc", "F", "managed text"));
  trace->Release();
  client->Release();
  std::vector<std::string> expected = {"Main|Tester|Net|INFO |c.cc|list has 3 items (42.5%)",
                                       "Main|Tester|Unkn.|ERROR|c.cc|x\xc3\xa9 wide 0x1F",
                                       "Main|Tester|Unkn.|WARN.|c.cc|managed text"};
  EXPECT_EQ(sink.Texts(), expected);
}

}  // namespace
