// trace-server as a child process, fed by scripted clients made of the transport packet classes
// (hello, data windows holding a real trace stream, resends after loss reports, pings, bye), its
// stored files read back with trace-cat: exact decoding, losses, bad datagrams beside a good
// client, restarts and rolls that begin files which decode by themselves, live printing,
// verbosity commands reaching the client, client names that cannot escape --dir, and SIGTERM.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/program.h"
#include "support/server_process.h"
#include "support/stream_builder.h"
#include "support/temp_dir.h"
#include "support/trd_reader.h"
#include "support/wait_until.h"
#include "trace/net/packet_check.h"
#include "trace/net/tpacket.h"
#include "trace/net/udp_socket.h"
#include "trace/server/client_naming.h"

namespace {

using mqw_test::Directory_Entries;
using mqw_test::Spawn_Program;
using mqw_test::Split_Lines;
using mqw_test::Wait_Status;

using namespace text_test;
using namespace std::chrono_literals;

const char kFormat[] = "%cn|%ix|%ms";

mqw_test::sProgram_Run Run_Cat(const std::vector<std::string>& inputs) {
  std::vector<std::string> args = {std::string("--format=") + kFormat};
  args.insert(args.end(), inputs.begin(), inputs.end());
  return mqw_test::Run_Program(TRACE_CAT_PATH, args);
}

// The tool in a temporary directory, on an ephemeral loopback port.
class Server : public mqw_test::ServerProcess {
 public:
  explicit Server(const std::vector<std::string>& extra = {}) : ServerProcess(TRACE_SERVER_PATH) {
    Start("127.0.0.1:0", extra);
  }
};

// A client of the transport protocol driven step by step, as the network sink would.
class Scripted_Client {
 public:
  Scripted_Client(uint16_t port, std::string name, uint32_t process_id = 4242,
                  uint16_t packet_size = 1472, bool ipv6 = false)
      : name_(std::move(name)),
        process_id_(process_id),
        packet_size_(packet_size),
        socket_(nullptr, ipv6 ? Address6(port) : Address(port), 0) {}

  bool Hello() {
    CTPClient_Hello hello;
    hello.Fill(packet_size_, process_id_, start_time_, name_.c_str());
    hello.Finalize(Take_ID(), client_id_);
    sTP_View reply;
    return Exchange(Bytes_Of(hello), &reply) && reply.type == eTP_Acknowledgment &&
           Result(reply) != 0;
  }
  bool Ping() {
    CTPClient_Ping ping;
    ping.Finalize(Take_ID(), client_id_);
    sTP_View reply;
    return Exchange(Bytes_Of(ping), &reply) && reply.type == eTP_Acknowledgment &&
           Result(reply) != 0;
  }
  void Bye() {
    CTPClient_Bye bye;
    bye.Finalize(Take_ID(), client_id_);
    Send(Bytes_Of(bye));
  }
  void Send(const Bytes& datagram) { socket_.Send(datagram.data(), datagram.size()); }
  // Another process takes this one's socket (its address and port): it says hello with its own
  // process ID and start time and no client ID yet.
  void Become(uint32_t process_id, uint64_t start_time) {
    process_id_ = process_id;
    start_time_ = start_time;
    client_id_ = kTP_No_Client;
  }

  // Delivers `stream` (user-data chunks) in data packets, `window` packets per data window,
  // resending what the server reports lost. True when every window was acknowledged.
  bool Send_Stream(const Bytes& stream, uint32_t window = 32) {
    std::vector<Bytes> bodies = Cut(stream);
    for (size_t start = 0; start < bodies.size(); start += window) {
      std::vector<Bytes> packets;
      for (size_t i = start; i < bodies.size() && i < start + window; ++i) {
        CTPacket data(eTP_Data, static_cast<uint16_t>(kTP_Header_Size + bodies[i].size()));
        memcpy(data.Get_Buffer() + kTP_Header_Size, bodies[i].data(), bodies[i].size());
        data.Finalize(Take_ID(), client_id_);
        packets.push_back(Bytes_Of(data));
        Send(packets.back());
      }
      const uint32_t first = TP_Load32(packets.front().data() + kTP_Offset_ID);
      const uint32_t last = TP_Load32(packets.back().data() + kTP_Offset_ID);
      for (int round = 0;; ++round) {
        if (round > 50) return false;
        CTPData_Window request;
        request.Set_Window(first, last);
        request.Finalize(Take_ID(), client_id_);
        sTP_View reply;
        if (!Exchange(Bytes_Of(request), &reply)) return false;
        if (reply.type == eTP_Acknowledgment) {
          if (Result(reply) == 0) return false;
          break;
        }
        ++reports;
        for (uint32_t distance = 0; distance < packets.size(); ++distance) {
          if (!TP_Report_Lost(reply, distance)) continue;
          ++resent;
          Send(packets[distance]);
        }
      }
    }
    return true;
  }

  // User data the server sent: channel and payload of each chunk.
  std::vector<std::pair<uint32_t, Bytes>> user_data;
  uint32_t reports = 0;
  uint32_t resent = 0;

 private:
  static const sockaddr* Address(uint16_t port) {
    static sockaddr_in address;
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return reinterpret_cast<const sockaddr*>(&address);
  }
  static const sockaddr* Address6(uint16_t port) {
    static sockaddr_in6 address;
    address = {};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    return reinterpret_cast<const sockaddr*>(&address);
  }
  static Bytes Bytes_Of(const CTPacket& packet) {
    return Bytes(packet.Get_Buffer(), packet.Get_Buffer() + packet.Get_Size());
  }
  static uint16_t Result(const sTP_View& ack) {
    return TP_Load16(ack.bytes + kTP_Ack_Offset_Result);
  }
  uint32_t Take_ID() {
    uint32_t id = next_id_;
    next_id_ = TP_Next_ID(next_id_);
    return id;
  }

