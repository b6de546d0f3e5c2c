// The viewer's token rules. Every request that changes something (a verbosity command) must carry
// the token in the X-Trace-Token header, or it is answered 401 and nothing changes. The token is
// --http-token's, or a random one made at start and printed with the viewer's address; either
// way it exists, so a page of another site open in the same browser cannot send commands to a
// viewer on loopback either (it cannot read the token, and a request with a custom header from
// another origin needs a permission the viewer never grants).
//
// Thread-safety: pure functions; Generate_Access_Token reads /dev/urandom.
#ifndef TOOLS_TRACE_SERVER_HTTP_ACCESS_TOKEN_H_
#define TOOLS_TRACE_SERVER_HTTP_ACCESS_TOKEN_H_

#include <string>

// Whether `host` (an address as given to --http) is a loopback address: 127.0.0.0/8, ::1 or
// "localhost". Anything else is reachable from other machines.
bool Is_Loopback_Host(const std::string& host);

// 32 hexadecimal digits from the system's random source; empty when it cannot be read.
std::string Generate_Access_Token();

// Compares in time independent of where the texts differ.
bool Token_Matches(const std::string& expected, const std::string& given);

#endif  // TOOLS_TRACE_SERVER_HTTP_ACCESS_TOKEN_H_
