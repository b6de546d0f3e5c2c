// The UDP socket against a real loopback peer on an ephemeral port: sending, receiving, telling
// the peer from other senders, and the construction reports.
#include "trace/net/udp_socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "recording_journal.h"

namespace {

using net_test::RecordingJournal;

// A plain UDP socket bound to an ephemeral loopback port.
class Peer {
 public:
  explicit Peer(int family = AF_INET) : family_(family) {
    fd_ = socket(family, SOCK_DGRAM, 0);
    if (fd_ < 0) return;
    if (family == AF_INET) {
      auto* in = reinterpret_cast<sockaddr_in*>(&address_);
      in->sin_family = AF_INET;
      in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&address_);
      in6->sin6_family = AF_INET6;
      in6->sin6_addr = in6addr_loopback;
    }
    socklen_t length = Length();
    if (bind(fd_, Address(), length) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address_), &length) != 0) {
      close(fd_);
      fd_ = -1;
    }
    timeval timeout{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  }
  ~Peer() {
    if (fd_ >= 0) close(fd_);
  }
  bool Ok() const { return fd_ >= 0; }
  const sockaddr* Address() const { return reinterpret_cast<const sockaddr*>(&address_); }
  socklen_t Length() const {
    return family_ == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  }

  // One datagram, and who sent it.
  std::string Receive(sockaddr_storage* from) {
    char buffer[2048];
    socklen_t length = sizeof(*from);
    ssize_t n =
        recvfrom(fd_, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(from), &length);
    return n < 0 ? std::string("<nothing>") : std::string(buffer, static_cast<size_t>(n));
  }
  void Send_To(const std::string& text, const sockaddr_storage& to) {
    sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to),
           to.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
  }

 private:
  int family_;
  int fd_ = -1;
  sockaddr_storage address_{};
};

// Receives with a generous time-out (the datagram is already on its way).
std::string Recv(CUDP_Socket* socket, sockaddr_storage* from, uint32_t size = 2048) {
  std::vector<char> buffer(size);
  int32_t n = socket->Recv(buffer.data(), size, 5000000, from);
  return n < 0 ? std::string("<failure>") : std::string(buffer.data(), static_cast<size_t>(n));
}

TEST(UdpSocketTest, ExchangesDatagramsWithTheLoopbackPeer) {
  for (int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
    Peer server(family);
    if (!server.Ok()) {
      ASSERT_EQ(family, AF_INET6) << "no IPv4 loopback";
      continue;  // no IPv6 loopback on this machine
    }
    RecordingJournal journal;
    {
      CUDP_Socket socket(&journal, server.Address(), 0);
      ASSERT_TRUE(socket.Is_Valid());
      EXPECT_TRUE(journal.Has(IJournal::eInfo, "CUDP_Socket",
                              family == AF_INET ? "Use address = 127.0.0.1" : "Use address = ::1"));

      ASSERT_TRUE(socket.Send("hello", 5));
      sockaddr_storage client{};
      EXPECT_EQ(server.Receive(&client), "hello");

      server.Send_To("answer", client);
      sockaddr_storage from{};
      EXPECT_EQ(Recv(&socket, &from), "answer");
      EXPECT_TRUE(socket.Is_Peer(from));

      // Another sender reaches the socket too, but is not the peer.
      Peer stranger(family);
      ASSERT_TRUE(stranger.Ok());
      stranger.Send_To("intruder", client);
      EXPECT_EQ(Recv(&socket, &from), "intruder");
      EXPECT_FALSE(socket.Is_Peer(from));

      // A datagram longer than the buffer is cut to it.
      server.Send_To(std::string(100, 'x'), client);
      EXPECT_EQ(Recv(&socket, &from, 10), std::string(10, 'x'));

      // Nothing waiting: no datagram, no failure.
      char byte;
      EXPECT_EQ(socket.Recv(&byte, 1, 0, &from), 0);
    }
    EXPECT_EQ(journal.References(), 0);
    EXPECT_EQ(journal.Get_Count(IJournal::eError), 0u);
  }
}

// What the system grants a fresh UDP socket that asks for `request` bytes of buffer `option`.
uint32_t Granted(int option, int request) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return 0;
  int actual = 0;
  socklen_t length = sizeof(actual);
  const bool ok = setsockopt(fd, SOL_SOCKET, option, &request, sizeof(request)) == 0 &&
                  getsockopt(fd, SOL_SOCKET, option, &actual, &length) == 0;
  close(fd);
  return ok ? static_cast<uint32_t>(actual) : 0;
}

TEST(UdpSocketTest, KeepsTheBufferSizesTheSystemGrantsAndWarnsWhenTheyDiffer) {
  Peer server;
  ASSERT_TRUE(server.Ok());
  RecordingJournal journal;
  CUDP_Socket socket(&journal, server.Address(), 0);
  ASSERT_TRUE(socket.Is_Valid());
  struct Case {
    uint32_t kept;
    uint32_t granted;  // asked of the system apart from the socket under test
    std::string warning;
  } const cases[] = {
      {socket.Receive_Buffer_Size(), Granted(SO_RCVBUF, CUDP_Socket::kBufferRequest),
       "Socket receive buffer != necessary %d/262144"},
      {socket.Send_Buffer_Size(), Granted(SO_SNDBUF, CUDP_Socket::kBufferRequest),
       "Socket send buffer size is less than necessary %d/262144"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.warning);
    ASSERT_NE(c.granted, 0u);
    EXPECT_EQ(c.kept, c.granted);
    std::string expected = c.warning;
    expected.replace(expected.find("%d"), 2, std::to_string(c.granted));
    EXPECT_EQ(journal.Has(IJournal::eWarning, "CUDP_Socket", expected),
              c.granted != CUDP_Socket::kBufferRequest);
  }
}

TEST(UdpSocketTest, UnusableAddressesLeaveNoSocket) {
  RecordingJournal journal;
  {
    CUDP_Socket none(&journal, nullptr, 0);
    EXPECT_FALSE(none.Is_Valid());
    EXPECT_TRUE(journal.Has(IJournal::eError, "CUDP_Socket", "NULL == i_pAddress"));

    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    CUDP_Socket unix_socket(&journal, reinterpret_cast<const sockaddr*>(&local), 0);
    EXPECT_FALSE(unix_socket.Is_Valid());
    EXPECT_TRUE(journal.Has(IJournal::eError, "CUDP_Socket", "Address family is wrong = 1"));

    EXPECT_FALSE(none.Send("x", 1));
    char byte;
    sockaddr_storage from{};
    EXPECT_EQ(none.Recv(&byte, 1, 0, &from), -1);
    EXPECT_FALSE(none.Is_Peer(from));
  }
  EXPECT_EQ(journal.References(), 0);

  // Without a journal nothing is reported and nothing breaks.
  CUDP_Socket quiet(nullptr, nullptr, 0);
  EXPECT_FALSE(quiet.Is_Valid());
}

}  // namespace
