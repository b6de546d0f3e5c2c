// Entering and leaving the process's crash registry. Every problem goes to the client's journal
// at error level; a client that could not be registered works normally but is not reached by a
// crash flush.
#include "trace/core/client.h"
#include "trace/core/crash_registry.h"
#include "trace/core/journal.h"

namespace {

constexpr char kMismatch[] =
    "Shared memory timestamp missmatch, it wasn't closed properly last time?";

// Puts `client` into the first free slot; false when all are taken.
bool Take_Slot(sCrash_Registry* registry, ITR_Client* client) {
  for (ITR_Client*& slot : registry->clients) {
    if (slot != nullptr) continue;
    slot = client;
    registry->count += 1;
    return true;
  }
  return false;
}

}  // namespace

uint32_t CClient::Init_Crash_Handler() {
  ITR_Client* self = static_cast<ITR_Client*>(this);
  const uint64_t stamp = CShared::Get_Stamp64();
  sem_t* semaphore = nullptr;
  uint32_t locked = CShared::Lock(kCrash_Entry, semaphore, kCrash_Attempts);
  if (locked == CShared::eLock_Ok) {
    sCrash_Registry registry{};
    uint32_t read = CShared::Read_Checked(kCrash_Entry, &registry, sizeof(registry));
    if (read == CShared::eRead_Error) {
      TR_JOURNAL(m_Journal, IJournal::eError, "Can't read crash shared memory");
      CShared::UnLock(semaphore);
      return 0;
    }
    if (read == CShared::eRead_Ok && registry.stamp == stamp) {
      if (!Take_Slot(&registry, self)) {
        TR_JOURNAL(m_Journal, IJournal::eError, "There is no free space for client");
      } else if (!CShared::Write(kCrash_Entry, &registry, sizeof(registry))) {
        TR_JOURNAL(m_Journal, IJournal::eError, "Can't write to crash shared memory");
      } else {
        m_CrashRegistered = 1;
      }
      CShared::UnLock(semaphore);
      return 0;
    }
    TR_JOURNAL(m_Journal, IJournal::eError, "%s", kMismatch);
    CShared::UnLink(kCrash_Entry);
    CShared::UnLock(semaphore);
  } else if (locked == CShared::eLock_Untrusted) {
    TR_JOURNAL(m_Journal, IJournal::eError, "%s", kMismatch);
    CShared::UnLink(kCrash_Entry);
  } else if (locked != CShared::eLock_Missing) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Can't get lock for crash handler");
    return 0;
  }

  TR_JOURNAL(m_Journal, IJournal::eInfo, "Try to create shared lock");
  sCrash_Registry fresh{};
  fresh.count = 1;
  fresh.stamp = stamp;
  fresh.clients[0] = self;
  // Create stores the handle into fresh.handle before copying `fresh`, so the entry holds it.
  if (CShared::Create(&fresh.handle, kCrash_Entry, &fresh, sizeof(fresh))) {
    TR_JOURNAL(m_Journal, IJournal::eInfo, "Register new crash handler");
    m_CrashRegistered = 1;
    return 0;
  }

  // Another thread created the registry first: join it.
  TR_JOURNAL(m_Journal, IJournal::eWarning, "CShared::Create failed, try to lock");
  if (CShared::Lock(kCrash_Entry, semaphore, kCrash_Attempts) != CShared::eLock_Ok) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Can't get lock for crash handler");
    return 0;
  }
  sCrash_Registry registry{};
  uint32_t read = CShared::Read_Checked(kCrash_Entry, &registry, sizeof(registry));
  if (read == CShared::eRead_Ok && registry.stamp == stamp) {
    if (Take_Slot(&registry, self)) {
      if (CShared::Write(kCrash_Entry, &registry, sizeof(registry))) {
        m_CrashRegistered = 1;
      } else {
        TR_JOURNAL(m_Journal, IJournal::eError, "Can't write to crash shared memory");
      }
    }
  } else if (read != CShared::eRead_Error) {
    TR_JOURNAL(m_Journal, IJournal::eError, "%s", kMismatch);
    CShared::UnLink(kCrash_Entry);
  } else {
    TR_JOURNAL(m_Journal, IJournal::eError, "Can't read crash shared memory");
  }
  CShared::UnLock(semaphore);
  return 0;
}

void CClient::Uninit_Crash_Handler() {
  if (m_CrashRegistered == 0) return;
  m_CrashRegistered = 0;
  ITR_Client* self = static_cast<ITR_Client*>(this);
  sem_t* semaphore = nullptr;
  uint32_t locked = CShared::Lock(kCrash_Entry, semaphore, kCrash_Attempts);
  // No registry: an exceptional flush removed it (and closed this client) already.
  if (locked == CShared::eLock_Missing) return;
  if (locked != CShared::eLock_Ok) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Can't get lock for crash handler");
    return;
  }
  sCrash_Registry registry{};
  if (CShared::Read_Checked(kCrash_Entry, &registry, sizeof(registry)) != CShared::eRead_Ok ||
      registry.stamp != CShared::Get_Stamp64()) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Can't read from crash shared memory");
    CShared::UnLock(semaphore);
    return;
  }
  bool found = false;
  for (ITR_Client*& slot : registry.clients) {
    if (slot != self) continue;
    slot = nullptr;
    registry.count -= 1;
    found = true;
    break;
  }
  if (found) {
    if (registry.count == 0) {
      CShared::Destroy(registry.handle);
    } else if (!CShared::Write(kCrash_Entry, &registry, sizeof(registry))) {
      TR_JOURNAL(m_Journal, IJournal::eError, "Can't write to crash shared memory");
    }
  }
  CShared::UnLock(semaphore);
}
