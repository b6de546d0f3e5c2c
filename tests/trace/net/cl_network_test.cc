// The network sink against an in-process trace server on loopback: what is accepted arrives once
// and in order (also with lost packets), the window follows the losses, a dropped connection is
// reported to the channels and recovered with a stream that decodes by itself, the server's
// commands reach the channels, and stale or foreign answers change nothing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <mqtt-wrapper/TR.h>

#include "net_decode.h"
#include "support/child_process.h"
#include "support/program.h"
#include "support/sent_contract.h"
#include "support/wait_until.h"
#include "test_server.h"
#include "trace/core/loss_listener.h"
#include "trace/net/cl_network.h"
#include "trace/net/crc32.h"
#include "trace/net/net_plan.h"
#include "trace/net/packet_check.h"
#include "trace/net/transport_format.h"

namespace net_test {
namespace {

using namespace std::chrono_literals;

// How long a wait for an event that should come within a second or two may last before the
// test gives up: a backstop for a loaded machine or an emulator, never a measure.
constexpr uint32_t kBackstop_ms = 60000;

// A network sink made from option strings; released by the test.
CClNetwork* Make_Sink(const std::vector<std::string>& options) {
  std::vector<std::string> copies = options;
  std::vector<char*> args;
  for (std::string& option : copies) args.push_back(option.data());
  return new CClNetwork(args.data(), static_cast<int>(args.size()));
}

// `threads` threads make `calls` accepted trace calls "%d %d" (thread, index) each, retrying a
// refused call; returns the calls that were refused on the way.
uint64_t Trace_Accepted(ITR_Trace* channel, int threads, uint32_t calls) {
  std::atomic<uint64_t> refused{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (uint32_t i = 0; i < calls;) {
        if (channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d %u", t, i)) {
          ++i;
        } else {
          ++refused;
          std::this_thread::sleep_for(100us);
        }
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  return refused.load();
}

// --- sizing rules ---------------------------------------------------------------------------

struct Plan_Case {
  const char* label;
  sNet_Options options;
  uint32_t send_buffer;
  uint32_t packet_size;
  uint32_t memory;
  bool raised;
  uint32_t window;
  bool fixed;
  uint32_t eto_ms;
};

TEST(NetPlan, OptionsGivePacketPoolWindowAndExitTimeout) {
  const uint32_t big = 0x80000;  // what Linux grants for the socket's request
  const Plan_Case cases[] = {
      // A local address always uses the largest packet; the default pool is raised to 20 of them.
      {"defaults", {}, big, 65280, 1305600, true, 7, false, 5000},
      {"::1", {"::1"}, big, 65280, 1305600, true, 7, false, 5000},
      {"LOCALHOST literal any case",
       {"127.0.0.1", "100"},
       big,
       65280,
       1305600,
       true,
       7,
       false,
       5000},
      {"remote default", {"10.1.2.3"}, big, 1472, 1048576, false, 355, false, 5000},
      {"remote small", {"10.1.2.3", "100"}, big, 512, 1048576, false, 1023, false, 5000},
      {"remote large", {"10.1.2.3", "70000"}, big, 65280, 1305600, true, 7, false, 5000},
      {"remote negative", {"10.1.2.3", "-5"}, big, 512, 1048576, false, 1023, false, 5000},
      // Pool of 4 KiB: 16384 bytes, then 20 packets of 1472.
      {"pool 4", {"10.1.2.3", nullptr, "4"}, big, 1472, 29440, true, 10, false, 5000},
      {"pool 20 at 512", {"10.1.2.3", "512", "20"}, big, 512, 20480, false, 20, false, 5000},
      {"window 0", {"10.1.2.3", nullptr, nullptr, "0"}, big, 1472, 1048576, false, 1, true, 5000},
      {"window 50",
       {"10.1.2.3", nullptr, nullptr, "50"},
       big,
       1472,
       1048576,
       false,
       50,
       true,
       5000},
      {"window above the limits",
       {"10.1.2.3", nullptr, nullptr, "100000"},
       big,
       1472,
       1048576,
       false,
       355,
       true,
       5000},
      // A send buffer below one packet imposes no limit; the cap of 3952 then holds.
      {"tiny send buffer",
       {"10.1.2.3", "512", "4096"},
       100,
       512,
       4194304,
       false,
       3952,
       false,
       5000},
      {"eto 100",
       {nullptr, nullptr, nullptr, nullptr, "100"},
       big,
       65280,
       1305600,
       true,
       7,
       false,
       15000},
      {"eto 0", {nullptr, nullptr, nullptr, nullptr, "0"}, big, 65280, 1305600, true, 7, false, 0},
      {"eto -1",
       {nullptr, nullptr, nullptr, nullptr, "-1"},
       big,
       65280,
       1305600,
       true,
       7,
       false,
       15000},
  };
  for (const Plan_Case& c : cases) {
    SCOPED_TRACE(c.label);
    sNet_Plan plan = Net_Plan(c.options);
    Net_Plan_Window(&plan, c.send_buffer, c.options.window);
    EXPECT_EQ(plan.packet_size, c.packet_size);
    EXPECT_EQ(plan.memory, c.memory);
    EXPECT_EQ(plan.raised_to_20, c.raised);
    EXPECT_EQ(plan.window, c.window);
    EXPECT_EQ(plan.window_fixed, c.fixed);
    EXPECT_EQ(plan.exit_timeout_ms, c.eto_ms);
  }
}

TEST(NetSink, ConstructionReportsItsPoolInTheJournal) {
  TestServer server;
  ASSERT_TRUE(server.Valid());
  CClNetwork* sink = nullptr;
  const std::string out = mqw_test::Capture_Stdout([&] {
    sink = Make_Sink({"/TR.Verb=0", server.Port_Option()});
    ASSERT_EQ(sink->Get_Status(), eCode_Ok);
    EXPECT_TRUE(sink->Connection_Wait(kBackstop_ms));
    sink->Release();
  });
  EXPECT_NE(out.find("Pool size is not enought to store 20 packets, enlarge up to 1305600"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Pool: Max memory = 1305600, Packet size = 65280, Window length = "),
            std::string::npos)
      << out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBackstop_ms);
  while (server.Byes() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(server.Byes(), 1u) << "an orderly close says bye";
}

TEST(NetSink, UnresolvableAddressFailsConstruction) {
  CClNetwork* sink = Make_Sink({"/TR.Addr=no-such-host.invalid", "/TR.Port=9"});
  EXPECT_EQ(sink->Get_Status(), eCode_No_Slot);
  EXPECT_FALSE(sink->Connection_Wait(0));
  sTRC_Data_Chunk chunk{"x", 1};
  EXPECT_EQ(sink->Sent(0, &chunk, 1, 1), eCode_No_Slot);
  sTRC_Info info{};
  ASSERT_TRUE(sink->Get_Info(&info));
  EXPECT_EQ(info.rejects_error, 1u);
  sink->Release();
}

TEST(NetSink, SentRefusesWrongArgumentsAndCountsThem) {
  TestServer server;
  CClNetwork* sink = Make_Sink({server.Port_Option()});
  ASSERT_EQ(sink->Get_Status(), eCode_Ok);
  mqw_test::Expect_Sent_Refuses_Wrong_Arguments(sink);
  EXPECT_EQ(sink->Pool()->Get_State().taken_buffers, 0u) << "nothing was written for them";
  sink->Release();
}

// --- delivery --------------------------------------------------------------------------------

// Runs `threads` x `calls` trace calls through a network sink to `server` and checks that the
// rebuilt stream decodes to exactly those calls, in order per thread.
void Expect_Delivered(TestServer* server, int threads, uint32_t calls,
                      CClNetwork::sNet_Stats* stats_out = nullptr, uint64_t* resent = nullptr) {
  CClNetwork* sink = Make_Sink({server->Port_Option()});
  ASSERT_EQ(sink->Get_Status(), eCode_Ok);
  ASSERT_TRUE(sink->Connection_Wait(kBackstop_ms));
  ITR_Trace* channel = TR_Create_Trace(sink, "volume", nullptr);
  ASSERT_NE(channel, nullptr);
  Trace_Accepted(channel, threads, calls);
  channel->Release();
  sink->Close();  // waits until everything queued is confirmed (within the exit time-out)
  if (resent) *resent = sink->Stats().data_resent.load();
  (void)stats_out;
  sink->Release();

  const auto streams = server->Streams();
  ASSERT_EQ(streams.size(), 1u);
  CheckingOutput output(threads);
  EXPECT_EQ(Decode_Stream(streams[0], &output), "");
  EXPECT_EQ(output.Disorders(), 0u);
  for (int t = 0; t < threads; ++t) {
    EXPECT_EQ(output.Seen()[t], calls) << "thread " << t;
    EXPECT_EQ(output.Last()[t], static_cast<long>(calls) - 1) << "thread " << t;
  }
}

TEST(NetDelivery, EveryAcceptedCallArrivesOnceAndInOrder) {
  TestServer server;
  ASSERT_TRUE(server.Valid());
  Expect_Delivered(&server, 4, mqw_test::Scaled(250000));
}

TEST(NetDelivery, LostDataPacketsAreSentAgainInOrder) {
  TestServer server;
  ASSERT_TRUE(server.Valid());
  server.Set_Data_Drop(100);  // 10 %
  uint64_t resent = 0;
  Expect_Delivered(&server, 2, mqw_test::Scaled(100000), nullptr, &resent);
  EXPECT_GT(server.Dropped_Data(), 0u);
  EXPECT_GT(resent, 0u);
}

TEST(NetDelivery, WindowShrinksOnlyWhenMoreThan59PercentIsLostAndGrowsBackWithoutLoss) {
  struct Case {
    const char* label;
    uint32_t drop_per_mille;
    const char* window_option;
    bool shrinks;
  };
  const Case cases[] = {
      {"no loss", 0, nullptr, false},
      {"75 % lost", 750, nullptr, true},
      {"75 % lost, fixed window", 750, "/TR.Window=7", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TestServer server;
    ASSERT_TRUE(server.Valid());
    server.Set_Data_Drop(c.drop_per_mille);
    std::vector<std::string> options{server.Port_Option()};
    if (c.window_option) options.push_back(c.window_option);
    CClNetwork* sink = Make_Sink(options);
    ASSERT_EQ(sink->Get_Status(), eCode_Ok);
    ASSERT_TRUE(sink->Connection_Wait(kBackstop_ms));
    const uint32_t initial = sink->Stats().window.load();
    ASSERT_GT(initial, 3u);
    // Whole windows: every record fills most of a packet.
    std::vector<uint8_t> record(60000, 0x5A);
    sTRC_Data_Chunk chunk{record.data(), static_cast<uint32_t>(record.size())};
    // Alternate channels, so that no record grows by the next one.
    for (uint32_t i = 0; i < 40; ++i) {
      while (sink->Sent(i % 2, &chunk, 1, chunk.size) != eCode_Ok) std::this_thread::sleep_for(1ms);
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kBackstop_ms);
    while (server.Total_Stream_Bytes() < 40u * (record.size() + 4) &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(5ms);
    EXPECT_EQ(server.Total_Stream_Bytes(), 40u * (record.size() + 4));
    if (c.shrinks) {
      EXPECT_GT(sink->Stats().window_shrinks.load(), 0u);
      // The losses stop: windows confirmed without loss bring the window back to its ceiling.
      server.Set_Data_Drop(0);
      for (uint32_t i = 0; i < 40 + 2 * initial * initial; ++i) {
        while (sink->Sent(i % 2, &chunk, 1, chunk.size) != eCode_Ok)
          std::this_thread::sleep_for(1ms);
      }
      const auto regrown =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(kBackstop_ms);
      while (sink->Stats().window.load() < initial && std::chrono::steady_clock::now() < regrown)
        std::this_thread::sleep_for(5ms);
      EXPECT_EQ(sink->Stats().window.load(), initial);
    } else {
      EXPECT_EQ(sink->Stats().window_shrinks.load(), 0u);
      EXPECT_EQ(sink->Stats().window.load(), initial);
    }
    sink->Release();
  }
}

// --- reconnection ----------------------------------------------------------------------------

// A channel that records its status changes and losses in order (the test's own channel, so the
// loss report is checked whatever the engine's trace channel does with it).
class LossChannel final : public ITRC_Channel, public ILoss_Listener {
 public:
  struct Event {
    bool loss;
    sTRC_Status status;
    uint32_t records;
    uint64_t bytes;
    eLoss_Reason reason;
  };

  uint32_t Get_Type() override { return 1; }
  uint32_t Add_Ref() override { return 1; }
  uint32_t Release() override { return 1; }
  void On_Init(sTRC_Channel_Info*) override {}
  void On_Receive(uint32_t, uint8_t*, uint32_t, uint32_t) override {}
  void On_Flush(uint32_t, uint32_t*) override {}
  void On_Status(uint32_t, const sTRC_Status* status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(Event{false, *status, 0, 0, eLoss_Reason::eNo_Room});
  }
  void On_Loss(uint32_t records, uint64_t bytes, eLoss_Reason reason) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(Event{true, {}, records, bytes, reason});
  }
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::vector<Event> events_;
};

TEST(NetReconnect, ServerRestartDropsReconnectsReportsLossAndReplaysContext) {
  TestServer server;
  ASSERT_TRUE(server.Valid());
  CClNetwork* sink = Make_Sink({server.Port_Option()});
  ASSERT_EQ(sink->Get_Status(), eCode_Ok);
  ASSERT_TRUE(sink->Connection_Wait(kBackstop_ms));
  LossChannel recorder;
  ASSERT_EQ(sink->Register_Channel(&recorder), eCode_Ok);
  ITR_Trace* channel = TR_Create_Trace(sink, "restart", nullptr);
  ASSERT_NE(channel, nullptr);
  ASSERT_TRUE(channel->Register_Thread("worker", 0));

  // A steady producer on both channels throughout.
  std::atomic<bool> stop{false};
  std::thread producer([&] {
    std::vector<uint8_t> record(200, 1);
    sTRC_Data_Chunk chunk{record.data(), static_cast<uint32_t>(record.size())};
    for (uint32_t i = 0; !stop; ++i) {
      channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d %u", 0, i);
      sink->Sent(0, &chunk, 1, chunk.size);
      std::this_thread::sleep_for(200us);
    }
  });
  const bool first_flowing = server.Wait_For(
      [](const auto& streams) { return streams.size() == 1 && streams[0].size() > 20000; },
      mqw_test::kEvent_Backstop);
  // The server goes away while its port stays taken by this test (no other process can take it
  // before the restart); the sink notices by itself, after its unanswered control packets.
  server.Go_Silent();
  const bool dropped = mqw_test::Wait_Until([&] { return sink->Stats().drops.load() >= 1; });
  const bool restarted = server.Start();
  const bool reconnected = sink->Connection_Wait(kBackstop_ms);
  const bool flowing = server.Wait_For(
      [](const auto& streams) { return streams.size() == 2 && streams[1].size() > 20000; },
      mqw_test::kEvent_Backstop);
  stop = true;
  producer.join();
  EXPECT_TRUE(first_flowing);
  EXPECT_TRUE(dropped) << "ten unanswered control packets drop the connection";
  ASSERT_TRUE(restarted);
  EXPECT_TRUE(reconnected);
  EXPECT_TRUE(flowing);
  channel->Release();
  sink->Unregister_Channel(0);
  const uint64_t lost_records = sink->Stats().lost_records.load();
  sink->Release();

  // The restarted server's stream decodes by itself: the channel sent its context again.
  auto streams = server.Streams();
  ASSERT_EQ(streams.size(), 2u);
  streams.erase(streams.begin());
  CheckingOutput output(1);
  CStreamParser parser;
  ASSERT_TRUE(parser.Init(""));
  parser.Set_Output(&output);
  // The recorder's raw records (channel 0) are not trace records: feed only the trace channel's.
  std::vector<uint8_t> own;
  for (size_t at = 0; at + 4 <= streams[0].size();) {
    uint32_t header;
    memcpy(&header, streams[0].data() + at, 4);
    const uint32_t length = header & 0x7FFFFFF;
    ASSERT_GE(length, 4u);
    ASSERT_LE(at + length, streams[0].size());
    if ((header >> 27) != 0)
      own.insert(own.end(), streams[0].begin() + at, streams[0].begin() + at + length);
    at += length;
  }
  EXPECT_EQ(Decode_Stream(own, &output), "");
  EXPECT_GT(output.Seen()[0], 0u);
  EXPECT_EQ(output.Disorders(), 0u);

  // The records discarded with the connection were reported to the recorder before it was told
  // that the connection is back.
  const auto events = recorder.Events();
  size_t loss_at = events.size();
  uint64_t reported = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i].loss) {
      EXPECT_EQ(events[i].reason, eLoss_Reason::eConnection_Lost);
      EXPECT_GT(events[i].bytes, events[i].records * 4ull);
      reported += events[i].records;
      if (loss_at == events.size()) loss_at = i;
    }
  }
  ASSERT_LT(loss_at, events.size()) << "no loss reported";
  ASSERT_LT(loss_at + 1, events.size());
  EXPECT_FALSE(events[loss_at + 1].loss);
  EXPECT_NE(events[loss_at + 1].status.connected, 0)
      << "the loss comes with the status of the new connection";
  EXPECT_LE(reported, lost_records);
  EXPECT_GT(reported, 0u);
}

// --- closing ----------------------------------------------------------------------------------

// A server that answers every window with "all lost" keeps the connection up while confirming
// nothing: Close waits for the queued data only as long as /TR.Eto= allows (seconds; default
// 5), then gives up, says so in the journal and returns.
TEST(NetClose, ExitTimeoutBoundsCloseAgainstAServerThatConfirmsNothing) {
  struct Case {
    const char* eto;
    std::chrono::milliseconds at_least;
    std::chrono::milliseconds below;  // the default's 5 s, or the 1 s of the row above
  };
  const Case cases[] = {
      {"/TR.Eto=1", 1000ms, 5000ms},
      {"/TR.Eto=0", 0ms, 1000ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.eto);
    TestServer server;
    ASSERT_TRUE(server.Valid());
    CClNetwork* sink = Make_Sink({server.Port_Option(), c.eto, "/TR.Verb=4"});
    ASSERT_EQ(sink->Get_Status(), eCode_Ok);
    ASSERT_TRUE(sink->Connection_Wait(kBackstop_ms));
    server.Set_Data_Drop(1000);
    std::vector<uint8_t> record(1000, 7);
    sTRC_Data_Chunk chunk{record.data(), static_cast<uint32_t>(record.size())};
    ASSERT_EQ(sink->Sent(0, &chunk, 1, chunk.size), eCode_Ok);
    // The record is in flight and reported lost before Close begins.
    ASSERT_TRUE(mqw_test::Wait_Until([&] { return server.Dropped_Data() > 0; }));
    std::chrono::steady_clock::duration took{};
    const std::string journal = mqw_test::Capture_Stdout([&] {
      const auto start = std::chrono::steady_clock::now();
      sink->Close();
      took = std::chrono::steady_clock::now() - start;
    });
    EXPECT_GE(took, c.at_least);
    EXPECT_LT(took, c.below);
    EXPECT_NE(journal.find("not of all packets were sent"), std::string::npos) << journal;
    EXPECT_EQ(sink->Stats().drops.load(), 0u)
        << "the connection stayed up: only the limit ended it";
    sink->Release();
  }
}

// --- commands from the server ----------------------------------------------------------------

TEST(NetCommands, VerbosityCommandsChangeTheChannelAndAModule) {
  TestServer server;
  ASSERT_TRUE(server.Valid());
  CClNetwork* sink = Make_Sink({server.Port_Option()});
  ASSERT_EQ(sink->Get_Status(), eCode_Ok);
  ASSERT_TRUE(sink->Connection_Wait(kBackstop_ms));
  ITR_Trace* channel = TR_Create_Trace(sink, "remote", nullptr);
  ASSERT_NE(channel, nullptr);
  void* module = nullptr;
  ASSERT_TRUE(channel->Register_Module("first", &module));
  ASSERT_EQ(channel->Get_Verbosity(nullptr), TRL_TRACE);

  auto command = [](uint32_t level, uint16_t module_id) {
    std::vector<uint8_t> record(10, 0);
    const uint32_t header = 10 * 1024 + 3 * 32;
    memcpy(record.data(), &header, 4);
    memcpy(record.data() + 4, &level, 4);
    memcpy(record.data() + 8, &module_id, 2);
    return record;
  };
  server.Queue_User_Data(0, command(TRL_ERROR, 0));
  server.Queue_User_Data(0, command(TRL_WARNING, 1));
  // Delivered with the acknowledgement of the next ping (one per idle second).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBackstop_ms);
  while ((channel->Get_Verbosity(nullptr) != TRL_ERROR ||
          channel->Get_Verbosity(module) != TRL_WARNING) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(channel->Get_Verbosity(nullptr), TRL_ERROR);
  EXPECT_EQ(channel->Get_Verbosity(module), TRL_WARNING);
  channel->Release();
  sink->Release();
}

// --- a hand-driven server: stale and foreign answers --------------------------------------

class ManualServer {
 public:
  ManualServer() {
    socket_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~ManualServer() { close(socket_); }

  std::string Port_Option() const { return "/TR.Port=" + std::to_string(port_); }

  // The next packet of `type` from the client (others are skipped); false after `timeout_ms`.
  // A `timeout_ms` of 0 takes only what has already arrived.
  bool Receive(uint32_t type, std::vector<uint8_t>* packet, uint32_t timeout_ms = kBackstop_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
      pollfd wait{socket_, POLLIN, 0};
      if (poll(&wait, 1, 10) <= 0) continue;
      packet->resize(65536);
      peer_length_ = sizeof(peer_);
      const ssize_t n = recvfrom(socket_, packet->data(), packet->size(), 0,
                                 reinterpret_cast<sockaddr*>(&peer_), &peer_length_);
      if (n < static_cast<ssize_t>(kTP_Header_Size)) continue;
      packet->resize(static_cast<size_t>(n));
      if ((TP_Load16(packet->data() + kTP_Offset_Type) & kTP_Type_Mask) == type) return true;
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
  }

  // An acknowledgement of `acked` with `client_id`; `size_field` other than 0 overrides the size
  // field (to claim more bytes than are sent).
  void Ack(uint32_t acked, uint16_t client_id, uint16_t size_field = 0, bool foreign = false) {
    std::vector<uint8_t> packet(20, 0);
    TP_Store32(packet.data() + kTP_Offset_ID, ++reply_id_);
    TP_Store16(packet.data() + kTP_Offset_Type, eTP_Acknowledgment);
    TP_Store16(packet.data() + kTP_Offset_Size, size_field ? size_field : 20);
    TP_Store16(packet.data() + kTP_Offset_Client, client_id);
    TP_Store32(packet.data() + kTP_Ack_Offset_ID, acked);
    TP_Store16(packet.data() + kTP_Ack_Offset_Result, 1);
    TP_Store32(packet.data(), TP_Packet_CRC(packet.data(), 20));
    const int from = foreign ? socket(AF_INET, SOCK_DGRAM, 0) : socket_;
    sendto(from, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&peer_),
           peer_length_);
    if (foreign) close(from);
  }

 private:
  int socket_ = -1;
  uint16_t port_ = 0;
  sockaddr_storage peer_{};
  socklen_t peer_length_ = 0;
  uint32_t reply_id_ = 0;
};

TEST(NetProtocol, OnlyTheAnswerToThePendingPacketCounts) {
  ManualServer server;
  CClNetwork* sink = Make_Sink({server.Port_Option()});
  ASSERT_EQ(sink->Get_Status(), eCode_Ok);
  std::vector<uint8_t> hello;
  ASSERT_TRUE(server.Receive(eTP_Hello, &hello));
  EXPECT_EQ(hello.size(), kTP_Hello_Size);
  EXPECT_EQ(TP_Load16(hello.data() + kTP_Offset_Type), kTP_Hello_Type_Flags);
  EXPECT_EQ(TP_Load16(hello.data() + kTP_Hello_Offset_Packet_Size), 65280u);
  EXPECT_EQ(TP_Load16(hello.data() + kTP_Offset_Client), kTP_No_Client);
  const uint32_t hello_id = TP_Load32(hello.data() + kTP_Offset_ID);

  // An answer to a packet never sent, and one whose size field claims more bytes than arrived:
  // neither connects nor gives the client an ID.
  // The right answer from another address is not the server's either.
  server.Ack(hello_id + 1000, 0x1234);
  server.Ack(hello_id, 0x2345, 200);
  server.Ack(hello_id, 0x3456, 0, /*foreign=*/true);
  // The hello is sent again unchanged without an answer (the socket keeps the order in which
  // the hellos were sent, so this is the first one sent again whatever the machine's load).
  std::vector<uint8_t> again;
  ASSERT_TRUE(server.Receive(eTP_Hello, &again));
  EXPECT_EQ(again, hello);

  // The right answer to the pending hello. The sink gives a hello up after ten unanswered tries
  // and says hello with a new ID, so on a slow machine the one answered is the newest seen, and
  // a later one is answered again if that came too late. Any of the false answers above taken
  // for a connection would show in the client ID of the pings below.
  uint32_t pending = hello_id;
  for (std::vector<uint8_t> later; server.Receive(eTP_Hello, &later, 0);)
    pending = TP_Load32(later.data() + kTP_Offset_ID);
  server.Ack(pending, 7);
  for (int answers = 1; !sink->Connection_Wait(1000) && answers < 60; ++answers) {
    std::vector<uint8_t> later;
    if (server.Receive(eTP_Hello, &later, 0))
      server.Ack(TP_Load32(later.data() + kTP_Offset_ID), 7);
  }
  ASSERT_TRUE(sink->Connection_Wait(0));
  // The idle line is pinged with the ID the server gave.
  std::vector<uint8_t> ping;
  ASSERT_TRUE(server.Receive(eTP_Ping, &ping));
  EXPECT_EQ(ping.size(), kTP_Ping_Size);
  EXPECT_EQ(TP_Load16(ping.data() + kTP_Offset_Client), 7u);
  EXPECT_EQ(TP_Load32(ping.data()), TP_Packet_CRC(ping.data(), kTP_Ping_Size));
  server.Ack(TP_Load32(ping.data() + kTP_Offset_ID), 7);

  sink->Release();
  std::vector<uint8_t> bye;
  ASSERT_TRUE(server.Receive(eTP_Bye, &bye));
  EXPECT_EQ(TP_Load16(bye.data() + kTP_Offset_Client), 7u);
}

TEST(NetProtocol, DiscardedRecordsAreCountedPerChannelFromTheirHeaders) {
  ManualServer server;
  CClNetwork* sink = Make_Sink({server.Port_Option()});
  ASSERT_EQ(sink->Get_Status(), eCode_Ok);
  LossChannel silent, first, second;
  ASSERT_EQ(sink->Register_Channel(&silent), eCode_Ok);  // ID 0
  ASSERT_EQ(sink->Register_Channel(&first), eCode_Ok);   // ID 1
  ASSERT_EQ(sink->Register_Channel(&second), eCode_Ok);  // ID 2
  // Nothing answers the hello: the records wait until the connection drops and are discarded.
  std::vector<uint8_t> small(100, 1), large(70000, 2);  // the large one spans two packets
  sTRC_Data_Chunk small_chunk{small.data(), 100};
  sTRC_Data_Chunk large_chunk{large.data(), 70000};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(sink->Sent(1, &small_chunk, 1, 100), eCode_Ok);
    ASSERT_EQ(sink->Sent(2, &small_chunk, 1, 100), eCode_Ok);
  }
  ASSERT_EQ(sink->Sent(1, &large_chunk, 1, 70000), eCode_Ok);
  ASSERT_EQ(sink->Sent(2, &small_chunk, 1, 100), eCode_Ok);

  std::vector<uint8_t> hello;
  ASSERT_TRUE(server.Receive(eTP_Hello, &hello));
  const uint32_t first_hello = TP_Load32(hello.data() + kTP_Offset_ID);
  // After the drop the hello carries a new ID; answering it brings the connection back.
  do {
    ASSERT_TRUE(server.Receive(eTP_Hello, &hello));
  } while (TP_Load32(hello.data() + kTP_Offset_ID) == first_hello);
  EXPECT_EQ(sink->Stats().drops.load(), 1u);
  sTRC_Data_Chunk late{"x", 1};
  EXPECT_EQ(sink->Sent(1, &late, 1, 1), eCode_Off) << "refused while the connection is down";
  server.Ack(TP_Load32(hello.data() + kTP_Offset_ID), 9);
  ASSERT_TRUE(sink->Connection_Wait(kBackstop_ms));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBackstop_ms);
  while (second.Events().empty() || !second.Events().back().status.connected) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::sleep_for(5ms);
  }

