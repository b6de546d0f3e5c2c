#include "trace/text/cl_text.h"

#include <string.h>
#include <strings.h>

#include <new>

#include "trace/base/clocks.h"
#include "trace/core/journal.h"
#include "trace/core/last_error.h"
#include "trace/core/options.h"
#include "trace/text/cl_text_console.h"
#include "trace/text/cl_text_file.h"
#include "trace/text/cl_text_syslog.h"
#include "trace/text/text_sink_registry.h"

CClText::CClText(char** args, int count) : CClient(eText, args, count) {
  if (m_Status == 0) m_Status = Init_Base();
  if (m_Status == 0) m_Status = Init_Pool();
  if (m_Status == 0) m_Status = Init_Backend();
  if (m_Status == 0) m_Status = Init_Thread();
  if (m_Status == 0) Init_Crash_Handler();
}

CClText::~CClText() {
  Uninit_Crash_Handler();
  Unshare();
  Close();
  Free_Buffers();
}

void CClText::Free_Buffers() {
  auto release = [](CBList<sBuffer*>* list) {
    for (auto* cell = list->Get_First(); cell; cell = list->Get_Next(cell)) {
      if (cell->data) delete[] cell->data->data;
      delete cell->data;
    }
    list->Clear(false);
  };
  CLockGuard guard(&m_StatusLock);
  release(&m_FreePool);
  release(&m_Ready);
  if (m_Current) {
    delete[] m_Current->data;
    delete m_Current;
    m_Current = nullptr;
  }
}

uint32_t CClText::Init_Base() {
  const char* format = Get_Argument_Text_Value(m_Args, m_ArgsCount, "/TR.Format=");
  if (!m_Parser.Init(format)) {
    TR_JOURNAL(m_Journal, IJournal::eError, "%s", m_Parser.Error_Text());
    TR_Set_Last_Error(eLastError_No_Memory);
    return eCode_No_Slot;
  }
  return eCode_Ok;
}

uint32_t CClText::Init_Pool() {
  long kilobytes = Get_Argument_Long(m_Args, m_ArgsCount, "/TR.Pool=", -1);
  if (kilobytes < 0 && Get_Argument_Text_Value(m_Args, m_ArgsCount, "/TR.Pool=") == nullptr) {
    m_BufferCount = kDefaultBuffers;
    m_BufferSize = kDefaultBufferSize;
  } else {
    uint64_t pool = kilobytes > 0 ? static_cast<uint64_t>(kilobytes) * 1024 : 0;
    if (pool < kMinPool) pool = kMinPool;
    if (pool > kMaxPool) pool = kMaxPool;
    m_BufferSize = 16384;
    for (uint32_t size : {131072u, 65536u, 32768u, 16384u}) {
      if (pool / size > 2) {
        m_BufferSize = size;
        break;
      }
    }
    m_BufferCount = static_cast<uint32_t>(pool / m_BufferSize);
  }
  CLockGuard guard(&m_StatusLock);
  for (uint32_t i = 0; i < m_BufferCount; ++i) {
    sBuffer* buffer = new (std::nothrow) sBuffer{new (std::nothrow) uint8_t[m_BufferSize], 0};
    if (!buffer || !buffer->data || !m_FreePool.Add_Last(buffer)) {
      if (buffer) delete[] buffer->data;
      delete buffer;
      TR_JOURNAL(m_Journal, IJournal::eError, "Pool: Memory buffer allocation failed (%u of %u)", i, m_BufferCount);
      TR_Set_Last_Error(eLastError_Pool);
      return eCode_No_Slot;
    }
  }
  // Give the ready list its cells now, so that moving a buffer between the lists never needs to
  // allocate (and so can never fail) while producers copy data.
  for (uint32_t i = 0; i < m_BufferCount; ++i) {
    if (!m_Ready.Add_Last(nullptr)) {
      TR_Set_Last_Error(eLastError_Pool);
      return eCode_No_Slot;
    }
  }
  m_Ready.Clear(false);
  m_Parser.Set_Max_Packet(m_BufferSize * m_BufferCount);
  return eCode_Ok;
}

uint32_t CClText::Init_Backend() {
  const char* sink = Get_Argument_Text_Value(m_Args, m_ArgsCount, "/TR.Sink=");
  if (sink && strcasecmp(sink, "FileTxt") == 0) {
    m_Output = new (std::nothrow) CClTextFile();
  } else if (sink && strcasecmp(sink, "Syslog") == 0) {
    m_Output = new (std::nothrow) CClTextSyslog(m_Journal);
  } else if (sink && strcasecmp(sink, "ExternalSinc") == 0) {
    const char* text = Get_Argument_Text_Value(m_Args, m_ArgsCount, "/TR.ExtAddr=");
    uint64_t handle = 0;
    CClTextSink* external = nullptr;
    if (CTextSinkRegistry::Parse_Handle(text, &handle)) external = CTextSinkRegistry::Find(handle);
    if (external) {
      m_Output = external;
      m_OutputExternal = true;
    } else {
      TR_JOURNAL(m_Journal, IJournal::eWarning,
                 "/TR.ExtAddr=%s is not a registered text sink handle; console output used", text ? text : "");
    }
  }
  if (!m_Output) m_Output = new (std::nothrow) CClTextConsole();
  if (!m_Output) {
    TR_Set_Last_Error(eLastError_No_Memory);
    return eCode_No_Slot;
  }
  m_Parser.Set_Output(m_Output);
  return m_Output->Initialize(m_Args, m_ArgsCount);
}

