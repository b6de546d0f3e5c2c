// The trace server's protocol logic, fed with datagrams built by the client's own packet
// classes: greetings, pings, windows acknowledged or reported, the stream rebuilt in ID order,
// restarts, limits, and isolation of a misbehaving client.
#include "trace/server/trace_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "trace/net/packet_check.h"
#include "trace/net/tpacket.h"
#include "trace/server/reply_builder.h"

namespace {

// Records what the server tells its owner.
class RecordingListener final : public ITRS_Listener {
 public:
  struct Client {
    uint16_t id;
    sTRS_Hello hello;
    bool restart;
  };
  void On_Client(uint16_t client_id, const sTRS_Hello& hello, bool restart) override {
    clients.push_back({client_id, hello, restart});
    if (client_hook) client_hook(client_id);
  }
  void On_Stream(uint16_t client_id, const uint8_t* bytes, uint32_t size) override {
    streams[client_id].append(reinterpret_cast<const char*>(bytes), size);
    if (stream_hook) stream_hook(client_id);
  }
  void On_Leave(uint16_t client_id, eTRS_Leave reason) override {
    leaves.push_back({client_id, reason});
  }

  std::vector<Client> clients;
  std::map<uint16_t, std::string> streams;
  std::vector<std::pair<uint16_t, eTRS_Leave>> leaves;
  // Called after each On_Client / On_Stream was recorded (the owner's reactions).
  std::function<void(uint16_t)> client_hook;
  std::function<void(uint16_t)> stream_hook;
};

// A reply as the client sees it.
struct Reply {
  uint32_t request_id = 0;  // ID of the packet that was answered
  bool sent = false;
  size_t size = 0;  // bytes of the reply datagram
  eTP_Check check = eTP_Check_Truncated;
  uint32_t type = 0;
  uint16_t client_id = 0;
  uint32_t acked = 0;  // acknowledged ID or window ID
  uint16_t result = 0;
  std::vector<uint32_t> lost;  // distances marked lost
  uint32_t capacity = 0;       // from a type 0 extension
  // User-data chunks as the client's channel thread delivers them: channel and payload.
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> user_data;
};

// The chunks of `bytes` as the network sink's channel thread walks them.
void Read_Chunks(const uint8_t* bytes, uint32_t size, Reply* reply) {
  CTP_Chunk_Reader chunks(bytes, size);
  sTP_Chunk chunk;
  while (chunks.Next(&chunk)) {
    reply->user_data.push_back(
        {chunk.channel, std::vector<uint8_t>(chunk.payload, chunk.payload + chunk.payload_size)});
  }
  EXPECT_FALSE(chunks.Malformed());
}

// A simulated client at one endpoint: numbers its packets like the network sink does and
// builds them with the transport packet classes.
class Client {
 public:
  Client(CTRS_Server* server, uint16_t port, uint32_t first_id = 1)
      : server_(server), next_id_(first_id) {
    endpoint_.family = AF_INET;
    endpoint_.port = htons(port);
    endpoint_.address[0] = 127;
    endpoint_.address[3] = 1;
  }

  uint32_t Take_ID() {
    uint32_t id = next_id_;
    next_id_ = TP_Next_ID(next_id_);
    return id;
  }
  void Set_Next_ID(uint32_t id) { next_id_ = id; }
  // The client's IPv4 address (127.0.0.1 unless set).
  void Set_Host(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    endpoint_.address[0] = a;
    endpoint_.address[1] = b;
    endpoint_.address[2] = c;
    endpoint_.address[3] = d;
  }

  Reply Hello(const char* name = "client", uint32_t id = 0) {
    CTPClient_Hello hello;
    hello.Fill(packet_size_, 4242, 0x0102030405060708ull, name);
    last_hello_ = id ? id : Take_ID();
    hello.Finalize(last_hello_, client_id_);
    return Send(hello);
  }
  Reply Ping() {
    CTPClient_Ping ping;
    ping.Finalize(Take_ID(), client_id_);
    return Send(ping);
  }
  Reply Bye() {
    CTPClient_Bye bye;
    bye.Finalize(Take_ID(), client_id_);
    return Send(bye);
  }
  // A data packet; its ID is returned through `id`.
  std::vector<uint8_t> Data_Packet(const std::string& body, uint32_t id) {
    CTPacket packet(eTP_Data, static_cast<uint16_t>(kTP_Header_Size + body.size()));
    memcpy(packet.Get_Buffer() + kTP_Header_Size, body.data(), body.size());
    packet.Finalize(id, client_id_);
    return std::vector<uint8_t>(packet.Get_Buffer(), packet.Get_Buffer() + packet.Get_Size());
  }
  Reply Send_Data(const std::vector<uint8_t>& datagram) { return Send_Bytes(datagram); }
  // Window packet with a fresh ID (or `id`).
  Reply Window(uint32_t first, uint32_t last, uint32_t id = 0) {
    CTPData_Window window;
    window.Set_Window(first, last);
    last_window_ = id ? id : Take_ID();
    window.Finalize(last_window_, client_id_);
    return Send(window);
  }
  Reply Send_Bytes(const std::vector<uint8_t>& datagram) {
    tTRS_Reply bytes;
    Reply reply;
    if (datagram.size() >= kTP_Header_Size)
      reply.request_id = TP_Load32(datagram.data() + kTP_Offset_ID);
    reply.sent = server_->On_Datagram(datagram.data(), static_cast<uint32_t>(datagram.size()),
                                      endpoint_, now_, &bytes);
    if (!reply.sent) return reply;
    reply.size = bytes.size();
    sTP_View view;
    reply.check = TP_Check_Datagram(bytes.data(), static_cast<uint32_t>(bytes.size()), &view);
    if (reply.check != eTP_Check_OK) return reply;
    reply.type = view.type;
    reply.client_id = view.client_id;
    reply.acked = TP_Load32(view.bytes + 14);
    if (view.type == eTP_Acknowledgment) {
      reply.result = TP_Load16(view.bytes + kTP_Ack_Offset_Result);
      if (reply.result) client_id_ = view.client_id;  // as the sink does with accepted packets
      const bool user = (view.type_flags & kTP_Flag_User_Data) != 0;
      if (view.type_flags & kTP_Flag_Extensions) {
        CTP_Extension_Reader records(TP_Ack_Payload(view), TP_Ack_Payload_Size(view));
        sTP_Extension record;
        while (records.Next(&record)) {
          if (record.type == kTP_Extension_Buffer) TP_Extension_Byte_Count(record, &reply.capacity);
          if (record.type == kTP_Extension_User_Data && user)
            Read_Chunks(record.content, record.content_size, &reply);
        }
      } else if (user) {
        Read_Chunks(TP_Ack_Payload(view), TP_Ack_Payload_Size(view), &reply);
      }
    } else if (view.type == eTP_Window_Report) {
      for (uint32_t distance = 0; distance < (view.size - 18) * 8; ++distance) {
        if (TP_Report_Lost(view, distance)) reply.lost.push_back(distance);
      }
    }
    return reply;
  }

