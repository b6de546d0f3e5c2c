#include "trace/net/udp_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/select.h>
#include <unistd.h>

#include "trace/core/journal.h"
#include "trace/net/endpoint.h"

CUDP_Socket::CUDP_Socket(IJournal* journal, const sockaddr* address, uint32_t bind)
    : m_Journal(journal), m_Bind(bind) {
  if (m_Journal) m_Journal->Add_Ref();
  if (!address) {
    TR_JOURNAL(m_Journal, IJournal::eError, "NULL == i_pAddress");
    return;
  }
  if (address->sa_family != AF_INET && address->sa_family != AF_INET6) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Address family is wrong = %d", address->sa_family);
    return;
  }
  m_Family = address->sa_family;
  m_AddressLength = m_Family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  memcpy(&m_Address, address, m_AddressLength);
  char text[INET6_ADDRSTRLEN] = {};
  const void* raw =
      m_Family == AF_INET
          ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&m_Address)->sin_addr)
          : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&m_Address)->sin6_addr);
  inet_ntop(m_Family, raw, text, sizeof(text));
  TR_JOURNAL(m_Journal, IJournal::eInfo, "Use address = %s", text);
  Create_Socket();
  if (m_Socket == -1) return;
  struct {
    int option;
    uint32_t* size;
    const char* differs;
  } const buffers[] = {
      {SO_RCVBUF, &m_ReceiveBufferSize, "Socket receive buffer != necessary %d/%d"},
      {SO_SNDBUF, &m_SendBufferSize, "Socket send buffer size is less than necessary %d/%d"},
  };
  for (const auto& buffer : buffers) {
    int request = kBufferRequest;
    if (setsockopt(m_Socket, SOL_SOCKET, buffer.option, &request, sizeof(request)) != 0) {
      TR_JOURNAL(m_Journal, IJournal::eError, "setsockopt fail, error=%d !", errno);
      continue;
    }
    int actual = 0;
    socklen_t length = sizeof(actual);
    if (getsockopt(m_Socket, SOL_SOCKET, buffer.option, &actual, &length) != 0) {
      TR_JOURNAL(m_Journal, IJournal::eError, "getsockopt fail, error=%d !", errno);
      continue;
    }
    *buffer.size = static_cast<uint32_t>(actual);
    if (actual != request) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
      TR_JOURNAL(m_Journal, IJournal::eWarning, buffer.differs, actual, request);
#pragma GCC diagnostic pop
    }
  }
}

CUDP_Socket::~CUDP_Socket() {
  if (m_Socket != -1) close(m_Socket);
  if (m_Journal) m_Journal->Release();
}

void CUDP_Socket::Create_Socket() {
  m_Socket = socket(m_Family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (m_Socket == -1)
    TR_JOURNAL(m_Journal, IJournal::eError, "Socket creation failed, error=%d !", errno);
}

int CUDP_Socket::Is_Ready(bool write, uint32_t timeout_us) {
  if (m_Socket == -1) return -1;
  int result;
  if (m_Socket < FD_SETSIZE) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(m_Socket, &set);
    timeval timeout{static_cast<time_t>(timeout_us / 1000000),
                    static_cast<suseconds_t>(timeout_us % 1000000)};
    result =
        select(m_Socket + 1, write ? nullptr : &set, write ? &set : nullptr, nullptr, &timeout);
  } else {
    // A descriptor beyond what an fd_set can hold (a host with many open files).
    pollfd entry{m_Socket, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    result = poll(&entry, 1, static_cast<int>((timeout_us + 999) / 1000));
  }
  if (result < 0) {
    if (errno == EINTR) return 0;
    TR_JOURNAL(m_Journal, IJournal::eError, "Select fail, error=%d !", errno);
    return -1;
  }
  return result > 0 ? 1 : 0;
}

bool CUDP_Socket::Send(const void* buffer, size_t size) {
  const uint8_t* data = static_cast<const uint8_t*>(buffer);
  size_t sent = 0;
  while (m_Socket != -1 && sent < size) {
    int ready = Is_Ready(true, kSendWait_us);
    if (ready < 0) return false;
    if (ready == 0) continue;
    ssize_t n = sendto(m_Socket, data + sent, size - sent, MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr*>(&m_Address), m_AddressLength);
    if (n < 0) {
      if (errno == EINTR) continue;
      TR_JOURNAL(m_Journal, IJournal::eError, "Send fail, error=%d !", errno);
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return m_Socket != -1 && sent == size;
}

int32_t CUDP_Socket::Recv(void* buffer, uint32_t size, uint32_t timeout_us,
                          sockaddr_storage* source) {
  if (m_Socket == -1) return -1;
  int ready = Is_Ready(false, timeout_us);
  if (ready <= 0) return ready;
  sockaddr_storage from{};
  socklen_t from_length = sizeof(from);
  ssize_t n = recvfrom(m_Socket, buffer, size, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    TR_JOURNAL(m_Journal, IJournal::eError, "recvfrom failed, error=%d !", errno);
    return -1;
  }
  if (source) *source = from;
  return static_cast<int32_t>(n);
}

bool CUDP_Socket::Is_Peer(const sockaddr_storage& source) const {
  if (m_Family == 0) return false;
  return TP_Endpoint(reinterpret_cast<const sockaddr*>(&source)) ==
         TP_Endpoint(reinterpret_cast<const sockaddr*>(&m_Address));
}
