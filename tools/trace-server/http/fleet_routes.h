// CFleet_Routes: the viewer's "fleet" source (with --index): the same requests as a stored
// directory, answered from the index database that every server of the fleet writes into.
//
//   /api/stored/messages?source=fleet&limit=M&after=CURSOR&filters
//       {"messages":[...],"more","next","took_ms","problems":[],"cut":false}; `next` is an opaque
//       cursor to give back as `after`
//   /api/stored/timeline?source=fleet&buckets=B&filters
//       {"timeline":{...},"total","took_ms","problems":[],"cut":false}
//   /api/export?source=fleet&format=text|json&filters
//       every selected message (at most kMax_Export), as text or JSON lines
//   /api/names?source=fleet&filters
//       {"hosts","channels","modules","threads","omitted","took_ms"}: the names the selected
//       hosts' rows have on the days the time range touches (the last day without one), 1,000
//       of each at most, from the index's table of names (as fast for a big index as a small)
//   /api/context?source=fleet&seq=ID&lines=N
//       {"message","before","after","took_ms"}: the row whose `seq` is ID and up to N (at most
//       200) rows either side in the same client's stream, unfiltered; "message" null when the
//       row is gone
// Every row carries "seq", its identity in the index, and "record_seq", the record's own number.
// Filters: sFleet_Filter (fleet_query.h). A query that runs past its time-out (pages and
// timelines 2 s, exports 30 s) answers 503 with the database's reason, a malformed parameter or
// an expression the database refuses 400.
//
// Thread-safety: Answer may run on several threads at once (each takes a connection of its own
// from the pool); the status callback must be thread-safe.
#ifndef TOOLS_TRACE_SERVER_HTTP_FLEET_ROUTES_H_
#define TOOLS_TRACE_SERVER_HTTP_FLEET_ROUTES_H_

#include <stdint.h>

#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "fleet_query.h"

class CFleet_Routes {
 public:
  static constexpr uint64_t kMax_Export = 1000000;

  // `status` describes the indexer (connected, lag) for /api/info.
  CFleet_Routes(std::string url, std::function<nlohmann::json()> status)
      : m_Pool(std::move(url), 4), m_Status(std::move(status)) {}

  struct sAnswer {
    int status = 200;
    std::string body;
    std::string content_type = "application/json";
    std::string disposition;
  };

  // Whether `path` is one of the requests this source answers.
  static bool Serves(const std::string& path);
  sAnswer Answer(const std::string& path, const sFleet_Filter::tParam& param);

  // The entry of /api/stored/sources.
  static nlohmann::json Source_Entry();
  // The indexer's state for /api/info.
  nlohmann::json Info() const { return m_Status ? m_Status() : nlohmann::json::object(); }

 private:
  CFleet_Pool m_Pool;
  std::function<nlohmann::json()> m_Status;
};

#endif  // TOOLS_TRACE_SERVER_HTTP_FLEET_ROUTES_H_
