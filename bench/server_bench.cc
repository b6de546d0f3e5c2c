// The trace-server tool as a host meets it, run as a child process on a loopback port:
//
// - Load: 64 host processes at once, each with its own network sink, tracing 10,000 calls per
//   second for a few seconds. Reports the records lost (accepted by a host and missing from the
//   files the tool stored; must be 0), the calls refused by the hosts' sinks, and the tool's CPU
//   use in CPU seconds (user + system, from /proc/PID/stat) per second of wall time.
// - Sustained: one million accepted calls from this process through the network sink until the
//   tool holds the last record (the sink's release waits for every confirmation), with none and
//   with 5 % of the data packets dropped by the tool (--drop-percent), beside the binary file
//   sink; bytes/s are the bytes of the stored files over the whole time. The viewer case runs the
//   same with --http and a page that asks the live API for new messages every 100 ms, as the
//   browser's page does while it follows the stream.
//
// TRACE_SERVER=PATH in the environment runs the benchmarks against another build of the tool.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>  // the pinger's loopback address

#include <mqtt-wrapper/TR.h>

#include "trace/core/sink_factories.h"
#include "trace/net/packet_check.h"
#include "trace/net/tpacket.h"
#include "trace/net/udp_socket.h"

#include "bench_support.h"

namespace {

using namespace std::chrono_literals;
using mqw_bench::BenchDir;

constexpr int kClients = 64;
constexpr int kCalls_Per_Second = 10000;
constexpr int kLoad_Seconds = 3;
constexpr int kSustained_Calls = 1000000;

std::string Read_File(const std::string& path) {
  std::string text;
  if (FILE* file = fopen(path.c_str(), "re")) {
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) text.append(buffer, got);
    fclose(file);
  }
  return text;
}

std::vector<std::string> Entries(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(directory.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    }
    closedir(dir);
  }
  return names;
}

// Total size of the ".trd" files one level below `directory` (the tool's client directories).
uint64_t Stored_Bytes(const std::string& directory) {
  uint64_t bytes = 0;
  for (const std::string& client : Entries(directory)) {
    for (const std::string& name : Entries(directory + "/" + client)) {
      struct stat info;
      if (stat((directory + "/" + client + "/" + name).c_str(), &info) == 0)
        bytes += static_cast<uint64_t>(info.st_size);
    }
  }
  return bytes;
}

