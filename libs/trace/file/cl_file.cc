// Construction, the callers' side (Sent, Get_Info, Flush) and Close of the binary file sink.
// Lock order: m_CloseLock, m_ChannelLock, a channel's lock, m_StatusLock.
#include "trace/file/cl_file.h"

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "trace/base/fsys.h"
#include "trace/base/proc.h"
#include "trace/format/trace_format.h"
#include "trace/core/journal.h"
#include "trace/core/last_error.h"
#include "trace/core/options.h"
#include "trace/file/pool_plan.h"

namespace {

// A channel's replay after it learnt about a new file begins with its information record.
bool Starts_With_Info(const sTRC_Data_Chunk* chunks) {
  if (chunks[0].size < sizeof(uint32_t) || chunks[0].data == nullptr) return false;
  uint32_t header;
  memcpy(&header, chunks[0].data, sizeof(header));
  return header == TRTrace_Make_Header(sizeof(sTRTrace_Info), eTRTrace_Info);
}

// Name part of a listed path (after the last '/').
const char* Name_Of(const CWString* path) {
  const char* text = path->Get();
  const char* slash = strrchr(text, '/');
  return slash != nullptr ? slash + 1 : text;
}

bool Is_Directory(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

CClFile::CClFile(char** args, int count) : CClient(eFileBin, args, count) {
  if (m_Status == eCode_Ok) m_Status = Init_Base();
  if (m_Status == eCode_Ok) m_Status = Init_Pool();
  if (m_Status == eCode_Ok) m_Status = Init_File();
  if (m_Status == eCode_Ok) m_Status = Init_Thread();
  if (m_Status == eCode_Ok) Init_Crash_Handler();
}

CClFile::~CClFile() {
  Uninit_Crash_Handler();
  Close();
  Unshare();
  m_FreeBuffers.Clear(false);
  m_Stream.filled.Clear(false);
  m_Old.filled.Clear(false);
  m_RollList.Clear(false);
  if (m_Buffers != nullptr) {
    for (uint32_t i = 0; i < m_BufferCount; ++i) free(m_Buffers[i].data);
    delete[] m_Buffers;
  }
  m_Files.Clear(true);
}

uint32_t CClFile::Init_Base() {
  Build_File_Header(Get_Argument_Text_Value(m_Args, m_ArgsCount, "/TR.Name="), &m_Header);
  return eCode_Ok;
}

uint32_t CClFile::Init_Pool() {
  const sPool_Plan plan = Plan_File_Pool(Get_Argument_Text_Value(m_Args, m_ArgsCount, "/TR.Pool="));
  m_BufferSize = plan.buffer_size;
  if (plan.buffer_size < kPool_Min_Buffer) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Pool: Memory calculation error, buffer size = %d, buffers count = %d",
               static_cast<int>(plan.buffer_size), static_cast<int>(plan.buffer_count));
    TR_Set_Last_Error(eLastError_Pool);
    return eCode_No_Slot;
  }
  bool ok = m_BufferSize > sizeof(sTRD_File_Header);
  m_Buffers = new (std::nothrow) sBuffer[plan.buffer_count]();
  ok = ok && m_Buffers != nullptr;
  for (uint32_t i = 0; ok && i < plan.buffer_count; ++i) {
    m_Buffers[i].data = static_cast<uint8_t*>(malloc(m_BufferSize));
    if (m_Buffers[i].data == nullptr) break;
    m_BufferCount = i + 1;
    ok = m_FreeBuffers.Add_Last(&m_Buffers[i]) != nullptr;
  }
  ok = ok && m_BufferCount == plan.buffer_count;
  // Every list that ever holds buffers gets its cells now, so moving buffers between lists
  // never allocates later.
  for (CBList<sBuffer*>* list : {&m_Stream.filled, &m_Old.filled, &m_RollList}) {
    for (uint32_t i = 0; ok && i < m_BufferCount; ++i) ok = list->Add_Last(&m_Buffers[i]) != nullptr;
    list->Clear(false);
  }
  if (!ok) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Pool: Not enough memory");
    TR_Set_Last_Error(eLastError_Pool);
    return eCode_No_Slot;
  }
  CLockGuard guard(&m_StatusLock);
  m_Stream.current = Take_Free_Locked();
  memcpy(m_Stream.current->data, &m_Header, sizeof(m_Header));
  m_Stream.current->used = sizeof(m_Header);
  return eCode_Ok;
}

