#include "test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>

#include "trace/net/crc32.h"
#include "trace/net/transport_format.h"

namespace net_test {

TestServer::TestServer(uint16_t port, const sTRS_Limits& limits) : limits_(limits), port_(port) {
  Start();
}

TestServer::~TestServer() { Stop(); }

bool TestServer::Start() {
  if (socket_ != -1) {
    if (!silent_) return true;
    // Back from silence: a fresh protocol state on the socket kept bound.
    stop_ = true;
    thread_.join();
    server_ = std::make_unique<CTRS_Server>(limits_, this);
    stop_ = false;
    silent_ = false;
    thread_ = std::thread([this] { Run(); });
    return true;
  }
  socket_ = socket(AF_INET, SOCK_DGRAM, 0);
  if (socket_ == -1) return false;
  const int reuse = 1;
  setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
  const int buffer = 8 << 20;  // as much as the system allows: windows of 64 KiB packets
  setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(socket_);
    socket_ = -1;
    port_ = 0;
    return false;
  }
  port_ = ntohs(address.sin_port);
  server_ = std::make_unique<CTRS_Server>(limits_, this);
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void TestServer::Stop() {
  if (socket_ == -1) return;
  stop_ = true;
  thread_.join();
  close(socket_);
  socket_ = -1;
  silent_ = false;
  server_.reset();
}

void TestServer::Go_Silent() { silent_ = true; }

void TestServer::Queue_User_Data(uint32_t channel, const std::vector<uint8_t>& payload) {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint32_t header = (channel << 27) | static_cast<uint32_t>(payload.size() + 4);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&header);
  user_data_.insert(user_data_.end(), bytes, bytes + 4);
  user_data_.insert(user_data_.end(), payload.begin(), payload.end());
}

std::vector<std::vector<uint8_t>> TestServer::Streams() {
  std::lock_guard<std::mutex> lock(mutex_);
  return streams_;
}

size_t TestServer::Stream_Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return streams_.size();
}

uint64_t TestServer::Total_Stream_Bytes() {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t total = counted_bytes_;
  for (const auto& stream : streams_) total += stream.size();
  return total;
}

uint64_t TestServer::Hellos() {
  std::lock_guard<std::mutex> lock(mutex_);
  return hellos_;
}

uint64_t TestServer::Byes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return byes_;
}

bool TestServer::Wait_For(const std::function<bool(const std::vector<std::vector<uint8_t>>&)>& done,
                          std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return done(streams_); });
}

void TestServer::On_Client(uint16_t, const sTRS_Hello&, bool) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++hellos_;
  streams_.emplace_back();
  changed_.notify_all();
}

void TestServer::On_Stream(uint16_t, const uint8_t* bytes, uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (streams_.empty()) streams_.emplace_back();
  if (count_only_) {
    counted_bytes_ += size;
    return;
  }
  streams_.back().insert(streams_.back().end(), bytes, bytes + size);
  changed_.notify_all();
}

void TestServer::On_Leave(uint16_t, eTRS_Leave reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (reason == eTRS_Leave::Bye) ++byes_;
  changed_.notify_all();
}

bool TestServer::Drop_This(const uint8_t* bytes, uint32_t length) {
  if (length < kTP_Header_Size || (TP_Load16(bytes + kTP_Offset_Type) & kTP_Type_Mask) != eTP_Data)
    return false;
  const uint32_t share = drop_per_mille_.load();
  const uint64_t n = data_seen_++;
  // Evenly spread: packet n is dropped when the running share crosses a whole packet.
  if (share == 0 || (n + 1) * share / 1000 == n * share / 1000) return false;
  dropped_.fetch_add(1);
  return true;
}

void TestServer::Attach_User_Data(std::vector<uint8_t>* reply) {
  std::vector<uint8_t> data;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    data.swap(user_data_);
  }
  if (data.empty()) return;
  uint16_t flags = TP_Load16(reply->data() + kTP_Offset_Type);
  if (flags & kTP_Flag_Extensions) {
    // Carried as an extension record of type 1 after the server's own extensions.
    const uint16_t type = kTP_Extension_User_Data;
    const uint16_t length = static_cast<uint16_t>(data.size() + kTP_Extension_Header);
    const uint8_t* header_bytes[] = {reinterpret_cast<const uint8_t*>(&type),
                                     reinterpret_cast<const uint8_t*>(&length)};
    reply->insert(reply->end(), header_bytes[0], header_bytes[0] + 2);
    reply->insert(reply->end(), header_bytes[1], header_bytes[1] + 2);
  }
  reply->insert(reply->end(), data.begin(), data.end());
  TP_Store16(reply->data() + kTP_Offset_Type, static_cast<uint16_t>(flags | kTP_Flag_User_Data));
  TP_Store16(reply->data() + kTP_Offset_Size, static_cast<uint16_t>(reply->size()));
  TP_Store32(reply->data() + kTP_Offset_CRC,
             TP_Packet_CRC(reply->data(), static_cast<uint32_t>(reply->size())));
}

void TestServer::Run() {
  std::vector<uint8_t> buffer(65536);
  const auto start = std::chrono::steady_clock::now();
  while (!stop_) {
    pollfd wait{socket_, POLLIN, 0};
    if (poll(&wait, 1, 10) <= 0) continue;
    sockaddr_storage source{};
    socklen_t source_length = sizeof(source);
    const ssize_t received = recvfrom(socket_, buffer.data(), buffer.size(), 0,
                                      reinterpret_cast<sockaddr*>(&source), &source_length);
    if (received <= 0 || silent_) continue;
    if (Drop_This(buffer.data(), static_cast<uint32_t>(received))) continue;
    const uint32_t now =
        static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - start)
                                  .count());
    tTRS_Reply reply;
    if (!server_->On_Datagram(buffer.data(), static_cast<uint32_t>(received),
                              TP_Endpoint(reinterpret_cast<const sockaddr*>(&source)), now, &reply))
      continue;
    if (TP_Load16(reply.data() + kTP_Offset_Type) % 16 == eTP_Acknowledgment &&
        TP_Load16(reply.data() + kTP_Ack_Offset_Result) != 0)
      Attach_User_Data(&reply);
    sendto(socket_, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&source),
           source_length);
  }
}

}  // namespace net_test
