// trace-server: receives trace streams from network sinks over UDP and stores each client's
// stream as binary trace files (".trd") that trace-cat reads; see kTrace_Server_Usage for the
// options.
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

#include <string>

#include "server_app.h"
#include "server_options.h"
#include "trace/server/client_naming.h"

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

  CServer_App app(options);
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
  app.Run(wake[0]);
  app.Finish();
  close(wake[0]);
  close(wake[1]);
  return 0;
}
