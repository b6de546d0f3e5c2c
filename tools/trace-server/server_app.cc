#include "server_app.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>

#include "trace/server/client_naming.h"
#if MQW_TRACE_INDEX
#include "trd_indexer.h"
#endif

namespace {

constexpr uint32_t kReceive_Buffer = 65536;
constexpr uint32_t kMax_Datagrams_Per_Round = 4096;
constexpr int kPoll_ms = 200;

uint32_t Now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000 +
                               static_cast<uint64_t>(now.tv_nsec) / 1000000);
}

const char* Leave_Text(eTRS_Leave reason) {
  switch (reason) {
    case eTRS_Leave::Bye:
      return "said bye";
    case eTRS_Leave::Idle:
      return "was idle too long";
    case eTRS_Leave::Silent:
      return "sent no data after its hello";
    case eTRS_Leave::Dropped:
      return "was disconnected by the server";
    default:
      return "was ended by the server";
  }
}

}  // namespace

CServer_App::CServer_App(const sServer_Options& options)
    : m_Options(options), m_Random(options.drop_seed), m_Buffer(kReceive_Buffer) {}

CServer_App::~CServer_App() = default;

bool CServer_App::Start(std::string* error) {
  std::string host, port;
  if (!Split_Listen_Address(m_Options.listen, &host, &port)) {
    *error = "bad listen address " + m_Options.listen;
    return false;
  }
  if (!m_Socket.Open(host, port, error)) return false;
  // The capacity each client is told (its window in bytes) is half the socket's receive buffer,
  // within 256 KiB .. 1 MiB (3 packets of the largest size at least), so that one client's
  // full window does not overrun the buffer.
  sTRS_Limits limits;
  limits.client_buffer_bytes =
      std::clamp<uint32_t>(m_Socket.Receive_Buffer() / 2, 256u << 10, 1u << 20);
  limits.max_clients_per_address = m_Options.max_clients_per_address;
  m_Server = std::make_unique<CTRS_Server>(limits, static_cast<ITRS_Listener*>(this));
  if (m_Options.drop_percent) {
    m_Server->Set_Drop_Filter([this](const sTP_Endpoint&, const sTP_View&) {
      return m_Random() % 100 < m_Options.drop_percent;
    });
  }
  if (m_Options.store) {
    CRoll_Rule rule;
    char shown[256];
    if (!m_Options.roll.empty() &&
        rule.Parse(m_Options.roll.c_str(), shown, sizeof(shown)) == CRoll_Rule::eParse_Invalid) {
      *error = std::string("--roll: rolling value is not correct: ") + shown;
      return false;
    }
    mkdir(m_Options.directory.c_str(), 0775);
    struct stat info;
    if (stat(m_Options.directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      *error = "cannot create directory " + m_Options.directory;
      return false;
    }
    m_Quota = std::make_unique<CDisk_Quota>(m_Options.directory,
                                            static_cast<uint64_t>(m_Options.max_total_mb) << 20);
    m_Quota->Rescan();
  }
  return true;
}

void CServer_App::Account_Disk(CClient_Store& store) {
  CClient_Files& files = store.Files();
  const uint64_t written = files.Take_Written();
  const uint64_t deleted = files.Take_Deleted();
  if (!m_Quota) return;
  if (written) m_Quota->Add(store.Directory_Name(), written);
  if (deleted) m_Quota->Release(store.Directory_Name(), deleted);
}

void CServer_App::Enforce_Quota() {
  if (!m_Quota || m_Quota->Max_Total() == 0) return;
  std::set<std::string> open_files;
  for (const auto& entry : m_Stores) {
    std::string path = entry.second->Files().Open_File();
    if (!path.empty()) open_files.insert(std::move(path));
  }
  m_Quota->Enforce(open_files);
}

void CServer_App::Run(int wake_fd) {
  uint32_t last_second = Now_ms();
  for (;;) {
    pollfd fds[2] = {{m_Socket.Descriptor(), POLLIN, 0}, {wake_fd, POLLIN, 0}};
    const int ready = poll(fds, 2, kPoll_ms);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) break;
    const uint32_t now = Now_ms();
    if (ready > 0 && (fds[0].revents & POLLIN)) Receive_All(now);
    if (m_Hub) Take_Requests();
    if (now - last_second >= 1000) {
      last_second = now;
      Every_Second(now);
    }
  }
}

