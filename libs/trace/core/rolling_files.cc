#include "trace/core/rolling_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "trace/base/clocks.h"
#include "trace/base/fsys.h"
#include "trace/base/proc.h"
#include "trace/core/options.h"

namespace {

bool Is_Directory(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

uint64_t Size_Of(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Name part of a listed path (after the last '/').
const char* Name_Of(const CWString* path) {
  const char* text = path->Get();
  const char* slash = strrchr(text, '/');
  return slash != nullptr ? slash + 1 : text;
}

}  // namespace

CRolling_Files::CRolling_Files(const sNaming& naming, IReport* report)
    : m_Naming(naming), m_Report(report) {}

CRolling_Files::~CRolling_Files() {
  Close(true);
  m_Files.Clear(true);
}

void CRolling_Files::Read_Limits(char** args, int count) {
  const long files = Get_Argument_Long(args, count, "/TR.Files=", 0);
  m_MaxFiles =
      files >= 1 && files <= static_cast<long>(kMaxFiles) ? static_cast<uint32_t>(files) : 0;
  const long megabytes = Get_Argument_Long(args, count, "/TR.FSize=", 0);
  // Capped, never wrapped: a huge limit means "keep everything" rather than a tiny one.
  const uint64_t cap = UINT64_MAX / CRoll_Rule::kMegabyte;
  m_MaxBytes =
      megabytes > 0 ? std::min(static_cast<uint64_t>(megabytes), cap) * CRoll_Rule::kMegabyte : 0;
}

bool CRolling_Files::Set_Directory(const char* option) {
  if (option != nullptr && option[0] != '\0') {
    if (strlen(option) >= kDirectorySize) {
      // Cut; shown in the report only.
      memcpy(m_Directory, option, kDirectorySize - 1);
      m_Directory[kDirectorySize - 1] = '\0';
      return false;
    }
    strcpy(m_Directory, option);
    return true;
  }
  CProc::Get_Process_Path(m_Directory, kDirectorySize - 16);
  strcat(m_Directory, "/TRlogs/");
  return true;
}

bool CRolling_Files::Make_Directory() {
  if (Is_Directory(m_Directory)) return true;
  char prefix[kDirectorySize];
  for (size_t i = 1; m_Directory[i] != '\0'; ++i) {
    if (m_Directory[i] != '/') continue;
    memcpy(prefix, m_Directory, i);
    prefix[i] = '\0';
    if (!Is_Directory(prefix)) mkdir(prefix, 0774);
  }
  mkdir(m_Directory, 0774);
  return Is_Directory(m_Directory);
}

void CRolling_Files::Load_Existing() {
  if (m_MaxFiles == 0 && m_MaxBytes == 0) return;
  CBList<CWString*> found;
  CFSYS::Enumerate_Files(&found, m_Directory, m_Naming.mask, 0);
  const uint32_t count = found.Count();
  CWString** sorted = new (std::nothrow) CWString*[count];
  uint32_t n = 0;
  for (auto* cell = found.Get_First(); cell != nullptr; cell = found.Get_Next(cell)) {
    if (sorted != nullptr) {
      sorted[n++] = found.Get_Data(cell);
    } else {
      delete found.Get_Data(cell);  // no room to sort: the limits count only new files
    }
  }
  found.Clear(false);
  // Oldest first: the names begin with their creation time. Equal names (but for case) keep a
  // fixed order.
  std::sort(sorted, sorted + n, [](const CWString* a, const CWString* b) {
    const int folded = strcasecmp(Name_Of(a), Name_Of(b));
    return folded != 0 ? folded < 0 : strcmp(Name_Of(a), Name_Of(b)) < 0;
  });
  for (uint32_t i = 0; i < n; ++i) {
    if (m_Files.Add_Last(sorted[i]) == nullptr) delete sorted[i];
  }
  delete[] sorted;
}

void CRolling_Files::Close(bool sync) {
  if (m_Handle == -1) return;
  if (sync) fsync(m_Handle);
  close(m_Handle);
  m_Handle = -1;
}

bool CRolling_Files::Sync() { return m_Handle != -1 && fsync(m_Handle) == 0; }

size_t CRolling_Files::Write(const void* data, size_t size) {
  if (m_Handle == -1 || data == nullptr) return 0;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  size_t written = 0;
  while (written < size) {
    const ssize_t result = write(m_Handle, bytes + written, size - written);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) {
      printf("%d", errno);
      break;
    }
    written += static_cast<size_t>(result);
  }
  m_FileBytes += written;
  return written;
}

bool CRolling_Files::Create_Next() {
  Close(true);
  m_OpenEntry = nullptr;
  m_FileBytes = 0;

  const time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) memset(&local, 0, sizeof(local));
  char path[kDirectorySize + 64];
  for (uint32_t attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    snprintf(path, sizeof(path), "%s/%04d%02d%02d-%02d%02d%02d%s%03u%s", m_Directory,
             local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
             local.tm_sec, m_Naming.counter_separator, m_Counter++, m_Naming.extension);
    int handle;
    do {
      handle = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (handle == -1 && errno == EINTR);
    if (handle != -1) {
      m_Handle = handle;
      break;
    }
    if (errno != EEXIST) break;  // a name in use (any entry, links too) tries the next counter
  }
  if (m_Handle == -1) {
    m_Report->Cannot_Create(path);
    return false;
  }

  CWString* entry = new (std::nothrow) CWString(path);
  if (entry != nullptr && (entry->Length() == 0 || m_Files.Add_Last(entry) == nullptr)) {
    delete entry;
    entry = nullptr;
  }
  m_OpenEntry = entry;
  Enforce_Limits(entry);
  m_Created = GetTickCount();
  return true;
}

uint64_t CRolling_Files::Delete_Oldest(bool by_size) {
  auto* cell = m_Files.Get_First();
  if (cell == nullptr) return 0;
  const char* oldest = m_Files.Get_Data(cell)->Get();
  const uint64_t size = Size_Of(oldest);
  if (remove(oldest) != 0) {
    m_Report->Cannot_Delete(oldest, by_size);
  } else {
    m_Report->Deleted(oldest, size);
  }
  m_Files.Remove(cell, true);  // a file that cannot be deleted leaves the list all the same
  return size;
}

bool CRolling_Files::Roll_Due(uint64_t file_bytes) const {
  return m_Rule.Size_Due(file_bytes) || (m_MaxBytes != 0 && file_bytes >= m_MaxBytes);
}

void CRolling_Files::Enforce_After_Write() {
  if (m_MaxBytes == 0) return;
  while (m_ClosedBytes + m_FileBytes > m_MaxBytes) {
    auto* first = m_Files.Get_First();
    if (first == nullptr || m_Files.Get_Data(first) == m_OpenEntry) {
      m_ClosedBytes = 0;  // no closed file is left to count
      break;
    }
    struct stat st;
    if (lstat(m_Files.Get_Data(first)->Get(), &st) != 0 && errno == ENOENT) {
      // Removed by someone else (an operator, a quota over several directories): no longer
      // held, yet still in the kept figure. Measuring the rest again keeps that figure from
      // deleting files that fit.
      m_Files.Remove(first, true);
      m_ClosedBytes = Measure_Closed();
      continue;
    }
    const uint64_t size = Delete_Oldest(true);
    m_ClosedBytes -= size < m_ClosedBytes ? size : m_ClosedBytes;
  }
}

uint64_t CRolling_Files::Measure_Closed() const {
  uint64_t total = 0;
  for (auto* cell = m_Files.Get_First(); cell != nullptr; cell = m_Files.Get_Next(cell)) {
    if (m_Files.Get_Data(cell) != m_OpenEntry) total += Size_Of(m_Files.Get_Data(cell)->Get());
  }
  return total;
}

const char* CRolling_Files::Open_Path() const {
  return m_Handle != -1 && m_OpenEntry != nullptr ? m_OpenEntry->Get() : nullptr;
}

void CRolling_Files::Enforce_Limits(const CWString* newest) {
  if (m_MaxFiles != 0) {
    while (m_Files.Count() > m_MaxFiles && m_Files.Get_Data(m_Files.Get_First()) != newest)
      Delete_Oldest(false);
  }
  if (m_MaxBytes != 0) {
    uint64_t total = 0;
    for (auto* cell = m_Files.Get_First(); cell != nullptr; cell = m_Files.Get_Next(cell)) {
      total += Size_Of(m_Files.Get_Data(cell)->Get());
    }
    while (total > m_MaxBytes && m_Files.Get_First() != nullptr &&
           m_Files.Get_Data(m_Files.Get_First()) != newest) {
      const uint64_t size = Delete_Oldest(true);
      total -= size < total ? size : total;
    }
    m_ClosedBytes = total;  // the new file, if listed, counted 0
  }
}

bool CRolling_Files::Time_Due() {
  switch (m_Rule.Kind()) {
    case CRoll_Rule::eHours:
      return m_Rule.Age_Due(m_Created, GetTickCount());
    case CRoll_Rule::eTimes:
      return m_Rule.Check_Times(CRoll_Rule::Time_Of_Day());
    default:
      return false;
  }
}
