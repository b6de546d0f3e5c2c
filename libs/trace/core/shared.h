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
    sem_t* semaphore;  // the entry's named semaphore
    int shm_fd;        // shared memory descriptor, -1 when closed
    size_t name_size;  // size of the formed-name buffers
    char* name;        // owned copy of the entry name
    char* sem_name;    // formed semaphore name
    char* shm_name;    // formed shared memory name
  };

  // Results of Lock().
  // eLock_Untrusted: the semaphore belongs to another user; the entry counts as stale and is
  // never waited on.
  enum eLock : uint32_t {
    eLock_Ok = 0,
    eLock_Timeout = 1,
    eLock_Error = 2,
    eLock_Missing = 3,
    eLock_Untrusted = 4,
  };

  // Content of a "Cln_" or "Trc_" entry (16 bytes): the object's address in this process and
  // the start stamp of the process that published it.
  struct sObject_Entry {
    uint64_t object;
    uint32_t start_hi;
    uint32_t start_lo;
  };

  // Attempts of one millisecond for publishing and looking up, and for removing an entry.
  static constexpr uint32_t kShareAttempts = 250;
  static constexpr uint32_t kRemoveAttempts = 300000;
  // Longest entry name (prefix included) accepted; longer names are refused, never cut.
  static constexpr size_t kMaxEntryName = 200;

  // Creates the entry exclusively (semaphore locked while it is made), stores the new handle into
  // *handle and only then copies `data` (so `handle` may point into `data`). size <= 65535.
  static bool Create(sShared** handle, const char* name, const void* data, size_t size);
  // Results of Read_Checked(): eRead_Untrusted means the object exists but belongs to another
  // user; callers treat such an entry like a stale one and never use its content.
  enum eRead : uint32_t { eRead_Ok = 0, eRead_Error = 1, eRead_Untrusted = 2 };

  // Copies the whole entry into `buffer` when it fits in `size` bytes.
  static bool Read(const char* name, void* buffer, size_t size);
  static uint32_t Read_Checked(const char* name, void* buffer, size_t size);
  static bool Write(const char* name, const void* data, size_t size);
  // Takes the entry's semaphore, trying once per millisecond for `timeout_ms` attempts.
  static uint32_t Lock(const char* name, sem_t*& semaphore, uint32_t timeout_ms);
  // Releases what Lock() took: posts and closes the semaphore.
  static void UnLock(sem_t* semaphore);
  // Unlinks the semaphore and the shared memory object; true only when both existed.
  static bool UnLink(const char* name);
  // Closes everything `handle` refers to, unlinks the names (unless `unlink` is false) and frees
  // the handle.
  static void Destroy(sShared* handle, bool unlink = true);
  // This process's start stamp (100-ns units since 1601); false when unavailable.
  static bool Get_Stamp(uint32_t* high, uint32_t* low);
  static uint64_t Get_Stamp64();

  // Forms prefix + name into `out` (kMaxEntryName + 1 bytes); false when too long or null.
  static bool Entry_Name(const char* prefix, const char* name, char* out);

  // Results of Publish().
  enum ePublish : uint32_t { ePublish_Ok = 0, ePublish_In_Use = 1, ePublish_Failed = 2 };
  // Publishes `object` under `entry` for this process: an entry of this process already there
  // leaves everything unchanged (ePublish_In_Use); a stale one (earlier process with this PID,
  // or objects of another user) is removed first and reported through *stale.
  static uint32_t Publish(sShared** handle, const char* entry, const void* object, bool* stale);
  // Removes an entry this process published and frees the handle. With `take_lock` the
  // entry's semaphore is taken first (kRemoveAttempts); when it cannot be taken the entry is
  // removed all the same, because it would otherwise point at an object that is going away,
  // and false is returned. The names are unlinked only while they still hold our entry.
  static bool Withdraw(sShared* handle, const void* object, bool take_lock);
  // Unlinks the names of every entry this process has published and not withdrawn yet (the
  // handles stay valid and are withdrawn later as usual). Called by the exceptional flush, so
  // that a process that ends without releasing its objects leaves no named objects behind.
  static void Unlink_Published();
};

#endif  // TRACE_CORE_SHARED_H_
