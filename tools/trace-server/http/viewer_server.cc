#include "viewer_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <optional>
#include <semaphore>
#include <thread>

#include <nlohmann/json.hpp>

#include "access_token.h"
#include "answer_feed.h"
#include "request_rules.h"
#include "scan_pool.h"
#include "trace/base/lock.h"
#include "trace/base/thread_annotations.h"
#include "trace/format/trace_level.h"
#include "trace/viewer/merged_query.h"
#include "trace/viewer/scan_budget.h"
#include "trace/viewer/served_directory.h"
#include "trace/viewer/stored_query.h"
#if MQW_TRACE_INDEX
#include "fleet_routes.h"
#endif
#include "trace/viewer/viewer_json.h"
#include "viewer_assets.h"
#include "watched_connection.h"

using nlohmann::json;

namespace {

using tClock = std::chrono::steady_clock;

constexpr uint32_t kLive_Page = 1000;
constexpr uint64_t kMax_Context_Lines = 200;
constexpr auto kTick = std::chrono::milliseconds(100);  // timer: streams woken, deadlines checked
constexpr auto kKeep_Alive = std::chrono::seconds(5);   // a comment finds out when a page has gone
constexpr size_t kFeed_Block = 16 << 10;
constexpr size_t kFeed_Backlog = 256 << 10;  // an export's producer waits beyond this

const char kJson[] = "application/json";
const char kSecurity_Policy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

int64_t Now_Ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(tClock::now().time_since_epoch())
      .count();
}

int64_t Ns(std::chrono::milliseconds duration) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

// A job's answer to a request.
struct sResult {
  int status = 0;  // 0: none yet
  std::string answer;
  std::string content_type = kJson;
  std::string disposition;
  std::shared_ptr<CAnswer_Feed> feed;  // the body comes from here

  // Makes this result a streamed answer (200) of `type`, offered as `disposition`; returns the
  // feed a job pushes the body into.
  std::shared_ptr<CAnswer_Feed> Stream(std::shared_ptr<CAnswer_Feed> body, std::string type,
                                       std::string offered_as) {
    status = 200;
    feed = std::move(body);
    content_type = std::move(type);
    disposition = std::move(offered_as);
    return feed;
  }
};

// What one request carries between the library's calls (on the polling thread, but for the
// result a job hands over).
struct sRequest {
  std::shared_ptr<CWatched_Connection> connection;
  std::string path;
  bool started = false;
  std::string body;
  bool body_too_large = false;
  bool set_cookie = false;
  std::map<std::string, std::string> params;  // copied: a job reads them off the polling thread

  CLock result_lock;
  sResult result TR_GUARDED_BY(result_lock);  // complete before the job resumes the connection
};

json Live_Json(const CLive_Ring::sRead& read) {
  json messages = json::array();
  for (const sViewer_Message& message : read.messages) messages.push_back(Viewer_Json(message));
  return json{{"messages", messages}, {"last", read.last}, {"skipped", read.skipped}};
}

// Every text line starts with the host (the lines of a multi-line message too), so that an export
// of several hosts says whose each line is.
std::string Export_Line(const sViewer_Message& message, bool as_json) {
  if (as_json) return Viewer_Dump(Viewer_Json(message)) + "\n";
  std::string out = message.host + " ";
  for (const char c : message.rendered) {
    out += c;
    if (c == '\n') out += message.host + " ";
  }
  return out + "\n";
}

// Milliseconds since `start`, with a tenth's precision: the query's time the page shows.
double Took_ms(tClock::time_point start) {
  const auto us =
      std::chrono::duration_cast<std::chrono::microseconds>(tClock::now() - start).count();
  return static_cast<double>(us / 100) / 10.0;
}

// A merged page as the page reads a stored one, each message with the source it came from.
json Merged_Json(const CMerged_Query::sPage& page, double took_ms) {
  json messages = json::array();
  for (const CMerged_Query::sMessage& message : page.messages) {
    json one = Viewer_Json(message.message);
    one["source"] = message.source;
    messages.push_back(std::move(one));
  }
  json answer = {{"messages", messages},
                 {"more", page.more},
                 {"next", page.next},
                 {"problems", Viewer_Json(page.problems)},
                 {"took_ms", took_ms}};
  if (page.cut) answer["cut"] = true;
  return answer;
}

std::string Error_Text(const std::string& text) { return Viewer_Dump(json{{"error", text}}); }

// The status and text of a refused source path; 0 when `resolve` is Ok.
int Path_Status(CServed_Directory::eResolve resolve, std::string* answer) {
  switch (resolve) {
    case CServed_Directory::eResolve::Ok:
      return 0;
    case CServed_Directory::eResolve::Bad_Path:
      *answer = Error_Text("malformed source path");
      return 400;
    case CServed_Directory::eResolve::Outside:
      *answer = Error_Text("the source lies outside the served directory");
      return 403;
    case CServed_Directory::eResolve::Missing:
      *answer = Error_Text("no such source");
      return 404;
  }
  return 400;
}

}  // namespace

struct CViewer_Server::sState {
  sState(const sConfig& config_, CViewer_Hub* hub_)
      : config(config_),
        hub(hub_),
        pool(std::max(1u, config_.scan_threads)),
        export_pool(std::max(1u, config_.scan_threads)) {}

