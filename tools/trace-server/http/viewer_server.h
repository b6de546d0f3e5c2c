// CViewer_Server: the trace viewer's HTTP side: the page (built-in assets) and a small JSON API,
// served by its own threads from the hub that the receiving loop fills and from the stored files
// of one directory.
//
// API (GET unless said otherwise; filters = level, host, channel, module, thread, text, re,
// from_us, to_us as CMessage_Filter reads them):
//   /api/info                     {"version","dir","ring"}
//   /api/hosts                    {"hosts":[host...]}
//   /api/live?after=N&limit=M&filters
//                                 {"messages":[...],"last":N,"skipped":K}: live messages numbered
//                                 above N from the ring; give "last" as the next "after"
//   /api/events?after=N&filters   server-sent events: "messages" events with the same JSON as
//                                 /api/live as messages arrive (K > 0: the page fell behind and
//                                 that many were dropped for it), each with its "last" as event
//                                 ID (a reconnecting browser sends it back in Last-Event-ID and
//                                 goes on from there), a comment every few seconds
//   POST /api/verbosity           body {"host","channel","module","level"}, header X-Trace-Token;
//                                 202 queued, 400 malformed, 401 no or wrong token, 404 no such
//                                 connected host
//   /api/stored/sources           {"dir","sources":[{"path","files":[{"path","bytes"}]}]}
//   /api/stored/messages?source=P&after=N&limit=M&filters
//                                 {"messages":[...],"more":bool,"next":N,"scanned":S,
//                                  "problems":[{"file","error"}]}
//   /api/stored/timeline?source=P&buckets=B&filters
//                                 {"timeline":{...},"total":T,"problems":[...]}
//   /api/export?source=live|P&format=text|json&filters
//                                 the filtered messages as text lines (the line format) or as JSON
//                                 lines, downloaded as an attachment
// Paths: 400 for a malformed source path, 403 for one that leads out of the directory, 404 for
// one that does not exist. Errors answer {"error": text}.
//
// Every answer carries a content security policy that allows scripts, styles and connections
// from the viewer itself only, and nosniff, so that even a trace text that reached the page as
// markup could not run.
//
// Threads: a pool of kThreads serves requests; each open event stream holds one of them until
// the page goes away or Stop. A slow page never slows the receiving loop: it reads the ring at
// its own pace and is told what it skipped.
//
// Ownership: the hub must outlive the server. Thread-safety: Start and Stop from one thread.
#ifndef TOOLS_TRACE_SERVER_HTTP_VIEWER_SERVER_H_
#define TOOLS_TRACE_SERVER_HTTP_VIEWER_SERVER_H_

#include <stdint.h>

#include <memory>
#include <string>
#include <thread>

#include "trace/viewer/served_directory.h"
#include "trace/viewer/stored_query.h"
#include "trace/viewer/viewer_hub.h"

namespace httplib {
class Server;
}

class CViewer_Server {
 public:
  static constexpr size_t kThreads = 16;

  struct sConfig {
    std::string host = "127.0.0.1";
    uint16_t port = 8080;  // 0: any free port
    std::string token;     // required for changes; must not be empty
    std::string directory;  // the stored files served
    std::string version;
  };

  // `hub` must outlive the server.
  CViewer_Server(const sConfig& config, CViewer_Hub* hub);
  ~CViewer_Server();

  CViewer_Server(const CViewer_Server&) = delete;
  CViewer_Server& operator=(const CViewer_Server&) = delete;

  // Binds and starts serving on a thread of its own; false with `error`.
  bool Start(std::string* error);
  // The bound port.
  uint16_t Port() const { return m_Port; }
  // Ends the event streams, stops serving and joins the threads.
  void Stop();

 private:
  void Routes();

  const sConfig m_Config;
  CViewer_Hub* const m_Hub;
  CServed_Directory m_Directory;
  std::unique_ptr<CStored_Query> m_Query;
  std::unique_ptr<httplib::Server> m_Server;
  std::thread m_Thread;
  uint16_t m_Port = 0;
};

#endif  // TOOLS_TRACE_SERVER_HTTP_VIEWER_SERVER_H_
