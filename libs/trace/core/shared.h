// CShared: named objects of this process in POSIX shared memory, each guarded by a named
// semaphore. Names carry the process ID ("/TR_Type%d_PID%d_Text%s": type 0 the semaphore, type 1
// the shared memory object), so entries are private to one process; a process start stamp in the
// entry tells an entry of this process from a stale one left by an earlier process with the same
// PID. Objects are created with mode 0600 and an entry is trusted only when its object belongs to
// this process's user.
//
// Thread-safety: all operations are static; the named semaphore serialises access to one entry
// across threads and processes.
#ifndef TRACE_CORE_SHARED_H_
#define TRACE_CORE_SHARED_H_

#include <semaphore.h>
#include <stddef.h>
#include <stdint.h>

class CShared {
 public:
  // Handle of an entry this process created; owned by the creator.
  struct sShared {
    sem_t* semaphore;   // the entry's named semaphore
    int shm_fd;         // shared memory descriptor, -1 when closed
    size_t name_size;   // size of the formed-name buffers
    char* name;         // owned copy of the entry name
    char* sem_name;     // formed semaphore name
    char* shm_name;     // formed shared memory name
  };

  // Results of Lock().
  enum eLock : uint32_t { eLock_Ok = 0, eLock_Timeout = 1, eLock_Error = 2, eLock_Missing = 3 };

  // Creates the entry exclusively (semaphore locked while it is made), stores the new handle into
  // *handle and only then copies `data` (so `handle` may point into `data`). size <= 65535.
  static bool Create(sShared** handle, const char* name, const void* data, size_t size);
  static bool Read(const char* name, void* buffer, size_t size);
  static bool Write(const char* name, const void* data, size_t size);
  // Takes the entry's semaphore, trying once per millisecond for `timeout_ms` attempts.
  static uint32_t Lock(const char* name, sem_t*& semaphore, uint32_t timeout_ms);
  // Releases what Lock() took: posts and closes the semaphore.
  static void UnLock(sem_t* semaphore);
  // Unlinks the semaphore and the shared memory object; true only when both existed.
  static bool UnLink(const char* name);
  // Closes and unlinks everything `handle` refers to and frees it.
  static void Destroy(sShared* handle);
  // This process's start stamp (100-ns units since 1601); false when unavailable.
  static bool Get_Stamp(uint32_t* high, uint32_t* low);
};

#endif  // TRACE_CORE_SHARED_H_