uint32_t CClText::Init_Thread() {
  m_EventsReady = m_Events.Init(3, CMEvent::kManualReset, 2, 0);
  m_BufferFreedReady = m_BufferFreed.Init(1, 0);
  if (!m_EventsReady || !m_BufferFreedReady) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Exit event wasn't created !");
    TR_Set_Last_Error(eLastError_Thread);
    return eCode_No_Slot;
  }
  if (pthread_create(&m_Thread, nullptr, Static_Routine, this) != 0) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Communication thread wasn't created !");
    TR_Set_Last_Error(eLastError_Thread);
    return eCode_No_Slot;
  }
  m_ThreadStarted = true;
  return eCode_Ok;
}

void* CClText::Static_Routine(void* self) {
  static_cast<CClText*>(self)->Routine();
  return nullptr;
}

CClText::sBuffer* CClText::Take_Buffer() {
  CLockGuard guard(&m_StatusLock);
  if (auto* cell = m_Ready.Get_First()) {
    sBuffer* buffer = cell->data;
    m_Ready.Remove(cell, false);
    return buffer;
  }
  if (m_Current && m_Current->used) {
    sBuffer* buffer = m_Current;
    m_Current = nullptr;
    return buffer;
  }
  return nullptr;
}

void CClText::Wake_Writers() {
  for (; m_WritersWaiting; --m_WritersWaiting) m_BufferFreed.Set(0);
}

void CClText::Return_Buffer(sBuffer* buffer) {
  CLockGuard guard(&m_StatusLock);
  buffer->used = 0;
  m_FreePool.Add_Last(buffer);  // cannot fail: the pool's cells were made at start
  Wake_Writers();
}

void CClText::Go_Off() {
  sTRC_Status status;
  {
    CLockGuard guard(&m_StatusLock);
    m_ParseFailed = true;
    m_Connection.connected = 0;
    status = m_Connection;
    Wake_Writers();
  }
  TR_JOURNAL(m_Journal, IJournal::eCritical,
             "Text output stopped: the trace stream cannot be parsed at stream offset %llu: %s",
             static_cast<unsigned long long>(m_Parser.Error_Offset()), m_Parser.Error_Text());
  // Producers blocked for room hold their channel's lock; they wake on the event above, see the
  // client off and return before the channels are told.
  Notify_Channels(status);
}

void CClText::Routine() {
  uint32_t last_roll = GetTickCount();
  uint32_t last_dump = last_roll;
  for (bool run = true; run;) {
    uint32_t event = m_Events.Wait(kWaitMs);
    bool failed = false;
    if (event == MEVENT_NONE || event == 1) {
      if (sBuffer* buffer = Take_Buffer()) {
        last_dump = GetTickCount();
        failed = m_Parser.Parse_Buffer(buffer->data, buffer->used) != 0;
        // After a failure the client is off before room appears, so that no producer is told
        // its data was accepted when no worker will ever render it.
        if (failed) Go_Off();
        Return_Buffer(buffer);
      }
    } else if (event == 2) {
      CLockGuard guard(&m_StatusLock);
      if (m_Current && m_Current->used) {
        m_Ready.Add_Last(m_Current);
        m_Current = nullptr;
        m_Events.Set(1);
      }
    } else if (event == 0) {
      run = false;
    }
    if (failed) run = false;
    // Rolls are checked every minute; buffered output is written out once the stream has been
    // quiet for a second, so that lines never wait in memory for the next line to arrive.
    uint32_t now = GetTickCount();
    if (now - last_roll > kRollCheckMs) {
      m_Output->TryRoll();
      last_roll = now;
    }
    if (now - last_dump > kDumpMs) {
      m_Output->DumpBuffers();
      last_dump = now;
    }
  }
}

