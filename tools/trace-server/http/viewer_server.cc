#include "viewer_server.h"

#include <errno.h>
#include <httplib.h>
#include <stdlib.h>

#include <chrono>
#include <optional>

#include <nlohmann/json.hpp>

#include "access_token.h"
#include "trace/format/trace_level.h"
#include "trace/viewer/viewer_json.h"
#include "viewer_assets.h"

using nlohmann::json;

namespace {

constexpr uint32_t kLive_Page = 1000;
constexpr auto kEvent_Poll = std::chrono::milliseconds(100);
constexpr int kKeep_Alive_Polls = 50;  // a comment every 5 s finds out when a page has gone

const char kJson[] = "application/json";
const char kSecurity_Policy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

void Answer(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(Viewer_Dump(body), kJson);
}

void Fail(httplib::Response& res, int status, const std::string& text) {
  Answer(res, status, json{{"error", text}});
}

CMessage_Filter::tParam Params_Of(const httplib::Request& req) {
  return [&req](const char* name) -> std::optional<std::string> {
    if (!req.has_param(name)) return std::nullopt;
    return req.get_param_value(name);
  };
}

bool Number_Param(const httplib::Request& req, const char* name, uint64_t fallback,
                  uint64_t* out) {
  *out = fallback;
  if (!req.has_param(name)) return true;
  const std::string text = req.get_param_value(name);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  *out = strtoull(text.c_str(), nullptr, 10);
  return errno == 0;  // ERANGE beyond 64 bits
}

// Reports a refused source path; true when `resolve` is Ok.
bool Path_Ok(httplib::Response& res, CServed_Directory::eResolve resolve) {
  switch (resolve) {
    case CServed_Directory::eResolve::Ok:
      return true;
    case CServed_Directory::eResolve::Bad_Path:
      Fail(res, 400, "malformed source path");
      return false;
    case CServed_Directory::eResolve::Outside:
      Fail(res, 403, "the source lies outside the served directory");
      return false;
    case CServed_Directory::eResolve::Missing:
      Fail(res, 404, "no such source");
      return false;
  }
  return false;
}

json Live_Json(const CLive_Ring::sRead& read) {
  json messages = json::array();
  for (const sViewer_Message& message : read.messages) messages.push_back(Viewer_Json(message));
  return json{{"messages", messages}, {"last", read.last}, {"skipped", read.skipped}};
}

std::string Export_Line(const sViewer_Message& message, bool as_json) {
  return (as_json ? Viewer_Dump(Viewer_Json(message)) : message.rendered) + "\n";
}

}  // namespace

CViewer_Server::CViewer_Server(const sConfig& config, CViewer_Hub* hub)
    : m_Config(config), m_Hub(hub) {}

CViewer_Server::~CViewer_Server() { Stop(); }

bool CViewer_Server::Start(std::string* error) {
  if (m_Config.token.empty()) {
    *error = "the viewer needs a token";
    return false;
  }
  m_Directory.Open(m_Config.directory);  // a directory that does not exist serves nothing
  m_Query = std::make_unique<CStored_Query>(m_Directory);
  m_Server = std::make_unique<httplib::Server>();
  m_Server->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  m_Server->set_payload_max_length(64 << 10);
  m_Server->set_keep_alive_timeout(5);
  Routes();
  int port = m_Config.port == 0 ? m_Server->bind_to_any_port(m_Config.host)
                                : (m_Server->bind_to_port(m_Config.host, m_Config.port)
                                       ? m_Config.port
                                       : -1);
  if (port <= 0) {
    *error = "cannot listen for the viewer on " + m_Config.host + ":" +
             std::to_string(m_Config.port);
    m_Server.reset();
    return false;
  }
  m_Port = static_cast<uint16_t>(port);
  m_Thread = std::thread([this] { m_Server->listen_after_bind(); });
  return true;
}

void CViewer_Server::Stop() {
  if (!m_Server) return;
  m_Hub->Stop();
  m_Server->stop();
  if (m_Thread.joinable()) m_Thread.join();
  m_Server.reset();
}

