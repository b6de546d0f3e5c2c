// CName_Census: the distinct hosts, channels, modules and threads met in a run of messages, for
// the page's lists to choose filters from. At most kMax_Names of each kind are kept (in name
// order); the count of those left out is kept too, so the page can say that a list is not whole.
//
// Thread-safety: none; one census belongs to one request.
#ifndef TRACE_VIEWER_NAME_CENSUS_H_
#define TRACE_VIEWER_NAME_CENSUS_H_

#include <stdint.h>

#include <set>
#include <string>

#include "trace/viewer/viewer_message.h"

class CName_Census {
 public:
  static constexpr size_t kMax_Names = 500;

  struct sKind {
    std::set<std::string> names;
    uint64_t omitted = 0;  // names met beyond kMax_Names (a name may be counted more than once)
  };

  void Add(const sViewer_Message& message);
  // A host known apart from any message (connected, but nothing of it in the run).
  void Add_Host(const std::string& name) { Note(&m_Hosts, name); }

  const sKind& Hosts() const { return m_Hosts; }
  const sKind& Channels() const { return m_Channels; }
  const sKind& Modules() const { return m_Modules; }
  const sKind& Threads() const { return m_Threads; }

 private:
  static void Note(sKind* kind, const std::string& name);

  sKind m_Hosts, m_Channels, m_Modules, m_Threads;
};

#endif  // TRACE_VIEWER_NAME_CENSUS_H_