uint32_t CClFile::Init_File() {
  const long files = Get_Argument_Long(m_Args, m_ArgsCount, "/TR.Files=", 0);
  m_MaxFiles = files >= 1 && files <= 4096 ? static_cast<uint32_t>(files) : 0;
  const int32_t megabytes = static_cast<int32_t>(Get_Argument_Long(m_Args, m_ArgsCount, "/TR.FSize=", 0));
  m_MaxTotal = megabytes > 0 ? static_cast<uint64_t>(megabytes) * 1048576 : 0;

  const char* directory = Get_Argument_Text_Value(m_Args, m_ArgsCount, "/TR.Dir=");
  bool fits = true;
  if (directory != nullptr) {
    fits = strlen(directory) < kDirectorySize;
    if (fits) strcpy(m_Directory, directory);
  } else {
    CProc::Get_Process_Path(m_Directory, kDirectorySize - 16);
    strcat(m_Directory, "/TRlogs/");
  }

  if (fits && !Is_Directory(m_Directory)) {
    char prefix[kDirectorySize];
    for (size_t i = 1; m_Directory[i] != '\0'; ++i) {
      if (m_Directory[i] != '/') continue;
      memcpy(prefix, m_Directory, i);
      prefix[i] = '\0';
      mkdir(prefix, 0774);
    }
    mkdir(m_Directory, 0774);
  }
  if (!fits || !Is_Directory(m_Directory)) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Can't create directory: %s", fits ? m_Directory : directory);
    TR_Set_Last_Error(eLastError_Directory);
    return eCode_Internal;
  }

  if (m_MaxFiles != 0 || m_MaxTotal != 0) {
    CFSYS::Enumerate_Files(&m_Files, m_Directory, "*.trd", 0);
    // Oldest first: the names begin with their creation time.
    std::vector<CWString*> sorted;
    for (auto* cell = m_Files.Get_First(); cell != nullptr; cell = m_Files.Get_Next(cell)) {
      sorted.push_back(m_Files.Get_Data(cell));
    }
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const CWString* a, const CWString* b) { return strcasecmp(Name_Of(a), Name_Of(b)) < 0; });
    m_Files.Clear(false);
    for (CWString* path : sorted) {
      if (m_Files.Add_Last(path) == nullptr) delete path;
    }
  }

  if (Create_File() != 0) {
    TR_Set_Last_Error(eLastError_File);
    TR_JOURNAL(m_Journal, IJournal::eError, "File creation failed {%s}", m_Directory);
    return eCode_No_Slot;
  }

  char shown[256];
  switch (m_Roll.Parse(Get_Argument_Text_Value(m_Args, m_ArgsCount, "/TR.Roll="), shown, sizeof(shown))) {
    case CRoll_Rule::eParse_Cut:
      TR_JOURNAL(m_Journal, IJournal::eError, "Rolling value is more than 1000 hours, cutting");
      break;
    case CRoll_Rule::eParse_Invalid:
      TR_JOURNAL(m_Journal, IJournal::eError, "Rolling value is not correct = %s", shown);
      break;
    default:
      break;
  }
  return eCode_Ok;
}

uint32_t CClFile::Init_Thread() {
  if (!m_Events.Init(3, 0, 2, 0)) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Exit event wasn't created !");
    TR_Set_Last_Error(eLastError_Thread);
    return eCode_No_Slot;
  }
  // The writer runs with asynchronous signals blocked: they are then handled on the
  // application's threads, whose handlers may close this sink and join the writer. Faults stay
  // deliverable, so a crash on the writer still reaches the crash handler.
  sigset_t all, previous;
  sigfillset(&all);
  for (int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS}) sigdelset(&all, fault);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const int created = pthread_create(&m_Thread, nullptr, Static_Routine, this);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (created != 0) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Communication thread wasn't created !");
    TR_Set_Last_Error(eLastError_Thread);
    return eCode_No_Slot;
  }
  m_ThreadCreated = true;
  return eCode_Ok;
}