  const sTP_Endpoint& Endpoint() const { return endpoint_; }
  uint16_t Client_ID() const { return client_id_; }
  void Set_Client_ID(uint16_t id) { client_id_ = id; }
  uint32_t Last_Window() const { return last_window_; }
  uint32_t Last_Hello() const { return last_hello_; }
  void Set_Now(uint32_t now) { now_ = now; }
  void Set_Packet_Size(uint16_t size) { packet_size_ = size; }

 private:
  Reply Send(const CTPacket& packet) {
    return Send_Bytes(
        std::vector<uint8_t>(packet.Get_Buffer(), packet.Get_Buffer() + packet.Get_Size()));
  }

  CTRS_Server* server_;
  sTP_Endpoint endpoint_;
  uint32_t next_id_;
  uint16_t client_id_ = kTP_No_Client;
  uint32_t last_window_ = 0;
  uint32_t last_hello_ = 0;
  uint32_t now_ = 0;
  uint16_t packet_size_ = 1472;
};

// An acknowledgement of the packet that was sent, with `result`.
void Expect_Ack(const Reply& reply, uint16_t result = 1) {
  ASSERT_TRUE(reply.sent);
  ASSERT_EQ(reply.check, eTP_Check_OK);
  EXPECT_EQ(reply.type, uint32_t{eTP_Acknowledgment});
  EXPECT_EQ(reply.acked, reply.request_id);
  EXPECT_EQ(reply.result, result);
}

class TraceServerTest : public testing::Test {
 protected:
  TraceServerTest() : server_(Limits(), &listener_) {}
  static sTRS_Limits Limits() {
    sTRS_Limits limits;
    limits.max_clients = 4;
    limits.client_buffer_bytes = 4096;
    return limits;
  }

  // Sends data packets with the given bodies (fresh IDs); returns their IDs.
  std::vector<uint32_t> Send_All(Client* client, const std::vector<std::string>& bodies) {
    std::vector<uint32_t> ids;
    for (const std::string& body : bodies) {
      ids.push_back(client->Take_ID());
      EXPECT_FALSE(client->Send_Data(client->Data_Packet(body, ids.back())).sent);
    }
    return ids;
  }

