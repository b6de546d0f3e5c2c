// Lookups of objects that this process published by name. The entry's semaphore is held while
// the entry is read and the reference is added, so the entry cannot be withdrawn in between.
#include <errno.h>

#include <mqtt-wrapper/TR.h>

#include "trace/core/last_error.h"
#include "trace/core/shared.h"

namespace {

// The object of a live entry of this process with one added reference, or null. A stale entry
// (another process's stamp, or objects of another user) is removed and never dereferenced;
// `stale_error` then becomes the caller's last error when nonzero.
template <class T>
T* Lookup(const char* prefix, const char* name, uint32_t stale_error) {
  char entry[CShared::kMaxEntryName + 1];
  if (!CShared::Entry_Name(prefix, name, entry)) return nullptr;
  sem_t* semaphore = nullptr;
  uint32_t locked = CShared::Lock(entry, semaphore, CShared::kShareAttempts);
  if (locked == CShared::eLock_Untrusted) {
    if (stale_error != 0) TR_Set_Last_Error(stale_error);
    CShared::UnLink(entry);
    return nullptr;
  }
  if (locked != CShared::eLock_Ok) {
    if (locked == CShared::eLock_Error && errno == ENOMEM && stale_error != 0) {
      TR_Set_Last_Error(eLastError_No_Memory);
    }
    return nullptr;
  }
  T* result = nullptr;
  CShared::sObject_Entry found{};
  uint32_t read = CShared::Read_Checked(entry, &found, sizeof(found));
  if (read != CShared::eRead_Error) {
    uint32_t high = 0, low = 0;
    CShared::Get_Stamp(&high, &low);
    if (read == CShared::eRead_Ok && found.start_hi == high && found.start_lo == low) {
      result = reinterpret_cast<T*>(found.object);
      // An object whose last reference is gone is being destroyed: its destructor is waiting
      // for this semaphore to withdraw the entry. It must not be handed out again.
      if (result->Add_Ref() == 1) result = nullptr;
    } else {
      if (stale_error != 0) TR_Set_Last_Error(stale_error);
      CShared::UnLink(entry);
    }
  }
  CShared::UnLock(semaphore);
  return result;
}

}  // namespace

extern "C" {

MQW_EXPORT ITR_Client* TR_Get_Shared(const char* name) {
  return Lookup<ITR_Client>("Cln_", name, eLastError_Stale_Shared);
}

MQW_EXPORT ITR_Trace* TR_Get_Shared_Trace(const char* name) {
  return Lookup<ITR_Trace>("Trc_", name, 0);
}

}  // extern "C"