  struct Expect {
    LossChannel* channel;
    uint32_t records;
    uint64_t bytes;
  } expected[] = {{&silent, 0, 0}, {&first, 4, 3 * 104 + 70004}, {&second, 4, 4 * 104}};
  for (const Expect& e : expected) {
    const auto events = e.channel->Events();
    uint32_t records = 0;
    uint64_t bytes = 0;
    for (size_t i = 0; i < events.size(); ++i) {
      if (!events[i].loss) continue;
      records += events[i].records;
      bytes += events[i].bytes;
      EXPECT_EQ(events[i].reason, eLoss_Reason::eConnection_Lost);
      // The report comes just before the status of the new connection.
      ASSERT_LT(i + 1, events.size());
      EXPECT_FALSE(events[i + 1].loss);
      EXPECT_NE(events[i + 1].status.connected, 0);
    }
    EXPECT_EQ(records, e.records);
    EXPECT_EQ(bytes, e.bytes);
  }
  EXPECT_EQ(sink->Stats().lost_records.load(), 8u);
  for (int id = 2; id >= 0; --id) sink->Unregister_Channel(static_cast<uint32_t>(id));
  sink->Release();
}

// A record is queued whole or not at all: a pool that fails part-way through the packets a record
// needs makes Sent refuse it with nothing of it queued, and every record accepted before and
// after arrives whole (the server stops storing a stream at the first broken record).
TEST(NetDelivery, RecordRefusedPartWayLeavesNothingOfItQueued) {
  TestServer server;
  ASSERT_TRUE(server.Valid());
  CClNetwork* sink = Make_Sink({server.Port_Option()});
  ASSERT_EQ(sink->Get_Status(), eCode_Ok);
  ASSERT_TRUE(sink->Connection_Wait(kBackstop_ms));
  const uint32_t payload = sink->Plan().packet_size - kTP_Header_Size;

  // Channels 1 and 2 alternate, so that every call starts a record of its own; record n is
  // filled with the byte n.
  std::vector<uint8_t> expected[3];
  uint8_t fill = 0;
  auto send = [&](uint32_t channel, uint32_t size) {
    std::vector<uint8_t> bytes(size, ++fill);
    // Two chunks, the second crossing packet boundaries for the large records.
    const uint32_t head = size / 3;
    sTRC_Data_Chunk chunks[2] = {{bytes.data(), head}, {bytes.data() + head, size - head}};
    const uint32_t result = sink->Sent(channel, chunks, 2, size);
    if (result == eCode_Ok)
      expected[channel].insert(expected[channel].end(), bytes.begin(), bytes.end());
    return result;
  };

  // A call that must be accepted waits for the server to confirm what is in flight.
  auto send_accepted = [&](uint32_t channel, uint32_t size) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kBackstop_ms);
    uint32_t result;
    while ((result = send(channel, size)) == eCode_No_Room &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    return result;
  };