  RecordingListener listener_;
  CTRS_Server server_;
};

TEST_F(TraceServerTest, HelloIsAcknowledgedWithAClientIdAndTheServerCapacity) {
  Client client(&server_, 40000);
  Reply reply = client.Hello("sensor-\xC3\xA9");
  Expect_Ack(reply);
  EXPECT_NE(reply.client_id, kTP_No_Client);
  EXPECT_GT(reply.capacity, 2 * 1472u);  // room for a window of one packet at least
  EXPECT_LE(reply.capacity, 4096u);
  ASSERT_EQ(listener_.clients.size(), 1u);
  EXPECT_EQ(listener_.clients[0].hello.name, "sensor-\xC3\xA9");
  EXPECT_EQ(listener_.clients[0].hello.version, 7);
  EXPECT_EQ(listener_.clients[0].hello.packet_size, 1472);
  EXPECT_EQ(listener_.clients[0].hello.process_id, 4242u);
  EXPECT_EQ(listener_.clients[0].hello.start_time, 0x0102030405060708ull);
  EXPECT_FALSE(listener_.clients[0].restart);

  // The same hello again (our acknowledgement was lost): acknowledged, no new client.
  Expect_Ack(client.Hello("sensor", client.Last_Hello()));
  EXPECT_EQ(listener_.clients.size(), 1u);

  Reply ping = client.Ping();
  Expect_Ack(ping);
  EXPECT_EQ(ping.client_id, reply.client_id);
  EXPECT_EQ(ping.capacity, 0u);

  // A second endpoint is a second client.
  Client other(&server_, 40001);
  EXPECT_NE(other.Hello().client_id, reply.client_id);
  EXPECT_EQ(server_.Client_Count(), 2u);
}

TEST_F(TraceServerTest, ControlPacketsOfUnknownEndpointsAreRefusedSoTheClientSaysHelloAgain) {
  Client client(&server_, 40000, 500);
  client.Set_Client_ID(7);  // from a server that has since restarted
  Reply ping = client.Ping();
  Expect_Ack(ping, 0);
  EXPECT_EQ(ping.client_id, kTP_No_Client);
  Expect_Ack(client.Window(480, 490), 0);
  EXPECT_FALSE(client.Send_Data(client.Data_Packet("x", client.Take_ID())).sent);
  EXPECT_FALSE(client.Bye().sent);
  EXPECT_EQ(server_.Client_Count(), 0u);
  EXPECT_EQ(server_.Stats().unknown_control, 2u);

  Expect_Ack(client.Hello());
  EXPECT_EQ(server_.Client_Count(), 1u);
}

TEST_F(TraceServerTest, CompleteWindowIsAcknowledgedAndDeliveredInOrder) {
  Client client(&server_, 40000);
  client.Hello();
  std::vector<uint32_t> ids = Send_All(&client, {"one,", "two,", "three"});
  EXPECT_EQ(listener_.streams[client.Client_ID()], "");  // the window's bounds are not known yet
  Expect_Ack(client.Window(ids.front(), ids.back()));
  EXPECT_EQ(listener_.streams[client.Client_ID()], "one,two,three");

  // The next window continues the stream; its data follows the window packet's ID.
  ids = Send_All(&client, {"|four"});
  Expect_Ack(client.Window(ids.front(), ids.back()));
  EXPECT_EQ(listener_.streams[client.Client_ID()], "one,two,three|four");
  EXPECT_EQ(server_.Find(client.Endpoint())->Stats().windows_completed, 2u);
}

TEST_F(TraceServerTest, LostPacketsAreReportedThenTheWindowCompletesAfterTheResend) {
  Client client(&server_, 40000);
  client.Hello();
  std::vector<std::vector<uint8_t>> packets;
  std::vector<uint32_t> ids;
  for (const char* body : {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}) {
    ids.push_back(client.Take_ID());
    packets.push_back(client.Data_Packet(body, ids.back()));
  }
  // 1 and 8 are lost, 3 arrives before 2.
  for (int i : {0, 3, 2, 4, 5, 6, 7, 9}) client.Send_Data(packets[static_cast<size_t>(i)]);
  Reply report = client.Window(ids.front(), ids.back());
  ASSERT_TRUE(report.sent);
  EXPECT_EQ(report.type, uint32_t{eTP_Window_Report});
  EXPECT_EQ(report.acked, client.Last_Window());
  EXPECT_EQ(report.lost, (std::vector<uint32_t>{1, 8}));
  EXPECT_EQ(listener_.streams[client.Client_ID()], "a");

  // The resent packets keep their IDs; the run continues as soon as the gap closes.
  client.Send_Data(packets[1]);
  EXPECT_EQ(listener_.streams[client.Client_ID()], "abcdefgh");
  client.Send_Data(packets[1]);  // a duplicate changes nothing
  client.Send_Data(packets[8]);
  EXPECT_EQ(listener_.streams[client.Client_ID()], "abcdefghij");
  Expect_Ack(client.Window(ids.front(), ids.back()));

  // The acknowledgement was lost: the same window packet comes again and is acknowledged again.
  Expect_Ack(client.Window(ids.front(), ids.back(), client.Last_Window()));
  // A late copy of a packet of the finished window is stale.
  client.Send_Data(packets[4]);
  EXPECT_EQ(listener_.streams[client.Client_ID()], "abcdefghij");
  const sTRS_Session_Stats& stats = server_.Find(client.Endpoint())->Stats();
  EXPECT_EQ(stats.delivered_packets, 10u);
  EXPECT_EQ(stats.dropped_stale, 2u);
  EXPECT_EQ(stats.reports_sent, 1u);
}

TEST_F(TraceServerTest, WindowAcrossTheEndOfTheIdSpace) {
  Client client(&server_, 40000, 0x0FFFFFFC);
  client.Hello();
  std::vector<uint32_t> ids = Send_All(&client, {"1", "2", "3", "4", "5"});
  ASSERT_EQ(ids.back(), 2u);
  Reply report = client.Window(ids.front(), ids.back());
  Expect_Ack(report);
  EXPECT_EQ(listener_.streams[client.Client_ID()], "12345");

  // The client's jump back to ID 1 when a window would cross the end of the space.
  Client jumper(&server_, 40001, 0x0FFFFFF0);
  jumper.Hello();
  jumper.Set_Next_ID(1);
  ids = Send_All(&jumper, {"x", "y"});
  Expect_Ack(jumper.Window(ids.front(), ids.back()));
  EXPECT_EQ(listener_.streams[jumper.Client_ID()], "xy");
}

TEST_F(TraceServerTest, HeldDataStaysWithinTheClientBufferAndTheWindowStillCompletes) {
  Client client(&server_, 40000);
  client.Hello();
  std::string body(1500, 'p');
  std::vector<std::vector<uint8_t>> packets;
  std::vector<uint32_t> ids;
  for (int i = 0; i < 6; ++i) {
    ids.push_back(client.Take_ID());
    body[0] = static_cast<char>('0' + i);
    packets.push_back(client.Data_Packet(body, ids.back()));
  }
  // The first is lost: of the other five only two fit the 4096-byte buffer.
  for (size_t i = 1; i < packets.size(); ++i) client.Send_Data(packets[i]);
  const CTRS_Session* session = server_.Find(client.Endpoint());
  EXPECT_EQ(session->Held_Bytes(), 3000u);
  EXPECT_EQ(session->Stats().dropped_no_room, 3u);

  Reply report = client.Window(ids.front(), ids.back());
  EXPECT_EQ(report.lost, (std::vector<uint32_t>{0, 3, 4, 5}));
  // The client resends what was reported, in order; the run is passed on without being held.
  for (size_t i : {0, 3, 4, 5}) client.Send_Data(packets[i]);
  EXPECT_LE(session->Held_Bytes(), 4096u);
  Expect_Ack(client.Window(ids.front(), ids.back()));
  std::string expected;
  for (int i = 0; i < 6; ++i) {
    body[0] = static_cast<char>('0' + i);
    expected += body;
  }
  EXPECT_EQ(listener_.streams[client.Client_ID()], expected);
  EXPECT_EQ(session->Held_Bytes(), 0u);
}

TEST_F(TraceServerTest, AClientThatResetsStartsItsStreamOverUnderTheSameId) {
  Client client(&server_, 40000);
  client.Hello();
  std::vector<uint32_t> ids = Send_All(&client, {"kept"});
  client.Window(ids.front(), ids.back());
  Send_All(&client, {"discarded-by-the-client"});

  client.Hello();  // after a reset: a new hello ID
  ASSERT_EQ(listener_.clients.size(), 2u);
  EXPECT_TRUE(listener_.clients[1].restart);
  EXPECT_EQ(listener_.clients[1].id, listener_.clients[0].id);
  EXPECT_EQ(server_.Find(client.Endpoint())->Held_Bytes(), 0u);
  ids = Send_All(&client, {"|again"});
  Expect_Ack(client.Window(ids.front(), ids.back()));
  EXPECT_EQ(listener_.streams[client.Client_ID()], "kept|again");
}

TEST_F(TraceServerTest, ImpossibleWindowsAreRefused) {
  Client client(&server_, 40000, 100);
  client.Hello();
  uint32_t base = client.Last_Hello();
  struct Case {
    const char* name;
    uint32_t first;
    uint32_t last;
  } const cases[] = {
      {"ID zero", 0, base + 2},
      {"beyond the ID space", base + 1, 0x10000000},
      {"longer than the window limit", base + 1, base + 1 + 3952},
      {"before the session's data", base - 5, base},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Expect_Ack(client.Window(c.first, c.last), 0);
  }
  // Bounds that change in the middle of a window.
  std::vector<uint32_t> ids = Send_All(&client, {"a", "b"});
  client.Set_Next_ID(ids.back() + 5);
  client.Send_Data(client.Data_Packet("c", ids.back() + 2));  // not sent: the window shows a gap
  EXPECT_EQ(client.Window(ids.front(), ids.back() + 2).type, uint32_t{eTP_Window_Report});
  Expect_Ack(client.Window(ids.front(), ids.back()), 0);
  EXPECT_EQ(server_.Find(client.Endpoint())->Stats().refused, 5u);
}

TEST_F(TraceServerTest, OneClientsBadTrafficNeverDisturbsAnother) {
  Client good(&server_, 40000);
  Client bad(&server_, 40001);
  good.Hello();
  bad.Hello();
  std::vector<uint32_t> ids = Send_All(&good, {"g1", "g2"});

  // The bad client: corrupt, truncated and foreign datagrams, packets naming the good client's
  // ID, server-to-client types.
  std::vector<uint8_t> corrupt = bad.Data_Packet("evil", bad.Take_ID());
  corrupt[16] ^= 0x40;
  std::vector<uint8_t> truncated = bad.Data_Packet("cut", bad.Take_ID());
  truncated.resize(15);
  std::vector<uint8_t> foreign =
      good.Data_Packet("spoof", ids.back() + 1);           // good's ID and numbering
  std::vector<uint8_t> ack = TRS_Make_Ack(1, 1, 1, 1, 0);  // a server's packet type
  for (const auto& datagram : {corrupt, truncated, foreign, ack})
    EXPECT_FALSE(bad.Send_Data(datagram).sent);
  const uint16_t bad_id = bad.Client_ID();
  bad.Set_Client_ID(good.Client_ID());
  Expect_Ack(bad.Window(ids.front(), ids.back()), 0);
  EXPECT_FALSE(bad.Bye().sent);  // names another client: not the bad session's bye
  EXPECT_EQ(server_.Client_Count(), 2u);

  Expect_Ack(good.Window(ids.front(), ids.back()));
  EXPECT_EQ(listener_.streams[good.Client_ID()], "g1g2");
  EXPECT_EQ(listener_.streams.count(bad_id), 0u);
  const sTRS_Session_Stats& stats = server_.Find(good.Endpoint())->Stats();
  EXPECT_EQ(stats.refused, 0u);
  EXPECT_EQ(stats.dropped_stale, 0u);
  EXPECT_EQ(server_.Stats().refused_datagrams, 2u);
}

TEST_F(TraceServerTest, ClientLimitByeAndIdleSessions) {
  std::vector<std::unique_ptr<Client>> clients;
  for (uint16_t port = 40000; port < 40004; ++port) {
    clients.push_back(std::make_unique<Client>(&server_, port));
    Expect_Ack(clients.back()->Hello());
    Expect_Ack(clients.back()->Ping());  // confirmed: never evicted for a newcomer
  }
  Client late(&server_, 40010);
  Reply refused = late.Hello();
  Expect_Ack(refused, 0);
  EXPECT_EQ(refused.client_id, kTP_No_Client);
  EXPECT_EQ(server_.Stats().refused_clients, 1u);

  EXPECT_FALSE(clients[0]->Bye().sent);
  ASSERT_EQ(listener_.leaves.size(), 1u);
  EXPECT_EQ(listener_.leaves[0], std::make_pair(clients[0]->Client_ID(), eTRS_Leave::Bye));
  Reply accepted = late.Hello();
  Expect_Ack(accepted);
  EXPECT_NE(accepted.client_id, kTP_No_Client);

  // Sessions heard from within the limit stay.
  for (auto& client : clients) client->Set_Now(5000);
  clients[1]->Ping();
  server_.Drop_Idle(6000, 3000);
  EXPECT_EQ(server_.Client_Count(), 1u);
  EXPECT_NE(server_.Find(clients[1]->Endpoint()), nullptr);
  EXPECT_EQ(listener_.leaves.size(), 4u);
  Expect_Ack(clients[2]->Ping(), 0);
}

// The verbosity command as the channel reads it in On_Receive: record header, level, module ID.
std::vector<uint8_t> Verbosity_Payload(uint32_t level, uint16_t module) {
  std::vector<uint8_t> payload(10);
  TP_Store32(payload.data(), 0x00002860);
  TP_Store32(payload.data() + 4, level);
  TP_Store16(payload.data() + 8, module);
  return payload;
}

TEST_F(TraceServerTest, QueuedCommandsTravelInTheNextAcceptanceAndAgainInItsRepeat) {
  Client client(&server_, 40000);
  Client other(&server_, 40001);
  Expect_Ack(client.Hello());
  Expect_Ack(other.Hello());
  std::vector<uint8_t> command = TRS_Make_Verbosity_Command(3, 4, 2);
  ASSERT_EQ(command.size(), 14u);
  EXPECT_TRUE(server_.Queue_User_Data(client.Client_ID(), command.data(),
                                      static_cast<uint32_t>(command.size())));
  EXPECT_FALSE(server_.Queue_User_Data(77, command.data(), static_cast<uint32_t>(command.size())));

  // A ping's acknowledgement carries it in plain form; the other client gets nothing.
  EXPECT_TRUE(other.Ping().user_data.empty());
  uint32_t ping_id = 0;
  Reply first = client.Ping();
  ping_id = first.request_id;
  Expect_Ack(first);
  ASSERT_EQ(first.user_data.size(), 1u);
  EXPECT_EQ(first.user_data[0].first, 3u);
  EXPECT_EQ(first.user_data[0].second, Verbosity_Payload(4, 2));

  // The same ping again (our acknowledgement was lost): the same data again; a new ping: none.
  CTPClient_Ping repeat;
  repeat.Finalize(ping_id, client.Client_ID());
  Reply again = client.Send_Bytes(
      std::vector<uint8_t>(repeat.Get_Buffer(), repeat.Get_Buffer() + repeat.Get_Size()));
  Expect_Ack(again);
  EXPECT_EQ(again.user_data, first.user_data);
  EXPECT_TRUE(client.Ping().user_data.empty());

  // With the capacity extension (a hello's acknowledgement) the chunks go in a type 1 record;
  // commands queued while the window was incomplete ride on its acknowledgement.
  server_.Queue_User_Data(client.Client_ID(), command.data(),
                          static_cast<uint32_t>(command.size()));
  Reply hello = client.Hello();
  Expect_Ack(hello);
  EXPECT_GT(hello.capacity, 0u);
  EXPECT_EQ(hello.user_data.size(), 1u);
  std::vector<uint32_t> ids = Send_All(&client, {"x"});
  std::vector<uint8_t> two = TRS_Make_Verbosity_Command(1, 0, 0);
  two.insert(two.end(), command.begin(), command.end());
  server_.Queue_User_Data(client.Client_ID(), two.data(), static_cast<uint32_t>(two.size()));
  Reply window = client.Window(ids.front(), ids.back());
  Expect_Ack(window);
  ASSERT_EQ(window.user_data.size(), 2u);
  EXPECT_EQ(window.user_data[0].second, Verbosity_Payload(0, 0));
  EXPECT_EQ(window.user_data[1].first, 3u);
  EXPECT_EQ(client.Ping().user_data.size(), 0u);
}

TEST_F(TraceServerTest, CommandsAreCutToTheClientsPacketSizeAndTheQueueIsBounded) {
  Client client(&server_, 40000);
  client.Set_Packet_Size(512);
  Expect_Ack(client.Hello());
  std::vector<uint8_t> command = TRS_Make_Verbosity_Command(0, 2, 0);
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(server_.Queue_User_Data(client.Client_ID(), command.data(),
                                        static_cast<uint32_t>(command.size())));
  }
  size_t received = 0;
  for (int i = 0; i < 10 && received < 100; ++i) {
    Reply ping = client.Ping();
    Expect_Ack(ping);
    EXPECT_LE(ping.user_data.size() * 14 + 20, 512u);
    received += ping.user_data.size();
  }
  EXPECT_EQ(received, 100u);

