// Publishing a client under a name ("Cln_" + name) in this process's registry, so that other code
// of the process can find it with TR_Get_Shared. m_ChannelLock guards m_Shared, so Share and
// Unshare of one client are serialised.
#include "trace/core/client.h"
#include "trace/core/journal.h"

bool CClient::Share(const char* name) {
  char entry[CShared::kMaxEntryName + 1];
  if (!CShared::Entry_Name("Cln_", name, entry)) return false;
  CLockGuard guard(&m_ChannelLock);
  if (m_Shared != nullptr) return false;
  bool stale = false;
  uint32_t result = CShared::Publish(&m_Shared, entry, static_cast<ITR_Client*>(this), &stale);
  if (stale) {
    TR_JOURNAL(
        m_Journal, IJournal::eError,
        "Shared memory timestamp error, prev. session crashed or forget to release TR objects?");
  }
  if (result != CShared::ePublish_Ok) m_Shared = nullptr;
  return result == CShared::ePublish_Ok;
}

bool CClient::Unshare() {
  CLockGuard guard(&m_ChannelLock);
  if (m_Shared == nullptr) return true;
  // The entry is removed even when its lock cannot be taken: left behind it would point at
  // this client after it is gone.
  if (!CShared::Withdraw(m_Shared, static_cast<ITR_Client*>(this), true)) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Can't destroy shared memory");
  }
  m_Shared = nullptr;
  return true;
}