  // Every failing record needs at least three fresh packets, wherever the last queued packet
  // ends (the communication thread may take it at any time), so each failure falls inside it.
  struct Case {
    const char* label;
    uint32_t lead;   // bytes of the record before it, partly filling the last queued packet
    uint32_t pulls;  // packets handed out before the failing one
  } cases[] = {
      {"first fresh packet", 0, 0},
      {"first fresh packet, header in the open packet", payload / 2, 0},
      {"second fresh packet", 100, 1},
      {"third fresh packet", payload - 100, 2},
  };
  const uint32_t size = 3 * payload;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.lead) {
      ASSERT_EQ(send_accepted(1, c.lead), eCode_Ok);
    }
    // Room for the whole record, so that only the injected failure refuses it.
    ASSERT_EQ(send_accepted(2, 1), eCode_Ok);
    sink->Pool()->Fail_Pull_After(c.pulls);
    EXPECT_EQ(send(2, size), eCode_No_Room);
    sink->Pool()->Fail_Pull_After(CBuffers_Pool::kNo_Failure);
    ASSERT_EQ(send_accepted(1, 300), eCode_Ok);
    ASSERT_EQ(send_accepted(2, size), eCode_Ok);
  }
  sink->Close();
  sink->Release();

  const auto streams = server.Streams();
  ASSERT_EQ(streams.size(), 1u);
  std::vector<uint8_t> seen[3];
  CTP_Chunk_Reader reader(streams[0].data(), static_cast<uint32_t>(streams[0].size()));
  sTP_Chunk chunk;
  uint64_t walked = 0;
  while (reader.Next(&chunk)) {
    ASSERT_GE(chunk.channel, 1u);
    ASSERT_LE(chunk.channel, 2u);
    seen[chunk.channel].insert(seen[chunk.channel].end(), chunk.payload,
                               chunk.payload + chunk.payload_size);
    walked += chunk.payload_size + kTP_Chunk_Header;
  }
  EXPECT_FALSE(reader.Malformed());
  EXPECT_EQ(walked, streams[0].size());
  for (uint32_t channel : {1u, 2u}) {
    SCOPED_TRACE(channel);
    EXPECT_TRUE(seen[channel] == expected[channel])
        << seen[channel].size() << " bytes seen, " << expected[channel].size() << " expected";
  }
}

