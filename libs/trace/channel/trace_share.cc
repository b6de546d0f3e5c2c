// Trace channel: publishing under a name ("Trc_" + name) in this process's registry, so that
// other code of the process can find the channel with TR_Get_Shared_Trace. m_Lock guards
// m_Shared.
#include "trace/channel/trace.h"

bool CTRTrace::Share(const char* name) {
  char entry[CShared::kMaxEntryName + 1];
  if (!CShared::Entry_Name("Trc_", name, entry)) return false;
  CLockGuard guard(&m_Lock);
  if (m_Shared != nullptr) return false;
  uint32_t result = CShared::Publish(&m_Shared, entry, static_cast<ITR_Trace*>(this), nullptr);
  if (result != CShared::ePublish_Ok) m_Shared = nullptr;
  return result == CShared::ePublish_Ok;
}

// Called by the destructor: the entry goes with the channel, so no lookup can find the channel
// once it is gone. The entry's semaphore is taken so that a lookup that is reading the entry
// right now finishes (and sees the channel dying) before the memory goes away.
void CTRTrace::Remove_Shared() {
  CLockGuard guard(&m_Lock);
  if (m_Shared == nullptr) return;
  CShared::Withdraw(m_Shared, static_cast<ITR_Trace*>(this), true);
  m_Shared = nullptr;
}
