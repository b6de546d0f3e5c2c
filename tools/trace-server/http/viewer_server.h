// CViewer_Server: the trace viewer's HTTP side: the page (built-in assets) and a small JSON API,
// served from the hub that the receiving loop fills and from the stored files of one directory.
//
// API (GET unless said otherwise; filters = level, host, channel, module, thread, text, re, case,
// from_us, to_us, order as CMessage_Filter reads them; every query's answer has "took_ms"):
//   /api/info                     {"version","dir","ring","fleet"}
//   /api/hosts                    {"hosts":[host...]}
//   /api/live?after=N&limit=M&filters
//                                 {"messages":[...],"last":N,"skipped":K}: live messages numbered
//                                 above N from the ring; give "last" as the next "after"
//   /api/events?after=N&filters   server-sent events: "messages" events with the same JSON as
//                                 /api/live as messages arrive (K > 0: the page fell behind and
//                                 that many were dropped for it), each with its "last" as event
//                                 ID (a reconnecting browser sends it back in Last-Event-ID and
//                                 goes on from there), a comment every few seconds; 503 when
//                                 max_streams are open (the page then polls /api/live)
//   POST /api/verbosity           body {"host","channel","module","level"}; 202 queued,
//                                 400 malformed, 404 no such connected host
//   /api/stored/sources           {"dir","sources":[{"path","kind","files":[{"path","bytes"}]}]}
//   /api/stored/messages?source=P&after=N&limit=M&filters
//                                 {"messages":[...],"more":bool,"next":N,"scanned":S,
//                                  "problems":[{"file","error"}]} and "cut":true when the scan's
//                                 budget ran out first (ask again from "next" to go on)
//   /api/names?source=live|P        {"hosts","channels","modules","threads":[names],"omitted"}: the
//                                 names the source holds (at most 500 of each), for choosing
//   /api/context?source=live|P&seq=N&lines=L
//                                 {"before":[...],"message":m or null,"after":[...]}: message N
//                                 of the source and up to L (default 10, at most 200) messages of
//                                 the same host either side, unfiltered
//   /api/stored/timeline?source=P&buckets=B&filters
//                                 {"timeline":{...},"total":T,"problems":[...]} (and "cut")
//   /api/export?source=live|P&format=text|json&filters
//                                 the filtered messages as text lines (the line format) or as JSON
//                                 lines, downloaded as an attachment
// A stored source P may be "*" or a comma list of paths (CMerged_Query): messages, timeline,
// names and export then merge the sources by time; "next" is a text cursor and every message
// carries its "source".
// Paths: 400 for a malformed source path, 403 for one that leads out of the directory, 404 for
// one that does not exist. Errors answer {"error": text}.
//
// Who may ask (request_rules.h): a request whose Host is not ours gets 403 and an empty body
// (DNS rebinding); every /api request needs the token, in the X-Trace-Token header or (GET
// only) in the cookie the server sets in answer to a request that carried it in the header;
// without it 401 and no data. A POST whose Origin is present and not ours gets 403. The page's
// own files need nothing.
//
// Every answer carries a content security policy that allows scripts, styles and connections
// from the viewer itself only, and nosniff, so that even a trace text that reached the page as
// markup could not run.
//
// Bounds (sConfig): no connection can hold the server. One polling thread serves every
// connection; a connection whose request headers are not complete within header_timeout of its
// start (or of its previous answer plus idle_timeout on a kept-alive connection) is cut, however
// slowly its bytes trickle; headers are limited in count and size (431), bodies in size (413),
// connections in total and per address; Range is ignored (the whole answer). Event streams are
// suspended between events and hold no thread; a timer thread wakes them. Scans of stored files
// run on a small pool of their own threads with a time budget, and stop when the requester has
// gone or the server stops.
//
// Ownership: the hub must outlive the server. Thread-safety: Start and Stop from one thread.
#ifndef TOOLS_TRACE_SERVER_HTTP_VIEWER_SERVER_H_
#define TOOLS_TRACE_SERVER_HTTP_VIEWER_SERVER_H_

#include <stdint.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "trace/viewer/viewer_hub.h"

class CFleet_Routes;

class CViewer_Server {
 public:
  struct sConfig {
    std::string host = "127.0.0.1";
    uint16_t port = 8080;   // 0: any free port
    std::string token;      // required for every /api request; must not be empty
    std::string directory;  // the stored files served
    std::string version;
    std::vector<std::string> allowed_hosts;  // Host names accepted beside ours and loopback

    std::chrono::milliseconds header_timeout{10000};  // request headers complete within this
    std::chrono::milliseconds idle_timeout{30000};    // a kept-alive connection waits this long
    size_t max_headers = 100;
    size_t max_header_bytes = 16 << 10;  // names and values of all headers together
    size_t max_body = 64 << 10;
    unsigned max_connections = 64;
    unsigned max_per_address = 16;
    unsigned max_streams = 32;            // open event streams
    size_t connection_memory = 48 << 10;  // the library's buffer per connection
    unsigned scan_threads = 2;            // for pages and timelines, and as many again for exports
    std::chrono::milliseconds page_budget{2000};     // a page or timeline of stored files
    std::chrono::milliseconds export_budget{30000};  // an export of stored files
    // With --index: the "fleet" source (fleet_routes.h) answers source=fleet; not owned, must
    // outlive the server. Null: no fleet source.
    CFleet_Routes* fleet = nullptr;
  };

  // `hub` must outlive the server.
  CViewer_Server(const sConfig& config, CViewer_Hub* hub);
  ~CViewer_Server();

  CViewer_Server(const CViewer_Server&) = delete;
  CViewer_Server& operator=(const CViewer_Server&) = delete;

  // Binds and starts serving on threads of its own; false with `error`.
  bool Start(std::string* error);
  // The bound port.
  uint16_t Port() const { return m_Port; }
  // Ends the event streams and running scans, stops serving and joins the threads; returns
  // within about a second whatever requests are running.
  void Stop();

  struct sState;  // the library's side; defined with the server's code

 private:
  const sConfig m_Config;
  CViewer_Hub* const m_Hub;
  std::unique_ptr<sState> m_State;
  uint16_t m_Port = 0;
};

#endif  // TOOLS_TRACE_SERVER_HTTP_VIEWER_SERVER_H_
