#include "fleet_query.h"

#include <stdlib.h>
#include <time.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "index_schema.h"

namespace {

using nlohmann::json;

constexpr const char* kColumns =
    "SELECT (extract(epoch FROM time) * 1000000)::bigint, server, client, channel, sequence,"
    " level, thread, thread_name, module, file, line, function, left(message, 2048), id"
    " FROM trace_rows";

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

bool Unhex(const std::string& text, std::string* out) {
  if (text.size() % 2) return false;
  out->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    auto digit = [](char c) {
      return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    const int high = digit(text[i]), low = digit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    *out += static_cast<char>(high * 16 + low);
  }
  return true;
}

// A LIKE pattern that matches `text` literally.
std::string Like_Literal(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '%' || c == '_') out += '\\';
    out += c;
  }
  return out;
}

// A '*' pattern as a LIKE pattern.
std::string Like_Glob(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '*') {
      out += '%';
      continue;
    }
    if (c == '\\' || c == '%' || c == '_') out += '\\';
    out += c;
  }
  return out;
}

struct sSql {
  std::string where = " WHERE TRUE";
  std::vector<std::string> params;
  std::string Param(const std::string& value) {
    params.push_back(value);
    return "$" + std::to_string(params.size());
  }
  std::string Time(int64_t time_us) {
    return "('epoch'::timestamptz + " + Param(std::to_string(Index_Clamp_Time(time_us))) +
           "::bigint * interval '1 microsecond')";
  }
};

// One list parameter over `columns` (a row matches an item when any column matches it).
void Add_List(const std::vector<sFleet_Filter::sItem>& items,
              const std::vector<std::string>& columns, sSql* sql) {
  std::string included;
  for (const sFleet_Filter::sItem& item : items) {
    std::string any;
    for (const std::string& column : columns) {
      if (!any.empty()) any += " OR ";
      any += "coalesce(" + column + ", '')" +
             (item.pattern ? " LIKE " + sql->Param(Like_Glob(item.text))
                           : " = " + sql->Param(item.text));
    }
    if (item.exclude) {
      sql->where += " AND NOT (" + any + ")";
    } else {
      if (!included.empty()) included += " OR ";
      included += "(" + any + ")";
    }
  }
  if (!included.empty()) sql->where += " AND (" + included + ")";
}

sSql Where(const sFleet_Filter& filter) {
  sSql sql;
  if (filter.level > 0) sql.where += " AND level >= " + sql.Param(std::to_string(filter.level));
  if (filter.from_us != INT64_MIN) sql.where += " AND time >= " + sql.Time(filter.from_us);
  if (filter.to_us != INT64_MAX) sql.where += " AND time < " + sql.Time(filter.to_us);
  if (!filter.text.empty())
    sql.where += std::string(" AND message ") + (filter.case_sensitive ? "LIKE " : "ILIKE ") +
                 sql.Param("%" + Like_Literal(filter.text) + "%");
  if (!filter.re.empty())
    sql.where += std::string(" AND message ") + (filter.case_sensitive ? "~ " : "~* ") +
                 sql.Param(filter.re);
  Add_List(filter.hosts, {"client"}, &sql);
  Add_List(filter.channels, {"channel"}, &sql);
  Add_List(filter.modules, {"module"}, &sql);
  Add_List(filter.threads, {"thread_name", "thread::text"}, &sql);
  return sql;
}

std::vector<sFleet_Filter::sItem> List(const std::string& text) {
  std::vector<sFleet_Filter::sItem> items;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    std::string item = text.substr(start, comma - start);
    while (!item.empty() && item.front() == ' ') item.erase(0, 1);
    while (!item.empty() && item.back() == ' ') item.pop_back();
    if (!item.empty()) {
      sFleet_Filter::sItem parsed;
      if (item[0] == '!') {
        parsed.exclude = true;
        item.erase(0, 1);
      }
      parsed.pattern = item.find('*') != std::string::npos;
      parsed.text = item;
      if (!item.empty()) items.push_back(parsed);
    }
    start = comma + 1;
  }
  return items;
}

