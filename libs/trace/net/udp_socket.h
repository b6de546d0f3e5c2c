// CUDP_Socket: one UDP socket that talks to one peer address (client mode), used by the network
// sink and by the text sink's syslog output. Failures are reported to the engine journal when one
// is given; a socket whose descriptor is -1 after construction is unusable and its owner treats
// it as a failed construction.
//
// Buffers: SO_RCVBUF and SO_SNDBUF are asked for 0x40000 bytes each; the sizes the system grants
// (Linux reports twice the request) are read back and kept.
//
// Thread-safety: none; one thread uses a socket at a time.
#ifndef TRACE_NET_UDP_SOCKET_H_
#define TRACE_NET_UDP_SOCKET_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

class IJournal;

class CUDP_Socket {
 public:
  static constexpr uint32_t kBufferRequest = 0x40000;
  // One writability wait of Send.
  static constexpr uint32_t kSendWait_us = 10000;

  // `journal` may be null (a reference is taken otherwise); `address` is an IPv4 or IPv6 address.
  CUDP_Socket(IJournal* journal, const sockaddr* address, uint32_t bind);
  ~CUDP_Socket();

  CUDP_Socket(const CUDP_Socket&) = delete;
  CUDP_Socket& operator=(const CUDP_Socket&) = delete;

  bool Is_Valid() const { return m_Socket != -1; }
  // Sends all `size` bytes to the peer, waiting for writability in steps of 10 ms as long as it
  // takes; true when all were sent. A failed wait or send ends the attempt (logged).
  bool Send(const void* buffer, size_t size);
  // Waits up to `timeout_us` (0: only looks) for a datagram and reads at most `size` bytes of it
  // (the rest of a longer datagram is lost). Returns the bytes read and stores the sender's
  // address in `source` (when not null); 0 when nothing arrived (or an empty datagram); -1 on
  // failure (logged) or without a socket.
  int32_t Recv(void* buffer, uint32_t size, uint32_t timeout_us, sockaddr_storage* source);
  // Whether `source` is the peer: same family, port and address (4 bytes IPv4, 16 bytes IPv6).
  bool Is_Peer(const sockaddr_storage& source) const;
  // Waits up to `timeout_us` for the socket to become writable (or readable); 1 ready, 0 not
  // ready (or interrupted), -1 failure (logged).
  int Is_Ready(bool write, uint32_t timeout_us);
  uint32_t Send_Buffer_Size() const { return m_SendBufferSize; }
  uint32_t Receive_Buffer_Size() const { return m_ReceiveBufferSize; }

 private:
  void Create_Socket();

  IJournal* m_Journal;            // one reference held; may be null
  uint32_t m_Bind;                // always 0: client mode
  socklen_t m_AddressLength = 0;  // 16 for IPv4, 28 for IPv6
  sockaddr_storage m_Address{};
  int m_Family = 0;
  uint32_t m_SendBufferSize = kBufferRequest;
  uint32_t m_ReceiveBufferSize = kBufferRequest;
  int m_Socket = -1;
};

#endif  // TRACE_NET_UDP_SOCKET_H_