  // Data packet bodies: the stream cut at the packet size, a record header never straddling two
  // packets (a header starts only where more than 4 bytes are free).
  std::vector<Bytes> Cut(const Bytes& stream) const {
    const size_t capacity = packet_size_ - kTP_Header_Size;
    std::vector<Bytes> bodies(1);
    size_t at = 0;
    size_t next_header = 0;
    while (at < stream.size()) {
      if (at == next_header) {
        if (capacity - bodies.back().size() <= 4) bodies.emplace_back();
        next_header = at + (TP_Load32(stream.data() + at) & 0x7FFFFFF);
      }
      if (bodies.back().size() == capacity) bodies.emplace_back();
      size_t take = std::min(capacity - bodies.back().size(), next_header - at);
      bodies.back().insert(bodies.back().end(), stream.begin() + static_cast<long>(at),
                           stream.begin() + static_cast<long>(at + take));
      at += take;
    }
    return bodies;
  }

  // Sends a control packet and waits for the answer to it, sending it again after each second of
  // silence, as the sink does after its response time-out.
  bool Exchange(const Bytes& packet, sTP_View* view) {
    const uint32_t id = TP_Load32(packet.data() + kTP_Offset_ID);
    for (int attempt = 0; attempt < 20; ++attempt) {
      Send(packet);
      for (;;) {
        sockaddr_storage from{};
        reply_.assign(65536, 0);
        int32_t n =
            socket_.Recv(reply_.data(), static_cast<uint32_t>(reply_.size()), 1000000, &from);
        if (n <= 0) break;
        if (TP_Check_Datagram(reply_.data(), static_cast<uint32_t>(n), view) != eTP_Check_OK)
          continue;
        if (TP_Load32(view->bytes + kTP_Ack_Offset_ID) != id)
          continue;  // an answer to an earlier repeat
        if (view->type == eTP_Acknowledgment && Result(*view)) {
          client_id_ = view->client_id;
          Collect_User_Data(*view);
        }
        return true;
      }
    }
    return false;
  }

  void Collect_User_Data(const sTP_View& view) {
    if (!(view.type_flags & kTP_Flag_User_Data)) return;
    auto take = [this](const uint8_t* bytes, uint32_t size) {
      CTP_Chunk_Reader chunks(bytes, size);
      sTP_Chunk chunk;
      while (chunks.Next(&chunk))
        user_data.push_back(
            {chunk.channel, Bytes(chunk.payload, chunk.payload + chunk.payload_size)});
    };
    if (view.type_flags & kTP_Flag_Extensions) {
      CTP_Extension_Reader records(TP_Ack_Payload(view), TP_Ack_Payload_Size(view));
      sTP_Extension record;
      while (records.Next(&record)) {
        if (record.type == kTP_Extension_User_Data) take(record.content, record.content_size);
      }
    } else {
      take(TP_Ack_Payload(view), TP_Ack_Payload_Size(view));
    }
  }

