#include "server_options.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "mqw_version.h"

const char kTrace_Server_Version[] = "trace-server " MQW_VERSION "\n";

const char kTrace_Server_Usage[] =
    "Usage: trace-server [options]\n"
    "Receives trace streams from network sinks (/TR.Sink=Network) over UDP and stores each\n"
    "client's stream as binary trace files (\".trd\") that trace-cat reads; optionally prints the\n"
    "messages live.\n"
    "\n"
    "Every client (one network sink, known by its UDP address and port) gets its own directory\n"
    "under --dir, named NAME_ADDRESS_PID from the client name, its IP address and its process ID,\n"
    "with every character outside A-Z a-z 0-9 . _ - replaced by '_' (\"sensor_127.0.0.1_4242\").\n"
    "The directory is made with the client's first record, not at its hello. Two clients\n"
    "connected at once never share a directory: a second one under the same name (another\n"
    "process claiming the same name and process ID, say) gets \"-2\" appended, and so on.\n"
    "Each file begins with the binary file header (process ID, process start time and client name\n"
    "from the client's hello; host name = the client's IP address) and decodes by itself: a new\n"
    "file starts when the client starts over (a new hello) and at every roll, and a rolled file\n"
    "begins with the channels' descriptions (information, threads, modules, call sites).\n"
    "\n"
    "Options:\n"
    "  --listen ADDR:PORT   UDP address to listen on (default 127.0.0.1:9009). IPv6 as\n"
    "                       [::1]:9009. Port 0 takes a free port; the address bound is printed\n"
    "                       on standard output as \"listening on ADDR:PORT\". Listening on other\n"
    "                       interfaces (0.0.0.0, [::]) must be asked for explicitly.\n"
    "  --port-file PATH     also write the bound port number to PATH (for scripts and tests)\n"
    "  --dir DIR            directory of the client directories (default ./traces; created)\n"
    "  --roll RULE          roll each client's files as /TR.Roll= does: Nmb (megabytes per\n"
    "                       file), Nhr (hours per file), or H:MM[,H:MM...]tm (times of day)\n"
    "  --files N            keep at most N \".trd\" files per client directory (1..4096)\n"
    "  --fsize N            keep at most N megabytes of \".trd\" files per client directory\n"
    "                       (--files and --fsize hold after every write: the oldest files go)\n"
    "  --no-store           store nothing (with --print: a live viewer)\n"
    "  --print              print every message as a text line on standard output. Messages\n"
    "                       are decoded beside the receiving loop, which never waits for them:\n"
    "                       when a client sends faster than its messages can be decoded, some\n"
    "                       are not printed (nor shown in the viewer), counted as \"skipped\" in\n"
    "                       the statistics. One message's text is cut at 64 KiB (ending in\n"
    "                       \" [cut]\"), widths and precisions at 4096\n"
    "  --format TEMPLATE    line template of --print, as /TR.Format= (%cn channel, %id trace ID,\n"
    "                       %ix sequence, %tf %tm %ts date and time, %td time since the channel's\n"
    "                       start, %tc time count, %lv level, %ti thread ID, %tn thread name,\n"
    "                       %cc CPU, %mi module ID, %mn module, %ff file path, %fs file name,\n"
    "                       %fl line, %fn function, %ms message); default:\n"
    "                       \"%cn #%ix [%tf] %lv Tr:#%ti:%tn CPU:%cc Md:%mn {%fs:%fl:%fn} %ms\"\n"
    "  --tag                prefix every printed line with the client's directory name and \": \"\n"
    "  --verbosity CLIENT/CHANNEL[/MODULE]=LEVEL\n"
    "                       set a verbosity in matching clients (may be repeated). CLIENT and\n"
    "                       names are shell patterns (\"*\" matches all); CHANNEL and MODULE may\n"
    "                       also be IDs. LEVEL: 0..5 or trace, debug, info, warning, error,\n"
    "                       critical. Sent each time a matching channel (or module) describes\n"
    "                       itself, so it holds across client restarts.\n"
    "  --http [ADDR:PORT]   serve the trace viewer, a web page with the live messages of every\n"
    "                       host, filters, a timeline, remote verbosity and the stored files of\n"
    "                       --dir, on ADDR:PORT (default 127.0.0.1:8080; port 0 takes a free\n"
    "                       one). Prints \"viewer on http://ADDR:PORT/#token=TOKEN\" on standard\n"
    "                       output: open that address.\n"
    "  --http-token TOKEN   the token every request for data or a change must carry; it shows\n"
    "                       in ps and /proc to every local user: prefer --http-token-file.\n"
    "                       Without either, a random one is generated and printed\n"
    "  --http-token-file FILE\n"
    "                       read the viewer's token from the first line of FILE (trimmed; an\n"
    "                       empty or unreadable file is an error)\n"
    "  --http-allow-host NAME\n"
    "                       also answer requests whose Host is NAME (may be repeated); without\n"
    "                       it only the --http address, localhost and loopback addresses are\n"
    "                       answered (others get 403, against DNS rebinding)\n"
    "  --http-ring N        live messages the viewer keeps for pages (default 50000); a page\n"
    "                       that falls further behind is told how many it skipped\n"
    "  --index URL          index every stored message into the PostgreSQL database URL\n"
    "                       (postgresql://[USER@]HOST[:PORT]/DB or key=value words), where the\n"
    "                       viewer's \"fleet\" source searches every host of every server sharing\n"
    "                       it. The password comes from PGPASSFILE (~/.pgpass), PGPASSWORD or a\n"
    "                       service file (PGSERVICE), never the command line. The schema is made\n"
    "                       or upgraded at start; a bad URL, a refused login or a schema newer\n"
    "                       than this server ends the server at start (exit status 2). With the\n"
    "                       database down later, receiving and storing go on and indexing\n"
    "                       resumes where it stopped; the lag is in --stats and the viewer\n"
    "  --index-level LEVEL  index only messages at LEVEL or above (0..5 or trace .. critical;\n"
    "                       default trace: everything); the files keep everything\n"
    "  --index-days N       keep N days of messages in the index (whole days are dropped;\n"
    "                       default 0: keep all)\n"
    "  --index-name NAME    this server's name in the index, unique among the servers sharing\n"
    "                       it and the same across restarts (default HOSTNAME:PORT of --listen)\n"
    "  --client-memory MB   memory one client may make the server keep (its descriptions,\n"
    "                       threads, modules, channel names and decoding state; default 64).\n"
    "                       A client that asks for more is disconnected, its files closed, and\n"
    "                       it is named in the statistics and the viewer\n"
    "  --max-clients-per-address N\n"
    "                       sessions one source address may hold at once (default 16); further\n"
    "                       hellos from that address are refused. A client that sends no\n"
    "                       trace data within 30 s of its hello is disconnected\n"
    "  --max-total MB       total size of the trace files under --dir (default 4096; 0: no\n"
    "                       limit). Checked every second: over it, the oldest files of the\n"
    "                       largest client directories are removed first, never a file being\n"
    "                       written\n"
    "  --stats SECONDS      print per-client statistics on standard error every SECONDS\n"
    "                       (they are always printed at exit)\n"
    "  --idle SECONDS       forget a client not heard from for SECONDS (default 60; clients ping\n"
    "                       every second)\n"
    "  --drop-percent N     testing aid: drop N percent of the received data packets at random,\n"
    "                       as a lossy network would, to exercise loss reports and resending\n"
    "  --drop-seed N        seed of --drop-percent's random choice (default 1)\n"
    "  -h, --help           show this text\n"
    "  --version            show the version\n"
    "\n"
    "SIGINT or SIGTERM ends the server: it writes out what it holds, closes its files and prints\n"
    "the statistics (records, packets lost and resent, bad datagrams, messages skipped, clients\n"
    "over their memory budget, per client).\n"
    "\n"
    "Example: a host started with \"/TR.Sink=Network /TR.Addr=127.0.0.1 /TR.Port=9009\", then\n"
    "  trace-server --dir traces --print\n"
    "  trace-cat traces/myapp_127.0.0.1_4242\n"
    "\n"
    "Exit status: 0 after a signal; 1 when the address cannot be bound or the directory made;\n"
    "2 for wrong usage and for an --index database that cannot be used.\n";

