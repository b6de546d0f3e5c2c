#include "support/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

namespace mqw_test {

HttpClient::HttpClient(uint16_t port, const char* source) {
  m_Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_Fd < 0) return;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, source, &local.sin_addr);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
  if (bind(m_Fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
      connect(m_Fd, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) != 0) {
    close(m_Fd);
    m_Fd = -1;
  }
}

HttpClient::~HttpClient() {
  if (m_Fd >= 0) close(m_Fd);
}

bool HttpClient::Send(std::string_view bytes) {
  while (m_Fd >= 0 && !bytes.empty()) {
    const ssize_t sent = send(m_Fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return m_Fd >= 0;
}

bool HttpClient::Receive(std::chrono::steady_clock::time_point until) {
  if (m_Fd < 0 || m_Closed) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      until - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  pollfd entry{m_Fd, POLLIN, 0};
  if (poll(&entry, 1, static_cast<int>(left.count())) != 1) return false;
  char buffer[16384];
  const ssize_t got = recv(m_Fd, buffer, sizeof(buffer), 0);
  if (got <= 0) {
    m_Closed = true;
    return false;
  }
  m_Received.append(buffer, static_cast<size_t>(got));
  return true;
}

HttpClient::Response HttpClient::Read(std::chrono::milliseconds wait) {
  const auto until = std::chrono::steady_clock::now() + wait;
  Response response;
  size_t end;
  while ((end = m_Received.find("\r\n\r\n")) == std::string::npos && Receive(until)) {
  }
  if (end == std::string::npos) {
    response.closed = m_Closed;
    response.body = m_Received;
    m_Received.clear();
    return response;
  }
  response.head = m_Received.substr(0, end + 2);
  m_Received.erase(0, end + 4);
  if (response.head.rfind("HTTP/1.", 0) == 0 && response.head.size() > 12)
    response.status = atoi(response.head.c_str() + 9);
  size_t length = std::string::npos;
  for (size_t at = 0; (at = response.head.find("\r\n", at)) != std::string::npos;) {
    at += 2;
    std::string line = response.head.substr(at, response.head.find("\r\n", at) - at);
    for (size_t i = 0; i < line.size() && line[i] != ':'; ++i)
      line[i] = static_cast<char>(tolower(line[i]));
    if (line.rfind("content-length:", 0) == 0) length = strtoul(line.c_str() + 15, nullptr, 10);
  }
  while ((length == std::string::npos || m_Received.size() < length) && Receive(until)) {
  }
  const size_t take =
      length == std::string::npos ? m_Received.size() : std::min(length, m_Received.size());
  response.body = m_Received.substr(0, take);
  m_Received.erase(0, take);
  response.closed = m_Closed;
  return response;
}

std::string HttpClient::Read_Until(std::string_view marker, std::chrono::milliseconds wait) {
  const auto until = std::chrono::steady_clock::now() + wait;
  while (m_Received.find(marker) == std::string::npos && Receive(until)) {
  }
  return m_Received;
}

bool HttpClient::Closed_Within(std::chrono::milliseconds wait) {
  const auto until = std::chrono::steady_clock::now() + wait;
  while (Receive(until)) m_Received.clear();
  return m_Closed;
}

std::string HttpClient::Request(std::string_view method, std::string_view path,
                                std::string_view host, std::string_view headers,
                                std::string_view body) {
  std::string text = std::string(method) + " " + std::string(path) +
                     " HTTP/1.1\r\nHost: " + std::string(host) + "\r\n" + std::string(headers);
  if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return text + "\r\n" + std::string(body);
}

}  // namespace mqw_test
