// CFleet_Query: the viewer's questions about the fleet, answered from the index database: a page
// of messages, the timeline of a selection, every selected message (export).
//
// The selection (sFleet_Filter) is read from the same request parameters as a stored directory's:
//   level            minimum level, 0..5 or a name
//   text             a substring of the message; case-insensitive unless case=1
//   re               a regular expression the message matches (PostgreSQL's, case-insensitive
//                    unless case=1), under the statement time-out
//   from_us, to_us   microseconds since 1970, the end excluded
//   host, channel, module, thread
//                    comma-separated lists of exact names or patterns with '*'; an item starting
//                    with '!' excludes; a row matches when it matches any item that includes (or
//                    there is none) and no item that excludes. host is the client directory name;
//                    thread is the thread's name or its decimal ID
//   order            newest (default) or oldest
//   after            the previous page's "next": an opaque cursor
// Every value reaches the database as a parameter; the SQL text is built only from fixed pieces.
// Pages are keyset pages on (time, server, client, channel, sequence): a page reads the rows after
// the cursor in index order, never an offset, so deep pages cost what the first does.
//
// Thread-safety: a query owns one connection and serves one request at a time; a CFleet_Pool
// hands them out.
#ifndef TOOLS_TRACE_SERVER_INDEX_FLEET_QUERY_H_
#define TOOLS_TRACE_SERVER_INDEX_FLEET_QUERY_H_

#include <stdint.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pg_connection.h"
#include "trace/base/lock.h"
#include "trace/base/thread_annotations.h"
#include "trace/viewer/timeline.h"
#include "trace/viewer/viewer_message.h"

// A fleet row as the viewer shows it: `message.sequence` is the row's identity in the index
// (what /api/context names it by), `record_sequence` the record's own number in its client's
// stream.
struct sFleet_Row {
  sViewer_Message message;
  uint64_t record_sequence = 0;
};

struct sFleet_Filter {
  struct sItem {
    bool exclude = false;
    bool pattern = false;  // holds '*'
    std::string text;
  };
  uint32_t level = 0;
  std::string text;
  std::string re;
  bool case_sensitive = false;
  int64_t from_us = INT64_MIN;
  int64_t to_us = INT64_MAX;
  std::vector<sItem> hosts, channels, modules, threads;
  bool newest = true;
  std::string after;  // cursor; empty: from the start

  using tParam = std::function<std::optional<std::string>(const char* name)>;
  // False with `error` naming the parameter for a malformed one.
  bool Parse(const tParam& param, std::string* error);
};

class CFleet_Query {
 public:
  static constexpr uint32_t kMax_Page = 5000;

  struct sPage {
    std::vector<sFleet_Row> messages;
    bool more = false;
    std::string next;  // the cursor after the last message; empty when none
  };

  explicit CFleet_Query(std::unique_ptr<CPg_Connection> connection)
      : m_Connection(std::move(connection)) {}

  // Each call runs under `timeout_ms` (the database cancels a statement running longer). False
  // with `error` (a refused expression, the time-out, the database gone).
  bool Page(const sFleet_Filter& filter, uint32_t limit, uint32_t timeout_ms, sPage* page,
            std::string* error);
  bool Timeline(const sFleet_Filter& filter, uint32_t max_buckets, uint32_t timeout_ms,
                CTimeline::sBuckets* buckets, uint64_t* total, std::string* error);
  // Visits the selected messages in order, `chunk` rows at a time; `visit` false stops.
  bool Each(const sFleet_Filter& filter, uint32_t timeout_ms,
            const std::function<bool(const sFleet_Row&)>& visit, std::string* error);

  // The row with identity `id` and up to `lines` rows either side of it in the same client's
  // stream, unfiltered, ordered by (time, record sequence, identity). `found` false (and no
  // lines) when no row has that identity, say its day was dropped.
  struct sContext {
    bool found = false;
    sFleet_Row row;
    std::vector<sFleet_Row> before, after;  // both oldest first
  };
  bool Context(uint64_t id, uint32_t lines, uint32_t timeout_ms, sContext* context,
               std::string* error);

  // The names of hosts, channels, modules and threads that the selected hosts' rows have on the
  // days the selection's time range touches (the last day when it has none), at most `limit` of
  // each in name order; `omitted` counts kinds that had more. Read from trace_names, a few rows
  // per host and day, so the answer costs the same however many rows the days hold; the
  // selection's other filters do not narrow it.
  struct sNames {
    std::vector<std::string> hosts, channels, modules, threads;
    uint64_t omitted = 0;
  };
  bool Names(const sFleet_Filter& filter, uint32_t limit, uint32_t timeout_ms, sNames* names,
             std::string* error);

  bool Healthy() const { return m_Connection && m_Connection->Connected(); }

 private:
  bool Set_Timeout(uint32_t timeout_ms, std::string* error);
  std::unique_ptr<CPg_Connection> m_Connection;
};

// Connections to the index for the viewer: at most `size` at once; a request takes one and gives
// it back. Thread-safety: Take and Give from any thread.
class CFleet_Pool {
 public:
  CFleet_Pool(std::string url, size_t size) : m_Url(std::move(url)), m_Size(size) {}
  // A query on a connection of its own; null with `error` when the database cannot be reached
  // or `size` are in use.
  std::unique_ptr<CFleet_Query> Take(std::string* error);
  void Give(std::unique_ptr<CFleet_Query> query);

 private:
  const std::string m_Url;
  const size_t m_Size;
  CLock m_Lock;
  std::vector<std::unique_ptr<CFleet_Query>> m_Idle TR_GUARDED_BY(m_Lock);
  size_t m_Out TR_GUARDED_BY(m_Lock) = 0;
};

#endif  // TOOLS_TRACE_SERVER_INDEX_FLEET_QUERY_H_