  const sConfig& config;
  CViewer_Hub* const hub;
  sHost_Rule host_rule;
  CServed_Directory directory;
  std::unique_ptr<CStored_Query> query;
  std::unique_ptr<CMerged_Query> merged;  // several stored sources as one, over `query`
  CScan_Pool pool;                        // pages and timelines: each done within page_budget
  // Exports, which may wait for a slow reader up to export_budget: apart, so that they never
  // delay a page.
  CScan_Pool export_pool;
  MHD_Daemon* daemon = nullptr;
  std::atomic<bool> stopping{false};
  std::atomic<unsigned> streams{0};

  CLock connections_lock;
  std::map<CWatched_Connection*, std::shared_ptr<CWatched_Connection>> connections
      TR_GUARDED_BY(connections_lock);
  CLock feeds_lock;
  std::map<CAnswer_Feed*, std::weak_ptr<CAnswer_Feed>> feeds TR_GUARDED_BY(feeds_lock);

  std::thread timer;
  std::binary_semaphore timer_stop{0};

  // --- the library's callbacks ---
  static void On_Connection(void* cls, MHD_Connection* connection, void** socket_context,
                            MHD_ConnectionNotificationCode code);
  static void* On_Request_Line(void* cls, const char* uri, MHD_Connection* connection);
  static void On_Completed(void* cls, MHD_Connection* connection, void** request_context,
                           MHD_RequestTerminationCode code);
  static MHD_Result On_Request(void* cls, MHD_Connection* connection, const char* url,
                               const char* method, const char* version, const char* upload_data,
                               size_t* upload_data_size, void** request_context);
  static ssize_t Read_Feed(void* cls, uint64_t position, char* buffer, size_t max);
  static void Free_Feed(void* cls);

  MHD_Result Handle(MHD_Connection* connection, const std::string& method, sRequest* request,
                    const char* upload_data, size_t* upload_data_size);
  MHD_Result Route_Api(MHD_Connection* connection, const std::string& method, sRequest* request);
  MHD_Result Send(MHD_Connection* connection, sRequest* request, int status,
                  const std::string& body, const std::string& type = kJson,
                  const std::string& disposition = std::string());
  MHD_Result Send_Feed(MHD_Connection* connection, sRequest* request,
                       const std::shared_ptr<CAnswer_Feed>& feed, const std::string& type,
                       const std::string& disposition);
  // Suspends the connection and runs `job` on the pool; the job fills the request's answer.
  MHD_Result Run_Off_Thread(MHD_Connection* connection, sRequest* request,
                            std::function<void(const sRequest&, sResult*)> job);
  // A feed the timer wakes and Stop ends.
  std::shared_ptr<CAnswer_Feed> New_Feed(MHD_Connection* connection,
                                         CAnswer_Feed::tProduce produce = nullptr,
                                         bool is_stream = false);
  std::vector<std::shared_ptr<CAnswer_Feed>> Feeds() TR_EXCLUDES(feeds_lock);
  void Tick();
  sScan_Budget Budget(std::chrono::milliseconds limit,
                      const std::shared_ptr<CWatched_Connection>& conn,
                      const std::shared_ptr<CAnswer_Feed>& feed = nullptr);

  std::optional<std::string> Param(const sRequest* request, const char* name) const {
    auto found = request->params.find(name);
    if (found == request->params.end()) return std::nullopt;
    return found->second;
  }
  CMessage_Filter::tParam Params_Of(const sRequest* request) const {
    return [this, request](const char* name) { return Param(request, name); };
  }
  bool Number(const sRequest* request, const char* name, uint64_t fallback, uint64_t* out) const {
    *out = fallback;
    const std::optional<std::string> text = Param(request, name);
    return !text || Parse_Decimal(*text, out);
  }
};

CViewer_Server::CViewer_Server(const sConfig& config, CViewer_Hub* hub)
    : m_Config(config), m_Hub(hub) {}

CViewer_Server::~CViewer_Server() { Stop(); }