uint32_t CClText::Sent(uint32_t id, sTRC_Data_Chunk* chunks, uint32_t count, uint32_t size) {
  if (m_Status != 0) {
    ++m_Rejects.error;
    return m_Status;
  }
  if (!chunks || count == 0 || id >= kMaxChannels) {
    ++m_Rejects.error;
    return eCode_Bad_Args;
  }
  if (static_cast<uint64_t>(size) + 4 <= sTRC_User_Header::kMaxLength) {
    // Common case: connected, and the record fits in the current buffer without filling it.
    // The chunks are checked while they are copied into the free space behind `used`; only a
    // record found whole and consistent is committed by advancing `used`, so a refused call
    // leaves the buffer as it was.
    const uint32_t length = size + 4;
    CLockGuard guard(&m_StatusLock);
    if (m_Connection.connected != 0 && m_Current && m_BufferSize - m_Current->used > length) {
      const uint32_t header = sTRC_User_Header::Make(length, id);
      uint8_t* const start = m_Current->data + m_Current->used;
      memcpy(start, &header, sizeof(header));
      uint32_t left = size;
      uint8_t* target = start + sizeof(header);
      bool valid = true;
      for (uint32_t i = 0; i < count; ++i) {
        const uint32_t part = chunks[i].size;
        if (part > left || (!chunks[i].data && part)) {
          valid = false;
          break;
        }
        if (part) memcpy(target, chunks[i].data, part);
        target += part;
        left -= part;
      }
      if (valid && left == 0) {
        m_Current->used += length;
        return eCode_Ok;
      }
      ++m_Rejects.error;
      return eCode_Bad_Args;
    }
  }
  // The copy is sized by the chunks themselves: a `size` that disagrees with them is refused
  // rather than trusted.
  uint64_t sum = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (!chunks[i].data && chunks[i].size) {
      ++m_Rejects.error;
      return eCode_Bad_Args;
    }
    sum += chunks[i].size;
  }
  const uint64_t total = static_cast<uint64_t>(size) + 4;
  if (sum != size || total > sTRC_User_Header::kMaxLength) {
    ++m_Rejects.error;
    return eCode_Bad_Args;
  }
  const uint64_t pool = static_cast<uint64_t>(m_BufferSize) * m_BufferCount;

  CLockGuard guard(&m_StatusLock);
  for (;;) {
    if (m_Connection.connected == 0) {
      ++m_Rejects.off;
      return eCode_Off;
    }
    if (total >= pool) {
      ++m_Rejects.no_room;
      return eCode_No_Room;
    }
    uint64_t room = static_cast<uint64_t>(m_BufferSize) * m_FreePool.Count() +
                    (m_Current ? m_BufferSize - m_Current->used : 0);
    if (room >= total) break;
    ++m_WritersWaiting;
    m_StatusLock.Unlock();
    m_BufferFreed.Wait(kWaitMs);
    m_StatusLock.Lock();
  }

  uint32_t header = sTRC_User_Header::Make(static_cast<uint32_t>(total), id);
  uint8_t header_bytes[4];
  memcpy(header_bytes, &header, sizeof(header));
  auto put = [this](const uint8_t* source, uint64_t bytes) {
    while (bytes) {
      if (!m_Current) {
        auto* cell = m_FreePool.Get_First();
        m_Current = cell->data;
        m_FreePool.Remove(cell, false);
      }
      uint64_t space = m_BufferSize - m_Current->used;
      uint64_t take = bytes < space ? bytes : space;
      memcpy(m_Current->data + m_Current->used, source, take);
      m_Current->used += take;
      source += take;
      bytes -= take;
      if (m_Current->used == m_BufferSize) {
        m_Ready.Add_Last(m_Current);
        m_Current = nullptr;
        m_Events.Set(1);
      }
    }
  };
  put(header_bytes, sizeof(header_bytes));
  for (uint32_t i = 0; i < count; ++i) put(static_cast<const uint8_t*>(chunks[i].data), chunks[i].size);
  return eCode_Ok;
}

void CClText::Flush() {
  if (m_EventsReady) m_Events.Set(2);
}

bool CClText::Get_Info(sTRC_Info* info) {
  if (!info) return false;
  CLockGuard guard(&m_StatusLock);
  m_Rejects.Fill(info, m_BufferSize, m_Ready.Count(), m_FreePool.Count(), m_BufferCount);
  return true;
}

bool CClText::Close() {
  Flush_Channels();
  if (m_EventsReady) m_Events.Set(0);
  if (m_ThreadStarted) {
    if (pthread_join(m_Thread, nullptr) != 0) {
      TR_JOURNAL(m_Journal, IJournal::eCritical, "Can't close file thread !");
    }
    m_ThreadStarted = false;
  }
  CLockGuard guard(&m_StatusLock);
  if (!m_ParseFailed && m_Output) {
    while (sBuffer* buffer = Take_Buffer()) {
      bool failed = m_Parser.Parse_Buffer(buffer->data, buffer->used) != 0;
      Return_Buffer(buffer);
      if (failed) {
        m_ParseFailed = true;
        TR_JOURNAL(m_Journal, IJournal::eCritical, "Trace stream cannot be parsed at stream offset %llu: %s",
                   static_cast<unsigned long long>(m_Parser.Error_Offset()), m_Parser.Error_Text());
        break;
      }
    }
    m_Output->DumpBuffers();
  }
  m_Connection.connected = 0;
  Wake_Writers();
  if (m_Output && !m_OutputExternal) delete m_Output;
  m_Output = nullptr;
  m_Parser.Set_Output(nullptr);
  return true;
}
