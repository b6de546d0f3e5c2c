// The writer thread of the binary file sink: whole-buffer writes, the idle write-out, rolling
// and the directory limits. Only this thread touches the file, the file list and m_FileSize
// until Close has joined it. Lock order: m_ChannelLock (channel notifications), m_StatusLock;
// neither is held while writing to the file.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "trace/base/clocks.h"
#include "trace/core/journal.h"
#include "trace/file/cl_file.h"

namespace {

constexpr uint32_t kMaxNameAttempts = 100000;
// Buffers written per visit to the status lock.
constexpr uint32_t kWriteBatch = 16;

uint32_t Elapsed_ms(uint32_t then, uint32_t now) { return now >= then ? now - then : 0xFFFFFFFFu - then + now; }

uint32_t Seconds_Since_Midnight() {
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) return 0;
  return static_cast<uint32_t>(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
}

}  // namespace

void* CClFile::Static_Routine(void* self) {
  static_cast<CClFile*>(self)->Routine();
  return nullptr;
}

bool CClFile::Write_Buffer(sBuffer* buffer) {
  if (buffer->used == 0) return true;
  return m_File.Write(buffer->data, buffer->used, false) == buffer->used;
}

// After a failed write or file creation nothing more can be delivered: later Sent calls are
// refused with 1 and every channel learns that the sink is off.
void CClFile::Stop_Delivery() {
  sTRC_Status status;
  {
    CLockGuard guard(&m_StatusLock);
    m_Connection.connected = 0;
    status = m_Connection;
  }
  Notify_Channels(status);
}

