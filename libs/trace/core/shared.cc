// Named shared-memory entries of this process.
//
// Every entry is a pair of POSIX named objects whose names carry the PID: a semaphore (type 0)
// that serialises access to the entry, and a shared memory object (type 1) holding its bytes.
// Both are created with mode 0600 (re-applied after creation, so a restrictive or odd umask
// cannot leave them unusable) and an entry is read only when its shared memory object belongs
// to this process's effective user: an object planted by someone else is never trusted.
#include "trace/core/shared.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "trace/base/proc.h"

namespace {

constexpr mode_t kMode = 0600;
constexpr size_t kNameExtra = 87;  // room for the prefix, the type and the PID
constexpr size_t kMaxEntry = 65535;

// A formed object name on the stack, "/TR_Type%d_PID%d_Text%s". Entry names are short (a
// prefix plus a caller's name); longer ones are refused rather than cut, so two long names
// can never map to one object.
class CFormedName {
 public:
  CFormedName(int type, const char* name) {
    m_Ok = false;
    m_Text[0] = '\0';
    if (name == nullptr) return;
    int n = snprintf(m_Text, sizeof(m_Text), "/TR_Type%d_PID%d_Text%s", type,
                     static_cast<int>(getpid()), name);
    m_Ok = n > 0 && static_cast<size_t>(n) < sizeof(m_Text);
  }
  bool Ok() const { return m_Ok; }
  const char* Get() const { return m_Text; }