void CViewer_Server::Routes() {
  httplib::Server& server = *m_Server;

  server.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
    res.set_header("Content-Security-Policy", kSecurity_Policy);
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Cache-Control", "no-store");
  });

  for (const sViewer_Asset* asset = kViewer_Assets; asset->path; ++asset) {
    auto serve = [asset](const httplib::Request&, httplib::Response& res) {
      res.set_content(reinterpret_cast<const char*>(asset->data), asset->size,
                      asset->content_type);
    };
    server.Get(asset->path, serve);
    if (std::string(asset->path) == "/index.html") server.Get("/", serve);
  }

  // Browsers ask for an icon; the viewer has none.
  server.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });

  server.Get("/api/info", [this](const httplib::Request&, httplib::Response& res) {
    Answer(res, 200,
           json{{"version", m_Config.version},
                {"dir", m_Directory.Root()},
                {"ring", m_Hub->Ring().Capacity()}});
  });

  server.Get("/api/hosts", [this](const httplib::Request&, httplib::Response& res) {
    json hosts = json::array();
    for (const sHost_Status& host : m_Hub->Hosts()) hosts.push_back(Viewer_Json(host));
    Answer(res, 200, json{{"hosts", hosts}});
  });

  server.Get("/api/live", [this](const httplib::Request& req, httplib::Response& res) {
    CMessage_Filter filter;
    std::string problem;
    uint64_t after = 0, limit = 0;
    if (!filter.Parse(Params_Of(req), &problem)) return Fail(res, 400, problem);
    if (!Number_Param(req, "after", 0, &after) || !Number_Param(req, "limit", kLive_Page, &limit))
      return Fail(res, 400, "after and limit are numbers");
    const uint32_t count = static_cast<uint32_t>(std::clamp<uint64_t>(limit, 1, CStored_Query::kMax_Page));
    Answer(res, 200, Live_Json(m_Hub->Ring().Read(after, filter, count)));
  });

  server.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
    auto filter = std::make_shared<CMessage_Filter>();
    std::string problem;
    uint64_t after = 0;
    if (!filter->Parse(Params_Of(req), &problem)) return Fail(res, 400, problem);
    if (!Number_Param(req, "after", 0, &after)) return Fail(res, 400, "after is a number");
    // A page's browser reconnecting by itself names the last event it had: go on from there,
    // so that nothing is shown twice and what was missed in between counts as skipped.
    const std::string last_event = req.get_header_value("Last-Event-ID");
    if (!last_event.empty() && last_event.find_first_not_of("0123456789") == std::string::npos &&
        last_event.size() < 20)
      after = strtoull(last_event.c_str(), nullptr, 10);
    auto position = std::make_shared<uint64_t>(after);
    CViewer_Hub* hub = m_Hub;
    res.set_chunked_content_provider(
        "text/event-stream", [hub, filter, position](size_t, httplib::DataSink& sink) {
          for (int idle = 0; !hub->Stopping(); ++idle) {
            CLive_Ring::sRead read = hub->Ring().Read(*position, *filter, kLive_Page);
            *position = read.last;
            if (!read.messages.empty() || read.skipped) {
              const std::string event = "event: messages\nid: " + std::to_string(read.last) +
                                        "\ndata: " + Viewer_Dump(Live_Json(read)) + "\n\n";
              return sink.write(event.data(), event.size());
            }
            if (idle == kKeep_Alive_Polls) {
              idle = 0;
              if (!sink.write(": waiting\n\n", 11)) return false;
            }
            std::this_thread::sleep_for(kEvent_Poll);
          }
          sink.done();
          return true;
        });
  });

  server.Post("/api/verbosity", [this](const httplib::Request& req, httplib::Response& res) {
    if (!Token_Matches(m_Config.token, req.get_header_value("X-Trace-Token")))
      return Fail(res, 401, "this request needs the viewer's token (X-Trace-Token)");
    const json body = json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("host") || !body["host"].is_string() ||
        !body.contains("channel") || !body["channel"].is_string() || !body.contains("level"))
      return Fail(res, 400, "wants {\"host\",\"channel\",\"module\",\"level\"}");
    sVerbosity_Request request;
    request.host = body["host"].get<std::string>();
    request.channel = body["channel"].get<std::string>();
    if (body.contains("module")) {
      if (!body["module"].is_string()) return Fail(res, 400, "module is a text");
      request.module = body["module"].get<std::string>();
    }
    const json& level = body["level"];
    const std::string level_text = level.is_number_unsigned() ? std::to_string(level.get<uint64_t>())
                                   : level.is_string()        ? level.get<std::string>()
                                                              : std::string();
    if (!TRTrace_Parse_Level(level_text.c_str(), &request.level))
      return Fail(res, 400, "level is 0..5 or a level name");
    if (request.channel.empty() || request.channel.size() > 256 || request.module.size() > 256 ||
        request.channel.find('/') != std::string::npos ||
        request.module.find('/') != std::string::npos)
      return Fail(res, 400, "channel and module are names or IDs without '/'");
    if (!m_Hub->Post_Verbosity(request)) return Fail(res, 404, "no such connected host");
    Answer(res, 202, json{{"queued", true}});
  });

  server.Get("/api/stored/sources", [this](const httplib::Request&, httplib::Response& res) {
    Answer(res, 200,
           json{{"dir", m_Directory.Root()}, {"sources", Viewer_Json(m_Directory.Sources())}});
  });

  server.Get("/api/stored/messages", [this](const httplib::Request& req, httplib::Response& res) {
    CMessage_Filter filter;
    std::string problem;
    uint64_t after = 0, limit = 0;
    if (!filter.Parse(Params_Of(req), &problem)) return Fail(res, 400, problem);
    if (!Number_Param(req, "after", 0, &after) || !Number_Param(req, "limit", 500, &limit))
      return Fail(res, 400, "after and limit are numbers");
    const CStored_Query::sPage page = m_Query->Page(
        req.get_param_value("source"), filter, after,
        static_cast<uint32_t>(std::min<uint64_t>(limit, CStored_Query::kMax_Page)));
    if (!Path_Ok(res, page.scan.resolve)) return;
    json messages = json::array();
    for (const sViewer_Message& message : page.messages) messages.push_back(Viewer_Json(message));
    const uint64_t next = page.messages.empty() ? after : page.messages.back().sequence + 1;
    Answer(res, 200,
           json{{"messages", messages},
                {"more", page.more},
                {"next", next},
                {"scanned", page.scan.scanned},
                {"problems", Viewer_Json(page.scan.problems)}});
  });

  server.Get("/api/stored/timeline", [this](const httplib::Request& req, httplib::Response& res) {
    CMessage_Filter filter;
    std::string problem;
    uint64_t buckets = 0;
    if (!filter.Parse(Params_Of(req), &problem)) return Fail(res, 400, problem);
    if (!Number_Param(req, "buckets", 120, &buckets) || buckets == 0)
      return Fail(res, 400, "buckets is a number above 0");
    const CStored_Query::sTimeline timeline =
        m_Query->Timeline(req.get_param_value("source"), filter,
                          static_cast<uint32_t>(std::min<uint64_t>(buckets, 1000)));
    if (!Path_Ok(res, timeline.scan.resolve)) return;
    Answer(res, 200,
           json{{"timeline", Viewer_Json(timeline.buckets)},
                {"total", timeline.total},
                {"problems", Viewer_Json(timeline.scan.problems)}});
  });

  server.Get("/api/export", [this](const httplib::Request& req, httplib::Response& res) {
    auto filter = std::make_shared<CMessage_Filter>();
    std::string problem;
    if (!filter->Parse(Params_Of(req), &problem)) return Fail(res, 400, problem);
    const std::string format = req.has_param("format") ? req.get_param_value("format") : "text";
    if (format != "text" && format != "json") return Fail(res, 400, "format is text or json");
    const bool as_json = format == "json";
    const std::string source = req.get_param_value("source");
    res.set_header("Content-Disposition", as_json ? "attachment; filename=\"traces.jsonl\""
                                                  : "attachment; filename=\"traces.txt\"");
    const char* type = as_json ? "application/x-ndjson" : "text/plain; charset=utf-8";
    if (source == "live") {
      CViewer_Hub* hub = m_Hub;
      res.set_chunked_content_provider(type, [hub, filter, as_json](size_t, httplib::DataSink& sink) {
        uint64_t after = 0;
        for (;;) {
          CLive_Ring::sRead read = hub->Ring().Read(after, *filter, kLive_Page);
          if (read.last == after) break;
          after = read.last;
          std::string text;
          for (const sViewer_Message& message : read.messages) text += Export_Line(message, as_json);
          if (!text.empty() && !sink.write(text.data(), text.size())) return false;
        }
        sink.done();
        return true;
      });
      return;
    }
    // The source is checked before the answer starts, so that a bad path gets its status.
    std::vector<CServed_Directory::sFile> files;
    if (!Path_Ok(res, m_Directory.Files(source, &files))) return;
    CStored_Query* query = m_Query.get();
    res.set_chunked_content_provider(
        type, [query, filter, source, as_json](size_t, httplib::DataSink& sink) {
          std::string text;
          bool open = true;
          auto flush = [&] {
            open = open && sink.write(text.data(), text.size());
            text.clear();
            return open;
          };
          query->Scan(source, *filter, 0, [&](const sViewer_Message& message) {
            text += Export_Line(message, as_json);
            return text.size() < (64 << 10) || flush();
          }, true);
          if (!text.empty() && !flush()) return false;
          if (!open) return false;
          sink.done();
          return true;
        });
  });
}