  std::vector<uint8_t> big(480, 0);
  TP_Store32(big.data(), 480);
  EXPECT_FALSE(server_.Queue_User_Data(client.Client_ID(), big.data(),
                                       480));  // larger than any acknowledgement's room
  uint32_t queued = 0;
  while (server_.Queue_User_Data(client.Client_ID(), command.data(), 14)) queued += 14;
  EXPECT_LE(queued, CTRS_Session::kMax_Queued_Bytes);
  EXPECT_GT(server_.Find(client.Endpoint())->Stats().user_data_dropped, 0u);
}

// Only whole chunks are sent, so bytes that are not whole chunks would stay at the head of the
// queue and block every command queued after them: they are refused at the door.
TEST_F(TraceServerTest, UserDataThatIsNotWholeChunksIsRefusedAndDoesNotBlockTheQueue) {
  Client client(&server_, 40000);
  Expect_Ack(client.Hello());
  std::vector<uint8_t> command = TRS_Make_Verbosity_Command(3, 4, 2);
  auto with_header = [&command](uint32_t header) {
    std::vector<uint8_t> bytes = command;
    TP_Store32(bytes.data(), header);
    return bytes;
  };
  std::vector<uint8_t> trailing = command;
  trailing.push_back(0);
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
  } kCases[] = {
      {"length beyond the bytes", with_header(0xFFFFFFFF)},
      {"length below a header", with_header(2)},
      {"a byte after the last chunk", trailing},
      {"a lone partial header", {1, 0, 0}},
  };
  for (const auto& c : kCases) {
    const uint32_t size = static_cast<uint32_t>(c.bytes.size());
    EXPECT_FALSE(server_.Queue_User_Data(client.Client_ID(), c.bytes.data(), size)) << c.what;
  }
  EXPECT_EQ(server_.Find(client.Endpoint())->Queued_User_Bytes(), 0u);
  ASSERT_TRUE(server_.Queue_User_Data(client.Client_ID(), command.data(), 14));
  Reply ping = client.Ping();
  Expect_Ack(ping);
  ASSERT_EQ(ping.user_data.size(), 1u);
  EXPECT_EQ(ping.user_data[0].second, Verbosity_Payload(4, 2));
}

