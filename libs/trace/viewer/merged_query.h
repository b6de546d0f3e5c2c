// CMerged_Query: several stored sources read as one, in time order: the page's "all stored
// sources together". A merged source is named "*" (every directory of the served directory that
// holds files) or a comma-separated list of source paths.
//
// Each source is paged by CStored_Query with its own cursor; a merged page takes the first
// `limit` of the sources' pages by time (ties by the sources' order, then their numbers) and the
// cursor is the list of the sources' cursors, "N1,N2,...", one per source in the merged source's
// order: the next page starts each source at the first message this page did not take from it.
// Within a source, messages are in its own order; the merge assumes each source runs forward in
// time (a trace server's client directory does), and shows rows in the order it produced them
// when one does not. With the filter's order Newest, the pages run backwards the same way.
//
// Every merged message carries its source's path (sMessage::source), so that a row's context is
// asked from the source it came from (its number is that source's).
//
// Thread-safety: as CStored_Query's, whose methods it calls; the scan budget is shared by the
// sources' scans of one request.
#ifndef TRACE_VIEWER_MERGED_QUERY_H_
#define TRACE_VIEWER_MERGED_QUERY_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "trace/viewer/stored_query.h"

class CMerged_Query {
 public:
  static constexpr size_t kMax_Sources = 64;

  // `query` and `directory` must outlive this.
  CMerged_Query(const CStored_Query& query, const CServed_Directory& directory)
      : m_Query(query), m_Directory(directory) {}

  // Whether `source` names a merged source ("*" or a list with a comma).
  static bool Is_Merged(const std::string& source);

  struct sMessage {
    std::string source;
    sViewer_Message message;
  };
  struct sPage {
    CServed_Directory::eResolve resolve = CServed_Directory::eResolve::Ok;
    std::string error;  // a malformed cursor or too many sources (resolve stays Ok)
    std::vector<sMessage> messages;
    bool more = false;
    bool cut = false;
    std::string next;  // the cursor of the next page
    std::vector<CStored_Query::sProblem> problems;
  };
  // `after`: empty, or a previous page's `next`.
  sPage Page(const std::string& source, const CMessage_Filter& filter, const std::string& after,
             uint32_t limit, const sScan_Budget& budget) const;

  // The merged sources' timeline (counts added up over the sources).
  CStored_Query::sTimeline Timeline(const std::string& source, const CMessage_Filter& filter,
                                    uint32_t max_buckets, const sScan_Budget& budget) const;

  // The paths a merged source names; Bad_Path or Missing for a list naming a bad or absent one.
  CServed_Directory::eResolve Sources(const std::string& source,
                                      std::vector<std::string>* paths) const;

 private:
  const CStored_Query& m_Query;
  const CServed_Directory& m_Directory;
};

#endif  // TRACE_VIEWER_MERGED_QUERY_H_
