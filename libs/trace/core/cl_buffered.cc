#include "trace/core/cl_buffered.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "trace/base/clocks.h"
#include "trace/core/journal.h"
#include "trace/core/last_error.h"

CClBuffered::CClBuffered(eType type, char** args, int count, const sWorker_Plan& plan)
    : CSink_Base(type, args, count), m_Plan(plan) {}

CClBuffered::~CClBuffered() {
  // The derived destructor closed the sink (Shut_Down); this only makes sure that no worker can
  // outlive the object when a derived sink failed to.
  if (m_ThreadStarted.load()) {
    if (m_EventsReady) m_Events.Set(eEvent_Exit);
    if (!On_Worker()) pthread_join(m_Thread, nullptr);
    m_ThreadStarted.store(false);
  }
  CLockGuard guard(&m_StatusLock);
  m_FreeBuffers.Clear(false);
  m_Stream.filled.Clear(false);
  m_Stream.current = nullptr;
  if (m_Buffers != nullptr) {
    for (uint32_t i = 0; i < m_BufferCount; ++i) free(m_Buffers[i].data);
    delete[] m_Buffers;
    m_Buffers = nullptr;
  }
}

void CClBuffered::Shut_Down() {
  Uninit_Crash_Handler();
  Close();
  Unshare();
}

bool CClBuffered::Reserve_Cells(CBList<sBuffer*>* list) {
  bool ok = true;
  for (uint32_t i = 0; ok && i < m_BufferCount; ++i) ok = list->Add_Last(&m_Buffers[i]) != nullptr;
  list->Clear(false);
  return ok;
}

uint32_t CClBuffered::Init_Pool(const sPool_Plan& plan) {
  m_BufferSize = plan.buffer_size;
  if (plan.buffer_size < kPool_Min_Buffer) {
    TR_JOURNAL(m_Journal, IJournal::eError,
               "Pool: Memory calculation error, buffer size = %d, buffers count = %d",
               static_cast<int>(plan.buffer_size), static_cast<int>(plan.buffer_count));
    TR_Set_Last_Error(eLastError_Pool);
    return eCode_No_Slot;
  }
  CLockGuard guard(&m_StatusLock);
  m_Buffers = new (std::nothrow) sBuffer[plan.buffer_count]();
  bool ok = m_Buffers != nullptr;
  for (uint32_t i = 0; ok && i < plan.buffer_count; ++i) {
    m_Buffers[i].data = static_cast<uint8_t*>(malloc(m_BufferSize));
    if (m_Buffers[i].data == nullptr) break;
    m_BufferCount = i + 1;
    ok = m_FreeBuffers.Add_Last(&m_Buffers[i]) != nullptr;
  }
  ok = ok && m_BufferCount == plan.buffer_count && Reserve_Cells(&m_Stream.filled);
  if (!ok) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Pool: Not enough memory");
    TR_Set_Last_Error(eLastError_Pool);
    return eCode_No_Slot;
  }
  return eCode_Ok;
}

uint32_t CClBuffered::Init_Thread() {
  m_EventsReady = m_Events.Init(3, CMEvent::kManualReset, 2, 0);
  const bool freed_ready = m_BufferFreed.Init(1, 0);
  if (!m_EventsReady || !freed_ready) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Exit event wasn't created !");
    TR_Set_Last_Error(eLastError_Thread);
    return eCode_No_Slot;
  }
  if (!Start_Thread(&m_Thread, Static_Routine, this)) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Communication thread wasn't created !");
    TR_Set_Last_Error(eLastError_Thread);
    return eCode_No_Slot;
  }
  m_ThreadStarted.store(true);
  return eCode_Ok;
}

bool CClBuffered::On_Worker() const {
  return pthread_equal(m_WorkerSelf.load(), pthread_self()) != 0;
}

CClBuffered::sBuffer* CClBuffered::Take_Free_Locked() {
  auto* cell = m_FreeBuffers.Get_First();
  if (cell == nullptr) return nullptr;
  sBuffer* buffer = m_FreeBuffers.Get_Data(cell);
  m_FreeBuffers.Remove(cell, false);
  buffer->used = 0;
  return buffer;
}

void CClBuffered::Wake_Writers_Locked() {
  for (; m_WritersWaiting != 0; --m_WritersWaiting) m_BufferFreed.Set(0);
}

void CClBuffered::Give_Back_Locked(sBuffer* buffer) {
  buffer->used = 0;
  // Most recently used first: its memory is still warm. Cannot fail: the cells exist.
  m_FreeBuffers.Add_First(buffer);
  Wake_Writers_Locked();
  On_Buffers_Freed_Locked();
}