bool Int64(const std::string& text, int64_t* out) {
  char* end = nullptr;
  errno = 0;
  const long long value = strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end || errno) return false;
  *out = value;
  return true;
}

void Row_Message(const CPg_Result& rows, int row, sFleet_Row* out) {
  sViewer_Message* message = &out->message;
  out->record_sequence = static_cast<uint64_t>(rows.Number(row, 4));
  message->sequence = static_cast<uint64_t>(rows.Number(row, 13));
  message->time_us = rows.Number(row, 0);
  message->host = rows.Text(row, 2);
  message->channel = rows.Text(row, 3);
  message->level = static_cast<uint32_t>(rows.Number(row, 5));
  message->thread_id = static_cast<uint32_t>(rows.Number(row, 6));
  message->thread = rows.Text(row, 7);
  message->module = rows.Text(row, 8);
  message->file = rows.Text(row, 9);
  message->line = static_cast<uint32_t>(rows.Number(row, 10));
  message->function = rows.Text(row, 11);
  message->text = rows.Text(row, 12);
}

std::string Cursor_Of(const CPg_Result& rows, int row) {
  return Hex(json::array({rows.Number(row, 0), rows.Text(row, 1), rows.Text(row, 2),
                          rows.Text(row, 3), rows.Number(row, 4)})
                 .dump());
}

// Adds the keyset condition and the order; false for a cursor this server did not make.
bool Keyset(const sFleet_Filter& filter, sSql* sql, std::string* order, std::string* error) {
  const char* direction = filter.newest ? " DESC" : "";
  *order = std::string(" ORDER BY time") + direction + ", server" + direction + ", client" +
           direction + ", channel" + direction + ", sequence" + direction;
  if (filter.after.empty()) return true;
  std::string text;
  json cursor;
  if (Unhex(filter.after, &text)) cursor = json::parse(text, nullptr, false);
  if (!cursor.is_array() || cursor.size() != 5 || !cursor[0].is_number_integer() ||
      !cursor[1].is_string() || !cursor[2].is_string() || !cursor[3].is_string() ||
      !cursor[4].is_number_integer()) {
    *error = "after: not a cursor of this source";
    return false;
  }
  const std::string row = "(time, server, client, channel, sequence)";
  const std::string at = "(" + sql->Time(cursor[0].get<int64_t>()) + ", " +
                         sql->Param(cursor[1].get<std::string>()) + ", " +
                         sql->Param(cursor[2].get<std::string>()) + ", " +
                         sql->Param(cursor[3].get<std::string>()) + ", " +
                         sql->Param(std::to_string(cursor[4].get<int64_t>())) + "::bigint)";
  sql->where += " AND " + row + (filter.newest ? " < " : " > ") + at;
  return true;
}

}  // namespace

bool sFleet_Filter::Parse(const tParam& param, std::string* error) {
  if (auto value = param("level")) {
    static const char* const kNames[] = {"trace", "debug", "info", "warning", "error", "critical"};
    bool known = value->empty();
    for (uint32_t i = 0; i < 6; ++i)
      if (*value == kNames[i] || *value == std::to_string(i)) {
        level = i;
        known = true;
      }
    if (!known) {
      *error = "level: 0..5 or a level name";
      return false;
    }
  }
  text = param("text").value_or("");
  re = param("re").value_or("");
  if (re.size() > 256) {
    *error = "re: longer than 256 characters";
    return false;
  }
  case_sensitive = param("case").value_or("") == "1";
  for (const char* name : {"from_us", "to_us"}) {
    const std::string value = param(name).value_or("");
    if (value.empty()) continue;
    int64_t number = 0;
    if (!Int64(value, &number)) {
      *error = std::string(name) + ": not a number";
      return false;
    }
    (name[0] == 'f' ? from_us : to_us) = number;
  }
  hosts = List(param("host").value_or(""));
  channels = List(param("channel").value_or(""));
  modules = List(param("module").value_or(""));
  threads = List(param("thread").value_or(""));
  const std::string order = param("order").value_or("newest");
  if (order != "newest" && order != "oldest" && !order.empty()) {
    *error = "order: newest or oldest";
    return false;
  }
  newest = order != "oldest";
  after = param("after").value_or("");
  return true;
}

