// CUDP_Socket: one UDP socket bound to one peer address (client mode), used by the syslog
// output. Failures are reported to the engine journal when one is given; a socket whose
// descriptor is -1 after construction is unusable.
//
// Thread-safety: none; one thread uses a socket at a time.
#ifndef TRACE_TEXT_UDP_SOCKET_H_
#define TRACE_TEXT_UDP_SOCKET_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

class IJournal;

class CUDP_Socket {
 public:
  static constexpr uint32_t kBufferRequest = 0x40000;
  // Writability waits of 10 ms before a send is given up.
  static constexpr uint32_t kMaxSendWaits = 100;

  // `journal` may be null (a reference is taken otherwise); `address` is an IPv4 or IPv6 address.
  CUDP_Socket(IJournal* journal, const sockaddr* address, uint32_t bind);
  ~CUDP_Socket();

  CUDP_Socket(const CUDP_Socket&) = delete;
  CUDP_Socket& operator=(const CUDP_Socket&) = delete;

  bool Is_Valid() const { return m_Socket != -1; }
  // Sends all `size` bytes to the peer as one datagram; true when they were sent.
  bool Send(const void* buffer, size_t size);
  // Waits up to `timeout_us` for the socket to become writable (or readable); 1 ready, 0 not
  // ready, -1 failure.
  int Is_Ready(bool write, uint32_t timeout_us);
  uint32_t Send_Buffer_Size() const { return m_SendBufferSize; }
  uint32_t Receive_Buffer_Size() const { return m_ReceiveBufferSize; }

 private:
  void Create_Socket();

  IJournal* m_Journal;      // one reference held; may be null
  uint32_t m_Bind;          // always 0: client mode
  socklen_t m_AddressLength = 0;  // 16 for IPv4, 28 for IPv6
  sockaddr_storage m_Address{};
  int m_Family = 0;
  uint32_t m_SendBufferSize = kBufferRequest;
  uint32_t m_ReceiveBufferSize = kBufferRequest;
  int m_Socket = -1;
};

#endif  // TRACE_TEXT_UDP_SOCKET_H_
