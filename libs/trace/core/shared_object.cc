// Publishing and withdrawing objects ("Cln_" clients, "Trc_" trace channels) in the named
// registry of this process.
//
// An entry is trusted only when it was published by this process: same start stamp, and its
// objects belong to our user (CShared::Read_Checked / Lock report anything else). Every other
// entry found under a name is stale: it is removed before the name is used again, and its
// content is never dereferenced.
#include <string.h>
#include <unistd.h>

#include "trace/base/mutex.h"
#include "trace/base/thread_annotations.h"
#include "trace/core/shared.h"

namespace {

// Names of the entries this process has published and not withdrawn. g_Published_Lock is a leaf
// (nothing is locked under it) and not recursive: the exit path only tries it, so a signal
// arriving while this thread holds it cannot deadlock or see a half-written name (the names are
// then left to the next process with this PID).
constexpr int kMaxPublished = 64;
CMutex g_Published_Lock;
char g_Published[kMaxPublished][CShared::kMaxEntryName + 1] TR_GUARDED_BY(g_Published_Lock);

void Remember(const char* entry) {
  CMutexGuard guard(&g_Published_Lock);
  for (auto& slot : g_Published) {
    if (slot[0] != '\0') continue;
    strcpy(slot, entry);
    return;
  }
}

void Forget(const char* entry) {
  CMutexGuard guard(&g_Published_Lock);
  for (auto& slot : g_Published) {
    if (strcmp(slot, entry) != 0) continue;
    slot[0] = '\0';
    return;
  }
}

}  // namespace

bool CShared::Entry_Name(const char* prefix, const char* name, char* out) {
  if (prefix == nullptr || name == nullptr || out == nullptr) return false;
  size_t prefix_length = strlen(prefix);
  size_t name_length = strlen(name);
  if (prefix_length + name_length > kMaxEntryName) return false;
  memcpy(out, prefix, prefix_length);
  memcpy(out + prefix_length, name, name_length + 1);
  return true;
}

uint64_t CShared::Get_Stamp64() {
  uint32_t high = 0, low = 0;
  Get_Stamp(&high, &low);
  return (static_cast<uint64_t>(high) << 32) | low;
}

uint32_t CShared::Publish(sShared** handle, const char* entry, const void* object, bool* stale) {
  if (stale != nullptr) *stale = false;
  if (handle == nullptr || entry == nullptr) return ePublish_Failed;
  uint32_t high = 0, low = 0;
  Get_Stamp(&high, &low);

  sem_t* semaphore = nullptr;
  uint32_t locked = Lock(entry, semaphore, kShareAttempts);
  if (locked == eLock_Ok) {
    sObject_Entry found{};
    uint32_t read = Read_Checked(entry, &found, sizeof(found));
    // An entry that cannot be read may be one that another thread is replacing right now
    // (we may hold the semaphore of the entry it just withdrew): leave it alone.
    if (read == eRead_Error ||
        (read == eRead_Ok && found.start_hi == high && found.start_lo == low)) {
      UnLock(semaphore);
      return read == eRead_Error ? ePublish_Failed : ePublish_In_Use;
    }
    // An earlier process's entry, or another user's object: stale.
    if (stale != nullptr) *stale = true;
    UnLink(entry);
    UnLock(semaphore);
  } else if (locked == eLock_Untrusted) {
    if (stale != nullptr) *stale = true;
    UnLink(entry);
  }
  // Missing: the name is free. Time-out or error: Create fails on an existing name.
  sObject_Entry mine{reinterpret_cast<uint64_t>(object), high, low};
  if (!Create(handle, entry, &mine, sizeof(mine))) return ePublish_Failed;
  Remember(entry);
  return ePublish_Ok;
}

void CShared::Unlink_Published() {
  if (!g_Published_Lock.Try_Lock()) return;
  for (auto& slot : g_Published) {
    if (slot[0] == '\0') continue;
    UnLink(slot);
    slot[0] = '\0';
  }
  g_Published_Lock.Unlock();
}

bool CShared::Withdraw(sShared* handle, const void* object, bool take_lock) {
  if (handle == nullptr) return true;
  Forget(handle->name);
  sem_t* semaphore = nullptr;
  bool ok = true;
  if (take_lock) {
    uint32_t locked = Lock(handle->name, semaphore, kRemoveAttempts);
    if (locked != eLock_Ok) {
      semaphore = nullptr;
      ok = locked == eLock_Missing;
    }
  }
  // Unlink only what still holds our entry: a name that was removed and reused meanwhile
  // belongs to someone else.
  sObject_Entry found{};
  uint32_t high = 0, low = 0;
  Get_Stamp(&high, &low);
  bool ours = Read_Checked(handle->name, &found, sizeof(found)) == eRead_Ok &&
              found.object == reinterpret_cast<uint64_t>(object) && found.start_hi == high &&
              found.start_lo == low;
  Destroy(handle, ours);
  UnLock(semaphore);
  return ok;
}
