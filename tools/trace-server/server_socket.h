// CServer_Socket: the trace server's one UDP socket, bound to the listening address, receiving
// from and answering any number of clients. Non-blocking: the owner waits on Descriptor() with
// poll.
//
// Ownership: owns the descriptor (closed by the destructor). Thread-safety: none; one thread.
#ifndef TOOLS_TRACE_SERVER_SERVER_SOCKET_H_
#define TOOLS_TRACE_SERVER_SERVER_SOCKET_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#include <string>

#include "trace/net/endpoint.h"

class CServer_Socket {
 public:
  // Receive buffer asked of the system; bursts of many clients' windows queue there.
  static constexpr int kReceive_Buffer = 8 << 20;

  CServer_Socket() = default;
  ~CServer_Socket();
  CServer_Socket(const CServer_Socket&) = delete;
  CServer_Socket& operator=(const CServer_Socket&) = delete;

  // Resolves `host` and `port` (numeric or names) and binds the first address that works; an
  // IPv6 socket takes IPv6 only. False with a message in `error`.
  bool Open(const std::string& host, const std::string& port, std::string* error);
  int Descriptor() const { return m_Socket; }
  // The bound address.
  const sTP_Endpoint& Bound() const { return m_Bound; }
  // The receive buffer the system granted, in bytes.
  uint32_t Receive_Buffer() const { return m_ReceiveBuffer; }

  // One datagram into `buffer` (at most `size` bytes); its length, 0 when none is waiting, -1 on
  // failure. `source` receives the sender.
  int32_t Receive(uint8_t* buffer, uint32_t size, sTP_Endpoint* source, sockaddr_storage* from,
                  socklen_t* from_length);
  // Sends one datagram without waiting; a full send buffer drops it (the client repeats).
  bool Send(const uint8_t* bytes, size_t size, const sockaddr_storage& to, socklen_t to_length);

 private:
  int m_Socket = -1;
  sTP_Endpoint m_Bound;
  uint32_t m_ReceiveBuffer = 0;
};

#endif  // TOOLS_TRACE_SERVER_SERVER_SOCKET_H_
