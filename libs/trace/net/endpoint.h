// sTP_Endpoint: a UDP endpoint reduced to what identifies it (family, port, address), so that a
// datagram's source can be compared with a peer and used as a key.
//
// Thread-safety: plain value.
#ifndef TRACE_NET_ENDPOINT_H_
#define TRACE_NET_ENDPOINT_H_

#include <stdint.h>
#include <sys/socket.h>

#include <compare>

struct sTP_Endpoint {
  uint16_t family = 0;       // AF_INET, AF_INET6, or 0 for none
  uint16_t port = 0;         // network byte order, as in the socket address
  uint8_t address[16] = {};  // 4 bytes for IPv4 (the rest 0), 16 for IPv6

  bool Is_Valid() const { return family != 0; }
  auto operator<=>(const sTP_Endpoint&) const = default;
};

// The endpoint of an IPv4 or IPv6 socket address; an invalid one (family 0) for anything else or
// a null address.
sTP_Endpoint TP_Endpoint(const sockaddr* address);

#endif  // TRACE_NET_ENDPOINT_H_