void CServer_App::Receive_All(uint32_t now_ms) {
  tTRS_Reply reply;
  for (uint32_t round = 0; round < kMax_Datagrams_Per_Round; ++round) {
    sockaddr_storage from{};
    socklen_t from_length = 0;
    const int32_t n = m_Socket.Receive(m_Buffer.data(), static_cast<uint32_t>(m_Buffer.size()),
                                       &m_Source, &from, &from_length);
    if (n <= 0) return;
    if (m_Server->On_Datagram(m_Buffer.data(), static_cast<uint32_t>(n), m_Source, now_ms,
                              &reply)) {
      m_Socket.Send(reply.data(), reply.size(), from, from_length);
    }
  }
}

void CServer_App::Every_Second(uint32_t now_ms) {
  // The decoders' accounts are checked on the worker; their verdicts are read here.
  std::vector<uint16_t> over;
  for (auto& entry : m_Stores) {
    if (entry.second->Over_Budget()) over.push_back(entry.first);
  }
  for (uint16_t client_id : over) Drop_Over_Budget(client_id);
  for (auto& entry : m_Stores) {
    entry.second->Tick();
    Account_Disk(*entry.second);
    if (m_Hub) Publish(entry.first, *entry.second, true);
  }
  Enforce_Quota();
  m_Server->Drop_Idle(now_ms, m_Options.idle_seconds * 1000);
  if (m_Options.stats_seconds && ++m_Stats_Seconds >= m_Options.stats_seconds) {
    m_Stats_Seconds = 0;
    Print_Stats("statistics");
  }
  fflush(stdout);
}

std::string CServer_App::Unique_Directory(const std::string& base) const {
  // Two live clients never share a directory (two sinks of one process, say).
  for (uint32_t suffix = 1;; ++suffix) {
    std::string name = suffix == 1 ? base : base + "-" + std::to_string(suffix);
    bool used = false;
    for (const auto& entry : m_Stores) used |= entry.second->Directory_Name() == name;
    if (!used) return name;
  }
}

void CServer_App::On_Client(uint16_t client_id, const sTRS_Hello& hello, bool restart) {
  auto found = m_Stores.find(client_id);
  if (found != m_Stores.end()) {
    const sTRS_Hello& known = found->second->Hello();
    if (restart && known.process_id == hello.process_id && known.start_time == hello.start_time) {
      fprintf(stderr, "trace-server: client %s started over\n",
              found->second->Directory_Name().c_str());
      found->second->Restart(hello);
      return;
    }
    End_Client(client_id, "was replaced by another process at its address");
  }
  const std::string directory =
      Unique_Directory(TRS_Client_Directory_Name(hello.name, m_Source, hello.process_id));
  auto store = std::make_unique<CClient_Store>(
      m_Options, hello, m_Source, directory,
      [this, client_id](const std::vector<uint8_t>& chunks) {
        return m_Server->Queue_User_Data(client_id, chunks.data(),
                                         static_cast<uint32_t>(chunks.size()));
      },
      &m_Worker, m_Hub);
  fprintf(stderr, "trace-server: client %s (\"%s\", process %u) connected from %s\n",
          directory.c_str(), hello.name.c_str(), hello.process_id,
          TRS_Endpoint_Text(m_Source).c_str());
  if (m_Hub) {
    m_Last_Messages[client_id] = 0;
    Publish(client_id, *store, true);
  }
  m_Stores[client_id] = std::move(store);
}

