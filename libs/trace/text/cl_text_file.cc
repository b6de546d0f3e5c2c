#include "trace/text/cl_text_file.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include "trace/base/clocks.h"
#include "trace/base/fsys.h"
#include "trace/base/proc.h"
#include "trace/core/last_error.h"
#include "trace/core/options.h"

namespace {

bool Is_Directory(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool Is_Regular_File(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

uint64_t File_Size(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

// Milliseconds of the coarse monotonic clock: the write-out rule needs no more than a few
// milliseconds of resolution and this clock costs a fraction of the precise one per line.
uint32_t Coarse_Ms() {
  timespec now;
  if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0) return GetTickCount();
  return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000);
}

// Digits only, at least one; false otherwise.
bool Parse_Digits(const char* text, size_t length, uint64_t* value) {
  if (length == 0) return false;
  uint64_t result = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    if (result < (1ull << 40)) result = result * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  *value = result;
  return true;
}

}  // namespace

CClTextFile::CClTextFile() : m_LastCheck(Time_Of_Day()) {}

CClTextFile::~CClTextFile() {
  if (m_Used && m_File.IsOpened()) m_File.Write(m_Buffer, m_Used, false);
  m_Used = 0;
  m_File.Close(true);
  m_Files.Clear(true);
  m_RollTimes.Clear(false);
  free(m_Buffer);
}

uint32_t CClTextFile::Time_Of_Day() {
  time_t now = time(nullptr);
  struct tm local;
  if (!localtime_r(&now, &local)) return 0;
  return static_cast<uint32_t>(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
}

uint32_t CClTextFile::Initialize(char** args, int count) {
  m_Buffer = static_cast<char*>(malloc(kBufferCapacity));
  if (!m_Buffer) {
    puts("TR:Can't allocate memory");
    TR_Set_Last_Error(eLastError_No_Memory);
    return 2;
  }
  static const uint8_t kBom[3] = {0xEF, 0xBB, 0xBF};
  memcpy(m_Buffer, kBom, sizeof(kBom));
  m_Used = sizeof(kBom);
  m_FileBytes = sizeof(kBom);

  long files = Get_Argument_Long(args, count, "/TR.Files=", 0);
  m_MaxFiles = (files < 0 || files > static_cast<long>(kMaxFiles)) ? 0 : static_cast<uint32_t>(files);
  long megabytes = Get_Argument_Long(args, count, "/TR.FSize=", 0);
  m_MaxBytes = megabytes > 0 ? static_cast<uint64_t>(megabytes) * 1048576ull : 0;

  const char* directory = Get_Argument_Text_Value(args, count, "/TR.Dir=");
  if (directory && *directory) {
    m_Directory.Set(directory);
  } else {
    char path[4096];
    CProc::Get_Process_Path(path, sizeof(path));
    m_Directory.Set(path);
    m_Directory.Append(1, "/TRlogs/");
  }
  if (!Make_Directory()) {
    printf("TR:Can't create directory: %s\n", m_Directory.Get());
    TR_Set_Last_Error(eLastError_Directory);
    return 5;
  }
  if (m_MaxFiles || m_MaxBytes) Load_Existing_Files();
  uint32_t result = Create_File();
  if (result) {
    TR_Set_Last_Error(eLastError_File);
    puts("TR:File creation failed");
    return result;
  }
  m_LastWrite = Coarse_Ms();
  const char* roll = Get_Argument_Text_Value(args, count, "/TR.Roll=");
  if (roll) Parse_Roll(roll);
  m_Initialized = true;
  return 0;
}

bool CClTextFile::Make_Directory() {
  const char* path = m_Directory.Get();
  if (Is_Directory(path)) return true;
  std::vector<char> prefix(path, path + strlen(path) + 1);
  for (size_t i = 1; i < prefix.size() - 1; ++i) {
    if (prefix[i] != '/') continue;
    prefix[i] = '\0';
    if (!Is_Directory(prefix.data())) mkdir(prefix.data(), 0774);
    prefix[i] = '/';
  }
  mkdir(path, 0774);
  return Is_Directory(path);
}

void CClTextFile::Load_Existing_Files() {
  CBList<CWString*> found;
  CFSYS::Enumerate_Files(&found, m_Directory.Get(), "*.txt", 0);
  size_t skip = strlen(m_Directory.Get()) + 1;
  std::vector<CWString*> paths;
  for (auto* cell = found.Get_First(); cell; cell = found.Get_Next(cell)) paths.push_back(cell->data);
  found.Clear(false);
  std::sort(paths.begin(), paths.end(), [skip](CWString* a, CWString* b) {
    const char* na = a->Length() >= skip ? a->Get() + skip : a->Get();
    const char* nb = b->Length() >= skip ? b->Get() + skip : b->Get();
    return strcasecmp(na, nb) < 0;
  });
  for (CWString* path : paths) {
    if (!m_Files.Add_Last(path)) delete path;
  }
}

void CClTextFile::Delete_Oldest() {
  auto* oldest = m_Files.Get_First();
  if (!oldest) return;
  m_Files.Remove(oldest, true);
}

uint32_t CClTextFile::Create_File() {
  if (m_File.IsOpened() && !m_File.Close(true)) m_File.Close(false);

  time_t now = time(nullptr);
  struct tm local;
  if (!localtime_r(&now, &local)) memset(&local, 0, sizeof(local));
  CWString* path = new CWString();
  char name[64];
  do {
    snprintf(name, sizeof(name), "/%04d%02d%02d-%02d%02d%02d%03u.txt", local.tm_year + 1900, local.tm_mon + 1,
             local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, m_Counter++);
    path->Set(m_Directory.Get());
    path->Append(1, name);
  } while (Is_Regular_File(path->Get()));

  if (!m_File.Open(path->Get(), IFile::OPEN_CREATE | IFile::OPEN_MODE_RW)) {
    printf("TR:Can't create file: %s\n", path->Get());
    delete path;
    return 2;
  }
  if (!m_Files.Add_Last(path)) delete path;

  if (m_MaxFiles) {
    while (m_Files.Count() > m_MaxFiles) {
      const char* oldest = m_Files.Get_Data(m_Files.Get_First())->Get();
      if (remove(oldest) != 0) printf("TR:Can't delete file: %s\n", oldest);
      Delete_Oldest();
    }
  }
  if (m_MaxBytes) {
    uint64_t total = 0;
    for (auto* cell = m_Files.Get_First(); cell; cell = m_Files.Get_Next(cell)) total += File_Size(cell->data->Get());
    while (total > m_MaxBytes && m_Files.Count() > 1) {
      const char* oldest = m_Files.Get_Data(m_Files.Get_First())->Get();
      uint64_t size = File_Size(oldest);
      if (remove(oldest) != 0) printf("Can't delete file: %s\n", oldest);
      total -= size < total ? size : total;
      Delete_Oldest();
    }
  }
  m_Created = GetTickCount();
  return 0;
}

bool CClTextFile::Write_Out() {
  if (!m_Used) return false;
  if (!m_File.IsOpened() && m_Initialized) {
    // The last creation failed (for example at a roll): try again before giving the lines up.
    m_FileBytes = m_Used;
    Create_File();
  }
  bool written = false;
  if (m_File.IsOpened()) written = m_File.Write(m_Buffer, m_Used, false) > 0;
  m_Used = 0;
  return written;
}

uint32_t CClTextFile::DumpBuffers() {
  if (m_Used && (m_File.IsOpened() || m_Initialized)) {
    if (Write_Out()) fsync(m_File.Get_Handle());
  }
  m_Used = 0;
  return 0;
}

uint32_t CClTextFile::Log(const sLog*, const char* line, uint64_t length) {
  if (!m_Buffer) return 0;
  if (length + 16 > kBufferCapacity) {
    Write_Out();
    if (m_File.IsOpened()) m_File.Write(line, length, false);
    m_Buffer[0] = '\r';
    m_Buffer[1] = '\n';
    m_Used = 2;
    m_FileBytes += length + 2;
    TryRoll();
    return 0;
  }
  uint32_t now = Coarse_Ms();
  if (kBufferCapacity - m_Used < length + 16 || now - m_LastWrite > 999) {
    Write_Out();
    TryRoll();
    m_LastWrite = Coarse_Ms();
  }
  memcpy(m_Buffer + m_Used, line, length);
  m_Used += static_cast<uint32_t>(length);
  m_Buffer[m_Used++] = '\r';
  m_Buffer[m_Used++] = '\n';
  m_FileBytes += length + 2;
  return 0;
}

bool CClTextFile::Check_Times_Of_Day(uint32_t now) {
  bool due = false;
  for (auto* cell = m_RollTimes.Get_First(); cell; cell = m_RollTimes.Get_Next(cell)) {
    if (m_LastCheck <= cell->data && cell->data < now) due = true;
  }
  m_LastCheck = now;
  return due;
}

uint32_t CClTextFile::TryRoll() {
  switch (m_RollMode) {
    case eRoll_Size:
      if (m_FileBytes >= m_RollValue) Roll();
      break;
    case eRoll_Time:
      if (static_cast<uint32_t>(GetTickCount() - m_Created) > m_RollValue) Roll();
      break;
    case eRoll_Times_Of_Day:
      if (Check_Times_Of_Day(Time_Of_Day())) Roll();
      break;
    default: break;
  }
  return 0;
}

void CClTextFile::Roll() {
  if (m_Used && m_File.IsOpened()) {
    if (m_File.Write(m_Buffer, m_Used, false) > 0) fsync(m_File.Get_Handle());
  }
  if (m_File.IsOpened() && !m_File.Close(true)) m_File.Close(false);
  m_FileBytes = 0;
  m_Used = 0;
  Create_File();
  m_LastWrite = Coarse_Ms();
}

bool CClTextFile::Parse_Roll(const char* value) {
  size_t length = strlen(value);
  bool correct = false;
  if (length > 2) {
    const char* unit = value + length - 2;
    size_t digits = length - 2;
    uint64_t number = 0;
    if (strcasecmp(unit, "mb") == 0) {
      if (Parse_Digits(value, digits, &number) && number > 0) {
        m_RollMode = eRoll_Size;
        m_RollValue = number * 1048576ull;
        correct = true;
      }
    } else if (strcasecmp(unit, "hr") == 0) {
      if (Parse_Digits(value, digits, &number) && number > 0) {
        if (number > kMaxHours) {
          puts("TR:Rolling value is more than 1000 hours, cutting");
          number = kMaxHours;
        }
        m_RollMode = eRoll_Time;
        m_RollValue = number * 3600000ull;
        correct = true;
      }
    } else if (strcasecmp(unit, "tm") == 0) {
      m_RollTimes.Clear(false);
      const char* p = value;
      bool ok = true;
      while (ok && p < unit) {
        const char* colon = static_cast<const char*>(memchr(p, ':', static_cast<size_t>(unit - p)));
        const char* comma = static_cast<const char*>(memchr(p, ',', static_cast<size_t>(unit - p)));
        const char* end = comma ? comma : unit;
        uint64_t hours = 0;
        uint64_t minutes = 0;
        ok = colon && colon < end && Parse_Digits(p, static_cast<size_t>(colon - p), &hours) &&
             Parse_Digits(colon + 1, static_cast<size_t>(end - colon - 1), &minutes);
        if (ok) m_RollTimes.Add_Last(static_cast<unsigned int>(hours * 3600 + minutes * 60));
        p = end;
        if (ok && comma) {
          ++p;
          ok = p < unit;  // a trailing comma leaves an empty item
        }
      }
      if (ok && m_RollTimes.Count() > 0) {
        m_RollMode = eRoll_Times_Of_Day;
        correct = true;
      } else {
        m_RollTimes.Clear(false);
      }
    }
  }
  if (!correct) {
    m_RollMode = eRoll_None;
    m_RollValue = 0;
    printf("TR:Rolling value is not correct = %.*s\n", static_cast<int>(length > 2 ? length - 2 : length), value);
  }
  return correct;
}