 private:
  char m_Text[256];
  bool m_Ok;
};

// Path under which glibc keeps a named semaphore; used only to tighten its mode and check its
// owner (best effort: when the path does not exist the checks are skipped).
void Semaphore_Path(const char* sem_name, char* path, size_t size) {
  snprintf(path, size, "/dev/shm/sem.%s", sem_name + 1);
}

bool Owned_By_Us(const struct stat& st) { return st.st_uid == geteuid(); }

char* Dup_Text(const char* text) {
  size_t n = strlen(text) + 1;
  char* copy = static_cast<char*>(malloc(n));
  if (copy != nullptr) memcpy(copy, text, n);
  return copy;
}

void Free_Handle(CShared::sShared* h) {
  if (h == nullptr) return;
  free(h->name);
  free(h->sem_name);
  free(h->shm_name);
  free(h);
}

void Sleep_1ms() {
  struct timespec ts = {0, 1000000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace

bool CShared::Create(sShared** handle, const char* name, const void* data, size_t size) {
  if (handle == nullptr) return false;
  *handle = nullptr;
  if (name == nullptr || data == nullptr || size == 0 || size > kMaxEntry) return false;
  CFormedName sem_name(0, name);
  CFormedName shm_name(1, name);
  if (!sem_name.Ok() || !shm_name.Ok()) return false;

  sShared* h = static_cast<sShared*>(calloc(1, sizeof(sShared)));
  if (h == nullptr) return false;
  h->shm_fd = -1;
  h->semaphore = SEM_FAILED;
  h->name_size = strlen(name) + kNameExtra;
  h->name = Dup_Text(name);
  h->sem_name = Dup_Text(sem_name.Get());
  h->shm_name = Dup_Text(shm_name.Get());
  if (h->name == nullptr || h->sem_name == nullptr || h->shm_name == nullptr) {
    Free_Handle(h);
    return false;
  }

  // Created locked (value 0): nobody can use the entry before its bytes are in place.
  h->semaphore = sem_open(h->sem_name, O_CREAT | O_EXCL, kMode, 0);
  if (h->semaphore == SEM_FAILED) {
    Free_Handle(h);
    return false;
  }
  char path[320];
  Semaphore_Path(h->sem_name, path, sizeof(path));
  chmod(path, kMode);

  void* map = MAP_FAILED;
  h->shm_fd = shm_open(h->shm_name, O_CREAT | O_EXCL | O_RDWR, kMode);
  bool ok = h->shm_fd >= 0 && fchmod(h->shm_fd, kMode) == 0 &&
            ftruncate(h->shm_fd, static_cast<off_t>(size)) == 0;
  if (ok) {
    map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, h->shm_fd, 0);
    ok = map != MAP_FAILED;
  }
  if (!ok) {
    if (h->shm_fd >= 0) {
      close(h->shm_fd);
      shm_unlink(h->shm_name);
    }
    sem_close(h->semaphore);
    sem_unlink(h->sem_name);
    Free_Handle(h);
    return false;
  }
  // The handle is published before the copy: a caller may pass `data` holding a pointer to
  // `*handle` so that the stored entry contains its own handle.
  *handle = h;
  memcpy(map, data, size);
  munmap(map, size);
  sem_post(h->semaphore);
  return true;
}

uint32_t CShared::Read_Checked(const char* name, void* buffer, size_t size) {
  if (name == nullptr || buffer == nullptr) return eRead_Error;
  CFormedName shm_name(1, name);
  if (!shm_name.Ok()) return eRead_Error;
  int fd = shm_open(shm_name.Get(), O_RDONLY, 0);
  if (fd < 0) return eRead_Error;
  struct stat st;
  uint32_t result = eRead_Error;
  if (fstat(fd, &st) == 0) {
    if (!Owned_By_Us(st)) {
      result = eRead_Untrusted;
    } else if (st.st_size > 0 && static_cast<size_t>(st.st_size) <= size) {
      size_t n = static_cast<size_t>(st.st_size);
      void* map = mmap(nullptr, n, PROT_READ, MAP_SHARED, fd, 0);
      if (map != MAP_FAILED) {
        memcpy(buffer, map, n);
        munmap(map, n);
        result = eRead_Ok;
      }
    }
  }
  close(fd);
  return result;
}

bool CShared::Read(const char* name, void* buffer, size_t size) {
  return Read_Checked(name, buffer, size) == eRead_Ok;
}

bool CShared::Write(const char* name, const void* data, size_t size) {
  if (name == nullptr || data == nullptr || size == 0) return false;
  CFormedName shm_name(1, name);
  if (!shm_name.Ok()) return false;
  int fd = shm_open(shm_name.Get(), O_RDWR, 0);
  if (fd < 0) return false;
  bool ok = false;
  struct stat st;
  if (fstat(fd, &st) == 0 && Owned_By_Us(st) && static_cast<size_t>(st.st_size) >= size) {
    void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map != MAP_FAILED) {
      memcpy(map, data, size);
      munmap(map, size);
      ok = true;
    }
  }
  close(fd);
  return ok;
}

uint32_t CShared::Lock(const char* name, sem_t*& semaphore, uint32_t timeout_ms) {
  semaphore = nullptr;
  if (name == nullptr) return eLock_Error;
  CFormedName sem_name(0, name);
  if (!sem_name.Ok()) return eLock_Error;
  sem_t* sem = sem_open(sem_name.Get(), 0);
  if (sem == SEM_FAILED) {
    if (errno == ENOENT) return eLock_Missing;
    // A semaphore we may not open belongs to someone else.
    return errno == EACCES ? eLock_Untrusted : eLock_Error;
  }
  // A semaphore of another user could be held forever to stall us; do not wait on it.
  char path[320];
  Semaphore_Path(sem_name.Get(), path, sizeof(path));
  struct stat st;
  if (stat(path, &st) == 0 && !Owned_By_Us(st)) {
    sem_close(sem);
    return eLock_Untrusted;
  }
  for (uint32_t attempt = 0;; ++attempt) {
    if (sem_trywait(sem) == 0) {
      semaphore = sem;
      return eLock_Ok;
    }
    if (errno != EAGAIN && errno != EINTR) break;
    if (attempt + 1 >= timeout_ms) break;
    Sleep_1ms();
  }
  sem_close(sem);
  return eLock_Timeout;
}

void CShared::UnLock(sem_t* semaphore) {
  if (semaphore == nullptr) return;
  sem_post(semaphore);
  sem_close(semaphore);
}

bool CShared::UnLink(const char* name) {
  CFormedName sem_name(0, name);
  CFormedName shm_name(1, name);
  if (!sem_name.Ok() || !shm_name.Ok()) return false;
  bool sem_ok = sem_unlink(sem_name.Get()) == 0;
  bool shm_ok = shm_unlink(shm_name.Get()) == 0;
  return sem_ok && shm_ok;
}

void CShared::Destroy(sShared* handle, bool unlink) {
  if (handle == nullptr) return;
  if (handle->shm_fd >= 0) {
    close(handle->shm_fd);
    handle->shm_fd = -1;
  }
  if (unlink && handle->shm_name != nullptr) shm_unlink(handle->shm_name);
  if (handle->semaphore != SEM_FAILED && handle->semaphore != nullptr) sem_close(handle->semaphore);
  if (unlink && handle->sem_name != nullptr) sem_unlink(handle->sem_name);
  Free_Handle(handle);
}

bool CShared::Get_Stamp(uint32_t* high, uint32_t* low) {
  // The start time of a process never changes, so it is read once per process; the PID is
  // remembered with it because a forked child has its own start time. Reads and writes are
  // lock-free so that the crash path may call this from a signal handler.
  static std::atomic<uint64_t> cached_stamp{0};
  static std::atomic<pid_t> cached_pid{0};
  pid_t pid = getpid();
  uint64_t stamp = 0;
  if (cached_pid.load(std::memory_order_acquire) == pid) {
    stamp = cached_stamp.load(std::memory_order_relaxed);
  } else {
    uint32_t hi = 0, lo = 0;
    if (CProc::Get_Process_Time(&hi, &lo)) stamp = (static_cast<uint64_t>(hi) << 32) | lo;
    if (stamp != 0) {
      cached_stamp.store(stamp, std::memory_order_relaxed);
      cached_pid.store(pid, std::memory_order_release);
    }
  }
  if (high != nullptr) *high = static_cast<uint32_t>(stamp >> 32);
  if (low != nullptr) *low = static_cast<uint32_t>(stamp);
  return stamp != 0;
}
