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
#include "trace/viewer/served_directory.h"
#include "trace/viewer/timeline.h"
#include "trace/viewer/viewer_message.h"

class CStored_Query {
 public:
  static constexpr uint32_t kMax_Page = 5000;
  static constexpr size_t kRead_Bytes = 64 << 10;

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
    uint64_t scanned = 0;  // messages decoded (before filtering)
    bool complete = false;  // the source was read to its end
    std::vector<sProblem> problems;
  };

  // Visits the matching messages numbered `after` and above, in order. Only with `lines` is each
  // message's `rendered` line written in the line format (export wants it; pages and timelines
  // do not, and skipping it halves the cost of a scan).
  sScan Scan(const std::string& source, const CMessage_Filter& filter, uint64_t after,
             const tVisit& visit, bool lines = false) const;

  struct sPage {
    sScan scan;
    std::vector<sViewer_Message> messages;
    bool more = false;  // a next page may exist: ask with after = last message's sequence + 1
  };
  // At most `limit` (capped at kMax_Page) matching messages numbered `after` and above.
  sPage Page(const std::string& source, const CMessage_Filter& filter, uint64_t after,
             uint32_t limit) const;

  struct sTimeline {
    sScan scan;
    CTimeline::sBuckets buckets;
    uint64_t total = 0;  // matching messages
  };
  sTimeline Timeline(const std::string& source, const CMessage_Filter& filter,
                     uint32_t max_buckets) const;

 private:
  struct sSummary {
    uint64_t bytes = 0;
    int64_t modified_ns = 0;
    uint64_t messages = 0;
    int64_t first_us = INT64_MAX;
    int64_t last_us = INT64_MIN;
  };

  // Decodes one file; visits from message number `base`. False when `visit` stopped the scan.
  bool Scan_File(const CServed_Directory::sFile& file, const std::string& host,
                 const CMessage_Filter& filter, uint64_t after, uint64_t* base,
                 const tVisit& visit, bool lines, sScan* scan) const;
  bool Cached(const CServed_Directory::sFile& file, sSummary* summary) const;
  void Remember(const std::string& absolute, const sSummary& summary) const;

  const CServed_Directory& m_Directory;
  mutable CLock m_Lock;
  // At most kMax_Cached entries; cleared whole when full (it only saves work).
  static constexpr size_t kMax_Cached = 10000;
  mutable std::map<std::string, sSummary> m_Summaries TR_GUARDED_BY(m_Lock);
};

#endif  // TRACE_VIEWER_STORED_QUERY_H_