// Runs `path` with `args`, standard output into `out`, standard error into `out` + ".err".
pid_t Spawn(const char* path, const std::vector<std::string>& args, const std::string& out) {
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open((out + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<std::string> command = {path};
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& part : command) argv.push_back(part.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// The tool on an ephemeral loopback port, its files in `dir`/traces.
class Server {
 public:
  Server(const BenchDir& dir, const std::vector<std::string>& extra) : dir_(dir.Path()) {
    std::vector<std::string> args = {"--listen",     "127.0.0.1:0", "--port-file",
                                     dir_ + "/port", "--dir",       Traces()};
    args.insert(args.end(), extra.begin(), extra.end());
    // TRACE_SERVER in the environment runs another build of the tool (a before/after comparison).
    const char* tool = getenv("TRACE_SERVER");
    pid_ = Spawn(tool && *tool ? tool : TRACE_SERVER_PATH, args, dir_ + "/server-out");
    for (int i = 0; i < 500 && port_ == 0; ++i) {
      port_ = atoi(Read_File(dir_ + "/port").c_str());
      if (port_ == 0) std::this_thread::sleep_for(10ms);
    }
    if (port_ == 0) {
      fprintf(stderr, "trace-server did not start\n");
      abort();
    }
  }
  ~Server() {
    if (pid_ > 0) Stop();
  }
  void Stop() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  int Port() const { return port_; }
  std::string Traces() const { return dir_ + "/traces"; }
  // User + system CPU seconds of the tool so far (fields 14 and 15 of /proc/PID/stat).
  double Cpu_Seconds() const {
    const std::string stat = Read_File("/proc/" + std::to_string(pid_) + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos) return 0;
    unsigned long user = 0, system = 0;
    // After "pid (comm)": state is field 3; utime and stime are fields 14 and 15.
    if (sscanf(stat.c_str() + paren + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
               &user, &system) != 2)
      return 0;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// The viewer's address and token, from the tool's "viewer on http://HOST:PORT/#token=T" line.
bool Viewer_Address(const Server& server, const BenchDir& dir, int* port, std::string* token) {
  for (int i = 0; i < 500; ++i) {
    const std::string out = Read_File(dir.Path() + "/server-out");
    const size_t line = out.find("viewer on http://");
    const size_t colon = line == std::string::npos ? line : out.find(':', line + 17);
    const size_t mark = line == std::string::npos ? line : out.find("/#token=", line);
    const size_t end = mark == std::string::npos ? mark : out.find('\n', mark);
    if (end != std::string::npos) {
      *port = atoi(out.c_str() + colon + 1);
      *token = out.substr(mark + 8, end - mark - 8);
      return *port > 0;
    }
    std::this_thread::sleep_for(10ms);
  }
  (void)server;
  return false;
}

// One GET of the live API on a fresh connection; the messages' count is not parsed, only the
// answer's bytes are counted. Returns the "last" the answer names, or `after` when none.
uint64_t Live_Request(int port, const std::string& token, uint64_t after, uint64_t* bytes) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return after;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
    const std::string request = "GET /api/live?after=" + std::to_string(after) +
                                "&limit=1000 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nX-Trace-Token: " + token + "\r\nConnection: close\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char buffer[65536];
      ssize_t got;
      while ((got = recv(fd, buffer, sizeof(buffer), 0)) > 0) answer.append(buffer, static_cast<size_t>(got));
    }
  }
  close(fd);
  *bytes += answer.size();
  const size_t last = answer.rfind("\"last\":");
  return last == std::string::npos ? after : strtoull(answer.c_str() + last + 7, nullptr, 10);
}

ITR_Client* Network_Sink(int port, const std::string& name) {
  std::string options[] = {"/TR.Addr=127.0.0.1", "/TR.Port=" + std::to_string(port),
                           "/TR.Name=" + name};
  char* args[] = {options[0].data(), options[1].data(), options[2].data()};
  ITR_Client* client = New_Network_Sink(args, 3);
  if (client == nullptr || client->Get_Status() != 0 ||
      !Network_Sink_Connection_Wait(client, 5000)) {
    fprintf(stderr, "cannot connect the network sink\n");
    abort();
  }
  return client;
}

// One load host (a forked child of the single-threaded bench): kCalls_Per_Second calls per
// second in steps of one millisecond; writes "ACCEPTED REFUSED" to `result`.
[[noreturn]] void Load_Host(int index, int port, const std::string& result) {
  char name[32];
  snprintf(name, sizeof(name), "load-%02d", index);
  ITR_Client* client = Network_Sink(port, name);
  ITR_Trace* channel = TR_Create_Trace(client, "load", nullptr);
  uint64_t accepted = 0, refused = 0;
  const int per_step = kCalls_Per_Second / 1000;
  const auto start = std::chrono::steady_clock::now();
  for (int step = 0; step < kLoad_Seconds * 1000; ++step) {
    for (int i = 0; i < per_step; ++i) {
      if (channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "load %d of %s", step,
                         name))
        ++accepted;
      else
        ++refused;
    }
    std::this_thread::sleep_until(start + std::chrono::milliseconds(step + 1));
  }
  channel->Release();
  client->Release();
  FILE* file = fopen(result.c_str(), "we");
  if (file) {
    fprintf(file, "%llu %llu\n", static_cast<unsigned long long>(accepted),
            static_cast<unsigned long long>(refused));
    fclose(file);
  }
  _exit(0);
}

// A host tracing costly messages as fast as its sink takes them, until killed.
[[noreturn]] void Costly_Host(int port) {
  ITR_Client* client = Network_Sink(port, "costly");
  ITR_Trace* channel = TR_Create_Trace(client, "costly", nullptr);
  const double v = 1.0 / 3;
#define MQW_F4 "%.65536f%.65536f%.65536f%.65536f"
  for (;;) {
    channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__,
                   MQW_F4 MQW_F4 MQW_F4 MQW_F4 MQW_F4, v, v, v, v, v, v, v, v, v, v, v, v, v, v, v,
                   v, v, v, v, v);
  }
#undef MQW_F4
}

// A client of the transport protocol that only says hello and pings.
class Pinger {
 public:
  explicit Pinger(int port) : socket_(nullptr, Address(port), 0) {}
  bool Hello() {
    CTPClient_Hello hello;
    hello.Fill(1472, 777, 0x01DC000000000000ull, "pinger");
    hello.Finalize(Take_ID(), client_id_);
    return Exchange(hello);
  }
  bool Ping() {
    CTPClient_Ping ping;
    ping.Finalize(Take_ID(), client_id_);
    return Exchange(ping);
  }

