#include "fleet_routes.h"

#include <chrono>

#include "trace/viewer/viewer_json.h"

using nlohmann::json;

namespace {

constexpr uint32_t kPage_Timeout_ms = 2000;
constexpr uint32_t kExport_Timeout_ms = 30000;
constexpr uint32_t kMax_Names = 1000;
constexpr uint64_t kMax_Context_Lines = 200;

// A fleet row in the viewer's JSON: `seq` is the row's identity (what /api/context takes),
// `record_seq` the record's own number in its client's stream.
json Row_Json(const sFleet_Row& row) {
  json out = Viewer_Json(row.message);
  out["record_seq"] = row.record_sequence;
  return out;
}

CFleet_Routes::sAnswer Error(int status, const std::string& text) {
  CFleet_Routes::sAnswer answer;
  answer.status = status;
  answer.body = Viewer_Dump(json{{"error", text}});
  return answer;
}

// The database's time-out or a query cancelled: 503; anything else about the query: 400.
int Status_Of(const std::string& error) {
  return error.find("statement timeout") != std::string::npos ||
                 error.find("busy") != std::string::npos ||
                 error.find("connect") != std::string::npos
             ? 503
             : 400;
}

std::string Text_Line(const sViewer_Message& message) {
  return Viewer_Local_Time(message.time_us) + " " + message.host + " " + message.channel + " " +
         Viewer_Level_Name(message.level) + " Tr:#" + std::to_string(message.thread_id) + ":" +
         message.thread + " Md:" + message.module + " {" + message.file + ":" +
         std::to_string(message.line) + ":" + message.function + "} " + message.text;
}

// A decimal parameter of at most `digits` digits (so that it fits what it is cast to).
bool Number(const sFleet_Filter::tParam& param, const char* name, uint64_t fallback, uint64_t* out,
            size_t digits = 9) {
  const std::string text = param(name).value_or("");
  *out = fallback;
  if (text.empty()) return true;
  if (text.find_first_not_of("0123456789") != std::string::npos || text.size() > digits)
    return false;
  *out = std::stoull(text);
  return true;
}

}  // namespace

bool CFleet_Routes::Serves(const std::string& path) {
  return path == "/api/stored/messages" || path == "/api/stored/timeline" ||
         path == "/api/export" || path == "/api/names" || path == "/api/context";
}

json CFleet_Routes::Source_Entry() {
  return json{{"path", "fleet"}, {"kind", "fleet"}, {"files", json::array()}};
}

CFleet_Routes::sAnswer CFleet_Routes::Answer(const std::string& path,
                                             const sFleet_Filter::tParam& param) {
  const auto start = std::chrono::steady_clock::now();
  sFleet_Filter filter;
  std::string error;
  if (!filter.Parse(param, &error)) return Error(400, error);
  std::unique_ptr<CFleet_Query> query = m_Pool.Take(&error);
  if (!query) return Error(503, error);
  struct sGive_Back {
    CFleet_Pool* pool;
    std::unique_ptr<CFleet_Query>* query;
    ~sGive_Back() { pool->Give(std::move(*query)); }
  } give_back{&m_Pool, &query};
  auto took_ms = [&] {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
  };
  sAnswer answer;
  if (path == "/api/stored/messages") {
    uint64_t limit = 0;
    if (!Number(param, "limit", 500, &limit)) return Error(400, "limit is a number");
    CFleet_Query::sPage page;
    if (!query->Page(filter, static_cast<uint32_t>(limit), kPage_Timeout_ms, &page, &error))
      return Error(Status_Of(error), error);
    json messages = json::array();
    for (const sFleet_Row& row : page.messages) messages.push_back(Row_Json(row));
    answer.body = Viewer_Dump(json{{"messages", messages},
                                   {"more", page.more},
                                   {"next", page.next},
                                   {"took_ms", took_ms()},
                                   {"problems", json::array()},
                                   {"cut", false}});
    return answer;
  }
  if (path == "/api/context") {
    uint64_t id = 0, lines = 0;
    if (!param("seq") || !Number(param, "seq", 0, &id, 18) || !Number(param, "lines", 10, &lines))
      return Error(400, "seq and lines are numbers");
    CFleet_Query::sContext context;
    if (!query->Context(id, static_cast<uint32_t>(std::min(lines, kMax_Context_Lines)),
                        kPage_Timeout_ms, &context, &error))
      return Error(Status_Of(error), error);
    json before = json::array(), after = json::array();
    for (const sFleet_Row& row : context.before) before.push_back(Row_Json(row));
    for (const sFleet_Row& row : context.after) after.push_back(Row_Json(row));
    answer.body = Viewer_Dump(json{{"message", context.found ? Row_Json(context.row) : json()},
                                   {"before", before},
                                   {"after", after},
                                   {"took_ms", took_ms()}});
    return answer;
  }
  if (path == "/api/names") {
    CFleet_Query::sNames names;
    if (!query->Names(filter, kMax_Names, kPage_Timeout_ms, &names, &error))
      return Error(Status_Of(error), error);
    answer.body = Viewer_Dump(json{{"hosts", names.hosts},
                                   {"channels", names.channels},
                                   {"modules", names.modules},
                                   {"threads", names.threads},
                                   {"omitted", names.omitted},
                                   {"took_ms", took_ms()}});
    return answer;
  }
  if (path == "/api/stored/timeline") {
    uint64_t buckets = 0;
    if (!Number(param, "buckets", 120, &buckets) || buckets == 0)
      return Error(400, "buckets is a number above 0");
    CTimeline::sBuckets built;
    uint64_t total = 0;
    if (!query->Timeline(filter, static_cast<uint32_t>(std::min<uint64_t>(buckets, 1000)),
                         kPage_Timeout_ms, &built, &total, &error))
      return Error(Status_Of(error), error);
    answer.body = Viewer_Dump(json{{"timeline", Viewer_Json(built)},
                                   {"total", total},
                                   {"took_ms", took_ms()},
                                   {"problems", json::array()},
                                   {"cut", false}});
    return answer;
  }
  // Export.
  const std::string format = param("format").value_or("text");
  if (format != "text" && format != "json") return Error(400, "format is text or json");
  const bool as_json = format == "json";
  uint64_t count = 0;
  if (!query->Each(
          filter, kExport_Timeout_ms,
          [&](const sFleet_Row& row) {
            answer.body += (as_json ? Viewer_Dump(Row_Json(row)) : Text_Line(row.message)) + "\n";
            return ++count < kMax_Export;
          },
          &error))
    return Error(Status_Of(error), error);
  answer.content_type = as_json ? "application/x-ndjson" : "text/plain; charset=utf-8";
  answer.disposition =
      as_json ? "attachment; filename=\"fleet.jsonl\"" : "attachment; filename=\"fleet.txt\"";
  return answer;
}