CClFile::sBuffer* CClFile::Take_Free_Locked() {
  auto* cell = m_FreeBuffers.Get_First();
  if (cell == nullptr) return nullptr;
  sBuffer* buffer = m_FreeBuffers.Get_Data(cell);
  m_FreeBuffers.Remove(cell, false);
  buffer->used = 0;
  return buffer;
}

void CClFile::Give_Back_Locked(sBuffer* buffer) {
  buffer->used = 0;
  if (m_HeaderPending) {
    m_HeaderPending = false;
    memcpy(buffer->data, &m_Header, sizeof(m_Header));
    buffer->used = sizeof(m_Header);
    m_Stream.current = buffer;
    return;
  }
  // Most recently used first: its memory is still warm.
  m_FreeBuffers.Add_First(buffer);
}

void CClFile::Give_Back(sBuffer* buffer) {
  CLockGuard guard(&m_StatusLock);
  Give_Back_Locked(buffer);
}

uint32_t CClFile::Filled_Count_Locked() { return m_Stream.filled.Count() + m_Old.filled.Count(); }

void CClFile::Append_Locked(sStream* stream, const void* data, uint64_t size, bool signal) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    if (stream->current == nullptr) stream->current = Take_Free_Locked();
    sBuffer* buffer = stream->current;
    const uint64_t space = m_BufferSize - buffer->used;
    const uint64_t part = size < space ? size : space;
    memcpy(buffer->data + buffer->used, bytes, part);
    buffer->used += part;
    bytes += part;
    size -= part;
    if (buffer->used == m_BufferSize) {
      stream->filled.Add_Last(buffer);
      stream->current = nullptr;
      if (signal) m_Events.Set(eEvent_Data);
    }
  }
}

uint32_t CClFile::Sent(uint32_t id, sTRC_Data_Chunk* chunks, uint32_t count, uint32_t size) {
  if (m_Status != eCode_Ok) {
    m_Rejects.error.fetch_add(1, std::memory_order_relaxed);
    return m_Status;
  }
  if (chunks == nullptr || count == 0 || id >= kMaxChannels || size > sTRC_User_Header::kMaxLength - 4) {
    m_Rejects.error.fetch_add(1, std::memory_order_relaxed);
    return eCode_Bad_Args;
  }
  const uint32_t length = size + 4;
  {
    // Common case: delivering into the open file, and the record fits in the current buffer
    // without filling it. The chunks are checked while they are copied into the free space
    // behind `used`; only a record found whole and consistent is committed by advancing `used`,
    // so a refused call leaves the buffer as it was.
    CLockGuard guard(&m_StatusLock);
    sBuffer* current = m_Stream.current;
    if (m_Connection.connected != 0 && !m_Rolling && !m_HeaderPending && current != nullptr &&
        m_BufferSize - current->used > length) {
      const uint32_t header = sTRC_User_Header::Make(length, id);
      uint8_t* const start = current->data + current->used;
      memcpy(start, &header, sizeof(header));
      uint32_t left = size;
      uint8_t* target = start + sizeof(header);
      bool valid = true;
      for (uint32_t i = 0; i < count; ++i) {
        const uint32_t part = chunks[i].size;
        if (part > left || (chunks[i].data == nullptr && part != 0)) {
          valid = false;
          break;
        }
        if (part != 0) memcpy(target, chunks[i].data, part);
        target += part;
        left -= part;
      }
      if (valid && left == 0) {
        current->used += length;
        return eCode_Ok;
      }
      m_Rejects.error.fetch_add(1, std::memory_order_relaxed);
      return eCode_Bad_Args;
    }
  }
  // The room check below relies on `size`: chunks that do not add up to it are refused whole.
  uint64_t total = 0;
  bool null_data = false;
  for (uint32_t i = 0; i < count; ++i) {
    null_data |= chunks[i].data == nullptr && chunks[i].size != 0;
    total += chunks[i].size;
  }
  if (total != size || null_data) {
    m_Rejects.error.fetch_add(1, std::memory_order_relaxed);
    return eCode_Bad_Args;
  }

  CLockGuard guard(&m_StatusLock);
  if (m_Connection.connected == 0) {
    m_Rejects.off.fetch_add(1, std::memory_order_relaxed);
    return eCode_Off;
  }
  sStream* stream = &m_Stream;
  bool signal = true;
  if (m_Rolling) {
    // A channel moves to the new file with the replay of its context, and stays there.
    const uint32_t bit = 1u << id;
    if ((m_Switched & bit) == 0 && Starts_With_Info(chunks)) m_Switched |= bit;
    if ((m_Switched & bit) == 0) {
      stream = &m_Old;
      signal = false;  // the roll collects these buffers itself
    }
  }
  if (stream == &m_Stream && m_HeaderPending) {
    m_Rejects.no_room.fetch_add(1, std::memory_order_relaxed);
    return eCode_No_Room;
  }
  uint64_t room = static_cast<uint64_t>(m_FreeBuffers.Count()) * m_BufferSize;
  if (stream->current != nullptr) room += m_BufferSize - stream->current->used;
  if (room < length) {
    m_Rejects.no_room.fetch_add(1, std::memory_order_relaxed);
    return eCode_No_Room;
  }
  const uint32_t header = sTRC_User_Header::Make(length, id);
  Append_Locked(stream, &header, sizeof(header), signal);
  for (uint32_t i = 0; i < count; ++i) {
    if (chunks[i].size != 0) Append_Locked(stream, chunks[i].data, chunks[i].size, signal);
  }
  return eCode_Ok;
}

