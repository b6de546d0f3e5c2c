// TestServer: an in-process trace server for the network sink's tests: the server library's
// protocol logic (CTRS_Server) behind a UDP socket on 127.0.0.1 and a thread of its own.
//
// It keeps every client's rebuilt stream (a new stream begins at every hello that opens or
// restarts a session, so a test can decode what followed a reconnection by itself), can drop a
// chosen share of the data packets before the protocol logic sees them, and can attach user
// data for the channels to its next acknowledgement (a server's command such as a verbosity
// change).
//
// Stop closes the socket and forgets every session (the server process is gone); Start binds the
// same port again with a fresh protocol state. Go_Silent stands for a server that is gone while
// its port stays taken by this object: nothing is answered and every session is forgotten, and
// a later Start serves on the same socket again, so no other process can take the port between
// the two (as it could after Stop on a shared network).
//
// Thread-safety: every public operation may be called from the test's thread while the server's
// thread runs; the recorded state is guarded by a mutex.
#ifndef TESTS_TRACE_NET_TEST_SERVER_H_
#define TESTS_TRACE_NET_TEST_SERVER_H_

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "trace/server/server_listener.h"
#include "trace/server/trace_server.h"

namespace net_test {

class TestServer : public ITRS_Listener {
 public:
  // Binds 127.0.0.1:`port` (0: an ephemeral port) and starts serving.
  explicit TestServer(uint16_t port = 0, const sTRS_Limits& limits = sTRS_Limits{});
  ~TestServer() override;

  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  bool Valid() const { return port_ != 0; }
  uint16_t Port() const { return port_; }
  std::string Port_Option() const { return "/TR.Port=" + std::to_string(port_); }

  void Stop();
  bool Start();
  void Go_Silent();

  // Drops `per_mille` of every 1000 data packets (spread evenly) before the protocol sees them.
  void Set_Data_Drop(uint32_t per_mille) { drop_per_mille_ = per_mille; }
  // Keeps only the byte count of the streams, not their bytes (benchmarks: what is measured is
  // the sink, not this server's memory growth). Streams() then returns empty streams.
  void Set_Count_Only(bool on) { count_only_ = on; }
  // The next acknowledgement carries `payload` for `channel` as user data.
  void Queue_User_Data(uint32_t channel, const std::vector<uint8_t>& payload);

  // Streams in hello order; a copy.
  std::vector<std::vector<uint8_t>> Streams();
  size_t Stream_Count();
  uint64_t Total_Stream_Bytes();
  uint64_t Dropped_Data() const { return dropped_.load(); }
  uint64_t Hellos();
  uint64_t Byes();
  // Waits until `done` (called under the lock with the streams) holds, or `timeout` passes.
  bool Wait_For(const std::function<bool(const std::vector<std::vector<uint8_t>>&)>& done,
                std::chrono::milliseconds timeout);

  // ITRS_Listener
  void On_Client(uint16_t client_id, const sTRS_Hello& hello, bool restart) override;
  void On_Stream(uint16_t client_id, const uint8_t* bytes, uint32_t size) override;
  void On_Leave(uint16_t client_id, eTRS_Leave reason) override;

 private:
  void Run();
  bool Drop_This(const uint8_t* bytes, uint32_t length);
  void Attach_User_Data(std::vector<uint8_t>* reply);

  const sTRS_Limits limits_;
  uint16_t port_ = 0;
  int socket_ = -1;
  std::unique_ptr<CTRS_Server> server_;  // used by the serving thread only
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> silent_{false};  // read and discard, answer nothing
  std::atomic<uint32_t> drop_per_mille_{0};
  std::atomic<uint64_t> dropped_{0};
  uint64_t data_seen_ = 0;  // serving thread only

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<uint8_t>> streams_;
  std::atomic<bool> count_only_{false};
  uint64_t counted_bytes_ = 0;  // stream bytes not kept (count-only mode)
  std::vector<uint8_t> user_data_;
  uint64_t hellos_ = 0;
  uint64_t byes_ = 0;
};

}  // namespace net_test

#endif  // TESTS_TRACE_NET_TEST_SERVER_H_