void CServer_App::Publish(uint16_t client_id, const CClient_Store& store, bool connected,
                          const char* left) {
  sHost_Status status;
  if (left) status.left = left;
  status.name = store.Directory_Name();
  status.client = store.Hello().name;
  status.address = TRS_Endpoint_Text(store.Endpoint());
  status.process_id = store.Hello().process_id;
  status.connected = connected;
  const sClient_Counters& counters = store.Counters();
  status.records = counters.records;
  status.skipped = counters.skipped;
  status.messages = store.Messages();
  uint64_t& last = m_Last_Messages[client_id];
  status.rate = static_cast<uint32_t>(status.messages - last);
  last = status.messages;
  if (const CTRS_Session* session = m_Server->Find_Client(client_id)) {
    status.lost = session->Stats().reported_lost;
    status.resent = session->Stats().resent_received;
  }
  status.channels = store.Channels();
  m_Hub->Update_Host(status);
}

void CServer_App::Take_Requests() {
  for (const sVerbosity_Request& request : m_Hub->Take_Requests()) {
    CClient_Store* target = nullptr;
    for (auto& entry : m_Stores) {
      if (entry.second->Directory_Name() == request.host) target = entry.second.get();
    }
    if (!target) continue;
    sTRS_Verbosity_Rule rule;
    rule.client = "*";
    rule.channel = request.channel;
    rule.module = request.module;
    rule.level = request.level;
    const uint32_t queued = target->Add_Rule(rule);
    // The page sees the command in the stream, beside the host's messages.
    sViewer_Message note;
    const timespec now = [] {
      timespec t;
      clock_gettime(CLOCK_REALTIME, &t);
      return t;
    }();
    note.time_us = static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    note.host = request.host;
    note.channel = "trace-server";
    note.level = 2;
    note.thread = "viewer";
    note.module = "verbosity";
    note.text = "verbosity " + request.channel +
                (request.module.empty() ? "" : "/" + request.module) + " set to " +
                Viewer_Level_Name(request.level) + ": " + std::to_string(queued) +
                (queued == 1 ? " command" : " commands") + " sent";
    note.rendered = Viewer_Local_Time(note.time_us) + " " + note.host + " " + note.text;
    m_Hub->Ring().Push(note);
  }
}

void CServer_App::On_Stream(uint16_t client_id, const uint8_t* bytes, uint32_t size) {
  auto found = m_Stores.find(client_id);
  if (found == m_Stores.end()) return;
  found->second->On_Stream(bytes, size);
  Account_Disk(*found->second);
  if (found->second->Over_Budget()) Drop_Over_Budget(client_id);
}

void CServer_App::Drop_Over_Budget(uint16_t client_id) {
  ++m_Over_Budget;
  End_Client(client_id, "went over its memory budget (--client-memory) and was disconnected");
  Drop(client_id);
}

void CServer_App::Drop(uint16_t client_id) {
  // The session ends too, and its endpoint's hellos are refused for a while, so that a client
  // over its budget cannot refill it at once.
  m_Server->Drop_Client(client_id, Now_ms(), kDropped_Refuse_ms);
}

void CServer_App::On_Leave(uint16_t client_id, eTRS_Leave reason) {
  End_Client(client_id, Leave_Text(reason));
}

void CServer_App::End_Client(uint16_t client_id, const char* why) {
  auto found = m_Stores.find(client_id);
  if (found == m_Stores.end()) return;
  found->second->Close();
  Account_Disk(*found->second);
  if (m_Hub) {
    Publish(client_id, *found->second, false, why);
    m_Last_Messages.erase(client_id);
  }
  const std::string summary = Describe(client_id, *found->second);
  fprintf(stderr, "trace-server: client %s %s: %s\n", found->second->Directory_Name().c_str(), why,
          summary.c_str());
  if (m_Summaries.size() < kMax_Summaries) {
    m_Summaries.push_back(found->second->Directory_Name() + " (left): " + summary);
  } else {
    ++m_Left_Uncounted;
  }
  m_Stores.erase(found);
}