TEST(NetProtocol, DataOfOneChannelGrowsTheOpenRecord) {
  ManualServer server;
  CClNetwork* sink = Make_Sink({server.Port_Option()});
  ASSERT_EQ(sink->Get_Status(), eCode_Ok);
  // Nothing answers the hello, so data waits in the ready queue behind it.
  sTRC_Data_Chunk a{"aaaa", 4};
  sTRC_Data_Chunk b{"bb", 2};
  ASSERT_EQ(sink->Sent(1, &a, 1, 4), eCode_Ok);
  ASSERT_EQ(sink->Sent(1, &b, 1, 2), eCode_Ok);
  ASSERT_EQ(sink->Sent(2, &a, 1, 4), eCode_Ok);
  std::vector<uint8_t> hello;
  ASSERT_TRUE(server.Receive(eTP_Hello, &hello));
  server.Ack(TP_Load32(hello.data() + kTP_Offset_ID), 3);
  std::vector<uint8_t> data;
  ASSERT_TRUE(server.Receive(eTP_Data, &data));
  // One record of channel 1 of 4 + 6 bytes, then one of channel 2.
  ASSERT_EQ(data.size(), kTP_Header_Size + 10 + 8);
  EXPECT_EQ(TP_Load32(data.data() + 14), (1u << 27) | 10u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.data()) + 18, 6), "aaaabb");
  EXPECT_EQ(TP_Load32(data.data() + 24), (2u << 27) | 8u);
  EXPECT_EQ(TP_Load16(data.data() + kTP_Offset_Type), eTP_Data);
  EXPECT_EQ(TP_Load16(data.data() + kTP_Offset_Client), 3u);
  sink->Release();
}

}  // namespace
}  // namespace net_test

namespace net_test {
namespace {

// --- the factory's choice ----------------------------------------------------------------------

TEST(NetFactory, NetworkIsTheDefaultAndAutoKeepsAnAnsweringServer) {
  TestServer server;
  ASSERT_TRUE(server.Valid());
  const std::string port = " " + server.Port_Option();
  for (const std::string& options : {port, "/TR.Sink=Network" + port, "/TR.Sink=Auto" + port}) {
    SCOPED_TRACE(options);
    ITR_Client* client = TR_Create_Client(options.c_str());
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->Get_Type(), ITR_Client::eNetwork);
    EXPECT_EQ(client->Get_Status(), eCode_Ok);
    client->Release();
  }
}

}  // namespace
}  // namespace net_test