TEST_F(TraceServerTest, LossFilterDropsDataAndTheSessionCountsLossesResendsAndBadDatagrams) {
  Client client(&server_, 40000);
  client.Hello();
  std::vector<std::vector<uint8_t>> packets;
  std::vector<uint32_t> ids;
  for (const char* body : {"a", "b", "c", "d"}) {
    ids.push_back(client.Take_ID());
    packets.push_back(client.Data_Packet(body, ids.back()));
  }
  // The filter drops the first arrival of "b" and "d" only.
  std::map<uint32_t, int> seen;
  server_.Set_Drop_Filter([&](const sTP_Endpoint&, const sTP_View& packet) {
    return ++seen[packet.id] == 1 && (packet.id == ids[1] || packet.id == ids[3]);
  });
  for (const auto& packet : packets) client.Send_Data(packet);
  std::vector<uint8_t> corrupt = packets[0];
  corrupt.back() ^= 1;
  client.Send_Data(corrupt);

  Reply report = client.Window(ids.front(), ids.back());
  EXPECT_EQ(report.lost, (std::vector<uint32_t>{1, 3}));
  client.Send_Data(packets[1]);
  client.Send_Data(packets[3]);
  Expect_Ack(client.Window(ids.front(), ids.back()));
  EXPECT_EQ(listener_.streams[client.Client_ID()], "abcd");

  const sTRS_Session_Stats& stats = server_.Find(client.Endpoint())->Stats();
  EXPECT_EQ(stats.filtered, 2u);
  EXPECT_EQ(stats.reported_lost, 2u);
  EXPECT_EQ(stats.resent_received, 2u);
  EXPECT_EQ(stats.bad_datagrams, 1u);
  server_.Set_Drop_Filter(nullptr);
}

// A server with its own limits and listener, for the tests of hostile traffic.
struct Harness {
  explicit Harness(const sTRS_Limits& limits) : server(limits, &listener) {}
  RecordingListener listener;
  CTRS_Server server;
};

