// CStored_Query: reads the binary trace files of a served directory on behalf of the page: a page
// of filtered messages, the timeline of a filtered range, or every filtered message (export).
// The page never receives a whole file: it gets at most one page of messages at a time, and a
// cursor to ask for the next.
//
// A source (CServed_Directory) is one file or a directory of files read in name order as one
// sequence; messages are numbered by their position in it (from 0, every message counted, the
// filter aside), and a page asks for the messages after a number. A scan decodes files from their
// start (a file decodes by itself) and stops as soon as the page is full; a file it has decoded
// whole is remembered by path, size and modification time with its message count and time range,
// so later pages skip whole files before the cursor (or before the filter's start time) without
// decoding them again.
//
// Every scan has a budget (sScan_Budget: a deadline and whether the requester has gone), checked
// before each file, after each read of a file and at least every sScan_Budget::kCheck_Every
// decoded messages; when it is spent the scan stops where it is and says so (sScan::cut). What a
// cut scan found is still returned, with the number to go on from, so that no request holds a
// thread for longer than its budget and the page can resume without skipping or repeating.
// A requester that has gone stops the scan at any check. The deadline stops it at any check
// before it has decoded anything, and otherwise only once it has examined a message numbered
// `after` or above: a file is decoded from its start, so a cursor deep in a file longer than one
// budget's worth of decoding still advances by at least one message per page.
//
// A damaged file is reported (CTrace_File_Reader's text, which names the offset) in the result's
// `problems`; the messages before the damage are served, and the scan goes on with the next file.
//
// Thread-safety: every method may be called from several threads at once; the cache of file
// summaries has its own lock, held only to look up or store one entry.
#ifndef TRACE_VIEWER_STORED_QUERY_H_
#define TRACE_VIEWER_STORED_QUERY_H_

#include <stdint.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "trace/base/lock.h"
#include "trace/base/thread_annotations.h"
#include "trace/viewer/message_filter.h"
#include "trace/viewer/scan_budget.h"
#include "trace/viewer/served_directory.h"
#include "trace/viewer/timeline.h"
#include "trace/viewer/viewer_message.h"

class CStored_Query {
 public:
  static constexpr uint32_t kMax_Page = 5000;
  static constexpr size_t kRead_Bytes = 64 << 10;
  // Messages of every host a context keeps before its message: lines of its own host further
  // back than this in a mixed source are not shown.
  static constexpr size_t kMax_Context_Window = 4096;

  struct sProblem {
    std::string file;  // relative path
    std::string text;  // the reader's description, with the offset
  };

  // `directory` must outlive the query.
  explicit CStored_Query(const CServed_Directory& directory) : m_Directory(directory) {}

  CStored_Query(const CStored_Query&) = delete;
  CStored_Query& operator=(const CStored_Query&) = delete;

  // Called for every matching message; false stops the scan.
  using tVisit = std::function<bool(const sViewer_Message& message)>;

  struct sScan {
    CServed_Directory::eResolve resolve = CServed_Directory::eResolve::Ok;
    uint64_t scanned = 0;   // messages decoded (before filtering)
    bool complete = false;  // the source was read to its end
    bool cut = false;       // the budget ran out first: the source was not read to its end
    // One past the last message number examined: every message in [after, next) was offered to
    // the filter (and the matching ones visited), none above. At least `after`.
    uint64_t next = 0;
    std::vector<sProblem> problems;
  };

  // Visits the matching messages numbered `after` and above, in order, until `visit` says stop,
  // the source ends or `budget` is spent. Only with `lines` is each message's `rendered` line
  // written in the line format (export wants it; pages and timelines do not, and skipping it
  // halves the cost of a scan).
  sScan Scan(const std::string& source, const CMessage_Filter& filter, uint64_t after,
             const tVisit& visit, bool lines, const sScan_Budget& budget) const;

  struct sPage {
    sScan scan;
    std::vector<sViewer_Message> messages;
    // A next page may exist (more matches than `limit`, or the scan was cut): ask for it with
    // after = next.
    bool more = false;
    // Where the next page starts: one past the last message this page examined, so a cut page
    // that found nothing still moves on, and a page that stopped at `limit` resumes at the first
    // match it could not take. At least the page's `after`.
    uint64_t next = 0;
  };
  // At most `limit` (capped at kMax_Page) matching messages numbered `after` and above. A page cut
  // by `budget` holds what was found before the cut, with scan.cut and more set.
  //
  // With the filter's order Newest the page runs the other way: the last `limit` matches numbered
  // below `after` (0: the whole source), newest first, and `next` is the number of the oldest one
  // returned, so the next page goes on below it. Such a page must read the source up to its bound;
  // cut by `budget` before that, it holds no message (scan.cut set, `next` unchanged) rather than
  // older matches than it claims.
  sPage Page(const std::string& source, const CMessage_Filter& filter, uint64_t after,
             uint32_t limit, const sScan_Budget& budget) const;

  struct sContext {
    sScan scan;
    std::vector<sViewer_Message> before;  // oldest first
    bool found = false;                   // message `sequence` exists
    sViewer_Message message;
    std::vector<sViewer_Message> after;
  };
  // Message `sequence` of the source and up to `lines` messages of the same host either side of
  // it, unfiltered. A source of several hosts numbers them together; the context keeps only the
  // message's own host. Cut by `budget`, it holds what was found (scan.cut says so).
  sContext Context(const std::string& source, uint64_t sequence, uint32_t lines,
                   const sScan_Budget& budget) const;

  struct sTimeline {
    sScan scan;
    CTimeline::sBuckets buckets;
    uint64_t total = 0;  // matching messages
  };
  // The matching messages' timeline in at most `max_buckets` (1..CTimeline::kMax_Buckets). Cut by
  // `budget`, it counts the messages read before the cut (scan.cut says so).
  sTimeline Timeline(const std::string& source, const CMessage_Filter& filter, uint32_t max_buckets,
                     const sScan_Budget& budget) const;

 private:
  struct sSummary {
    uint64_t bytes = 0;
    int64_t modified_ns = 0;
    uint64_t messages = 0;
    int64_t first_us = INT64_MAX;
    int64_t last_us = INT64_MIN;
  };

  // Decodes one file, numbering its messages from `*base` (advanced past them, or to the first
  // one not examined). False when `visit` stopped the scan or the budget cut it (scan->cut).
  bool Scan_File(const CServed_Directory::sFile& file, const std::string& host,
                 const CMessage_Filter& filter, uint64_t after, uint64_t* base, const tVisit& visit,
                 bool lines, const sScan_Budget& budget, sScan* scan) const;
  sPage Newest_Page(const std::string& source, const CMessage_Filter& filter, uint64_t before,
                    uint32_t limit, const sScan_Budget& budget) const;
  bool Cached(const CServed_Directory::sFile& file, sSummary* summary) const;
  void Remember(const std::string& absolute, const sSummary& summary) const;

  const CServed_Directory& m_Directory;
  mutable CLock m_Lock;
  // At most kMax_Cached entries; cleared whole when full (it only saves work).
  static constexpr size_t kMax_Cached = 10000;
  mutable std::map<std::string, sSummary> m_Summaries TR_GUARDED_BY(m_Lock);
};

#endif  // TRACE_VIEWER_STORED_QUERY_H_
