// trace-server: receives trace streams from network sinks over UDP and stores each client's
// stream as binary trace files (".trd") that trace-cat reads; see kTrace_Server_Usage for the
// options.
//
// With --http the viewer's HTTP server runs on threads of its own beside the receiving loop; they
// share only the hub (trace/viewer/viewer_hub.h). The viewer stops before the files are closed;
// its Stop ends event streams and running scans at once (a scan's budget sees the stop), so a
// SIGTERM ends the process within a few seconds whatever requests are open.
//
// Signals: SIGINT and SIGTERM only write a byte to a self-pipe, which ends the serving loop; the
// files are then written out and closed on the main thread. SIGPIPE is ignored.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "server_app.h"
#include "server_options.h"
#include "trace/server/client_naming.h"
#include "trace/viewer/viewer_hub.h"
#if MQW_TRACE_VIEWER
#include "access_token.h"
#include "viewer_server.h"
#endif
#if MQW_TRACE_INDEX
#include "trd_indexer.h"
#if MQW_TRACE_VIEWER
#include "fleet_routes.h"
#endif
#endif

namespace {

int g_Wake_Write = -1;

void On_Stop_Signal(int) {
  const int saved = errno;
  const char byte = 1;
  if (write(g_Wake_Write, &byte, 1) < 0) {
    // Nothing else is safe here; the pipe is full only when a stop is already pending.
  }
  errno = saved;
}

#if MQW_TRACE_VIEWER
// Starts the viewer on options.http and prints its address with the token; null with a message
// on standard error when it cannot start.
std::unique_ptr<CViewer_Server> Start_Viewer(const sServer_Options& options,
                                             const std::string& token, CViewer_Hub* hub,
                                             CFleet_Routes* fleet) {
  CViewer_Server::sConfig config;
  std::string port;
  Split_Listen_Address(options.http, &config.host, &port);
  config.port = static_cast<uint16_t>(std::stoul(port));
  config.directory = options.directory;
  config.version = kTrace_Server_Version;
  if (!config.version.empty() && config.version.back() == '\n') config.version.pop_back();
  config.token = token.empty() ? Generate_Access_Token() : token;
  config.allowed_hosts = options.http_allow_hosts;
  config.fleet = fleet;
  auto viewer = std::make_unique<CViewer_Server>(config, hub);
  std::string error;
  if (!viewer->Start(&error)) {
    fprintf(stderr, "trace-server: %s\n", error.c_str());
    return nullptr;
  }
  const bool ipv6 = config.host.find(':') != std::string::npos;
  const std::string shown_host = ipv6 ? "[" + config.host + "]" : config.host;
  printf("viewer on http://%s:%u/#token=%s\n", shown_host.c_str(), viewer->Port(),
         config.token.c_str());
  if (!Is_Loopback_Host(config.host) && token.empty()) {
    fprintf(stderr,
            "trace-server: the viewer is reachable from other machines; its requests need the "
            "generated token %s (or give --http-token-file)\n",
            config.token.c_str());
  }
  if ((config.host == "0.0.0.0" || config.host == "::") && config.allowed_hosts.empty()) {
    fprintf(stderr,
            "trace-server: the viewer answers only requests for localhost, loopback addresses "
            "and %s; give --http-allow-host NAME for each name or address other machines use\n",
            config.host.c_str());
  }
  fflush(stdout);
  return viewer;
}
#endif

bool Write_Port_File(const std::string& path, uint16_t port) {
  const std::string temporary = path + ".tmp";
  FILE* file = fopen(temporary.c_str(), "w");
  if (!file) return false;
  fprintf(file, "%u\n", port);
  const bool written = fclose(file) == 0;
  return written && rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  sServer_Options options;
  std::string error;
  if (!Parse_Server_Options(argc, argv, &options, &error)) {
    fprintf(stderr, "trace-server: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    fputs(kTrace_Server_Usage, stdout);
    return 0;
  }
  if (options.version) {
    fputs(kTrace_Server_Version, stdout);
    return 0;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string http_token = options.http_token;
#if MQW_TRACE_VIEWER
  if (!options.http_token_file.empty() && !Read_Token_File(options.http_token_file, &http_token, &error)) {
    fprintf(stderr, "trace-server: %s\n", error.c_str());
    return 2;
  }
#endif

  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    perror("trace-server: pipe");
    return 1;
  }
  g_Wake_Write = wake[1];
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = On_Stop_Signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

#if !MQW_TRACE_VIEWER
  if (!options.http.empty()) {
    fprintf(stderr, "trace-server: this build has no viewer (--http)\n");
    return 2;
  }
#endif
  if (!options.index_url.empty() && !options.store) {
    fprintf(stderr, "trace-server: --index indexes the stored files: it cannot go with --no-store\n");
    return 2;
  }
#if MQW_TRACE_INDEX
  // The index is checked before anything is received: a bad URL, a refused login or a newer
  // schema ends the server at once, with the reason.
  std::unique_ptr<CTrd_Indexer> indexer;
  if (!options.index_url.empty()) {
    CTrd_Indexer::sConfig index;
    index.url = options.index_url;
    index.server = options.index_name.empty() ? Default_Index_Server_Name(options.listen)
                                              : options.index_name;
    index.directory = options.directory;
    index.min_level = options.index_level;
    index.keep_days = options.index_days;
    indexer = std::make_unique<CTrd_Indexer>(index);
    if (!indexer->Prepare(&error)) {
      fprintf(stderr, "trace-server: --index: %s\n", error.c_str());
      return 2;
    }
  }
#else
  if (!options.index_url.empty()) {
    fprintf(stderr, "trace-server: this build has no fleet index (--index)\n");
    return 2;
  }
#endif
  std::unique_ptr<CViewer_Hub> hub;
  if (!options.http.empty()) hub = std::make_unique<CViewer_Hub>(options.http_ring);
  CServer_App app(options);
  app.Set_Hub(hub.get());
#if MQW_TRACE_INDEX
  app.Set_Indexer(indexer.get());
#endif
  if (!app.Start(&error)) {
    fprintf(stderr, "trace-server: %s\n", error.c_str());
    return 1;
  }
  const sTP_Endpoint& bound = app.Socket().Bound();
  printf("listening on %s\n", TRS_Endpoint_Text(bound).c_str());
  fflush(stdout);
  if (!options.port_file.empty() && !Write_Port_File(options.port_file, ntohs(bound.port))) {
    fprintf(stderr, "trace-server: cannot write %s\n", options.port_file.c_str());
    return 1;
  }
#if MQW_TRACE_VIEWER
  std::unique_ptr<CViewer_Server> viewer;
  // The fleet source, when this server indexes; a server built without the index has none.
  CFleet_Routes* fleet_source = nullptr;
#if MQW_TRACE_INDEX
  std::unique_ptr<CFleet_Routes> fleet;
  if (indexer) {
    CTrd_Indexer* const shown = indexer.get();
    fleet = std::make_unique<CFleet_Routes>(options.index_url, [shown] {
      const CTrd_Indexer::sStatus status = shown->Status();
      return nlohmann::json{{"connected", status.connected},
                            {"rows", status.rows},
                            {"lag_messages", status.lag_messages},
                            {"lag_seconds", status.lag_seconds},
                            {"error", status.last_error}};
    });
    fleet_source = fleet.get();
  }
#endif
  if (hub) {
    viewer = Start_Viewer(options, http_token, hub.get(), fleet_source);
    if (!viewer) return 1;
  }
#endif
#if MQW_TRACE_INDEX
  if (indexer) indexer->Start();
#endif
  app.Run(wake[0]);
#if MQW_TRACE_VIEWER
  if (viewer) viewer->Stop();
#endif
  app.Finish();
#if MQW_TRACE_INDEX
  // After the files are written out and closed, so that the last round indexes them whole.
  if (indexer) indexer->Stop();
#endif
  close(wake[0]);
  close(wake[1]);
  return 0;
}