TEST(TraceServerGuardTest, SessionsPerSourceAddressAreBoundedWhateverTheirPorts) {
  sTRS_Limits limits;
  limits.max_clients = 8;
  limits.max_clients_per_address = 3;
  Harness h(limits);
  std::vector<std::unique_ptr<Client>> flood;
  for (uint16_t port = 50000; port < 50004; ++port) {
    flood.push_back(std::make_unique<Client>(&h.server, port));
    flood.back()->Set_Host(10, 0, 0, 1);
  }
  for (size_t i = 0; i < 3; ++i) {
    Expect_Ack(flood[i]->Hello());
    Expect_Ack(flood[i]->Ping());
  }
  Expect_Ack(flood[0]->Hello("again", flood[0]->Last_Hello()));  // a repeat opens nothing
  Reply refused = flood[3]->Hello();
  Expect_Ack(refused, 0);
  EXPECT_EQ(refused.client_id, kTP_No_Client);
  EXPECT_EQ(h.server.Stats().refused_per_address, 1u);
  EXPECT_EQ(h.server.Stats().refused_clients, 0u);

  // A genuine host at another address still gets in.
  Client genuine(&h.server, 50000);
  genuine.Set_Host(10, 0, 0, 2);
  Expect_Ack(genuine.Hello());

  // A session that ends frees its address's place.
  EXPECT_FALSE(flood[1]->Bye().sent);
  Expect_Ack(flood[3]->Hello());
  EXPECT_EQ(h.server.Client_Count(), 4u);
}

