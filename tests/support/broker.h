// Broker: a private MQTT broker (/usr/sbin/mosquitto) for tests and benchmarks, listening on
// 127.0.0.1:<port> (1883 by default) with anonymous access, no persistence and a queue limit large
// enough for load tests. Its configuration and log live in a private temporary directory.
//
// Start() returns once the port accepts connections. The broker is always ended by the
// destructor (also when a test fails); it is also killed by the kernel if the thread that started
// it ends first. Pause/Resume stop and continue it (SIGSTOP/SIGCONT) to simulate a broker that
// does not answer; Kill() ends it abruptly (SIGKILL) to simulate a crash.
//
// Tests run it inside a private network namespace (NETNS tests), so the fixed port is free.
// Thread-safety: one owner thread.
#ifndef TESTS_SUPPORT_BROKER_H_
#define TESTS_SUPPORT_BROKER_H_

#include <stdint.h>
#include <sys/types.h>

#include <memory>
#include <string>

namespace mqw_test {

class TempDir;

class Broker {
 public:
  explicit Broker(uint16_t port = 1883);
  ~Broker();

  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  // Starts the broker and waits (up to 20 s) until it accepts connections. On failure returns
  // false with the reason in `error` (when given).
  bool Start(std::string* error = nullptr);
  // Ends the broker (SIGTERM, SIGKILL after 5 s) and reaps it. Safe to call when not running.
  void Stop();
  bool Pause();
  bool Resume();
  // SIGKILL and reap.
  bool Kill();

  bool Running() const { return m_Pid > 0; }
  pid_t Pid() const { return m_Pid; }
  uint16_t Port() const { return m_Port; }
  // The broker's own log so far (empty when there is none).
  std::string Log() const;

  // True when something accepts TCP connections on 127.0.0.1:`port`.
  static bool Port_Accepts(uint16_t port);

 private:
  void Reap(int timeout_ms);

  uint16_t m_Port;
  pid_t m_Pid = -1;
  std::unique_ptr<TempDir> m_Dir;
};

}  // namespace mqw_test

#endif  // TESTS_SUPPORT_BROKER_H_