  std::string name_;
  uint32_t process_id_;
  uint64_t start_time_ = 0x01DC000000000000ull;
  uint16_t packet_size_;
  CUDP_Socket socket_;
  uint32_t next_id_ = 1;
  uint16_t client_id_ = kTP_No_Client;
  Bytes reply_;
};

// A channel's stream: its description, then `count` messages "value N" from `first` on.
Bytes Channel_Stream(uint32_t channel, const std::string& name, int first, int count,
                     bool describe = true) {
  Bytes stream;
  if (describe) stream = Packet(channel, Cat({Info(name), Format(1, "value %d", {4, 8})}));
  for (int i = first; i < first + count; ++i) {
    stream = Cat({stream, Packet(channel, Data(1, kTimer0 + static_cast<uint64_t>(i), Int(i), 2,
                                               0x123, static_cast<uint32_t>(i)))});
  }
  return stream;
}

std::vector<std::string> Expected_Lines(const std::string& name, int first, int count) {
  std::vector<std::string> lines;
  char line[128];
  for (int i = first; i < first + count; ++i) {
    snprintf(line, sizeof(line), "%s|%04d|value %d", name.c_str(), i, i);
    lines.push_back(line);
  }
  return lines;
}

// The statistics line of the client directory `name` printed at exit.
std::string Stats_Line(const std::string& err, const std::string& name) {
  for (const std::string& line : Split_Lines(err)) {
    if (line.rfind("  " + name + ":", 0) == 0) return line;
  }
  return std::string();
}

TEST(TraceServerToolTest, StoresEachClientsStreamSoThatTraceCatDecodesItExactly) {
  Server server;
  ASSERT_NE(server.Port(), 0) << server.Err();
  Scripted_Client one(server.Port(), "alpha", 101);
  Scripted_Client two(server.Port(), "beta", 202);
  ASSERT_TRUE(one.Hello());
  ASSERT_TRUE(two.Hello());
  // Interleaved windows of both clients; records span packets (small packets of 512 bytes would
  // too, the channel's records here are 50 bytes and cross packet ends).
  ASSERT_TRUE(one.Send_Stream(Channel_Stream(3, "chan-a", 1, 100), 8));
  ASSERT_TRUE(two.Send_Stream(Channel_Stream(0, "chan-b", 1, 40)));
  ASSERT_TRUE(one.Send_Stream(Channel_Stream(3, "chan-a", 101, 100, false), 8));
  ASSERT_TRUE(one.Ping());
  two.Bye();
  // The server reads its one socket in order: once a ping sent after the bye is answered, the
  // bye has been handled.
  ASSERT_TRUE(one.Ping());
  // Stopped at once: what the server still buffered is written out at SIGTERM.
  EXPECT_EQ(server.Stop(), 0);

  EXPECT_NE(server.Out().find("listening on 127.0.0.1:" + std::to_string(server.Port())),
            std::string::npos);
  mqw_test::sProgram_Run a = Run_Cat({server.Client_Dir("alpha_127.0.0.1_101")});
  EXPECT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(a.lines, Expected_Lines("chan-a", 1, 200));
  mqw_test::sProgram_Run b = Run_Cat({server.Client_Dir("beta_127.0.0.1_202")});
  EXPECT_EQ(b.status, 0) << b.err;
  EXPECT_EQ(b.lines, Expected_Lines("chan-b", 1, 40));
  EXPECT_EQ(Directory_Entries(server.Client_Dir("alpha")).size(), 1u);
  // Each file's header comes from the client's hello; its host field holds the client's address.
  auto text = [](const uint16_t* units) {
    std::string out;
    for (size_t i = 0; i < kTRD_Name_Units && units[i]; ++i) out += static_cast<char>(units[i]);
    return out;
  };
  for (const auto& [directory, name, pid] : {std::make_tuple("alpha_127.0.0.1_101", "alpha", 101u),
                                             std::make_tuple("beta_127.0.0.1_202", "beta", 202u)}) {
    const std::vector<mqw_test::TrdFile> files =
        mqw_test::Read_Trd_Directory(server.Client_Dir(directory));
    ASSERT_EQ(files.size(), 1u) << directory;
    const sTRD_File_Header& header = files[0].header;
    EXPECT_EQ(header.magic, kTRD_Magic);
    EXPECT_EQ(header.process_id, pid);
    EXPECT_EQ((static_cast<uint64_t>(header.start_hi) << 32) | header.start_lo,
              0x01DC000000000000ull);
    EXPECT_EQ(text(header.client_name), name);
    EXPECT_EQ(text(header.host_name), "127.0.0.1");
  }

  // Statistics at exit, for the client that left too.
  const std::string err = server.Err();
  EXPECT_NE(err.find("at exit"), std::string::npos) << err;
  EXPECT_NE(Stats_Line(err, "alpha_127.0.0.1_101").find("records 201,"), std::string::npos) << err;
  EXPECT_NE(Stats_Line(err, "beta_127.0.0.1_202 (left)").find("records 41,"), std::string::npos)
      << err;
}

TEST(TraceServerToolTest, TenPercentOfDataPacketsLostAreReportedResentAndStoredInOrder) {
  Server server({"--drop-percent", "10", "--drop-seed", "7"});
  ASSERT_NE(server.Port(), 0) << server.Err();
  Scripted_Client client(server.Port(), "lossy", 5);
  ASSERT_TRUE(client.Hello());
  ASSERT_TRUE(client.Send_Stream(Channel_Stream(1, "chan", 1, 1500), 32));
  EXPECT_GT(client.reports, 0u);
  EXPECT_GT(client.resent, 0u);
  EXPECT_EQ(server.Stop(), 0);

  mqw_test::sProgram_Run cat = Run_Cat({server.Client_Dir("lossy_")});
  EXPECT_EQ(cat.status, 0) << cat.err;
  EXPECT_EQ(cat.lines, Expected_Lines("chan", 1, 1500));
  const std::string stats = Stats_Line(server.Err(), "lossy_127.0.0.1_5");
  EXPECT_NE(stats.find("lost " + std::to_string(client.resent) + ","), std::string::npos) << stats;
  // Every packet reported lost arrived later: at least one, at most one per report.
  const size_t resent_at = stats.find("resent ");
  ASSERT_NE(resent_at, std::string::npos) << stats;
  const unsigned long resent = strtoul(stats.c_str() + resent_at + 7, nullptr, 10);
  EXPECT_GT(resent, 0u) << stats;
  EXPECT_LE(resent, client.resent) << stats;
  EXPECT_EQ(stats.find("lost 0,"), std::string::npos) << stats;
}

TEST(TraceServerToolTest, BadDatagramsAreCountedAndDroppedWhileAGoodClientIsUndisturbed) {
  Server server;
  ASSERT_NE(server.Port(), 0) << server.Err();
  Scripted_Client good(server.Port(), "good", 1);
  Scripted_Client bad(server.Port(), "bad", 2);
  Scripted_Client stranger(server.Port(), "stranger", 3);  // never says hello
  ASSERT_TRUE(good.Hello());
  ASSERT_TRUE(bad.Hello());
  ASSERT_TRUE(good.Send_Stream(Channel_Stream(0, "g", 1, 30)));

  auto finalized = [](CTPacket* packet) {
    packet->Finalize(1000, 0);
    return Bytes(packet->Get_Buffer(), packet->Get_Buffer() + packet->Get_Size());
  };
  CTPacket data(eTP_Data, 40);
  Bytes wrong_crc = finalized(&data);
  wrong_crc[20] ^= 0x01;
  Bytes beyond = finalized(&data);
  TP_Store16(beyond.data() + kTP_Offset_Size, 200);  // the size field claims more than arrives
  CTPacket unknown(7, 14);
  CTPacket short_window(eTP_Data_Window, 18);  // a data window needs 22 bytes
  struct Case {
    const char* name;
    Bytes datagram;
  } const cases[] = {
      {"wrong CRC", wrong_crc},
      {"size beyond the datagram", beyond},
      {"unknown type", finalized(&unknown)},
      {"body too short for its type", finalized(&short_window)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bad.Send(c.datagram);
    stranger.Send(c.datagram);
    ASSERT_TRUE(
        good.Send_Stream(Channel_Stream(0, "g", 31 + static_cast<int>(&c - cases), 1, false)));
  }
  ASSERT_TRUE(bad.Ping());  // the bad client's own session is alive too
  EXPECT_EQ(server.Stop(), 0);

  mqw_test::sProgram_Run cat = Run_Cat({server.Client_Dir("good_")});
  EXPECT_EQ(cat.status, 0) << cat.err;
  EXPECT_EQ(cat.lines, Expected_Lines("g", 1, 34));
  const std::string err = server.Err();
  EXPECT_NE(Stats_Line(err, "good_127.0.0.1_1").find("bad datagrams 0,"), std::string::npos) << err;
  EXPECT_NE(Stats_Line(err, "bad_127.0.0.1_2").find("bad datagrams 4,"), std::string::npos) << err;
  EXPECT_NE(err.find("bad datagrams 8,"), std::string::npos) << err;  // all sources together
}

TEST(TraceServerToolTest, RestartsAndRollsBeginFilesThatDecodeByThemselves) {
  Server server({"--roll", "1mb"});
  ASSERT_NE(server.Port(), 0) << server.Err();
  Scripted_Client client(server.Port(), "roller", 9, 8192);
  ASSERT_TRUE(client.Hello());
  ASSERT_TRUE(client.Send_Stream(Channel_Stream(2, "before", 1, 5)));
  // The client resets: it says hello again and describes its channels again.
  ASSERT_TRUE(client.Hello());
  Bytes big = Packet(2, Cat({Info("after"), Thread_Start(0x123, kTimer0, "main"),
                             Format(2, "%s %d", {10, 0, 4, 8})}));
  const std::string text(1000, 'x');
  for (int i = 1; i <= 1200; ++i) {
    big = Cat({big, Packet(2, Data(2, kTimer0 + static_cast<uint64_t>(i), Cat({Str(text), Int(i)}),
                                   2, 0x123, static_cast<uint32_t>(i)))});
  }
  ASSERT_TRUE(client.Send_Stream(big, 16));
  EXPECT_EQ(server.Stop(), 0);

  const std::string directory = server.Client_Dir("roller_");
  std::vector<std::string> files = Directory_Entries(directory);
  ASSERT_EQ(files.size(), 3u);  // before the restart, after it, after the roll at 1 MB
  EXPECT_EQ(Run_Cat({directory + "/" + files[0]}).lines, Expected_Lines("before", 1, 5));
  std::vector<std::string> after;
  for (size_t i = 1; i < files.size(); ++i) {
    mqw_test::sProgram_Run cat = Run_Cat({directory + "/" + files[i]});
    EXPECT_EQ(cat.status, 0) << cat.err;
    EXPECT_EQ(cat.err, "");  // no records of undescribed channels skipped
    EXPECT_FALSE(cat.lines.empty());
    after.insert(after.end(), cat.lines.begin(), cat.lines.end());
  }
  ASSERT_EQ(after.size(), 1200u);
  for (int i = 1; i <= 1200; ++i) {
    char expected[1100];
    snprintf(expected, sizeof(expected), "after|%04d|%s %d", i, text.c_str(), i);
    ASSERT_EQ(after[static_cast<size_t>(i - 1)], expected);
  }
  struct stat info;
  ASSERT_EQ(stat((directory + "/" + files[1]).c_str(), &info), 0);
  EXPECT_GE(info.st_size, 1 << 20);
  EXPECT_LT(info.st_size, (1 << 20) + 8192);
}

// --print shows every message in the line format; --tag prefixes each line with the client's
// directory; --no-store prints and stores nothing.
TEST(TraceServerToolTest, PrintShowsEveryMessageInTheLineFormat) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string prefix;  // of every printed line
    bool stored;
  } cases[] = {
      {"print", {"--print", "--format", kFormat}, "", true},
      {"print, tagged", {"--print", "--tag", "--format", kFormat}, "printer_127.0.0.1_11: ", true},
      {"print, no store", {"--print", "--no-store", "--format", kFormat}, "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Server server(c.args);
    ASSERT_NE(server.Port(), 0) << server.Err();
    Scripted_Client client(server.Port(), "printer", 11);
    ASSERT_TRUE(client.Hello());
    ASSERT_TRUE(client.Send_Stream(Channel_Stream(4, "live", 1, 25)));
    EXPECT_EQ(server.Stop(), 0);
    std::vector<std::string> lines = Split_Lines(server.Out());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("listening on ", 0), 0u);
    lines.erase(lines.begin());
    std::vector<std::string> expected = Expected_Lines("live", 1, 25);
    for (std::string& line : expected) line = c.prefix + line;
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(Directory_Entries(server.Traces()).size(), c.stored ? 1u : 0u);
  }
}

