// HttpClient: one raw TCP connection to an HTTP server on loopback, for tests that send what no
// well-behaved client would (headers a byte at a time, hundreds of headers, bodies larger than
// declared limits) and watch what the server does with the connection.
//
// The connection may come from any loopback address (127.0.0.0/8), so that a test can be a
// second client as far as per-address limits go.
//
// Thread-safety: one owner.
#ifndef TESTS_SUPPORT_HTTP_CLIENT_H_
#define TESTS_SUPPORT_HTTP_CLIENT_H_

#include <stdint.h>

#include <chrono>
#include <string>
#include <string_view>

namespace mqw_test {

class HttpClient {
 public:
  struct Response {
    int status = 0;       // 0: no status line arrived
    std::string head;     // status line and headers
    std::string body;     // as received (chunked bodies are not decoded)
    bool closed = false;  // the server closed the connection
  };

  explicit HttpClient(uint16_t port, const char* source = "127.0.0.1");
  ~HttpClient();

  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  bool Connected() const { return m_Fd >= 0; }
  // False once the server has closed or reset the connection.
  bool Send(std::string_view bytes);
  // Reads one answer: its head, then Content-Length bytes of body or until the connection closes
  // or `wait` passes.
  Response Read(std::chrono::milliseconds wait = std::chrono::seconds(10));
  // Reads until the received bytes contain `marker`; all received so far.
  std::string Read_Until(std::string_view marker,
                         std::chrono::milliseconds wait = std::chrono::seconds(10));
  // Whether the server closes the connection within `wait` (what it sends meanwhile is dropped).
  bool Closed_Within(std::chrono::milliseconds wait);

  // "METHOD PATH HTTP/1.1", Host, `headers` (each ending in CRLF), a Content-Length when a body
  // is given, and the body.
  static std::string Request(std::string_view method, std::string_view path, std::string_view host,
                             std::string_view headers = {}, std::string_view body = {});

 private:
  // Appends what arrives within the time left to m_Received; false on close or timeout.
  bool Receive(std::chrono::steady_clock::time_point until);

  int m_Fd = -1;
  bool m_Closed = false;
  std::string m_Received;
};

}  // namespace mqw_test

#endif  // TESTS_SUPPORT_HTTP_CLIENT_H_
