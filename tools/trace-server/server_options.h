// The trace server tool's command line: what each option means is in the help text
// (kTrace_Server_Usage), which is also the manual page's body.
//
// Thread-safety: plain values; parsed once at start.
#ifndef TOOLS_TRACE_SERVER_SERVER_OPTIONS_H_
#define TOOLS_TRACE_SERVER_SERVER_OPTIONS_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "trace/server/verbosity_rule.h"

extern const char kTrace_Server_Usage[];
extern const char kTrace_Server_Version[];

struct sServer_Options {
  std::string listen = "127.0.0.1:9009";
  std::string directory = "./traces";
  std::string format;  // empty: the default line format
  std::string roll;    // "/TR.Roll=" value; empty: no rolling
  long files = 0;      // "/TR.Files=" value
  long fsize = 0;      // "/TR.FSize=" value (megabytes)
  bool print = false;
  bool tag = false;            // prefix printed lines with the client's directory name
  bool store = true;           // --no-store: print only
  uint32_t stats_seconds = 0;  // 0: statistics at exit only
  uint32_t idle_seconds = 60;
  uint32_t client_memory_mb = 64;        // per-client memory budget
  uint32_t max_clients_per_address = 16;  // sessions one source address may hold
  uint32_t max_total_mb = 4096;           // total size of --dir's trace files; 0: no quota
  std::string port_file;
  std::vector<sTRS_Verbosity_Rule> verbosity;
  std::string http;        // viewer address "ADDR:PORT"; empty: no viewer
  std::string http_token;  // empty: one is generated
  std::string http_token_file;  // read at start; takes the place of http_token
  std::vector<std::string> http_allow_hosts;  // Host names the viewer answers beside its own
  uint32_t http_ring = 50000;  // live messages the viewer keeps
  std::string index_url;     // --index: the fleet's database; empty: no index
  std::string index_name;    // this server's name in the index; empty: host name and port
  uint32_t index_level = 0;  // messages below it are not indexed
  uint32_t index_days = 0;   // day partitions kept; 0: all
  uint32_t drop_percent = 0;  // testing aid
  uint32_t drop_seed = 1;
  bool help = false;
  bool version = false;
};

// Parses argv[1..]; false with a message in `error` for a wrong command line.
bool Parse_Server_Options(int argc, char** argv, sServer_Options* options, std::string* error);

// Splits "ADDR:PORT" or "[ADDR6]:PORT" into host and port; false when malformed.
bool Split_Listen_Address(const std::string& text, std::string* host, std::string* port);

#endif  // TOOLS_TRACE_SERVER_SERVER_OPTIONS_H_