TEST(TraceServerToolTest, VerbosityReachesTheMatchingClientsChannelAndModule) {
  Server server({"--verbosity", "app*/net=debug", "--verbosity", "app*/net/io=4", "--verbosity",
                 "other/*=5"});
  ASSERT_NE(server.Port(), 0) << server.Err();
  Scripted_Client client(server.Port(), "application", 12);
  ASSERT_TRUE(client.Hello());
  const Bytes description = Packet(6, Cat({Info("net"), Module(1, "db"), Module(2, "io")}));
  ASSERT_TRUE(client.Send_Stream(description));
  for (int i = 0; i < 3 && client.user_data.size() < 2; ++i) ASSERT_TRUE(client.Ping());
  // The client starts over and describes itself again: the commands go again, so that they hold
  // across its restarts.
  ASSERT_EQ(client.user_data.size(), 2u);
  ASSERT_TRUE(client.Hello());
  ASSERT_TRUE(client.Send_Stream(description));
  for (int i = 0; i < 3 && client.user_data.size() < 4; ++i) ASSERT_TRUE(client.Ping());
  EXPECT_EQ(server.Stop(), 0);

  auto verbosity = [](uint32_t level, uint16_t module) {
    Bytes record(10, 0);
    TP_Store32(record.data(), TRTrace_Make_Header(10, eTRTrace_Verbosity));
    TP_Store32(record.data() + 4, level);
    TP_Store16(record.data() + 8, module);
    return record;
  };
  ASSERT_EQ(client.user_data.size(), 4u);
  for (size_t start : {0u, 2u}) {
    EXPECT_EQ(client.user_data[start], std::make_pair(6u, verbosity(1, 0)));
    EXPECT_EQ(client.user_data[start + 1], std::make_pair(6u, verbosity(4, 2)));
  }
}