namespace {

// A listening socket on host:port (port 0: any free one); -1 with `error`.
int Listen_On(const std::string& host, uint16_t port, std::string* error) {
  sockaddr_storage address{};
  socklen_t length = 0;
  const std::string name = host == "localhost" ? "127.0.0.1" : host;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (inet_pton(AF_INET, name.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    length = sizeof(*v4);
  } else if (inet_pton(AF_INET6, name.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof(*v6);
  } else {
    *error = "the viewer's address " + host + " is not a numeric address";
    return -1;
  }
  const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int on = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(fd, 64) != 0) {
    *error = "cannot listen for the viewer on " + host + ":" + std::to_string(port) + ": " +
             strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

uint16_t Bound_Port(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  if (address.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

}  // namespace

bool CViewer_Server::Start(std::string* error) {
  if (m_Config.token.empty()) {
    *error = "the viewer needs a token";
    return false;
  }
  m_State = std::make_unique<sState>(m_Config, m_Hub);
  sState& state = *m_State;
  state.directory.Open(m_Config.directory);  // a directory that does not exist serves nothing
  state.query = std::make_unique<CStored_Query>(state.directory);
  state.merged = std::make_unique<CMerged_Query>(*state.query, state.directory);
  const int listener = Listen_On(m_Config.host, m_Config.port, error);
  if (listener < 0) {
    m_State.reset();
    return false;
  }
  m_Port = Bound_Port(listener);
  state.host_rule = sHost_Rule{m_Config.host, m_Port, m_Config.allowed_hosts};
  const unsigned idle_seconds =
      static_cast<unsigned>(std::max<int64_t>(1, (m_Config.idle_timeout.count() + 999) / 1000));
  const unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
  state.daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &sState::On_Request, &state, MHD_OPTION_LISTEN_SOCKET, listener,
      MHD_OPTION_CONNECTION_LIMIT, m_Config.max_connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      m_Config.max_per_address, MHD_OPTION_CONNECTION_TIMEOUT, idle_seconds,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, m_Config.connection_memory, MHD_OPTION_NOTIFY_CONNECTION,
      &sState::On_Connection, &state, MHD_OPTION_URI_LOG_CALLBACK, &sState::On_Request_Line, &state,
      MHD_OPTION_NOTIFY_COMPLETED, &sState::On_Completed, &state, MHD_OPTION_END);
  if (!state.daemon) {
    close(listener);
    *error = "cannot start the viewer's HTTP server";
    m_State.reset();
    return false;
  }
  state.timer = std::thread([&state] {
    while (!state.timer_stop.try_acquire_for(kTick)) state.Tick();
  });
  return true;
}

void CViewer_Server::Stop() {
  if (!m_State) return;
  sState& state = *m_State;
  state.stopping = true;
  state.timer_stop.release();
  if (state.timer.joinable()) state.timer.join();
  // Every stream and export ends at its next read; scans stop through their budget and resume
  // their connections; then no connection is left suspended for the library's stop.
  for (const std::shared_ptr<CAnswer_Feed>& feed : state.Feeds()) feed->Finish();
  state.pool.Stop();
  state.export_pool.Stop();
  for (const std::shared_ptr<CAnswer_Feed>& feed : state.Feeds()) feed->Finish();
  MHD_stop_daemon(state.daemon);
  m_State.reset();
}

void CViewer_Server::sState::On_Connection(void* cls, MHD_Connection* connection,
                                           void** socket_context,
                                           MHD_ConnectionNotificationCode code) {
  sState& state = *static_cast<sState*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    auto entry = std::make_shared<CWatched_Connection>(info ? info->connect_fd : -1,
                                                       Now_Ns() + Ns(state.config.header_timeout));
    *socket_context = entry.get();
    CLockGuard guard(&state.connections_lock);
    state.connections[entry.get()] = entry;
  } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    std::shared_ptr<CWatched_Connection> entry;  // released after the lock
    CLockGuard guard(&state.connections_lock);
    auto found = state.connections.find(static_cast<CWatched_Connection*>(*socket_context));
    if (found != state.connections.end()) {
      entry = std::move(found->second);
      state.connections.erase(found);
    }
  }
}

namespace {

std::shared_ptr<CWatched_Connection> Connection_Of(CViewer_Server::sState* state,
                                                   MHD_Connection* connection);

}  // namespace

void* CViewer_Server::sState::On_Request_Line(void* cls, const char*, MHD_Connection* connection) {
  sState& state = *static_cast<sState*>(cls);
  // A later request on a kept-alive connection gets header_timeout from its request line, or
  // less when the idle time left is shorter. No request context is made here: the library
  // reports a request's end only once the request reached the handler, so one made here would
  // leak with every connection cut before that.
  std::shared_ptr<CWatched_Connection> watched = Connection_Of(&state, connection);
  if (watched && !watched->First_Request())
    watched->Limit_Deadline(Now_Ns() + Ns(state.config.header_timeout));
  return nullptr;
}

namespace {

std::shared_ptr<CWatched_Connection> Connection_Of(CViewer_Server::sState* state,
                                                   MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  if (!info || !info->socket_context) return nullptr;
  CLockGuard guard(&state->connections_lock);
  auto found = state->connections.find(static_cast<CWatched_Connection*>(info->socket_context));
  return found == state->connections.end() ? nullptr : found->second;
}

}  // namespace

void CViewer_Server::sState::On_Completed(void* cls, MHD_Connection*, void** request_context,
                                          MHD_RequestTerminationCode) {
  sState& state = *static_cast<sState*>(cls);
  auto* request = static_cast<sRequest*>(*request_context);
  if (!request) return;
  if (request->connection) {
    request->connection->Mark_Answered();
    request->connection->Set_Deadline(Now_Ns() + Ns(state.config.idle_timeout));
  }
  delete request;
  *request_context = nullptr;
}

MHD_Result CViewer_Server::sState::On_Request(void* cls, MHD_Connection* connection,
                                              const char* url, const char* method, const char*,
                                              const char* upload_data, size_t* upload_data_size,
                                              void** request_context) {
  sState& state = *static_cast<sState*>(cls);
  auto* request = static_cast<sRequest*>(*request_context);
  if (!request) {  // the request's first call: its context, deleted by On_Completed
    request = new sRequest;
    request->connection = Connection_Of(&state, connection);
    *request_context = request;
  }
  if (!request->started) {
    request->started = true;
    request->path = url ? url : "";
    if (request->connection) request->connection->Set_Deadline(CWatched_Connection::kNo_Deadline);
  }
  return state.Handle(connection, method ? method : "", request, upload_data, upload_data_size);
}

namespace {

struct sHeader_Count {
  size_t count = 0;
  size_t bytes = 0;
};

MHD_Result Count_Header(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* count = static_cast<sHeader_Count*>(cls);
  ++count->count;
  count->bytes += strlen(key) + (value ? strlen(value) : 0);
  return MHD_YES;
}

MHD_Result Copy_Param(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* params = static_cast<std::map<std::string, std::string>*>(cls);
  params->emplace(key, value ? value : "");  // the first of repeated names counts
  return MHD_YES;
}

std::string Header(MHD_Connection* connection, MHD_ValueKind kind, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, kind, name);
  return value ? value : "";
}

const sViewer_Asset* Asset_For(const std::string& path) {
  const std::string wanted = path == "/" ? "/index.html" : path;
  for (const sViewer_Asset* asset = kViewer_Assets; asset->path; ++asset)
    if (wanted == asset->path) return asset;
  return nullptr;
}

void Add_Security_Headers(MHD_Response* response) {
  MHD_add_response_header(response, "Content-Security-Policy", kSecurity_Policy);
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  MHD_add_response_header(response, "Cache-Control", "no-store");
}

}  // namespace

MHD_Result CViewer_Server::sState::Send(MHD_Connection* connection, sRequest* request, int status,
                                        const std::string& body, const std::string& type,
                                        const std::string& disposition) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  Add_Security_Headers(response);
  if (!body.empty() || status == 200)
    MHD_add_response_header(response, "Content-Type", type.c_str());
  if (!disposition.empty())
    MHD_add_response_header(response, "Content-Disposition", disposition.c_str());
  if (request && request->set_cookie && status < 400)
    MHD_add_response_header(response, "Set-Cookie", Token_Cookie(config.token).c_str());
  const MHD_Result result = MHD_queue_response(connection, static_cast<unsigned>(status), response);
  MHD_destroy_response(response);
  return result;
}

