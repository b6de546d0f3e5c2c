// The viewer's rules for who may ask: which Host names an answer may go to, which Origin may
// change something, where a request's token is found, and the small parsers of request values
// (numbers, Last-Event-ID). Kept apart from the HTTP library so that every rule is a pure
// function of the request's texts and can be tested and fuzzed alone.
//
// Host rule (against DNS rebinding: a foreign name that resolves to our address carries that
// name in Host): the name must be the address the viewer is bound to, "localhost", a loopback
// address, or one the operator allowed; a port, when given, must be the viewer's.
//
// Thread-safety: pure functions; sHost_Rule is read-only once built.
#ifndef TOOLS_TRACE_SERVER_HTTP_REQUEST_RULES_H_
#define TOOLS_TRACE_SERVER_HTTP_REQUEST_RULES_H_

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

struct sHost_Rule {
  std::string bound_host;            // as given to --http: "127.0.0.1", "::1", "0.0.0.0" ...
  uint16_t port = 0;                 // the bound port
  std::vector<std::string> allowed;  // --http-allow-host names, compared without case
};

// Whether a request whose Host header is `host` may be answered.
bool Host_Allowed(const sHost_Rule& rule, std::string_view host);

// Whether a state change whose Origin header is `origin` comes from our own page, reached under
// `host` (an allowed Host). An absent Origin (not sent by a browser for same-origin requests of
// some kinds, and never by command-line clients) is the caller's to accept.
bool Origin_Allowed(std::string_view origin, std::string_view host);

// The name of the cookie that carries the token for requests that cannot send headers.
extern const char kToken_Cookie[];
// The Set-Cookie value that hands `token` to the page: for our /api paths only, never sent by a
// browser with a request another site started, and out of the page script's reach.
std::string Token_Cookie(const std::string& token);

// A decimal number of at most 64 bits, digits only; false otherwise.
bool Parse_Decimal(std::string_view text, uint64_t* value);

#endif  // TOOLS_TRACE_SERVER_HTTP_REQUEST_RULES_H_
