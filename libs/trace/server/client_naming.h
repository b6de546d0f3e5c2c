// Names a trace server derives from what a client tells it over the network. Nothing a client
// sends is ever used as a path: a client's directory name is built from its name, address and
// process ID with every byte outside [A-Za-z0-9._-] replaced by '_', no leading '.', and a
// bounded length, so it is always one plain entry inside the server's directory.
//
// Thread-safety: pure functions.
#ifndef TRACE_SERVER_CLIENT_NAMING_H_
#define TRACE_SERVER_CLIENT_NAMING_H_

#include <stdint.h>

#include <string>

#include "trace/net/endpoint.h"

// The numeric address of `endpoint` ("127.0.0.1", "::1"); empty for an invalid one.
std::string TRS_Address_Text(const sTP_Endpoint& endpoint);
// "address:port", or "[address]:port" for IPv6.
std::string TRS_Endpoint_Text(const sTP_Endpoint& endpoint);

// `text` with every byte outside [A-Za-z0-9._-] replaced by '_', a leading '.' replaced too,
// cut to `max_bytes`; "unnamed" when empty.
std::string TRS_Safe_Name(const std::string& text, size_t max_bytes = 64);

// "<name>_<address>_<pid>" of safe parts, e.g. "sensor_127.0.0.1_4242" (IPv6 "::1" gives
// "__1"). Never "." or "..", never holds '/'.
std::string TRS_Client_Directory_Name(const std::string& client_name, const sTP_Endpoint& endpoint,
                                      uint32_t process_id);

#endif  // TRACE_SERVER_CLIENT_NAMING_H_