TEST(TraceServerGuardTest, SessionsWithoutStreamDataExpireWhateverElseTheySend) {
  struct Case {
    const char* name;
    // What the client sends after its hello (at 1000 ms); returns nothing.
    std::function<void(Client*)> traffic;
    bool expires;
  };
  auto data = [](Client* client, const std::string& body) {
    uint32_t id = client->Take_ID();
    client->Send_Data(client->Data_Packet(body, id));
    return id;
  };
  const Case cases[] = {
      {"pings only", [](Client* c) { c->Ping(); }, true},
      {"data held ahead of a gap, never delivered",
       [&](Client* c) {
         c->Take_ID();  // lost
         data(c, "held");
       },
       true},
      {"empty data packets",
       [&](Client* c) {
         uint32_t id = data(c, "");
         c->Window(id, id);
       },
       true},
      {"stream data delivered",
       [&](Client* c) {
         uint32_t id = data(c, "channel description");
         c->Window(id, id);
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sTRS_Limits limits;
    limits.first_data_ms = 30000;
    Harness h(limits);
    Client client(&h.server, 40000);
    Expect_Ack(client.Hello());
    client.Set_Now(1000);
    c.traffic(&client);
    // Pings keep the session heard from, so only the first-data limit can end it.
    for (uint32_t now : {10000u, 20000u, 29000u}) {
      client.Set_Now(now);
      Expect_Ack(client.Ping());
      h.server.Drop_Idle(now, 60000);
    }
    EXPECT_EQ(h.server.Client_Count(), 1u) << "not before the limit";
    client.Set_Now(30001);
    client.Ping();
    h.server.Drop_Idle(30001, 60000);
    EXPECT_EQ(h.server.Client_Count(), c.expires ? 0u : 1u);
    EXPECT_EQ(h.server.Stats().expired_silent, c.expires ? 1u : 0u);
    if (c.expires) {
      ASSERT_EQ(h.listener.leaves.size(), 1u);
      EXPECT_EQ(h.listener.leaves[0], std::make_pair(client.Client_ID(), eTRS_Leave::Silent));
    }
  }
}

TEST(TraceServerGuardTest, ClientIdsAreRandomAndNeverShared) {
  sTRS_Limits limits;
  limits.max_clients = 400;
  limits.max_clients_per_address = 400;
  Harness first(limits);
  Harness second(limits);
  std::vector<uint16_t> ids;
  std::vector<uint16_t> other_ids;
  for (uint16_t port = 1; port <= 300; ++port) {
    Client client(&first.server, port);
    Reply reply = client.Hello();
    Expect_Ack(reply);
    ids.push_back(reply.client_id);
    if (port <= 8) {
      Client other(&second.server, port);
      other_ids.push_back(other.Hello().client_id);
    }
  }
  EXPECT_EQ(std::set<uint16_t>(ids.begin(), ids.end()).size(), ids.size());
  EXPECT_EQ(std::count(ids.begin(), ids.end(), kTP_No_Client), 0);
  // In sequence, each ID would follow the one before: a guess of the next client's ID.
  int successors = 0;
  for (size_t i = 1; i < ids.size(); ++i) successors += ids[i] == ids[i - 1] + 1;
  EXPECT_LT(successors, 5);
  // Two servers do not hand out the same IDs (equal by chance with probability 2^-128).
  EXPECT_NE(std::vector<uint16_t>(ids.begin(), ids.begin() + 8), other_ids);
}

TEST(TraceServerGuardTest, DropClientEndsTheSessionAndRefusesItsEndpointForAWhile) {
  Harness h(sTRS_Limits{});
  Client client(&h.server, 40000);
  Expect_Ack(client.Hello());
  const uint16_t id = client.Client_ID();
  EXPECT_FALSE(h.server.Drop_Client(static_cast<uint16_t>(id + 1), 1000, 5000));

  EXPECT_TRUE(h.server.Drop_Client(id, 1000, 5000));
  ASSERT_EQ(h.listener.leaves.size(), 1u);
  EXPECT_EQ(h.listener.leaves[0], std::make_pair(id, eTRS_Leave::Dropped));
  EXPECT_EQ(h.server.Client_Count(), 0u);
  EXPECT_FALSE(h.server.Drop_Client(id, 1000, 5000));
  EXPECT_EQ(h.server.Stats().dropped, 1u);

  // The endpoint cannot start over within its refusal time; another port of its host can.
  client.Set_Now(5999);
  Expect_Ack(client.Hello(), 0);
  EXPECT_EQ(h.server.Stats().refused_dropped, 1u);
  Client sibling(&h.server, 40001);
  sibling.Set_Now(5999);
  Expect_Ack(sibling.Hello());
  client.Set_Now(6000);
  Expect_Ack(client.Hello());
  EXPECT_EQ(h.server.Client_Count(), 2u);
}

// The owner drops a client from inside the listener's callbacks (over its memory budget while
// its stream is handled): the session delivers nothing more, no reply goes out, and On_Leave
// comes once the callback has returned.
TEST(TraceServerGuardTest, DropClientFromInsideTheListenersCallbacks) {
  enum class Where { On_Client, On_Stream };
  const struct {
    const char* name;
    Where where;
  } cases[] = {{"while greeting", Where::On_Client}, {"while delivering", Where::On_Stream}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h(sTRS_Limits{});
    Client client(&h.server, 40000);
    bool dropped = false;
    size_t leaves_in_callback = 99;
    bool queued_after_drop = true;
    auto drop = [&](uint16_t id) {
      if (dropped) return;
      dropped = true;
      EXPECT_TRUE(h.server.Drop_Client(id, 0, 1000));
      EXPECT_FALSE(h.server.Drop_Client(id, 0, 1000)) << "already ended";
      std::vector<uint8_t> command = TRS_Make_Verbosity_Command(0, 1, 0);
      queued_after_drop = h.server.Queue_User_Data(id, command.data(), 14);
      leaves_in_callback = h.listener.leaves.size();
    };
    Reply reply;
    if (c.where == Where::On_Client) {
      h.listener.client_hook = drop;
      reply = client.Hello();
    } else {
      Expect_Ack(client.Hello());
      h.listener.stream_hook = drop;
      std::vector<uint32_t> ids;
      for (const char* body : {"a", "b", "c"}) {
        ids.push_back(client.Take_ID());
        client.Send_Data(client.Data_Packet(body, ids.back()));
      }
      reply = client.Window(ids.front(), ids.back());
      EXPECT_EQ(h.listener.streams[h.listener.clients[0].id], "a");
    }
    EXPECT_TRUE(dropped);
    EXPECT_FALSE(reply.sent);
    EXPECT_FALSE(queued_after_drop);
    EXPECT_EQ(leaves_in_callback, 0u);
    ASSERT_EQ(h.listener.leaves.size(), 1u);
    EXPECT_EQ(h.listener.leaves[0].second, eTRS_Leave::Dropped);
    EXPECT_EQ(h.server.Client_Count(), 0u);
    Expect_Ack(client.Hello(), 0);  // within the refusal time
  }
}

// Replies to endpoints that have not shown they receive them (a forged source address) are no
// larger than what was sent, however much the server would like to say.
TEST(TraceServerGuardTest, RepliesToUnconfirmedEndpointsAreNoLargerThanTheirCause) {
  struct Case {
    const char* name;
    // Brings the client into its state (may be empty), then sends the packet that is measured.
    std::function<void(Client*)> setup;
    std::function<Reply(Client*)> send;
    size_t request_size;
    bool answered;
  };
  const Case cases[] = {
      {"a hello while commands wait for the client", nullptr, [](Client* c) { return c->Hello(); },
       222, true},
      {"the hello again (a lost acknowledgement)", [](Client* c) { c->Hello(); },
       [](Client* c) { return c->Hello("client", c->Last_Hello()); }, 222, true},
      {"a ping without a session", [](Client* c) { c->Set_Client_ID(3); },
       [](Client* c) { return c->Ping(); }, 14, true},
      {"a window without a session", [](Client* c) { c->Set_Client_ID(3); },
       [](Client* c) { return c->Window(2, 3953); }, 22, true},
      {"a bye without a session", nullptr, [](Client* c) { return c->Bye(); }, 14, false},
      {"a whole window lost, behind a forged hello (client ID guessed)",
       [](Client* c) {
         c->Hello();
         c->Set_Client_ID(static_cast<uint16_t>(c->Client_ID() ^ 1));
       },
       [](Client* c) { return c->Window(c->Last_Hello() + 1, c->Last_Hello() + 3952); }, 22, true},
      {"a ping behind a forged hello (client ID guessed)",
       [](Client* c) {
         c->Hello();
         c->Set_Client_ID(static_cast<uint16_t>(c->Client_ID() ^ 1));
       },
       [](Client* c) { return c->Ping(); }, 14, true},
  };
  std::vector<uint8_t> commands;
  for (int i = 0; i < 28; ++i) {
    std::vector<uint8_t> command = TRS_Make_Verbosity_Command(1, 2, static_cast<uint16_t>(i));
    commands.insert(commands.end(), command.begin(), command.end());
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h(sTRS_Limits{});
    h.listener.client_hook = [&](uint16_t id) {
      EXPECT_TRUE(
          h.server.Queue_User_Data(id, commands.data(), static_cast<uint32_t>(commands.size())));
    };
    Client client(&h.server, 40000);
    if (c.setup) c.setup(&client);
    Reply reply = c.send(&client);
    ASSERT_EQ(reply.sent, c.answered);
    const size_t bound = std::max<size_t>(c.request_size, CTRS_Server::kMax_Unconfirmed_Reply);
    EXPECT_LE(reply.size, bound);
    if (reply.sent) {
      EXPECT_EQ(reply.check, eTP_Check_OK);
    }
  }
}

// Once the endpoint echoed its client ID, acknowledgements carry what waits for it, and a loss
// report's bitmap ends with the window's last lost packet.
TEST(TraceServerGuardTest, ConfirmedSessionsGetWholeRepliesAndReportsSizedToTheWindow) {
  Harness h(sTRS_Limits{});
  Client client(&h.server, 40000);
  Reply hello = client.Hello();
  std::vector<uint8_t> commands;
  for (int i = 0; i < 28; ++i) {
    std::vector<uint8_t> command = TRS_Make_Verbosity_Command(1, 2, static_cast<uint16_t>(i));
    commands.insert(commands.end(), command.begin(), command.end());
  }
  ASSERT_TRUE(h.server.Queue_User_Data(hello.client_id, commands.data(),
                                       static_cast<uint32_t>(commands.size())));
  Reply ping = client.Ping();
  Expect_Ack(ping);
  EXPECT_EQ(ping.user_data.size(), 28u);
  EXPECT_GT(ping.size, 14u * 28);

  const struct {
    const char* name;
    uint32_t count;          // packets in the window
    uint32_t arriving_from;  // the packets from this distance on arrive before the window packet
    size_t report_size;
  } cases[] = {
      {"eight packets, all lost", 8, 8, 18 + 1},
      {"a hundred packets, the first sixteen lost", 100, 16, 18 + 2},
      {"a hundred packets, all lost", 100, 100, 18 + 13},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness fresh(sTRS_Limits{});
    Client sender(&fresh.server, 40000);
    sender.Hello();
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < c.count; ++i) ids.push_back(sender.Take_ID());
    for (uint32_t i = c.arriving_from; i < c.count; ++i)
      sender.Send_Data(sender.Data_Packet("x", ids[i]));
    Reply report = sender.Window(ids.front(), ids.back());
    ASSERT_TRUE(report.sent);
    EXPECT_EQ(report.type, uint32_t{eTP_Window_Report});
    EXPECT_EQ(report.size, c.report_size);
  }
}

// Held packets cost their entries too: bodies of a byte each cannot make a session hold more
// entries than its buffer pays for, while a window of the announced capacity is held whole.
TEST(TraceServerGuardTest, HeldPacketsPayForTheirEntries) {
  sTRS_Limits limits;
  limits.client_buffer_bytes = 64 * 1024;
  {
    Harness h(limits);
    Client client(&h.server, 40000);
    Expect_Ack(client.Hello());
    client.Take_ID();  // lost: everything after it is held
    for (int i = 0; i < 2000; ++i) client.Send_Data(client.Data_Packet("x", client.Take_ID()));
    const CTRS_Session* session = h.server.Find(client.Endpoint());
    const uint64_t held = 2000 - session->Stats().dropped_no_room;
    EXPECT_GT(session->Stats().dropped_no_room, 0u);
    EXPECT_LE(held * (1 + CTRS_Session::kHeld_Entry_Overhead), limits.client_buffer_bytes);
  }
  {
    Harness h(limits);
    Client client(&h.server, 40000);
    client.Set_Packet_Size(512);
    Reply hello = client.Hello();
    Expect_Ack(hello);
    // The network sink's window under that capacity, its first packet lost.
    const uint32_t window = hello.capacity / 512 - 1;
    const std::string body(512 - kTP_Header_Size, 'b');
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < window; ++i) ids.push_back(client.Take_ID());
    for (uint32_t i = 1; i < window; ++i) client.Send_Data(client.Data_Packet(body, ids[i]));
    EXPECT_EQ(h.server.Find(client.Endpoint())->Stats().dropped_no_room, 0u);
    Reply report = client.Window(ids.front(), ids.back());
    EXPECT_EQ(report.lost, std::vector<uint32_t>{0});
  }
}

