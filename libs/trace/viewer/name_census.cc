#include "trace/viewer/name_census.h"

void CName_Census::Note(sKind* kind, const std::string& name) {
  if (name.empty() || kind->names.count(name)) return;
  if (kind->names.size() >= kMax_Names) {
    ++kind->omitted;
    return;
  }
  kind->names.insert(name);
}

void CName_Census::Add(const sViewer_Message& message) {
  Note(&m_Hosts, message.host);
  Note(&m_Channels, message.channel);
  Note(&m_Modules, message.module);
  // A thread without a name is chosen by its ID, which the filter takes as well.
  Note(&m_Threads, message.thread.empty() ? std::to_string(message.thread_id) : message.thread);
}