TEST(TraceServerToolTest, ClientNamesNeverEscapeTheDirectory) {
  Server server;
  ASSERT_NE(server.Port(), 0) << server.Err();
  const char* const names[] = {"../../escape", "/tmp/abs", "..", "a/../../b", ".hidden"};
  uint32_t pid = 100;
  for (const char* name : names) {
    SCOPED_TRACE(name);
    Scripted_Client client(server.Port(), name, ++pid);
    ASSERT_TRUE(client.Hello());
    ASSERT_TRUE(client.Send_Stream(Channel_Stream(0, "c", 1, 1)));
  }
  EXPECT_EQ(server.Stop(), 0);
  // The temporary directory holds the tool's own files and --dir only; --dir holds one plain
  // directory per client, each with its file.
  const std::string parent = server.Traces().substr(0, server.Traces().rfind('/'));
  EXPECT_EQ(Directory_Entries(parent), (std::vector<std::string>{"err", "out", "port", "traces"}));
  std::vector<std::string> clients = Directory_Entries(server.Traces());
  ASSERT_EQ(clients.size(), 5u);
  for (const std::string& client : clients) {
    EXPECT_NE(client[0], '.') << client;
    struct stat info;
    ASSERT_EQ(lstat((server.Traces() + "/" + client).c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode)) << client;
    EXPECT_EQ(Directory_Entries(server.Traces() + "/" + client).size(), 1u) << client;
  }
}

TEST(TraceServerToolTest, ListensOnIpv6WhenAskedTo) {
  Server server({"--listen", "[::1]:0"});
  if (server.Port() == 0 && server.Err().find("cannot bind") != std::string::npos) {
    GTEST_SKIP() << "no IPv6 loopback here: " << server.Err();
  }
  ASSERT_NE(server.Port(), 0) << server.Err();
  Scripted_Client client(server.Port(), "six", 6, 1472, true);
  ASSERT_TRUE(client.Hello());
  ASSERT_TRUE(client.Send_Stream(Channel_Stream(0, "v6", 1, 3)));
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_NE(server.Out().find("listening on [::1]:"), std::string::npos);
  EXPECT_EQ(Run_Cat({server.Client_Dir("six___1_6")}).lines, Expected_Lines("v6", 1, 3));
}

TEST(TraceServerToolTest, WrongCommandLinesAreRefused) {
  const std::vector<std::vector<std::string>> cases = {{"--listen", "nowhere"},
                                                       {"--verbosity", "a=1"},
                                                       {"--roll", "5xx", "--listen", "127.0.0.1:0"},
                                                       {"--bogus"},
                                                       {"--files", "x"},
                                                       {"--client-memory", "0"},
                                                       {"--max-clients-per-address", "0"},
                                                       {"--max-total", "-1"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0] + " " + (args.size() > 1 ? args[1] : ""));
    const mqw_test::sProgram_Run run = mqw_test::Run_Program(TRACE_SERVER_PATH, args);
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find("trace-server:"), std::string::npos);
  }
  const mqw_test::sProgram_Run help = mqw_test::Run_Program(TRACE_SERVER_PATH, {"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--verbosity CLIENT/CHANNEL[/MODULE]=LEVEL", "--client-memory MB",
                             "--max-clients-per-address N", "--max-total MB"}) {
    bool listed = false;
    for (const std::string& line : help.lines)
      listed = listed || line.find(option) != std::string::npos;
    EXPECT_TRUE(listed) << option;
  }
}

// Appends `part` to `out` (building long streams without copying them again and again).