 private:
  static const sockaddr* Address(int port) {
    static sockaddr_in address;
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return reinterpret_cast<const sockaddr*>(&address);
  }
  uint32_t Take_ID() {
    const uint32_t id = next_id_;
    next_id_ = TP_Next_ID(next_id_);
    return id;
  }
  // Sends `packet` once and waits up to a second for its acknowledgement.
  bool Exchange(const CTPacket& packet) {
    const uint32_t id = TP_Load32(packet.Get_Buffer() + kTP_Offset_ID);
    socket_.Send(packet.Get_Buffer(), packet.Get_Size());
    const auto deadline = std::chrono::steady_clock::now() + 1s;
    uint8_t reply[65536];
    while (std::chrono::steady_clock::now() < deadline) {
      sockaddr_storage from{};
      const int32_t n = socket_.Recv(reply, sizeof(reply), 100000, &from);
      if (n <= 0) continue;
      sTP_View view;
      if (TP_Check_Datagram(reply, static_cast<uint32_t>(n), &view) != eTP_Check_OK) continue;
      if (view.type != eTP_Acknowledgment || TP_Load32(view.bytes + kTP_Ack_Offset_ID) != id)
        continue;
      client_id_ = view.client_id;
      return TP_Load16(view.bytes + kTP_Ack_Offset_Result) != 0;
    }
    return false;
  }

  CUDP_Socket socket_;
  uint32_t next_id_ = 1;
  uint16_t client_id_ = kTP_No_Client;
};

// Ping beside costly records: a host process sends, at full speed, messages whose call site asks
// for 20 "%.65536f" each, to the tool with --print, while this process, a second client speaking
// the transport protocol itself, pings the tool once a millisecond. Reports the ping round trip's
// median, 99th percentile (goal: under 50 ms) and maximum, and the pings that got no answer
// within a second.
void BM_Server_Ping_Beside_Costly_Records(benchmark::State& state) {
  constexpr int kPings = 3000;
  for (auto _ : state) {
    BenchDir dir("mqw-server-bench");
    // Short lines: every message is still formatted whole, but the output stays small.
    Server server(dir, {"--print", "--no-store", "--format", "%ix"});
    const pid_t host = fork();
    if (host == 0) Costly_Host(server.Port());
    std::this_thread::sleep_for(500ms);  // the host is sending at full speed
    Pinger pinger(server.Port());
    if (!pinger.Hello()) {
      state.SkipWithError("the pinger's hello got no answer");
      kill(host, SIGKILL);
      waitpid(host, nullptr, 0);
      return;
    }
    std::vector<double> round_trips_ms;
    int unanswered = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kPings; ++i) {
      const auto sent = std::chrono::steady_clock::now();
      if (pinger.Ping()) {
        round_trips_ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent)
                .count());
      } else {
        ++unanswered;
      }
      std::this_thread::sleep_until(sent + 1ms);
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);
    server.Stop();
    std::sort(round_trips_ms.begin(), round_trips_ms.end());
    auto at = [&](double fraction) {
      if (round_trips_ms.empty()) return 0.0;
      return round_trips_ms[static_cast<size_t>(fraction * (round_trips_ms.size() - 1))];
    };
    state.SetIterationTime(wall);
    state.counters["ping_p50_ms"] = at(0.5);
    state.counters["ping_p99_ms"] = at(0.99);
    state.counters["ping_max_ms"] = at(1.0);
    state.counters["unanswered"] = unanswered;
  }
}

BENCHMARK(BM_Server_Ping_Beside_Costly_Records)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Records of the load hosts in the stored files, counted by trace-cat.
uint64_t Stored_Load_Records(const Server& server, const BenchDir& dir) {
  uint64_t records = 0;
  for (const std::string& client : Entries(server.Traces())) {
    const std::string out = dir.Path() + "/cat-out";
    pid_t pid = Spawn(TRACE_CAT_PATH, {"--format=%ms", server.Traces() + "/" + client}, out);
    waitpid(pid, nullptr, 0);
    const std::string text = Read_File(out);
    for (size_t at = text.find("load "); at != std::string::npos; at = text.find("\nload ", at + 1))
      ++records;
  }
  return records;
}