// Hellos from forged source addresses open sessions that never confirm; when they fill a limit,
// the oldest of them makes room for a new hello, so a flood never locks a genuine host out, and
// confirmed sessions are never the ones to go.
TEST(TraceServerGuardTest, UnconfirmedSessionsMakeRoomForNewHellos) {
  sTRS_Limits limits;
  limits.max_clients = 4;
  limits.max_clients_per_address = 3;
  Harness h(limits);
  Client early(&h.server, 1000);
  early.Set_Host(10, 0, 0, 9);
  Expect_Ack(early.Hello());
  Expect_Ack(early.Ping());
  // Forged hellos from everywhere, then from the genuine host's own address.
  std::vector<std::unique_ptr<Client>> forged;
  for (uint8_t host = 1; host <= 6; ++host) {
    forged.push_back(std::make_unique<Client>(&h.server, 2000));
    forged.back()->Set_Host(10, 0, 1, host);
    forged.back()->Set_Now(host);
    Expect_Ack(forged.back()->Hello());
  }
  EXPECT_EQ(h.server.Client_Count(), 4u);
  EXPECT_EQ(h.server.Stats().evicted_unconfirmed, 3u);
  EXPECT_NE(h.server.Find(early.Endpoint()), nullptr);
  EXPECT_EQ(h.server.Find(forged[0]->Endpoint()), nullptr) << "the oldest went first";
  EXPECT_NE(h.server.Find(forged[5]->Endpoint()), nullptr);

  Client genuine(&h.server, 3000);
  genuine.Set_Host(10, 0, 0, 7);
  genuine.Set_Now(10);
  Expect_Ack(genuine.Hello());
  Expect_Ack(genuine.Ping());
  EXPECT_EQ(h.listener.leaves.back().second, eTRS_Leave::Silent);

  // The same at one address's limit: only that address's unconfirmed sessions make room.
  for (uint16_t port = 4000; port < 4003; ++port) {
    Client spoof(&h.server, port);
    spoof.Set_Host(10, 0, 0, 7);
    spoof.Set_Now(20 + port);
    spoof.Hello();
  }
  EXPECT_NE(h.server.Find(genuine.Endpoint()), nullptr);
  EXPECT_NE(h.server.Find(early.Endpoint()), nullptr);
  EXPECT_EQ(h.server.Stats().refused_per_address, 0u);
  EXPECT_EQ(h.server.Stats().refused_clients, 0u);

  // With every place taken by confirmed sessions, a hello is refused.
  Harness full(limits);
  for (uint16_t port = 1; port <= 4; ++port) {
    Client client(&full.server, port);
    client.Set_Host(10, 0, 2, static_cast<uint8_t>(port));
    Expect_Ack(client.Hello());
    Expect_Ack(client.Ping());
  }
  Client late(&full.server, 99);
  Expect_Ack(late.Hello(), 0);
  EXPECT_EQ(full.server.Stats().evicted_unconfirmed, 0u);
}

// Control packets forged with the client's own endpoint but a guessed ID: once the session is
// confirmed they are ignored, where a refusal would make the client reset and lose its window.
TEST(TraceServerGuardTest, ForgedControlPacketsDoNotResetAConfirmedSession) {
  Harness h(sTRS_Limits{});
  Client client(&h.server, 40000);
  Expect_Ack(client.Hello());
  std::vector<uint32_t> ids;
  for (int i = 0; i < 3; ++i) ids.push_back(client.Take_ID());
  client.Send_Data(client.Data_Packet("b", ids[1]));  // confirms; held behind the lost first
  client.Send_Data(client.Data_Packet("c", ids[2]));
  const CTRS_Session* session = h.server.Find(client.Endpoint());
  ASSERT_TRUE(session->Confirmed());
  const uint32_t held = session->Held_Bytes();

  const uint16_t id = client.Client_ID();
  client.Set_Client_ID(static_cast<uint16_t>(id ^ 1));
  EXPECT_FALSE(client.Window(ids.front(), ids.back()).sent);
  EXPECT_FALSE(client.Ping().sent);
  EXPECT_EQ(session->Stats().foreign, 2u);
  EXPECT_EQ(session->Stats().refused, 0u);
  EXPECT_EQ(session->Held_Bytes(), held);

  client.Set_Client_ID(id);
  client.Send_Data(client.Data_Packet("a", ids[0]));
  Expect_Ack(client.Window(ids.front(), ids.back()));
  EXPECT_EQ(h.listener.streams[id], "abc");
}

}  // namespace
