#include "server_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <unistd.h>

CServer_Socket::~CServer_Socket() {
  if (m_Socket != -1) close(m_Socket);
}

bool CServer_Socket::Open(const std::string& host, const std::string& port, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (resolved != 0) {
    *error = "cannot resolve " + host + ": " + gai_strerror(resolved);
    return false;
  }
  *error = "no usable address for " + host;
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
    const int fd = socket(entry->ai_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd == -1) {
      *error = std::string("socket: ") + strerror(errno);
      continue;
    }
    const int one = 1;
    if (entry->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
    const int buffer = kReceive_Buffer;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    sockaddr_storage bound{};
    socklen_t length = sizeof(bound);
    if (bind(fd, entry->ai_addr, entry->ai_addrlen) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
      *error = "cannot bind " + host + ":" + port + ": " + strerror(errno);
      close(fd);
      continue;
    }
    m_Socket = fd;
    m_Bound = TP_Endpoint(reinterpret_cast<sockaddr*>(&bound));
    int granted = 0;
    socklen_t granted_length = sizeof(granted);
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &granted_length) == 0 && granted > 0) {
      m_ReceiveBuffer = static_cast<uint32_t>(granted);
    }
    break;
  }
  freeaddrinfo(found);
  return m_Socket != -1;
}

int32_t CServer_Socket::Receive(uint8_t* buffer, uint32_t size, sTP_Endpoint* source,
                                sockaddr_storage* from, socklen_t* from_length) {
  *from_length = sizeof(*from);
  ssize_t n;
  do {
    n = recvfrom(m_Socket, buffer, size, MSG_TRUNC, reinterpret_cast<sockaddr*>(from), from_length);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  *source = TP_Endpoint(reinterpret_cast<sockaddr*>(from));
  // With MSG_TRUNC a longer datagram reports its full length; only the `size` bytes received
  // are ever handed on, and their size field is checked against that count.
  return n > static_cast<ssize_t>(size) ? static_cast<int32_t>(size) : static_cast<int32_t>(n);
}

bool CServer_Socket::Send(const uint8_t* bytes, size_t size, const sockaddr_storage& to,
                          socklen_t to_length) {
  ssize_t n;
  do {
    n = sendto(m_Socket, bytes, size, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to),
               to_length);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(size);
}