uint32_t CClFile::Create_File() {
  if (m_File.IsOpened()) m_File.Close(true);

  char path[kDirectorySize + 64];
  bool found = false;
  for (uint32_t attempt = 0; attempt < kMaxNameAttempts && !found; ++attempt) {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    snprintf(path, sizeof(path), "%s/%04d%02d%02d-%02d%02d%02d.%03u.trd", m_Directory, local.tm_year + 1900,
             local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, m_NameCounter++);
    struct stat st;
    found = lstat(path, &st) != 0;  // never reuse a name: an existing file is kept as it is
  }
  if (!found || !m_File.Open(path, IFile::OPEN_CREATE | IFile::OPEN_MODE_RW)) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Can't create file: %s", path);
    return 2;
  }

  CWString* entry = new (std::nothrow) CWString(path);
  if (entry != nullptr && m_Files.Add_Last(entry) == nullptr) {
    delete entry;
    entry = nullptr;
  }
  // The new file is the last entry and counts in both limits (with size 0).
  if (m_MaxFiles != 0) {
    while (m_Files.Count() > m_MaxFiles) {
      auto* cell = m_Files.Get_First();
      if (m_Files.Get_Data(cell) == entry) break;
      if (remove(m_Files.Get_Data(cell)->Get()) != 0) {
        TR_JOURNAL(m_Journal, IJournal::eError, "Can't delete file: %s", m_Files.Get_Data(cell)->Get());
      }
      m_Files.Remove(cell, true);
    }
  }
  if (m_MaxTotal != 0) {
    uint64_t total = 0;
    for (auto* cell = m_Files.Get_First(); cell != nullptr; cell = m_Files.Get_Next(cell)) {
      struct stat st;
      if (stat(m_Files.Get_Data(cell)->Get(), &st) == 0) total += static_cast<uint64_t>(st.st_size);
    }
    while (total > m_MaxTotal) {
      auto* cell = m_Files.Get_First();
      if (cell == nullptr || m_Files.Get_Data(cell) == entry) break;
      struct stat st;
      uint64_t size = stat(m_Files.Get_Data(cell)->Get(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
      if (remove(m_Files.Get_Data(cell)->Get()) != 0) {
        TR_JOURNAL(m_Journal, IJournal::eError, "Can't delete file: %s", m_Files.Get_Data(cell)->Get());
      }
      total -= size;
      m_Files.Remove(cell, true);
    }
  }
  m_FileCreated = GetTickCount();
  m_FileSize = 0;
  return 0;
}

void CClFile::Roll() {
  sTRC_Status status;
  {
    CLockGuard guard(&m_StatusLock);
    if (m_Connection.connected == 0) return;
    // Everything accepted so far belongs to the old file.
    while (auto* cell = m_Stream.filled.Get_First()) {
      m_RollList.Add_Last(m_Stream.filled.Get_Data(cell));
      m_Stream.filled.Remove(cell, false);
    }
    if (m_Stream.current != nullptr) m_RollList.Add_Last(m_Stream.current);
    m_Stream.current = Take_Free_Locked();
    if (m_Stream.current != nullptr) {
      memcpy(m_Stream.current->data, &m_Header, sizeof(m_Header));
      m_Stream.current->used = sizeof(m_Header);
    } else {
      m_HeaderPending = true;
    }
    m_Connection.resets += 1;
    m_Rolling = true;
    m_Switched = 0;
    status = m_Connection;
  }
  // Each channel replays its context (information, UTC offset, threads, modules, and each
  // descriptor before its next data record) into the new file. Until a channel has been told,
  // what it sends still goes to the old file, which holds the context it refers to.
  Notify_Channels(status);
  {
    CLockGuard guard(&m_StatusLock);
    m_Rolling = false;
    while (auto* cell = m_Old.filled.Get_First()) {
      m_RollList.Add_Last(m_Old.filled.Get_Data(cell));
      m_Old.filled.Remove(cell, false);
    }
    if (m_Old.current != nullptr) m_RollList.Add_Last(m_Old.current);
    m_Old.current = nullptr;
  }

  bool failed = false;
  while (auto* cell = m_RollList.Get_First()) {
    sBuffer* buffer = m_RollList.Get_Data(cell);
    m_RollList.Remove(cell, false);
    if (!failed && !Write_Buffer(buffer)) {
      TR_JOURNAL(m_Journal, IJournal::eCritical, "Not possible to write data");
      failed = true;
      CLockGuard guard(&m_StatusLock);
      m_Connection.connected = 0;
    }
    Give_Back(buffer);
  }
  m_File.Close(true);
  if (!failed && Create_File() != 0) {
    TR_JOURNAL(m_Journal, IJournal::eCritical, "Not possible to create file");
    failed = true;
  }
  m_FileSize = 0;
  if (failed) Stop_Delivery();
}

void CClFile::Routine() {
  uint32_t previous_seconds = Seconds_Since_Midnight();
  uint32_t last_write = GetTickCount();
  uint8_t pass = 0;
  uint32_t wait = 10;
  bool running = true;
  while (running) {
    const uint32_t event = m_Events.Wait(wait);
    bool write = false;
    bool take_current = false;
    if (event == eEvent_Data) {
      write = true;
    } else if (event == eEvent_Flush) {
      CLockGuard guard(&m_StatusLock);
      if (m_Stream.current != nullptr && m_Stream.current->used > 0 && !m_HeaderPending) {
        m_Stream.filled.Add_Last(m_Stream.current);
        m_Stream.current = nullptr;
        m_Events.Set(eEvent_Data);
      }
    } else if (event == eEvent_Exit) {
      running = false;
    } else if (Elapsed_ms(last_write, GetTickCount()) > kIdleWrite_ms) {
      write = true;
      take_current = true;
    } else {
      wait = 10;
    }

    if (write) {
      // Every filled buffer is taken in one visit to the status lock and given back in one:
      // producers then meet the writer on the lock twice per batch rather than three times per
      // buffer. A megabyte roll is due before the first buffer that would start beyond the
      // limit, exactly as when the buffers are taken one by one.
      sBuffer* batch[kWriteBatch];
      uint32_t taken = 0;
      bool roll = false;
      bool delivering = false;
      {
        CLockGuard guard(&m_StatusLock);
        delivering = m_Connection.connected != 0;
        const bool by_size = m_Roll.Kind() == CRoll_Rule::eMegabytes && delivering;
        uint64_t size = m_FileSize;
        while (taken < kWriteBatch) {
          if (by_size && size >= m_Roll.Value()) {
            roll = taken == 0;
            break;
          }
          auto* cell = m_Stream.filled.Get_First();
          if (cell == nullptr) break;
          batch[taken] = m_Stream.filled.Get_Data(cell);
          m_Stream.filled.Remove(cell, false);
          size += batch[taken++]->used;
        }
        if (taken == 0 && !roll && take_current && m_Stream.current != nullptr && m_Stream.current->used > 0) {
          // A data signal whose buffer went out already (flush, idle write-out, roll) finds
          // nothing to do; only the idle write-out takes a partly filled buffer.
          batch[taken++] = m_Stream.current;
          m_Stream.current = nullptr;
        }
      }
      if (roll) {
        Roll();
      } else if (taken != 0) {
        // Only this thread ends delivery, so `delivering` stays true until a write fails here.
        const uint64_t batch_start = m_FileSize;
        for (uint32_t i = 0; i < taken; ++i) {
          m_FileSize += batch[i]->used;
          if (delivering && !Write_Buffer(batch[i])) {
            TR_JOURNAL(m_Journal, IJournal::eCritical, "Not possible to write data");
            Stop_Delivery();
            delivering = false;
          }
        }
        // Start the disk write-back of what was just written. The data is on disk sooner, and
        // the fsync that closes the file at a roll finds little left to do instead of stalling
        // this thread (and with it every producer once the buffers are full) for the whole file.
        // Only a hint: a failure changes nothing.
        if (delivering) {
          sync_file_range(m_File.Get_Handle(), static_cast<off64_t>(batch_start),
                          static_cast<off64_t>(m_FileSize - batch_start), SYNC_FILE_RANGE_WRITE);
        }
        CLockGuard guard(&m_StatusLock);
        for (uint32_t i = 0; i < taken; ++i) Give_Back_Locked(batch[i]);
      }
      last_write = GetTickCount();
      wait = 0;
    }

    if (++pass % 64 == 0) {
      if (m_Roll.Kind() == CRoll_Rule::eHours) {
        if (Elapsed_ms(m_FileCreated, GetTickCount()) > m_Roll.Value()) Roll();
      } else if (m_Roll.Kind() == CRoll_Rule::eTimes) {
        const uint32_t now = Seconds_Since_Midnight();
        if (m_Roll.Time_Passed(previous_seconds, now)) Roll();
        previous_seconds = now;
      }
    }
  }
}