bool CClFile::Get_Info(sTRC_Info* info) {
  if (info == nullptr) return false;
  CLockGuard guard(&m_StatusLock);
  m_Rejects.Fill(info, m_BufferSize, Filled_Count_Locked(), m_FreeBuffers.Count(), m_BufferCount);
  return true;
}

void CClFile::Flush() {
  if (m_ThreadCreated) m_Events.Set(eEvent_Flush);
}

bool CClFile::Close() {
  CLockGuard close_guard(&m_CloseLock);
  // Re-entered on the closing thread (a signal handler during Close) or closed already.
  if (m_Closed || m_Closing) return true;
  m_Closing = true;

  Flush_Channels();

  if (m_ThreadCreated) {
    m_Events.Set(eEvent_Exit);
    void* result = nullptr;
    // A crash on the writer thread itself closes from there: it cannot wait for itself.
    const bool self = pthread_equal(pthread_self(), m_Thread) != 0;
    if (self || pthread_join(m_Thread, &result) != 0 || result != nullptr) {
      TR_JOURNAL(m_Journal, IJournal::eCritical, "Can't close file thread !");
    }
    if (!self) m_ThreadCreated = false;
  }

  {
    CLockGuard guard(&m_StatusLock);
    m_HeaderPending = false;
    bool writing = m_Connection.connected != 0 && m_File.IsOpened();
    // Everything accepted, in acceptance order: records of the file before a roll first.
    for (sStream* stream : {&m_Old, &m_Stream}) {
      while (auto* cell = stream->filled.Get_First()) {
        sBuffer* buffer = stream->filled.Get_Data(cell);
        stream->filled.Remove(cell, false);
        if (writing && !Write_Buffer(buffer)) {
          TR_JOURNAL(m_Journal, IJournal::eCritical, "Can't write to file !");
          writing = false;
        }
        Give_Back_Locked(buffer);
      }
      if (stream->current != nullptr) {
        sBuffer* buffer = stream->current;
        stream->current = nullptr;
        if (writing && buffer->used > 0 && !Write_Buffer(buffer)) {
          TR_JOURNAL(m_Journal, IJournal::eCritical, "Can't write to file !");
          writing = false;
        }
        Give_Back_Locked(buffer);
      }
    }
    m_Rolling = false;
    m_HeaderPending = false;
    m_Connection.connected = 0;
  }
  m_File.Close(true);
  m_Closed = true;
  m_Closing = false;
  return true;
}
