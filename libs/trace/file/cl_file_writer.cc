// The writer side of the binary file sink: whole-buffer writes, rolling and file creation. Only
// the writer thread touches the files, the roll list and m_FileSize until Close has joined it.
// Neither the channel lock nor m_StatusLock is held while writing to the file.
#include <fcntl.h>
#include <string.h>

#include <chrono>
#include <thread>

#include "trace/core/journal.h"
#include "trace/file/cl_file.h"

bool CClFile::Write_Buffer(sBuffer* buffer) {
  if (buffer->used == 0) return true;
  return m_Files.Write(buffer->data, buffer->used) == buffer->used;
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
  if (!m_Files.Create_Next()) return eCode_No_Slot;
  m_FileSize = 0;
  return eCode_Ok;
}

uint64_t CClFile::Batch_Limit_Locked() {
  // A megabyte roll is due before the first buffer that would start beyond the limit.
  const CRoll_Rule& rule = m_Files.Rule();
  if (rule.Kind() != CRoll_Rule::eMegabytes || m_Connection.connected == 0) return kNo_Limit;
  return m_FileSize >= rule.Value() ? 0 : rule.Value() - m_FileSize;
}

bool CClFile::Consume(sBuffer* const* batch, uint32_t count, bool connected) {
  while (m_TEST_Hold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Only this thread ends delivery, so `delivering` stays true until a write fails here.
  bool delivering = connected;
  const uint64_t batch_start = m_FileSize;
  for (uint32_t i = 0; i < count; ++i) {
    m_FileSize += batch[i]->used;
    if (delivering && !Write_Buffer(batch[i])) {
      TR_JOURNAL_AT(m_Journal, IJournal::eCritical, "Routine", "Not possible to write data");
      Stop_Delivery();
      delivering = false;
    }
  }
  // Start the disk write-back of what was just written. The data is on disk sooner, and the
  // fsync that closes the file at a roll finds little left to do instead of stalling this thread
  // (and with it every producer once the buffers are full) for the whole file. Only a hint: a
  // failure changes nothing.
  if (delivering) {
    sync_file_range(m_Files.Handle(), static_cast<off64_t>(batch_start),
                    static_cast<off64_t>(m_FileSize - batch_start), SYNC_FILE_RANGE_WRITE);
  }
  return true;
}

void CClFile::On_Pass() {
  if (++m_Pass % 64 == 0 && m_Files.Time_Due()) Roll();
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
    Update_Divert_Locked();
    status = m_Connection;
  }
  // Each channel replays its context (information, UTC offset, threads, modules, and each
  // descriptor before its next data record) into the new file. Until a channel has been told,
  // what it sends still goes to the old file, which holds the context it refers to.
  Notify_Channels(status);
  {
    CLockGuard guard(&m_StatusLock);
    m_Rolling = false;
    Update_Divert_Locked();
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
  m_Files.Close(true);
  if (!failed && Create_File() != eCode_Ok) {
    TR_JOURNAL(m_Journal, IJournal::eCritical, "Not possible to create file");
    failed = true;
  }
  m_FileSize = 0;
  if (failed) Stop_Delivery();
}