void CClBuffered::Give_Back(sBuffer* buffer) {
  CLockGuard guard(&m_StatusLock);
  Give_Back_Locked(buffer);
}

void CClBuffered::Append_Locked(sStream* stream, const void* data, uint64_t size, bool signal) {
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

CClBuffered::sStream* CClBuffered::Select_Stream_Locked(uint32_t, const sTRC_Data_Chunk*,
                                                        bool* signal) {
  *signal = true;
  return &m_Stream;
}

uint32_t CClBuffered::Sent(uint32_t id, sTRC_Data_Chunk* chunks, uint32_t count, uint32_t size) {
  // The chunks are checked while the fast path copies them, or below before the slow path.
  if (const uint32_t code = Check_Sent_Args(id, chunks, count, size); code != eCode_Ok) return code;
  const uint32_t length = size + 4;
  {
    // Common case: delivering, nothing diverted, and the record fits in the current buffer
    // without filling it. The chunks are checked while they are copied into the free space
    // behind `used`; only a record found whole and consistent is committed by advancing `used`,
    // so a refused call leaves the buffer as it was.
    CLockGuard guard(&m_StatusLock);
    sBuffer* current = m_Stream.current;
    if (m_Connection.connected != 0 && !m_Divert && current != nullptr &&
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
  if (!Chunks_Add_Up(chunks, count, size)) {
    m_Rejects.error.fetch_add(1, std::memory_order_relaxed);
    return eCode_Bad_Args;
  }

  const bool may_wait = m_Plan.when_full == eWhen_Full::eWait;
  const uint64_t pool = static_cast<uint64_t>(m_BufferSize) * m_BufferCount;
  sStream* stream = &m_Stream;
  bool signal = true;
  m_StatusLock.Lock();
  for (;;) {
    if (m_Connection.connected == 0) {
      m_StatusLock.Unlock();
      m_Rejects.off.fetch_add(1, std::memory_order_relaxed);
      return eCode_Off;
    }
    // A waiting sink never takes a record as large as the whole pool: no worker could ever make
    // room for it.
    if (may_wait && length >= pool) break;
    stream = &m_Stream;
    signal = true;
    if (m_Divert) stream = Select_Stream_Locked(id, chunks, &signal);
    if (stream == nullptr) break;
    uint64_t room = static_cast<uint64_t>(m_FreeBuffers.Count()) * m_BufferSize;
    if (stream->current != nullptr) room += m_BufferSize - stream->current->used;
    if (room >= length) {
      const uint32_t header = sTRC_User_Header::Make(length, id);
      Append_Locked(stream, &header, sizeof(header), signal);
      for (uint32_t i = 0; i < count; ++i) {
        if (chunks[i].size != 0) Append_Locked(stream, chunks[i].data, chunks[i].size, signal);
      }
      m_StatusLock.Unlock();
      return eCode_Ok;
    }
    // Only the worker frees buffers: on the worker itself (a channel flushed from there) a wait
    // would never end.
    if (!may_wait || On_Worker()) break;
    ++m_WritersWaiting;
    m_StatusLock.Unlock();
    m_BufferFreed.Wait(kRoomWait_ms);
    m_StatusLock.Lock();
  }
  m_StatusLock.Unlock();
  m_Rejects.no_room.fetch_add(1, std::memory_order_relaxed);
  return eCode_No_Room;
}

bool CClBuffered::Get_Info(sTRC_Info* info) {
  if (info == nullptr) return false;
  CLockGuard guard(&m_StatusLock);
  m_Rejects.Fill(info, m_BufferSize, Filled_Count_Locked(), m_FreeBuffers.Count(), m_BufferCount);
  return true;
}

void CClBuffered::Flush() {
  Merge_Staged_Channels();
  if (m_EventsReady) m_Events.Set(eEvent_Flush);
}

void* CClBuffered::Static_Routine(void* self) {
  CClBuffered* sink = static_cast<CClBuffered*>(self);
  sink->Routine();
  // A later thread may get the same ID: it must not be taken for the worker.
  sink->m_WorkerSelf.store(0);
  return nullptr;
}

uint32_t CClBuffered::Take_Batch_Locked(sBuffer** batch, bool take_current, bool* limit_reached,
                                        bool* connected) {
  *connected = m_Connection.connected != 0;
  const uint64_t limit = Batch_Limit_Locked();
  if (limit == 0) {
    *limit_reached = true;
    return 0;
  }
  uint32_t taken = 0;
  uint64_t bytes = 0;
  while (taken < m_Plan.batch && taken < kMaxBatch && bytes < limit) {
    auto* cell = m_Stream.filled.Get_First();
    if (cell == nullptr) break;
    sBuffer* buffer = m_Stream.filled.Get_Data(cell);
    m_Stream.filled.Remove(cell, false);
    batch[taken++] = buffer;
    bytes += buffer->used;
  }
  if (taken == 0 && take_current && m_Stream.current != nullptr && m_Stream.current->used > 0) {
    batch[taken++] = m_Stream.current;
    m_Stream.current = nullptr;
  }
  return taken;
}

void CClBuffered::Routine() {
  m_WorkerSelf.store(pthread_self());
  uint32_t last_take = GetTickCount();
  uint32_t wait = m_Plan.wait_ms;
  bool running = true;
  while (running) {
    const uint32_t event = m_Events.Wait(wait);
    bool take = false;
    bool take_current = false;
    if (event == eEvent_Data) {
      take = true;
      take_current = m_Plan.data_takes_current;
    } else if (event == eEvent_Flush) {
      CLockGuard guard(&m_StatusLock);
      if (m_Stream.current != nullptr && m_Stream.current->used > 0) {
        m_Stream.filled.Add_Last(m_Stream.current);
        m_Stream.current = nullptr;
        m_Events.Set(eEvent_Data);
      }
    } else if (event == eEvent_Exit) {
      running = false;
    } else if (m_Plan.idle_take_ms == 0 ||
               Elapsed_ms(GetTickCount(), last_take) > m_Plan.idle_take_ms) {
      // A time-out: data never waits in memory for its buffer to fill, the partly filled buffer
      // goes out too (at every time-out, or once the last take is long enough ago).
      take = true;
      take_current = true;
    } else {
      wait = m_Plan.wait_ms;
    }

    if (take) {
      // Every buffer of a batch is taken in one visit to the status lock and given back in one,
      // so producers meet the worker on the lock twice per batch. A data signal whose buffer went
      // out already (flush, idle take, a roll) finds nothing to do.
      sBuffer* batch[kMaxBatch];
      bool limit_reached = false;
      bool connected = false;
      uint32_t taken;
      {
        CLockGuard guard(&m_StatusLock);
        taken = Take_Batch_Locked(batch, take_current, &limit_reached, &connected);
      }
      if (limit_reached) {
        On_Batch_Limit();
      } else if (taken != 0) {
        if (!Consume(batch, taken, connected)) running = false;
        CLockGuard guard(&m_StatusLock);
        for (uint32_t i = 0; i < taken; ++i) Give_Back_Locked(batch[i]);
      }
      last_take = GetTickCount();
      wait = m_Plan.busy_wait_ms;
    }
    On_Pass();
  }
}

void CClBuffered::Drain_Stream_Locked(sStream* stream) {
  bool delivering = true;
  while (auto* cell = stream->filled.Get_First()) {
    sBuffer* buffer = stream->filled.Get_Data(cell);
    stream->filled.Remove(cell, false);
    if (delivering && buffer->used > 0) delivering = Drain_Buffer_Locked(buffer);
    Give_Back_Locked(buffer);
  }
  if (stream->current != nullptr) {
    sBuffer* buffer = stream->current;
    stream->current = nullptr;
    if (delivering && buffer->used > 0) Drain_Buffer_Locked(buffer);
    Give_Back_Locked(buffer);
  }
}

void CClBuffered::Stop_Worker() {
  if (m_EventsReady) m_Events.Set(eEvent_Exit);
  if (!m_ThreadStarted.load()) return;
  // Closing on the worker itself (a crash there): it cannot wait for itself.
  const bool self = On_Worker();
  Join_Thread(m_Thread, "file");
  if (!self) m_ThreadStarted.store(false);
}

void CClBuffered::Close_Sink() {
  Flush_Channels();
  Stop_Worker();
  // The worker closed the sink itself while this thread waited for it.
  if (Is_Closed()) return;
  {
    CLockGuard guard(&m_StatusLock);
    Drain_Locked();
    m_Divert = false;
    m_Connection.connected = 0;
    Wake_Writers_Locked();
  }
  if (!m_OutputClosed.exchange(true)) On_Closed();
}

void CClBuffered::After_Closed() {
  // A worker that closed the sink itself runs on until it sees the exit signal; nothing of the
  // sink may go away before it has ended.
  if (m_ThreadStarted.load()) Stop_Worker();
}