std::string CServer_App::Describe(uint16_t client_id, const CClient_Store& store) const {
  const sClient_Counters& counters = store.Counters();
  std::string text = "records " + std::to_string(counters.records) + ", bytes " +
                     std::to_string(counters.bytes) + ", files " +
                     std::to_string(store.Files().Files()) + ", restarts " +
                     std::to_string(counters.restarts);
  if (const CTRS_Session* session = m_Server->Find_Client(client_id)) {
    const sTRS_Session_Stats& stats = session->Stats();
    text += ", packets " + std::to_string(stats.delivered_packets) + ", lost " +
            std::to_string(stats.reported_lost) + ", resent " +
            std::to_string(stats.resent_received) + ", bad datagrams " +
            std::to_string(stats.bad_datagrams) + ", stale " + std::to_string(stats.dropped_stale) +
            ", no room " + std::to_string(stats.dropped_no_room);
    if (m_Options.drop_percent) text += ", dropped on purpose " + std::to_string(stats.filtered);
  }
  if (counters.skipped) text += ", skipped " + std::to_string(counters.skipped);
  if (store.Over_Budget()) text += ", over its memory budget";
  if (store.Commands()) text += ", commands " + std::to_string(store.Commands());
  if (counters.broken) text += ", unsplittable " + std::to_string(counters.broken);
  if (store.Files().Write_Errors())
    text += ", write errors " + std::to_string(store.Files().Write_Errors());
  return text;
}

void CServer_App::Print_Stats(const char* title) {
  const sTRS_Server_Stats& stats = m_Server->Stats();
  fprintf(stderr,
          "trace-server: %s: %zu clients; bad datagrams %llu, from unknown sources %llu, refused "
          "clients %llu, clients over their memory budget %llu\n",
          title, m_Stores.size(), static_cast<unsigned long long>(stats.refused_datagrams),
          static_cast<unsigned long long>(stats.unexpected + stats.unknown_control),
          static_cast<unsigned long long>(stats.refused_clients),
          static_cast<unsigned long long>(m_Over_Budget));
  if (m_Quota && m_Quota->Max_Total())
    fprintf(stderr,
            "trace-server: %s: disk %llu of %llu bytes under %s; the quota removed %llu files "
            "(%llu bytes)\n",
            title, static_cast<unsigned long long>(m_Quota->Total()),
            static_cast<unsigned long long>(m_Quota->Max_Total()), m_Options.directory.c_str(),
            static_cast<unsigned long long>(m_Quota->Removed_Files()),
            static_cast<unsigned long long>(m_Quota->Removed_Bytes()));
#if MQW_TRACE_INDEX
  if (m_Indexer) {
    const CTrd_Indexer::sStatus index = m_Indexer->Status();
    fprintf(stderr,
            "trace-server: %s: index %s; %llu rows stored, lag %llu messages, %.1f s; %llu "
            "database failures%s%s\n",
            title, index.connected ? "connected" : "DOWN",
            static_cast<unsigned long long>(index.rows),
            static_cast<unsigned long long>(index.lag_messages), index.lag_seconds,
            static_cast<unsigned long long>(index.failures), index.connected ? "" : ": ",
            index.connected ? "" : index.last_error.c_str());
  }
#endif
  for (const std::string& summary : m_Summaries) fprintf(stderr, "  %s\n", summary.c_str());
  if (m_Left_Uncounted)
    fprintf(stderr, "  ... and %llu more clients that left\n",
            static_cast<unsigned long long>(m_Left_Uncounted));
  for (const auto& entry : m_Stores) {
    fprintf(stderr, "  %s: %s\n", entry.second->Directory_Name().c_str(),
            Describe(entry.first, *entry.second).c_str());
  }
}

void CServer_App::Finish() {
  if (!m_Server) return;
  for (auto& entry : m_Stores) entry.second->Close();
  m_Worker.Stop();  // prints and shows what is still queued
  fflush(stdout);
  Print_Stats("at exit");
}
