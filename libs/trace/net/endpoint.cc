#include "trace/net/endpoint.h"

#include <netinet/in.h>
#include <string.h>

sTP_Endpoint TP_Endpoint(const sockaddr* address) {
  sTP_Endpoint endpoint;
  if (!address) return endpoint;
  if (address->sa_family == AF_INET) {
    sockaddr_in in;
    memcpy(&in, address, sizeof(in));
    endpoint.family = AF_INET;
    endpoint.port = in.sin_port;
    memcpy(endpoint.address, &in.sin_addr, 4);
  } else if (address->sa_family == AF_INET6) {
    sockaddr_in6 in6;
    memcpy(&in6, address, sizeof(in6));
    endpoint.family = AF_INET6;
    endpoint.port = in6.sin6_port;
    memcpy(endpoint.address, &in6.sin6_addr, 16);
  }
  return endpoint;
}
