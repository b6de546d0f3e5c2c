// The client's socket and packets against the server logic over a real loopback socket on an
// ephemeral port: the endpoints the kernel reports key the sessions, and the replies the server
// builds pass the client's checks.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "trace/net/endpoint.h"
#include "trace/net/packet_check.h"
#include "trace/net/tpacket.h"
#include "trace/net/udp_socket.h"
#include "trace/server/trace_server.h"

namespace {

class StreamListener final : public ITRS_Listener {
 public:
  void On_Client(uint16_t, const sTRS_Hello& hello, bool) override { names.push_back(hello.name); }
  void On_Stream(uint16_t, const uint8_t* bytes, uint32_t size) override {
    stream.append(reinterpret_cast<const char*>(bytes), size);
  }
  void On_Leave(uint16_t, eTRS_Leave) override { ++leaves; }

  std::vector<std::string> names;
  std::string stream;
  int leaves = 0;
};

// A server socket on 127.0.0.1 and an ephemeral port that feeds a CTRS_Server.
class LoopbackServer {
 public:
  explicit LoopbackServer(ITRS_Listener* listener) : server_(sTRS_Limits{}, listener) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    address_.sin_family = AF_INET;
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address_);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address_), sizeof(address_)) == 0 &&
             getsockname(fd_, reinterpret_cast<sockaddr*>(&address_), &length) == 0;
    timeval timeout{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  }
  ~LoopbackServer() {
    if (fd_ >= 0) close(fd_);
  }
  bool Ok() const { return bound_; }
  const sockaddr* Address() const { return reinterpret_cast<const sockaddr*>(&address_); }

  // Receives one datagram, feeds it, sends the reply; whether there was a reply.
  bool Serve_One() {
    uint8_t buffer[65536];
    sockaddr_storage from{};
    socklen_t length = sizeof(from);
    ssize_t n =
        recvfrom(fd_, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) return false;
    tTRS_Reply reply;
    if (!server_.On_Datagram(buffer, static_cast<uint32_t>(n),
                             TP_Endpoint(reinterpret_cast<sockaddr*>(&from)), 0, &reply)) {
      return false;
    }
    sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
    return true;
  }
  CTRS_Server& Server() { return server_; }

 private:
  CTRS_Server server_;
  int fd_ = -1;
  sockaddr_in address_{};
  bool bound_ = false;
};

// Receives the server's answer the way the network sink does: from the peer only, checked.
sTP_View Answer(CUDP_Socket* socket, std::vector<uint8_t>* buffer) {
  buffer->assign(1472, 0);
  sockaddr_storage from{};
  int32_t n = socket->Recv(buffer->data(), static_cast<uint32_t>(buffer->size()), 5000000, &from);
  sTP_View view;
  EXPECT_GT(n, 0);
  EXPECT_TRUE(socket->Is_Peer(from));
  EXPECT_EQ(TP_Check_Datagram(buffer->data(), n > 0 ? static_cast<uint32_t>(n) : 0, &view),
            eTP_Check_OK);
  return view;
}

TEST(LoopbackTest, HelloDataAndWindowThroughRealSockets) {
  StreamListener listener;
  LoopbackServer server(&listener);
  ASSERT_TRUE(server.Ok());
  CUDP_Socket socket(nullptr, server.Address(), 0);
  ASSERT_TRUE(socket.Is_Valid());
  std::vector<uint8_t> buffer;

  CTPClient_Hello hello;
  hello.Fill(1472, static_cast<uint32_t>(getpid()), 0, "loopback");
  hello.Finalize(1, kTP_No_Client);
  ASSERT_TRUE(socket.Send(hello.Get_Buffer(), hello.Get_Size()));
  ASSERT_TRUE(server.Serve_One());
  sTP_View ack = Answer(&socket, &buffer);
  EXPECT_EQ(ack.type, uint32_t{eTP_Acknowledgment});
  EXPECT_EQ(TP_Load32(ack.bytes + kTP_Ack_Offset_ID), 1u);
  uint16_t client_id = ack.client_id;
  EXPECT_EQ(listener.names, std::vector<std::string>{"loopback"});

  for (uint32_t id : {2u, 3u}) {
    std::string body = "packet" + std::to_string(id) + ";";
    CTPacket data(eTP_Data, static_cast<uint16_t>(kTP_Header_Size + body.size()));
    memcpy(data.Get_Buffer() + kTP_Header_Size, body.data(), body.size());
    data.Finalize(id, client_id);
    ASSERT_TRUE(socket.Send(data.Get_Buffer(), data.Get_Size()));
    EXPECT_FALSE(server.Serve_One());
  }
  CTPData_Window window;
  window.Set_Window(2, 3);
  window.Finalize(4, client_id);
  ASSERT_TRUE(socket.Send(window.Get_Buffer(), window.Get_Size()));
  ASSERT_TRUE(server.Serve_One());
  ack = Answer(&socket, &buffer);
  EXPECT_EQ(ack.type, uint32_t{eTP_Acknowledgment});
  EXPECT_EQ(TP_Load32(ack.bytes + kTP_Ack_Offset_ID), 4u);
  EXPECT_EQ(TP_Load16(ack.bytes + kTP_Ack_Offset_Result), 1);
  EXPECT_EQ(listener.stream, "packet2;packet3;");

  CTPClient_Bye bye;
  bye.Finalize(5, client_id);
  ASSERT_TRUE(socket.Send(bye.Get_Buffer(), bye.Get_Size()));
  EXPECT_FALSE(server.Serve_One());
  EXPECT_EQ(listener.leaves, 1);
  EXPECT_EQ(server.Server().Client_Count(), 0u);
}

}  // namespace