bool CFleet_Query::Set_Timeout(uint32_t timeout_ms, std::string* error) {
  return m_Connection->Exec("SELECT set_config('statement_timeout', $1, false)",
                            {std::to_string(timeout_ms)}, nullptr, error);
}

bool CFleet_Query::Page(const sFleet_Filter& filter, uint32_t limit, uint32_t timeout_ms,
                        sPage* page, std::string* error) {
  limit = std::clamp<uint32_t>(limit, 1, kMax_Page);
  sSql sql = Where(filter);
  std::string order;
  if (!Keyset(filter, &sql, &order, error) || !Set_Timeout(timeout_ms, error)) return false;
  CPg_Result rows;
  if (!m_Connection->Exec(kColumns + sql.where + order + " LIMIT " + std::to_string(limit + 1),
                          sql.params, &rows, error))
    return false;
  const int shown = std::min<int>(rows.Rows(), static_cast<int>(limit));
  page->messages.resize(static_cast<size_t>(shown));
  for (int row = 0; row < shown; ++row) Row_Message(rows, row, &page->messages[row]);
  page->more = rows.Rows() > static_cast<int>(limit);
  page->next = shown > 0 ? Cursor_Of(rows, shown - 1) : filter.after;
  return true;
}

bool CFleet_Query::Timeline(const sFleet_Filter& filter, uint32_t max_buckets,
                            uint32_t timeout_ms, CTimeline::sBuckets* buckets, uint64_t* total,
                            std::string* error) {
  sSql sql = Where(filter);
  if (!Set_Timeout(timeout_ms, error)) return false;
  CPg_Result rows;
  if (!m_Connection->Exec("SELECT floor(extract(epoch FROM time))::bigint AS s, least(level, 5),"
                          " count(*) FROM trace_rows" +
                              sql.where + " GROUP BY 1, 2",
                          sql.params, &rows, error))
    return false;
  CTimeline timeline;
  for (int row = 0; row < rows.Rows(); ++row) {
    const int64_t time_us = rows.Number(row, 0) * 1000000;
    const uint32_t level = static_cast<uint32_t>(rows.Number(row, 1));
    for (int64_t n = rows.Number(row, 2); n > 0; --n) timeline.Add(time_us, level);
  }
  *total = timeline.Total();
  *buckets = timeline.Build(std::clamp<uint32_t>(max_buckets, 1, CTimeline::kMax_Buckets));
  return true;
}

bool CFleet_Query::Names(const sFleet_Filter& filter, uint32_t limit, uint32_t timeout_ms,
                         sNames* names, std::string* error) {
  int64_t from_us = filter.from_us, to_us = filter.to_us;
  if (from_us == INT64_MIN && to_us == INT64_MAX) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    from_us = (static_cast<int64_t>(now.tv_sec) - 86400) * 1000000;
  }
  // The days the range touches (its end excluded), read from trace_names' primary key.
  const int64_t first_day = from_us == INT64_MIN ? 0 : Index_Day(from_us);
  const int64_t last_day = Index_Day(to_us == INT64_MIN || to_us == INT64_MAX ? to_us : to_us - 1);
  if (!Set_Timeout(timeout_ms, error)) return false;
  std::vector<std::string>* const kinds[] = {&names->hosts, &names->channels, &names->modules,
                                             &names->threads};
  for (int kind = 0; kind < 4; ++kind) {
    sSql sql;
    sql.where += " AND day BETWEEN 'epoch'::date + " + sql.Param(std::to_string(first_day)) +
                 "::integer AND 'epoch'::date + " + sql.Param(std::to_string(last_day)) +
                 "::integer AND kind = " + sql.Param(std::to_string(kind));
    Add_List(filter.hosts, {"client"}, &sql);
    CPg_Result rows;
    if (!m_Connection->Exec("SELECT DISTINCT name FROM trace_names" + sql.where +
                                " ORDER BY 1 LIMIT " + std::to_string(limit + 1),
                            sql.params, &rows, error))
      return false;
    for (int row = 0; row < rows.Rows() && row < static_cast<int>(limit); ++row)
      kinds[kind]->push_back(rows.Text(row, 0));
    if (rows.Rows() > static_cast<int>(limit)) ++names->omitted;
  }
  return true;
}

