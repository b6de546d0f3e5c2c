// The viewer's token rules. Every request for trace data, server details or a change must carry
// the token (request_rules.h says where), or it is answered 401 and gets nothing. The token is
// --http-token-file's, --http-token's, or a random one made at start and printed with the
// viewer's address; either way it exists, so a page of another site open in the same browser
// cannot read from or send commands to a viewer on loopback either (it cannot read the token,
// and a request with a custom header from another origin needs a permission the viewer never
// grants).
//
// Thread-safety: pure functions; Generate_Access_Token reads /dev/urandom, Read_Token_File its
// file.
#ifndef TOOLS_TRACE_SERVER_HTTP_ACCESS_TOKEN_H_
#define TOOLS_TRACE_SERVER_HTTP_ACCESS_TOKEN_H_

#include <string>

// Whether `host` (an address as given to --http) is a loopback address: 127.0.0.0/8, ::1 or
// "localhost". Anything else is reachable from other machines.
bool Is_Loopback_Host(const std::string& host);

// 32 hexadecimal digits from the system's random source; empty when it cannot be read.
std::string Generate_Access_Token();

// The token in the first line of `path`, without surrounding blanks; false with `error` when the
// file cannot be read or that line is empty or longer than 256 characters.
bool Read_Token_File(const std::string& path, std::string* token, std::string* error);

// Compares in time independent of where the texts differ.
bool Token_Matches(const std::string& expected, const std::string& given);

#endif  // TOOLS_TRACE_SERVER_HTTP_ACCESS_TOKEN_H_