// Waits until the server's standard error holds `text`; false after 10 s.
bool Wait_For_Err(const Server& server, const std::string& text) {
  for (int i = 0; i < 200; ++i) {
    if (server.Err().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

TEST(TraceServerToolTest, DirectoriesAreMadeWithTheFirstRecordNotAtHello) {
  Server server;
  ASSERT_NE(server.Port(), 0) << server.Err();
  for (uint32_t pid = 1; pid <= 50; ++pid) {
    Scripted_Client idle(server.Port(), "idle", pid);
    ASSERT_TRUE(idle.Hello());
  }
  Scripted_Client talker(server.Port(), "talker", 77);
  ASSERT_TRUE(talker.Hello());
  EXPECT_EQ(Directory_Entries(server.Traces()), std::vector<std::string>{});
  ASSERT_TRUE(talker.Send_Stream(Channel_Stream(0, "c", 1, 3)));
  ASSERT_TRUE(talker.Ping());
  EXPECT_EQ(Directory_Entries(server.Traces()), std::vector<std::string>{"talker_127.0.0.1_77"});
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(Directory_Entries(server.Traces()), std::vector<std::string>{"talker_127.0.0.1_77"});
}

// A second process claiming a live client's name and process ID from another port writes into a
// directory of its own: never into the first one's files, never deleting them by retention.
TEST(TraceServerToolTest, AClaimedNameAndProcessIdGetsADirectoryOfItsOwn) {
  Server server({"--files", "1"});
  ASSERT_NE(server.Port(), 0) << server.Err();
  Scripted_Client victim(server.Port(), "victim", 500);
  ASSERT_TRUE(victim.Hello());
  ASSERT_TRUE(victim.Send_Stream(Channel_Stream(0, "real", 1, 20)));
  Scripted_Client claimer(server.Port(), "victim", 500);
  ASSERT_TRUE(claimer.Hello());
  ASSERT_TRUE(claimer.Send_Stream(Channel_Stream(0, "fake", 1, 5)));
  ASSERT_TRUE(claimer.Hello());  // restarts, each starting a file that retention would weigh
  ASSERT_TRUE(claimer.Send_Stream(Channel_Stream(0, "fake", 6, 5)));
  ASSERT_TRUE(victim.Send_Stream(Channel_Stream(0, "real", 21, 10, false)));
  EXPECT_EQ(server.Stop(), 0);

  EXPECT_EQ(Directory_Entries(server.Traces()),
            (std::vector<std::string>{"victim_127.0.0.1_500", "victim_127.0.0.1_500-2"}));
  mqw_test::sProgram_Run real = Run_Cat({server.Traces() + "/victim_127.0.0.1_500"});
  EXPECT_EQ(real.status, 0) << real.err;
  EXPECT_EQ(real.lines, Expected_Lines("real", 1, 30));
  mqw_test::sProgram_Run fake = Run_Cat({server.Traces() + "/victim_127.0.0.1_500-2"});
  EXPECT_EQ(fake.lines, Expected_Lines("fake", 6, 5));  // its own retention kept its last file
}

// A hello from the address and port of a live client: the same process (process ID and start
// time) starts over in its directory; any other process has replaced it, so the old client is
// ended first and the new one is a client of its own, in the directory its name gives.
TEST(TraceServerToolTest, AClientReplacedAtItsAddressIsEndedBeforeTheNewOneBegins) {
  struct Case {
    const char* label;
    uint32_t process_id;
    uint64_t start_time;
    const char* said;  // on standard error
    std::vector<std::string> directories;
  };
  const uint64_t start = 0x01DC000000000000ull;
  const Case cases[] = {
      {"the same process",
       600,
       start,
       "client first_127.0.0.1_600 started over",
       {"first_127.0.0.1_600"}},
      {"another process ID",
       601,
       start,
       "client first_127.0.0.1_600 was replaced by another process at its address",
       {"first_127.0.0.1_600", "first_127.0.0.1_601"}},
      {"the same process ID started again",
       600,
       start + 1,
       "client first_127.0.0.1_600 was replaced by another process at its address",
       {"first_127.0.0.1_600"}},  // the old client has ended: its name is free again
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Server server;
    ASSERT_NE(server.Port(), 0) << server.Err();
    Scripted_Client client(server.Port(), "first", 600);
    ASSERT_TRUE(client.Hello());
    ASSERT_TRUE(client.Send_Stream(Channel_Stream(0, "old", 1, 5)));
    client.Become(c.process_id, c.start_time);
    ASSERT_TRUE(client.Hello());
    ASSERT_TRUE(client.Send_Stream(Channel_Stream(0, "new", 1, 5)));
    EXPECT_EQ(server.Stop(), 0);

    EXPECT_NE(server.Err().find(c.said), std::string::npos) << server.Err();
    ASSERT_EQ(Directory_Entries(server.Traces()), c.directories);
    if (c.directories.size() == 2) {
      EXPECT_EQ(Run_Cat({server.Traces() + "/" + c.directories[0]}).lines,
                Expected_Lines("old", 1, 5));
      EXPECT_EQ(Run_Cat({server.Traces() + "/" + c.directories[1]}).lines,
                Expected_Lines("new", 1, 5));
    } else {
      std::vector<std::string> both = Expected_Lines("old", 1, 5);
      const std::vector<std::string> after = Expected_Lines("new", 1, 5);
      both.insert(both.end(), after.begin(), after.end());
      EXPECT_EQ(Run_Cat({server.Traces() + "/" + c.directories[0]}).lines, both);
    }
  }
}

// --stats prints the statistics while the server runs, not only at exit; --idle forgets a client
// not heard from for that long (its next ping is refused), never one that keeps pinging.
TEST(TraceServerToolTest, StatisticsWhileRunningAndIdleClientsForgotten) {
  Server server({"--stats", "1", "--idle", "2"});
  ASSERT_NE(server.Port(), 0) << server.Err();
  Scripted_Client quiet(server.Port(), "quiet", 1);
  Scripted_Client busy(server.Port(), "busy", 2);
  ASSERT_TRUE(quiet.Hello());
  ASSERT_TRUE(quiet.Send_Stream(Channel_Stream(0, "q", 1, 3)));
  ASSERT_TRUE(busy.Hello());
  ASSERT_TRUE(busy.Send_Stream(Channel_Stream(0, "b", 1, 3)));
  EXPECT_TRUE(mqw_test::Wait_Until([&] {
    return server.Err().find("trace-server: statistics: 2 clients") != std::string::npos;
  })) << server.Err();
  bool busy_answered = true;
  const bool forgotten = mqw_test::Wait_Until(
      [&] {
        busy_answered = busy_answered && busy.Ping();
        return server.Err().find("client quiet_127.0.0.1_1 was idle too long") != std::string::npos;
      },
      mqw_test::kEvent_Backstop, 100ms);
  EXPECT_TRUE(forgotten) << server.Err();
  EXPECT_TRUE(busy_answered);
  EXPECT_FALSE(quiet.Ping()) << "a forgotten client is no longer known";
  EXPECT_TRUE(mqw_test::Wait_Until([&] {
    return server.Err().find("trace-server: statistics: 1 clients") != std::string::npos;
  })) << server.Err();
  EXPECT_TRUE(busy.Ping());
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(server.Err().find("client busy_127.0.0.1_2 was idle"), std::string::npos)
      << server.Err();
}

// Bytes of the ".trd" files directly in `directory`.
uint64_t Trd_Bytes(const std::string& directory) {
  uint64_t bytes = 0;
  for (const std::string& name : Directory_Entries(directory)) {
    struct stat info;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".trd") == 0 &&
        stat((directory + "/" + name).c_str(), &info) == 0)
      bytes += static_cast<uint64_t>(info.st_size);
  }
  return bytes;
}

// Bytes of every client directory's ".trd" files under `traces`.
uint64_t Total_Trd_Bytes(const std::string& traces) {
  uint64_t bytes = 0;
  for (const std::string& client : Directory_Entries(traces))
    bytes += Trd_Bytes(traces + "/" + client);
  return bytes;
}

// `count` records of about 1 KB each on channel 2, numbered from `first`.
Bytes Kilobyte_Records(int first, int count, bool describe) {
  Bytes stream =
      describe ? Packet(2, Cat({Info("disk"), Format(2, "%s %d", {10, 0, 4, 8})})) : Bytes();
  const std::string text(1000, 'k');
  for (int i = first; i < first + count; ++i)
    Append(&stream,
           Packet(2, Data(2, kTimer0 + static_cast<uint64_t>(i), Cat({Str(text), Int(i)}))));
  return stream;
}

// What the server keeps on disk stays within its rules at every point, not only when a file is
// made: per client (--files, --fsize, with and without --roll) after every acknowledged window,
// and over all clients (--max-total) once the quota has run, the oldest files of the largest
// client going first and never a file being written.
TEST(TraceServerToolTest, StoredBytesStayWithinRetentionAndTheTotalQuota) {
  constexpr uint64_t kMB = 1 << 20;
  constexpr uint64_t kSlack = (64 << 10) + 8192;  // one write buffer and one packet
  const struct {
    const char* name;
    std::vector<std::string> args;
    int clients;
    int records;            // per client, about 1 KB each
    uint64_t client_bound;  // bytes one client directory may hold at any point
  } cases[] = {
      {"fsize 1, files 1, no roll", {"--fsize", "1", "--files", "1"}, 1, 6000, kMB + kSlack},
      {"roll 1mb under fsize 2", {"--roll", "1mb", "--fsize", "2"}, 3, 3000, 2 * kMB + kSlack},
      {"roll 1mb, files 2", {"--roll", "1mb", "--files", "2"}, 2, 4000, 2 * kMB + kSlack},
      // Only a check after every write holds this one: a closed 2 MB file beside a growing one.
      {"roll 2mb under fsize 3", {"--roll", "2mb", "--fsize", "3"}, 1, 6000, 3 * kMB + kSlack},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Server server(c.args);
    ASSERT_NE(server.Port(), 0) << server.Err();
    for (int k = 0; k < c.clients; ++k) {
      Scripted_Client client(server.Port(), "disk", 100 + static_cast<uint32_t>(k), 8192);
      ASSERT_TRUE(client.Hello());
      const std::string directory = server.Traces() + "/disk_127.0.0.1_" + std::to_string(100 + k);
      for (int first = 1; first <= c.records; first += 200) {
        ASSERT_TRUE(client.Send_Stream(Kilobyte_Records(first, 200, first == 1), 16));
        ASSERT_TRUE(client.Ping());  // the windows before it are stored
        ASSERT_LE(Trd_Bytes(directory), c.client_bound) << "after record " << first + 199;
      }
    }
    EXPECT_EQ(server.Stop(), 0);
  }

  // The total quota: four clients of about 1.5 MB each under --max-total 3.
  Server server({"--roll", "1mb", "--max-total", "3"});
  ASSERT_NE(server.Port(), 0) << server.Err();
  const Bytes records = Kilobyte_Records(1, 1500, true);
  for (int k = 0; k < 4; ++k) {
    Scripted_Client client(server.Port(), "quota", 200 + static_cast<uint32_t>(k), 8192);
    ASSERT_TRUE(client.Hello());
    ASSERT_TRUE(client.Send_Stream(records, 16));
    ASSERT_TRUE(client.Ping());
  }
  // The quota runs once a second: wait for it.
  EXPECT_TRUE(mqw_test::Wait_Until([&] { return Total_Trd_Bytes(server.Traces()) <= 3 * kMB; },
                                   mqw_test::kEvent_Backstop, 100ms))
      << Total_Trd_Bytes(server.Traces());
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_LE(Total_Trd_Bytes(server.Traces()), 3 * kMB + 4 * kSlack);  // the last writes at exit
  EXPECT_NE(server.Err().find("the quota removed"), std::string::npos) << server.Err();
  // Every client still has its newest file, whose messages decode.
  for (int k = 0; k < 4; ++k) {
    const std::string directory = server.Traces() + "/quota_127.0.0.1_" + std::to_string(200 + k);
    const std::vector<std::string> files = Directory_Entries(directory);
    ASSERT_FALSE(files.empty()) << directory;
    mqw_test::sProgram_Run cat = Run_Cat({directory + "/" + files.back()});
    EXPECT_EQ(cat.status, 0) << cat.err;
    ASSERT_FALSE(cat.lines.empty());
    EXPECT_NE(cat.lines.back().find(" 1500"), std::string::npos) << cat.lines.back();
  }
}

// Streams that make a decoder keep state without end: the client goes over a small budget and is
// disconnected, named and counted, while another client is served throughout.
TEST(TraceServerToolTest, AClientOverItsMemoryBudgetIsDroppedAndOthersStayServed) {
  for (const sHostile_Stream& c : Hostile_Streams(20, 20000, 1000)) {
    SCOPED_TRACE(c.name);
    Server server({"--client-memory", "1", "--print", "--format", kFormat});
    ASSERT_NE(server.Port(), 0) << server.Err();
    Scripted_Client good(server.Port(), "good", 1);
    Scripted_Client greedy(server.Port(), "greedy", 2);
    ASSERT_TRUE(good.Hello());
    ASSERT_TRUE(greedy.Hello());
    ASSERT_TRUE(good.Send_Stream(Channel_Stream(0, "g", 1, 10)));
    greedy.Send_Stream(c.stream, 16);
    EXPECT_TRUE(Wait_For_Err(server, "greedy_127.0.0.1_2 went over its memory budget"))
        << server.Err();
    ASSERT_TRUE(good.Ping());
    ASSERT_TRUE(good.Send_Stream(Channel_Stream(0, "g", 11, 10, false)));
    // Its session ended with it, and its endpoint is refused for a while: it cannot refill its
    // budget at once by saying hello again.
    EXPECT_FALSE(greedy.Ping());
    EXPECT_FALSE(greedy.Hello());
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(Run_Cat({server.Client_Dir("good_")}).lines, Expected_Lines("g", 1, 20));
    const std::string err = server.Err();
    EXPECT_NE(err.find("clients over their memory budget 1"), std::string::npos) << err;
    EXPECT_NE(Stats_Line(err, "greedy_127.0.0.1_2 (left)").find("over its memory budget"),
              std::string::npos)
        << err;
    EXPECT_EQ(Stats_Line(err, "good_127.0.0.1_1").find("over its memory budget"), std::string::npos)
        << err;
  }
}

// Costly records of one client (130 "%.65536f" each) are decoded beside the receiving loop: the
// loop outruns the decoder, skipping messages for --print rather than waiting, so another
// client's pings and data are answered and stored throughout.
TEST(TraceServerToolTest, CostlyRecordsOfOneClientNeverHoldAnothersAcknowledgements) {
  Server server({"--print", "--format", "%cn|%ix"});
  ASSERT_NE(server.Port(), 0) << server.Err();
  Scripted_Client good(server.Port(), "good", 1);
  Scripted_Client costly(server.Port(), "costly", 2, 8192);
  ASSERT_TRUE(good.Hello());
  ASSERT_TRUE(costly.Hello());
  std::string format;
  std::vector<uint8_t> args;
  Bytes values;
  for (int i = 0; i < 130; ++i) {
    format += "%.65536f";
    args.insert(args.end(), {eTRArg_Double, 8});
    const double value = 1.0 / 3;
    uint64_t bits;
    memcpy(&bits, &value, sizeof(bits));
    Append(&values, Int(static_cast<int64_t>(bits)));
  }
  ASSERT_TRUE(costly.Send_Stream(Packet(0, Cat({Info("slow"), Format(1, format, args)}))));
  int sent = 0;
  for (int round = 0; round < 20; ++round) {
    Bytes batch;
    for (int i = 0; i < 400; ++i, ++sent)
      Append(&batch, Packet(0, Data(1, kTimer0, values, 2, 0x123, static_cast<uint32_t>(sent))));
    ASSERT_TRUE(costly.Send_Stream(batch, 64));
    ASSERT_TRUE(good.Ping());
    ASSERT_TRUE(good.Send_Stream(Channel_Stream(0, "g", round + 1, 1, round == 0)));
  }
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(Run_Cat({server.Client_Dir("good_")}).lines, Expected_Lines("g", 1, 20));
  const std::string stats = Stats_Line(server.Err(), "costly_127.0.0.1_2");
  EXPECT_NE(stats.find("records " + std::to_string(sent + 1) + ","), std::string::npos) << stats;
  EXPECT_NE(stats.find(", skipped "), std::string::npos) << stats;
  // Every good message was printed: skipping is per client.
  int printed_good = 0;
  for (const std::string& line : Split_Lines(server.Out()))
    printed_good += line.rfind("g|", 0) == 0;
  EXPECT_EQ(printed_good, 20);
}

}  // namespace