namespace {

bool Number(const char* text, long low, long high, long* value) {
  char* end = nullptr;
  errno = 0;
  const long parsed = strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0 || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

}  // namespace

bool Split_Listen_Address(const std::string& text, std::string* host, std::string* port) {
  size_t colon;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
      return false;
    *host = text.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = text.rfind(':');
    if (colon == std::string::npos || text.find(':') != colon) return false;
    *host = text.substr(0, colon);
  }
  *port = text.substr(colon + 1);
  long number;
  return !host->empty() && Number(port->c_str(), 0, 65535, &number);
}

bool Parse_Server_Options(int argc, char** argv, sServer_Options* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool has_value = false;
    const size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
      has_value = true;
    }
    auto take = [&](std::string* out) {
      if (has_value) {
        *out = value;
        return true;
      }
      if (i + 1 >= argc) {
        *error = "option \"" + arg + "\" needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    auto take_number = [&](long low, long high, long* out) {
      std::string text;
      if (!take(&text)) return false;
      if (!Number(text.c_str(), low, high, out)) {
        *error = "option \"" + arg + "\": \"" + text + "\" is not a number from " +
                 std::to_string(low) + " to " + std::to_string(high);
        return false;
      }
      return true;
    };
    long number = 0;
    if (arg == "-h" || arg == "--help") {
      options->help = true;
    } else if (arg == "--version") {
      options->version = true;
    } else if (arg == "--print") {
      options->print = true;
    } else if (arg == "--tag") {
      options->tag = true;
    } else if (arg == "--no-store") {
      options->store = false;
    } else if (arg == "--listen") {
      if (!take(&options->listen)) return false;
      std::string host, port;
      if (!Split_Listen_Address(options->listen, &host, &port)) {
        *error = "--listen wants ADDR:PORT or [ADDR6]:PORT, not \"" + options->listen + "\"";
        return false;
      }
    } else if (arg == "--port-file") {
      if (!take(&options->port_file)) return false;
    } else if (arg == "--dir") {
      if (!take(&options->directory)) return false;
      if (options->directory.empty()) {
        *error = "--dir must not be empty";
        return false;
      }
    } else if (arg == "--format") {
      if (!take(&options->format)) return false;
    } else if (arg == "--roll") {
      if (!take(&options->roll)) return false;
    } else if (arg == "--files") {
      if (!take_number(0, 4096, &options->files)) return false;
    } else if (arg == "--fsize") {
      if (!take_number(0, 0x7FFFFFFF, &options->fsize)) return false;
    } else if (arg == "--stats") {
      if (!take_number(0, 86400, &number)) return false;
      options->stats_seconds = static_cast<uint32_t>(number);
    } else if (arg == "--idle") {
      if (!take_number(1, 86400, &number)) return false;
      options->idle_seconds = static_cast<uint32_t>(number);
    } else if (arg == "--client-memory") {
      if (!take_number(1, 1 << 20, &number)) return false;
      options->client_memory_mb = static_cast<uint32_t>(number);
    } else if (arg == "--max-clients-per-address") {
      if (!take_number(1, 65535, &number)) return false;
      options->max_clients_per_address = static_cast<uint32_t>(number);
    } else if (arg == "--max-total") {
      if (!take_number(0, 0x7FFFFFFF, &number)) return false;
      options->max_total_mb = static_cast<uint32_t>(number);
    } else if (arg == "--http") {
      // The address is optional: a following word that is not an option is taken as it.
      if (has_value) {
        options->http = value;
      } else if (i + 1 < argc && argv[i + 1][0] != '-') {
        options->http = argv[++i];
      } else {
        options->http = "127.0.0.1:8080";
      }
      std::string host, port;
      if (!Split_Listen_Address(options->http, &host, &port)) {
        *error = "--http wants ADDR:PORT or [ADDR6]:PORT, not \"" + options->http + "\"";
        return false;
      }
    } else if (arg == "--http-token") {
      if (!take(&options->http_token)) return false;
      if (options->http_token.empty() || options->http_token.size() > 256) {
        *error = "--http-token wants 1 to 256 characters";
        return false;
      }
    } else if (arg == "--http-token-file") {
      if (!take(&options->http_token_file)) return false;
      if (options->http_token_file.empty()) {
        *error = "--http-token-file wants a file name";
        return false;
      }
    } else if (arg == "--http-allow-host") {
      std::string name;
      if (!take(&name)) return false;
      if (name.empty() || name.size() > 253 || name.find_first_of(":/[] ") != std::string::npos) {
        *error = "--http-allow-host wants a host name without port, not \"" + name + "\"";
        return false;
      }
      options->http_allow_hosts.push_back(name);
    } else if (arg == "--http-ring") {
      if (!take_number(1, 10000000, &number)) return false;
      options->http_ring = static_cast<uint32_t>(number);
    } else if (arg == "--index") {
      if (!take(&options->index_url)) return false;
      if (options->index_url.empty()) {
        *error = "--index wants a database URL";
        return false;
      }
    } else if (arg == "--index-name") {
      if (!take(&options->index_name)) return false;
      if (options->index_name.empty() || options->index_name.size() > 200) {
        *error = "--index-name wants 1 to 200 characters";
        return false;
      }
    } else if (arg == "--index-level") {
      std::string text;
      if (!take(&text)) return false;
      static const char* const kLevels[] = {"trace", "debug", "info", "warning", "error", "critical"};
      bool known = false;
      for (uint32_t level = 0; level < 6; ++level)
        if (text == kLevels[level] || text == std::to_string(level)) {
          options->index_level = level;
          known = true;
        }
      if (!known) {
        *error = "--index-level wants 0..5 or trace, debug, info, warning, error, critical, not \"" +
                 text + "\"";
        return false;
      }
    } else if (arg == "--index-days") {
      if (!take_number(0, 100000, &number)) return false;
      options->index_days = static_cast<uint32_t>(number);
    } else if (arg == "--drop-percent") {
      if (!take_number(0, 100, &number)) return false;
      options->drop_percent = static_cast<uint32_t>(number);
    } else if (arg == "--drop-seed") {
      if (!take_number(0, 0x7FFFFFFF, &number)) return false;
      options->drop_seed = static_cast<uint32_t>(number);
    } else if (arg == "--verbosity") {
      std::string text;
      if (!take(&text)) return false;
      sTRS_Verbosity_Rule rule;
      std::string problem;
      if (!TRS_Parse_Verbosity_Rule(text.c_str(), &rule, &problem)) {
        *error = "--verbosity \"" + text + "\": " + problem;
        return false;
      }
      options->verbosity.push_back(rule);
    } else {
      *error = "unknown option \"" + std::string(argv[i]) + "\"; see trace-server --help";
      return false;
    }
  }
  return true;
}