std::shared_ptr<CAnswer_Feed> CViewer_Server::sState::New_Feed(MHD_Connection* connection,
                                                               CAnswer_Feed::tProduce produce,
                                                               bool is_stream) {
  auto feed = std::make_shared<CAnswer_Feed>(connection, std::move(produce), is_stream);
  CLockGuard guard(&feeds_lock);
  feeds[feed.get()] = feed;
  return feed;
}

std::vector<std::shared_ptr<CAnswer_Feed>> CViewer_Server::sState::Feeds() {
  std::vector<std::shared_ptr<CAnswer_Feed>> all;
  CLockGuard guard(&feeds_lock);
  for (const auto& [key, weak] : feeds)
    if (std::shared_ptr<CAnswer_Feed> feed = weak.lock()) all.push_back(std::move(feed));
  return all;
}

namespace {

// The reader's closure: the feed and the server state that counts it.
struct sFeed_Handle {
  std::shared_ptr<CAnswer_Feed> feed;
  CViewer_Server::sState* state;
};

}  // namespace

MHD_Result CViewer_Server::sState::Send_Feed(MHD_Connection* connection, sRequest* request,
                                             const std::shared_ptr<CAnswer_Feed>& feed,
                                             const std::string& type,
                                             const std::string& disposition) {
  auto* handle = new sFeed_Handle{feed, this};
  MHD_Response* response = MHD_create_response_from_callback(
      MHD_SIZE_UNKNOWN, kFeed_Block, &sState::Read_Feed, handle, &sState::Free_Feed);
  if (!response) {
    Free_Feed(handle);
    return MHD_NO;
  }
  Add_Security_Headers(response);
  MHD_add_response_header(response, "Content-Type", type.c_str());
  if (!disposition.empty())
    MHD_add_response_header(response, "Content-Disposition", disposition.c_str());
  if (request->set_cookie)
    MHD_add_response_header(response, "Set-Cookie", Token_Cookie(config.token).c_str());
  const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return result;
}

ssize_t CViewer_Server::sState::Read_Feed(void* cls, uint64_t, char* buffer, size_t max) {
  auto* handle = static_cast<sFeed_Handle*>(cls);
  return handle->feed->Read(buffer, max, handle->state->stopping);
}

void CViewer_Server::sState::Free_Feed(void* cls) {
  auto* handle = static_cast<sFeed_Handle*>(cls);
  handle->feed->Release();
  sState& state = *handle->state;
  if (handle->feed->Is_Stream()) --state.streams;
  {
    CLockGuard guard(&state.feeds_lock);
    state.feeds.erase(handle->feed.get());
  }
  delete handle;
}

sScan_Budget CViewer_Server::sState::Budget(std::chrono::milliseconds limit,
                                            const std::shared_ptr<CWatched_Connection>& conn,
                                            const std::shared_ptr<CAnswer_Feed>& feed) {
  return sScan_Budget::For(limit, [this, conn, feed] {
    return stopping.load() || (conn && conn->Gone()) || (feed && feed->Released());
  });
}

MHD_Result CViewer_Server::sState::Run_Off_Thread(
    MHD_Connection* connection, sRequest* request,
    std::function<void(const sRequest&, sResult*)> job) {
  // Suspended before the job may resume it; the library keeps the request until then.
  MHD_suspend_connection(connection);
  pool.Post([request, connection, job = std::move(job)] {
    sResult result;
    job(*request, &result);
    if (result.status == 0) result = sResult{500, Error_Text("no answer"), kJson, "", nullptr};
    {
      CLockGuard guard(&request->result_lock);
      request->result = std::move(result);
    }
    MHD_resume_connection(connection);
  });
  return MHD_YES;
}