void BM_Server_Load_64_Clients(benchmark::State& state) {
  for (auto _ : state) {
    BenchDir dir("mqw-server-bench");
    Server server(dir, {});
    const double cpu_before = server.Cpu_Seconds();
    const auto start = std::chrono::steady_clock::now();
    std::vector<pid_t> hosts;
    for (int i = 0; i < kClients; ++i) {
      pid_t pid = fork();
      if (pid == 0) Load_Host(i, server.Port(), dir.Path() + "/host-" + std::to_string(i));
      hosts.push_back(pid);
    }
    for (pid_t pid : hosts) waitpid(pid, nullptr, 0);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = server.Cpu_Seconds() - cpu_before;
    server.Stop();

    uint64_t accepted = 0, refused = 0;
    for (int i = 0; i < kClients; ++i) {
      unsigned long long a = 0, r = 0;
      if (sscanf(Read_File(dir.Path() + "/host-" + std::to_string(i)).c_str(), "%llu %llu", &a,
                 &r) != 2)
        fprintf(stderr, "load host %d reported nothing\n", i);
      accepted += a;
      refused += r;
    }
    const uint64_t stored = Stored_Load_Records(server, dir);
    state.SetIterationTime(wall);
    state.counters["accepted"] = static_cast<double>(accepted);
    state.counters["refused"] = static_cast<double>(refused);
    state.counters["lost"] = static_cast<double>(accepted) - static_cast<double>(stored);
    state.counters["server_cpu_s/s"] = cpu / wall;
  }
}

// kSustained_Calls accepted calls (a refused call is retried) until all is stored; `viewer`: the
// tool also serves the viewer and a page follows the live stream.
void Sustained(benchmark::State& state, bool network, bool viewer = false) {
  for (auto _ : state) {
    BenchDir dir("mqw-server-bench");
    std::unique_ptr<Server> server;
    if (network) {
      std::vector<std::string> extra = {"--drop-percent", std::to_string(state.range(0))};
      if (viewer) extra.insert(extra.end(), {"--http", "127.0.0.1:0"});
      server = std::make_unique<Server>(dir, extra);
    }
    std::atomic<bool> done{false};
    uint64_t page_bytes = 0, page_last = 0;
    std::thread page;
    if (viewer) {
      int http_port = 0;
      std::string token;
      if (!Viewer_Address(*server, dir, &http_port, &token)) {
        fprintf(stderr, "the viewer did not start\n");
        abort();
      }
      page = std::thread([&, http_port, token] {
        while (!done.load()) {
          page_last = Live_Request(http_port, token, page_last, &page_bytes);
          std::this_thread::sleep_for(100ms);
        }
      });
    }
    ITR_Client* client;
    if (network) {
      client = Network_Sink(server->Port(), "sustained");
    } else {
      std::string options[] = {"/TR.Dir=" + dir.Path() + "/traces/file", "/TR.Roll=64mb",
                               "/TR.Files=64"};
      mkdir((dir.Path() + "/traces").c_str(), 0700);
      char* args[] = {options[0].data(), options[1].data(), options[2].data()};
      client = New_File_Sink(args, 3);
    }
    ITR_Trace* channel = TR_Create_Trace(client, "bench", nullptr);
    const auto start = std::chrono::steady_clock::now();  // from the first call
    for (int i = 0; i < kSustained_Calls;) {
      if (channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "value %d of %s", i,
                         "bench")) {
        ++i;
      } else {
        std::this_thread::yield();
      }
    }
    channel->Release();
    client->Release();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    done.store(true);
    if (page.joinable()) page.join();
    if (viewer) {
      state.counters["page_bytes"] = static_cast<double>(page_bytes);
      state.counters["page_last"] = static_cast<double>(page_last);
    }
    if (network) server->Stop();
    state.SetIterationTime(seconds);
    state.SetBytesProcessed(static_cast<int64_t>(Stored_Bytes(dir.Path() + "/traces")));
    state.counters["calls/s"] = benchmark::Counter(kSustained_Calls / seconds);
  }
}
void BM_Server_Sustained(benchmark::State& state) { Sustained(state, true); }
void BM_File_Sustained(benchmark::State& state) { Sustained(state, false); }
void BM_Server_Sustained_Viewer(benchmark::State& state) { Sustained(state, true, true); }

}  // namespace

BENCHMARK(BM_Server_Load_64_Clients)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Server_Sustained)
    ->Arg(0)
    ->Arg(5)
    ->ArgName("drop_percent")
    ->Apply(mqw_bench::Three_Timed_Runs);
BENCHMARK(BM_File_Sustained)->Apply(mqw_bench::Three_Timed_Runs);
BENCHMARK(BM_Server_Sustained_Viewer)->Arg(0)->ArgName("drop_percent")->Apply(mqw_bench::Three_Timed_Runs);

BENCHMARK_MAIN();