bool CFleet_Query::Each(const sFleet_Filter& filter, uint32_t timeout_ms,
                        const std::function<bool(const sFleet_Row&)>& visit, std::string* error) {
  sFleet_Filter next = filter;
  for (;;) {
    sPage page;
    if (!Page(next, kMax_Page, timeout_ms, &page, error)) return false;
    for (const sFleet_Row& row : page.messages)
      if (!visit(row)) return true;
    if (!page.more) return true;
    next.after = page.next;
  }
}

bool CFleet_Query::Context(uint64_t id, uint32_t lines, uint32_t timeout_ms, sContext* context,
                           std::string* error) {
  *context = sContext();
  if (!Set_Timeout(timeout_ms, error)) return false;
  CPg_Result rows;
  if (!m_Connection->Exec(std::string(kColumns) + " WHERE id = $1 LIMIT 1", {std::to_string(id)},
                          &rows, error))
    return false;
  if (rows.Rows() == 0) return true;
  context->found = true;
  Row_Message(rows, 0, &context->row);
  if (lines == 0) return true;
  // Each side reads the client's (client, time) index from the row outwards; the time bound
  // lets every partition's scan start at the row's time, the row comparison breaks ties.
  const std::string key = "(time, coalesce(sequence, 0), id)";
  for (const bool before : {true, false}) {
    sSql sql;
    sql.where += " AND client = " + sql.Param(rows.Text(0, 2));
    const std::string at = sql.Time(rows.Number(0, 0));
    sql.where += " AND time " + std::string(before ? "<= " : ">= ") + at;
    sql.where += " AND " + key + (before ? " < " : " > ") + "(" + at + ", " +
                 sql.Param(std::to_string(context->row.record_sequence)) + "::bigint, " +
                 sql.Param(std::to_string(id)) + "::bigint)";
    const char* direction = before ? " DESC" : "";
    const std::string order = std::string(" ORDER BY time") + direction +
                              ", coalesce(sequence, 0)" + direction + ", id" + direction;
    CPg_Result side;
    if (!m_Connection->Exec(kColumns + sql.where + order + " LIMIT " + std::to_string(lines),
                            sql.params, &side, error))
      return false;
    std::vector<sFleet_Row>* out = before ? &context->before : &context->after;
    out->resize(static_cast<size_t>(side.Rows()));
    for (int row = 0; row < side.Rows(); ++row)
      Row_Message(side, row, &(*out)[before ? side.Rows() - 1 - row : row]);
  }
  return true;
}

std::unique_ptr<CFleet_Query> CFleet_Pool::Take(std::string* error) {
  {
    CLockGuard guard(&m_Lock);
    if (!m_Idle.empty()) {
      auto query = std::move(m_Idle.back());
      m_Idle.pop_back();
      ++m_Out;
      return query;
    }
    if (m_Out >= m_Size) {
      *error = "the fleet's database is busy; try again";
      return nullptr;
    }
    ++m_Out;
  }
  auto connection = std::make_unique<CPg_Connection>();
  if (!connection->Connect(m_Url, error)) {
    CLockGuard guard(&m_Lock);
    --m_Out;
    return nullptr;
  }
  return std::make_unique<CFleet_Query>(std::move(connection));
}

void CFleet_Pool::Give(std::unique_ptr<CFleet_Query> query) {
  CLockGuard guard(&m_Lock);
  --m_Out;
  if (query && query->Healthy()) m_Idle.push_back(std::move(query));
}