void CViewer_Server::sState::Tick() {
  const int64_t now = Now_Ns();
  {
    CLockGuard guard(&connections_lock);
    for (auto& [key, connection] : connections) {
      connection->Cut_If_Overdue(now);
    }
  }
  for (const std::shared_ptr<CAnswer_Feed>& feed : Feeds()) feed->Wake();
}

MHD_Result CViewer_Server::sState::Handle(MHD_Connection* connection, const std::string& method,
                                          sRequest* request, const char* upload_data,
                                          size_t* upload_data_size) {
  sResult result;
  {
    CLockGuard guard(&request->result_lock);
    result = request->result;
  }
  if (result.status != 0) {  // a job's answer, back on the polling thread
    if (result.feed)
      return Send_Feed(connection, request, result.feed, result.content_type, result.disposition);
    return Send(connection, request, result.status, result.answer, result.content_type);
  }
  if (method == "POST" && *upload_data_size != 0 && !request->params.empty()) {  // body
    if (request->body.size() + *upload_data_size > config.max_body) {
      request->body_too_large = true;
      *upload_data_size = 0;
      return Send(connection, request, 413, Error_Text("the body is too large"));
    }
    request->body.append(upload_data, *upload_data_size);
    *upload_data_size = 0;
    return MHD_YES;
  }
  if (!request->params.empty() || !request->body.empty() || request->body_too_large) {
    // The final call of a POST, its checks passed on the first.
    return Route_Api(connection, method, request);
  }

  sHeader_Count count;
  MHD_get_connection_values(connection, MHD_HEADER_KIND, &Count_Header, &count);
  if (count.count > config.max_headers || count.bytes > config.max_header_bytes)
    return Send(connection, request, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE,
                Error_Text("too many or too large request headers"));
  const std::string host = Header(connection, MHD_HEADER_KIND, "Host");
  if (!Host_Allowed(host_rule, host)) return Send(connection, request, 403, "");

  if (request->path.rfind("/api/", 0) != 0) {
    if (method != "GET" && method != "HEAD")
      return Send(connection, request, 405, Error_Text("GET only"));
    if (request->path == "/favicon.ico") return Send(connection, request, 204, "");
    const sViewer_Asset* asset = Asset_For(request->path);
    if (!asset) return Send(connection, request, 404, Error_Text("no such page"));
    return Send(connection, request, 200,
                std::string(reinterpret_cast<const char*>(asset->data), asset->size),
                asset->content_type);
  }

  const bool header_token =
      Token_Matches(config.token, Header(connection, MHD_HEADER_KIND, "X-Trace-Token"));
  const bool cookie_token =
      method == "GET" &&
      Token_Matches(config.token, Header(connection, MHD_COOKIE_KIND, kToken_Cookie));
  if (!header_token && !cookie_token)
    return Send(connection, request, 401,
                Error_Text("this request needs the viewer's token (X-Trace-Token)"));
  request->set_cookie = header_token;
  MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &Copy_Param, &request->params);
  request->params.emplace("\x01", "");  // marks the checks as passed for a POST's later calls

  if (method == "POST") {
    const std::string origin = Header(connection, MHD_HEADER_KIND, "Origin");
    if (!origin.empty() && !Origin_Allowed(origin, host))
      return Send(connection, request, 403, Error_Text("not from the viewer's own page"));
    uint64_t length = 0;
    const std::string declared = Header(connection, MHD_HEADER_KIND, "Content-Length");
    if (!declared.empty() && (!Parse_Decimal(declared, &length) || length > config.max_body))
      return Send(connection, request, 413, Error_Text("the body is too large"));
    // The body follows, and must be complete as soon as headers must.
    if (request->connection)
      request->connection->Set_Deadline(Now_Ns() + Ns(config.header_timeout));
    return MHD_YES;
  }
  return Route_Api(connection, method, request);
}

MHD_Result CViewer_Server::sState::Route_Api(MHD_Connection* connection, const std::string& method,
                                             sRequest* request) {
  const std::string& path = request->path;
  if (path == "/api/verbosity") {
    if (request->connection) request->connection->Set_Deadline(CWatched_Connection::kNo_Deadline);
    if (method != "POST") return Send(connection, request, 405, Error_Text("POST only"));
    if (request->body_too_large) return MHD_NO;
    const json body = json::parse(request->body, nullptr, false);
    if (!body.is_object() || !body.contains("host") || !body["host"].is_string() ||
        !body.contains("channel") || !body["channel"].is_string() || !body.contains("level"))
      return Send(connection, request, 400,
                  Error_Text("wants {\"host\",\"channel\",\"module\",\"level\"}"));
    sVerbosity_Request change;
    change.host = body["host"].get<std::string>();
    change.channel = body["channel"].get<std::string>();
    if (body.contains("module")) {
      if (!body["module"].is_string())
        return Send(connection, request, 400, Error_Text("module is a text"));
      change.module = body["module"].get<std::string>();
    }
    const json& level = body["level"];
    const std::string level_text = level.is_number_unsigned()
                                       ? std::to_string(level.get<uint64_t>())
                                   : level.is_string() ? level.get<std::string>()
                                                       : std::string();
    if (!TRTrace_Parse_Level(level_text.c_str(), &change.level))
      return Send(connection, request, 400, Error_Text("level is 0..5 or a level name"));
    if (change.channel.empty() || change.channel.size() > 256 || change.module.size() > 256 ||
        change.channel.find('/') != std::string::npos ||
        change.module.find('/') != std::string::npos)
      return Send(connection, request, 400,
                  Error_Text("channel and module are names or IDs without '/'"));
    if (!hub->Post_Verbosity(change))
      return Send(connection, request, 404, Error_Text("no such connected host"));
    return Send(connection, request, 202, Viewer_Dump(json{{"queued", true}}));
  }
  if (method != "GET" && method != "HEAD")
    return Send(connection, request, 405, Error_Text("GET only"));

  if (path == "/api/info") {
    json info = {{"version", config.version}, {"dir", directory.Root()},
                 {"ring", hub->Ring().Capacity()}, {"fleet", false}};
#if MQW_TRACE_INDEX
    if (config.fleet) {
      info["fleet"] = true;
      info["index"] = config.fleet->Info();
    }
#endif
    return Send(connection, request, 200, Viewer_Dump(info));
  }
  if (path == "/api/hosts") {
    json hosts = json::array();
    for (const sHost_Status& host : hub->Hosts()) hosts.push_back(Viewer_Json(host));
    return Send(connection, request, 200, Viewer_Dump(json{{"hosts", hosts}}));
  }
  if (path == "/api/stored/sources") {
    json sources = Viewer_Json(directory.Sources());
#if MQW_TRACE_INDEX
    if (config.fleet) sources.push_back(CFleet_Routes::Source_Entry());
#endif
    return Send(connection, request, 200,
                Viewer_Dump(json{{"dir", directory.Root()}, {"sources", sources}}));
  }
#if MQW_TRACE_INDEX
  // The fleet source: the same requests, answered from the index database.
  if (config.fleet && CFleet_Routes::Serves(path) && Param(request, "source") == "fleet")
    return Run_Off_Thread(connection, request, [this, path](const sRequest& q, sResult* r) {
      CFleet_Routes::sAnswer answer = config.fleet->Answer(path, Params_Of(&q));
      r->status = answer.status;
      r->answer = std::move(answer.body);
      r->content_type = answer.content_type;
      r->disposition = answer.disposition;
    });
#endif

  if (path == "/api/names") {
    const std::string source = Param(request, "source").value_or("live");
    if (source == "live") {
      const tClock::time_point start = tClock::now();
      CName_Census census;
      const CMessage_Filter all;
      for (uint64_t after = 0;;) {
        const CLive_Ring::sRead read = hub->Ring().Read(after, all, kLive_Page);
        for (const sViewer_Message& message : read.messages) census.Add(message);
        if (read.last == after) break;
        after = read.last;
      }
      // Hosts that have sent nothing the ring still holds are names to choose all the same.
      for (const sHost_Status& host : hub->Hosts()) census.Add_Host(host.name);
      json answer = Viewer_Json(census);
      answer["took_ms"] = Took_ms(start);
      return Send(connection, request, 200, Viewer_Dump(answer));
    }
    return Run_Off_Thread(connection, request, [this, source](const sRequest& q, sResult* r) {
      const tClock::time_point start = tClock::now();
      CName_Census census;
      std::vector<std::string> paths{source};
      if (CMerged_Query::Is_Merged(source) &&
          (r->status = Path_Status(merged->Sources(source, &paths), &r->answer)) != 0)
        return;
      const sScan_Budget budget = Budget(config.page_budget, q.connection);
      CStored_Query::sScan scan;
      for (const std::string& path : paths) {
        const CStored_Query::sScan one = query->Scan(
            path, CMessage_Filter(), 0,
            [&](const sViewer_Message& message) {
              census.Add(message);
              return true;
            },
            false, budget);
        scan.cut = scan.cut || one.cut;
        if (one.resolve != CServed_Directory::eResolve::Ok) scan.resolve = one.resolve;
      }
      if ((r->status = Path_Status(scan.resolve, &r->answer)) != 0) return;
      json answer = Viewer_Json(census);
      if (scan.cut) answer["cut"] = true;
      answer["took_ms"] = Took_ms(start);
      r->status = 200;
      r->answer = Viewer_Dump(answer);
    });
  }

  if (path == "/api/context") {
    uint64_t sequence = 0, lines = 0;
    if (!Param(request, "seq") || !Number(request, "seq", 0, &sequence) ||
        !Number(request, "lines", 10, &lines))
      return Send(connection, request, 400, Error_Text("seq and lines are numbers"));
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(lines, kMax_Context_Lines));
    const std::string source = Param(request, "source").value_or("live");
    auto context_json = [](const auto& context, json* answer) {
      json before = json::array(), after = json::array();
      for (const sViewer_Message& message : context.before) before.push_back(Viewer_Json(message));
      for (const sViewer_Message& message : context.after) after.push_back(Viewer_Json(message));
      (*answer)["before"] = before;
      (*answer)["after"] = after;
      (*answer)["message"] = context.found ? Viewer_Json(context.message) : json();
    };
    if (source == "live") {
      const tClock::time_point start = tClock::now();
      json answer;
      context_json(hub->Ring().Context(sequence, count), &answer);
      answer["took_ms"] = Took_ms(start);
      return Send(connection, request, 200, Viewer_Dump(answer));
    }
    return Run_Off_Thread(
        connection, request,
        [this, source, sequence, count, context_json](const sRequest& q, sResult* r) {
          const tClock::time_point start = tClock::now();
          const CStored_Query::sContext context =
              query->Context(source, sequence, count, Budget(config.page_budget, q.connection));
          if ((r->status = Path_Status(context.scan.resolve, &r->answer)) != 0) return;
          json answer;
          context_json(context, &answer);
          if (context.scan.cut) answer["cut"] = true;
          answer["took_ms"] = Took_ms(start);
          r->status = 200;
          r->answer = Viewer_Dump(answer);
        });
  }

  auto filter = std::make_shared<CMessage_Filter>();
  std::string problem;
  if (!filter->Parse(Params_Of(request), &problem))
    return Send(connection, request, 400, Error_Text(problem));

  if (path == "/api/live") {
    const tClock::time_point start = tClock::now();
    uint64_t after = 0, limit = 0;
    if (!Number(request, "after", 0, &after) || !Number(request, "limit", kLive_Page, &limit))
      return Send(connection, request, 400, Error_Text("after and limit are numbers"));
    const uint32_t count =
        static_cast<uint32_t>(std::clamp<uint64_t>(limit, 1, CStored_Query::kMax_Page));
    json answer = Live_Json(hub->Ring().Read(after, *filter, count));
    answer["took_ms"] = Took_ms(start);
    return Send(connection, request, 200, Viewer_Dump(answer));
  }

  if (path == "/api/events") {
    uint64_t after = 0;
    if (!Number(request, "after", 0, &after))
      return Send(connection, request, 400, Error_Text("after is a number"));
    // A page's browser reconnecting by itself names the last event it had: go on from there,
    // so that nothing is shown twice and what was missed in between counts as skipped.
    uint64_t last_event = 0;
    if (Parse_Decimal(Header(connection, MHD_HEADER_KIND, "Last-Event-ID"), &last_event))
      after = last_event;
    if (streams.fetch_add(1) >= config.max_streams) {
      --streams;
      return Send(connection, request, 503,
                  Error_Text("too many live streams open; poll /api/live"));
    }
    CViewer_Hub* const live = hub;
    auto position = std::make_shared<uint64_t>(after);
    auto quiet_since = std::make_shared<tClock::time_point>(tClock::now());
    auto produce = [this, live, filter, position, quiet_since](std::string* out) {
      if (stopping) return false;
      const CLive_Ring::sRead read = live->Ring().Read(*position, *filter, kLive_Page);
      *position = read.last;
      if (!read.messages.empty() || read.skipped) {
        *out = "event: messages\nid: " + std::to_string(read.last) +
               "\ndata: " + Viewer_Dump(Live_Json(read)) + "\n\n";
        *quiet_since = tClock::now();
      } else if (tClock::now() - *quiet_since >= kKeep_Alive) {
        *out = ": waiting\n\n";
        *quiet_since = tClock::now();
      }
      return true;
    };
    return Send_Feed(connection, request, New_Feed(connection, produce, true), "text/event-stream",
                     "");
  }

  const std::string source_param = Param(request, "source").value_or("");
  if (path == "/api/stored/messages" && CMerged_Query::Is_Merged(source_param)) {
    uint64_t limit = 0;
    if (!Number(request, "limit", 500, &limit))
      return Send(connection, request, 400, Error_Text("limit is a number"));
    const std::string after = Param(request, "after").value_or("");
    return Run_Off_Thread(
        connection, request,
        [this, filter, after, limit, source_param](const sRequest& q, sResult* r) {
          const tClock::time_point start = tClock::now();
          const CMerged_Query::sPage page = merged->Page(
              source_param, *filter, after,
              static_cast<uint32_t>(std::min<uint64_t>(limit, CStored_Query::kMax_Page)),
              Budget(config.page_budget, q.connection));
          if ((r->status = Path_Status(page.resolve, &r->answer)) != 0) return;
          if (!page.error.empty()) {
            r->status = 400;
            r->answer = Error_Text(page.error);
            return;
          }
          r->status = 200;
          r->answer = Viewer_Dump(Merged_Json(page, Took_ms(start)));
        });
  }

  if (path == "/api/stored/messages") {
    uint64_t after = 0, limit = 0;
    if (!Number(request, "after", 0, &after) || !Number(request, "limit", 500, &limit))
      return Send(connection, request, 400, Error_Text("after and limit are numbers"));
    return Run_Off_Thread(
        connection, request, [this, filter, after, limit](const sRequest& q, sResult* r) {
          const tClock::time_point start = tClock::now();
          const CStored_Query::sPage page = query->Page(
              Param(&q, "source").value_or(""), *filter, after,
              static_cast<uint32_t>(std::min<uint64_t>(limit, CStored_Query::kMax_Page)),
              Budget(config.page_budget, q.connection));
          if ((r->status = Path_Status(page.scan.resolve, &r->answer)) != 0) return;
          json messages = json::array();
          for (const sViewer_Message& message : page.messages)
            messages.push_back(Viewer_Json(message));
          const uint64_t next = page.next;
          json answer = {{"messages", messages},
                         {"more", page.more},
                         {"next", next},
                         {"scanned", page.scan.scanned},
                         {"problems", Viewer_Json(page.scan.problems)},
                         {"took_ms", Took_ms(start)}};
          if (page.scan.cut) answer["cut"] = true;
          r->status = 200;
          r->answer = Viewer_Dump(answer);
        });
  }

  if (path == "/api/stored/timeline") {
    uint64_t buckets = 0;
    if (!Number(request, "buckets", 120, &buckets) || buckets == 0)
      return Send(connection, request, 400, Error_Text("buckets is a number above 0"));
    return Run_Off_Thread(
        connection, request, [this, filter, buckets](const sRequest& q, sResult* r) {
          const tClock::time_point start = tClock::now();
          const std::string source = Param(&q, "source").value_or("");
          const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(buckets, 1000));
          const sScan_Budget budget = Budget(config.page_budget, q.connection);
          const CStored_Query::sTimeline timeline =
              CMerged_Query::Is_Merged(source) ? merged->Timeline(source, *filter, count, budget)
                                               : query->Timeline(source, *filter, count, budget);
          if ((r->status = Path_Status(timeline.scan.resolve, &r->answer)) != 0) return;
          json answer = {{"timeline", Viewer_Json(timeline.buckets)},
                         {"total", timeline.total},
                         {"problems", Viewer_Json(timeline.scan.problems)},
                         {"took_ms", Took_ms(start)}};
          if (timeline.scan.cut) answer["cut"] = true;
          r->status = 200;
          r->answer = Viewer_Dump(answer);
        });
  }

  if (path == "/api/export") {
    const std::string format = Param(request, "format").value_or("text");
    if (format != "text" && format != "json")
      return Send(connection, request, 400, Error_Text("format is text or json"));
    const bool as_json = format == "json";
    const std::string source = Param(request, "source").value_or("");
    const std::string disposition =
        as_json ? "attachment; filename=\"traces.jsonl\"" : "attachment; filename=\"traces.txt\"";
    const std::string type = as_json ? "application/x-ndjson" : "text/plain; charset=utf-8";
    if (source == "live") {
      CViewer_Hub* const live = hub;
      auto position = std::make_shared<uint64_t>(0);
      auto produce = [live, filter, position, as_json](std::string* out) {
        const CLive_Ring::sRead read = live->Ring().Read(*position, *filter, kLive_Page);
        if (read.last == *position) return false;
        *position = read.last;
        for (const sViewer_Message& message : read.messages) *out += Export_Line(message, as_json);
        return true;
      };
      return Send_Feed(connection, request, New_Feed(connection, produce), type, disposition);
    }
    if (CMerged_Query::Is_Merged(source)) {
      return Run_Off_Thread(
          connection, request,
          [this, filter, source, as_json, type, disposition, connection](const sRequest& q,
                                                                         sResult* r) {
            std::vector<std::string> paths;
            if ((r->status = Path_Status(merged->Sources(source, &paths), &r->answer)) != 0) return;
            std::shared_ptr<CAnswer_Feed> feed = r->Stream(New_Feed(connection), type, disposition);
            // Merged pages one after the other, in time order, until none is left.
            export_pool.Post([this, feed, filter, source, as_json, conn = q.connection] {
              const sScan_Budget budget = Budget(config.export_budget, conn, feed);
              std::string cursor;
              for (bool more = true; more && !budget.Spent();) {
                const CMerged_Query::sPage page =
                    merged->Page(source, *filter, cursor, CStored_Query::kMax_Page, budget);
                if (!page.error.empty()) break;
                std::string text;
                for (const CMerged_Query::sMessage& message : page.messages)
                  text += Export_Line(message.message, as_json);
                while (feed->Backlog() > kFeed_Backlog && !budget.Spent())
                  std::this_thread::sleep_for(std::chrono::milliseconds(10));
                if (budget.Spent() || (!text.empty() && !feed->Push(text))) break;
                more = page.more && page.next != cursor;
                cursor = page.next;
              }
              feed->Finish();
            });
          });
    }
    return Run_Off_Thread(
        connection, request,
        [this, filter, source, as_json, type, disposition, connection](const sRequest& q,
                                                                       sResult* r) {
          // The source is checked before the answer starts, so that a bad path gets its status.
          std::vector<CServed_Directory::sFile> files;
          if ((r->status = Path_Status(directory.Files(source, &files), &r->answer)) != 0) return;
          std::shared_ptr<CAnswer_Feed> feed = r->Stream(New_Feed(connection), type, disposition);
          // The rest runs after this job resumed the connection: a job of its own on the pool.
          export_pool.Post([this, feed, filter, source, as_json, conn = q.connection] {
            const sScan_Budget budget = Budget(config.export_budget, conn, feed);
            std::string text;
            auto flush = [&] {
              while (feed->Backlog() > kFeed_Backlog && !budget.Spent())
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
              const bool open = !budget.Spent() && feed->Push(text);
              text.clear();
              return open;
            };
            query->Scan(
                source, *filter, 0,
                [&](const sViewer_Message& message) {
                  text += Export_Line(message, as_json);
                  return text.size() < (64 << 10) || flush();
                },
                true, budget);
            if (!text.empty()) flush();
            feed->Finish();
          });
        });
  }
  return Send(connection, request, 404, Error_Text("no such request"));
}
