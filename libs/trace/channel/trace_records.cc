// Trace channel: pending records, verbosity, thread and module registration, final flush.
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "trace/base/clocks.h"
#include "trace/base/proc.h"
#include "trace/channel/trace.h"

namespace {

// Copies at most `limit` bytes of `name` into `field` (limit + 1 bytes, zero-filled), cutting
// before a UTF-8 sequence that would not fit whole.
void Copy_Name(char* field, size_t limit, const char* name) {
  size_t length = strnlen(name, limit + 1);
  if (length > limit) {
    length = limit;
    while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) --length;
  }
  memcpy(field, name, length);
  field[length] = '\0';
}

// A free record at the end of the last block of `blocks`, adding a block when the last one is
// full and fewer than `max_blocks` exist. Null when the limit is reached or memory is short.
template <class T>
T* Take_Record(CData_Blocks<T>& blocks, uint32_t max_blocks) {
  auto* cell = blocks.Get_Last();
  sData_Block<T>* block = cell ? blocks.Get_Data(cell) : nullptr;
  if (!block || block->count == sData_Block<T>::kRecords) {
    if (blocks.Count() >= max_blocks) return nullptr;
    block = sData_Block<T>::Create();
    if (!block) return nullptr;
    if (!blocks.Add_Last(block)) {
      free(block->records);
      delete block;
      return nullptr;
    }
  }
  return &block->records[block->count++];
}

// Gives back the record Take_Record just handed out (nothing could be queued).
template <class T>
void Untake_Record(CData_Blocks<T>& blocks) {
  auto* cell = blocks.Get_Last();
  sData_Block<T>* block = blocks.Get_Data(cell);
  --block->count;
  memset(&block->records[block->count], 0, sizeof(T));
  if (block->count == 0) blocks.Remove(cell, true);
}

}  // namespace

bool CTRTrace::Grow_Chunks(uint32_t extra) {
  uint64_t needed = uint64_t{m_Pending_Count} + extra;
  if (needed <= m_Chunks_Capacity) return true;
  if (needed > UINT32_MAX / sizeof(sTRC_Data_Chunk)) return false;
  void* grown = realloc(m_Chunks, sizeof(sTRC_Data_Chunk) * needed);
  if (!grown) return false;
  m_Chunks = static_cast<sTRC_Data_Chunk*>(grown);
  m_Chunks_Capacity = static_cast<uint32_t>(needed);
  return true;
}

bool CTRTrace::Queue_Record(const void* record, uint32_t size) {
  // Only the last pending chunk may grow, and only at its end: records go out in the order they
  // were queued, wherever the allocator placed their blocks.
  const uint8_t* begin = static_cast<const uint8_t*>(record);
  if (m_Pending_Count != 0) {
    sTRC_Data_Chunk& last = m_Chunks[m_Pending_Count - 1];
    if (static_cast<const uint8_t*>(last.data) + last.size == begin) {
      last.size += size;
      m_Pending_Size += size;
      return true;
    }
  }
  if (m_Pending_Count == m_Chunks_Capacity && !Reserve_Chunks(64)) return false;
  m_Chunks[m_Pending_Count++] = sTRC_Data_Chunk{record, size};
  m_Pending_Size += size;
  return true;
}

uint32_t CTRTrace::Send(uint32_t count, uint32_t size) {
  uint32_t code = m_Client->Sent(m_ID, m_Chunks, count, size);
  if (__builtin_expect(code == eCode_No_Room, 0)) {
    // The sink's buffers are full: most often its writer is only waiting for a processor that
    // the producers keep busy. Give the processor away once and try again; a sink still full
    // refuses (a bounded delay of one yield, never a wait for the writer).
    sched_yield();
    code = m_Client->Sent(m_ID, m_Chunks, count, size);
  }
  if (code != eCode_Ok) return code;
  m_Pending_Count = 0;
  m_Pending_Size = 0;
  if (m_Stops.Count() != 0) Retire_Stops();
  return eCode_Ok;
}

bool CTRTrace::Flush_Pending() {
  if (!Can_Send() || m_Pending_Count == 0) return false;
  return Send(m_Pending_Count, m_Pending_Size) == eCode_Ok;
}

void CTRTrace::Queue_Context() {
  m_Chunks[0] = sTRC_Data_Chunk{&m_Info, sizeof(m_Info)};
  m_Chunks[1] = sTRC_Data_Chunk{&m_UTC, sizeof(m_UTC)};
  m_Pending_Count = 2;
  m_Pending_Size = sizeof(m_Info) + sizeof(m_UTC);
  // At most 4 + 4 + 16 block chunks follow; the array starts with far more entries.
  for (auto* cell = m_Starts.Get_First(); cell; cell = m_Starts.Get_Next(cell)) {
    auto* block = m_Starts.Get_Data(cell);
    if (block->count) Queue_Record(block->records, block->count * sizeof(sTRTrace_Thread_Start));
  }
  for (auto* cell = m_Stops.Get_First(); cell; cell = m_Stops.Get_Next(cell)) {
    auto* block = m_Stops.Get_Data(cell);
    if (block->count) Queue_Record(block->records, block->count * sizeof(sTRTrace_Thread_Stop));
  }
  for (auto* cell = m_Modules.Get_First(); cell; cell = m_Modules.Get_Next(cell)) {
    auto* block = m_Modules.Get_Data(cell);
    if (block->count) Queue_Record(block->records, block->count * sizeof(sTRTrace_Module));
  }
}

void CTRTrace::Remove_Start(uint32_t thread_id) {
  for (auto* cell = m_Starts.Get_First(); cell; cell = m_Starts.Get_Next(cell)) {
    auto* block = m_Starts.Get_Data(cell);
    for (uint32_t i = 0; i < block->count; ++i) {
      if (block->records[i].thread_id != thread_id) continue;
      // The last live record fills the hole, so every block but the last stays full.
      auto* last_cell = m_Starts.Get_Last();
      auto* last = m_Starts.Get_Data(last_cell);
      block->records[i] = last->records[last->count - 1];
      --last->count;
      memset(&last->records[last->count], 0, sizeof(sTRTrace_Thread_Start));
      if (last->count == 0 && m_Starts.Count() > 1) m_Starts.Remove(last_cell, true);
      return;
    }
  }
}

void CTRTrace::Retire_Stops() {
  for (auto* cell = m_Stops.Get_First(); cell; cell = m_Stops.Get_Next(cell)) {
    auto* stops = m_Stops.Get_Data(cell);
    for (uint32_t i = 0; i < stops->count; ++i) Remove_Start(stops->records[i].thread_id);
  }
  m_Stops.Clear(true);
}

void CTRTrace::Settle_Staged() {
  uint64_t least = UINT64_MAX;
  for (int idle_ms = 0; idle_ms < kFinal_Patience_ms; ++idle_ms) {
    if (!m_Staging.Has_Staged() || !m_Open.load(std::memory_order_relaxed)) return;
    {
      CLockGuard guard(&m_Lock);
      Drain_Staged();
    }
    const uint64_t staged = m_Staging.Staged_Bytes();
    if (staged == 0) return;
    if (staged < least) {
      least = staged;
      idle_ms = 0;
    }
    usleep(1000);
  }
}

void CTRTrace::Final_Flush() {
  // Staged calls were accepted. The wait for the sink to make room for them happened before,
  // without locks (Settle_Staged, CClient::Settle_Staged_Channels); what the sink cannot take
  // now would wait for ever under this lock, so it counts as lost and the report below tells.
  Drain_Staged();
  if (const uint32_t dropped = m_Staging.Drop(m_Lock)) Lose(eLoss_Reason::eNo_Room, dropped);
  m_Active = false;
  Update_Open();
  if (!Reserve_Chunks(1 + kLoss_Chunks)) return;
  // Losses not yet reported go before the close record: a reader sees them before the end.
  uint64_t size = m_Pending_Size;
  bool loss_desc = false;
  Fold_Next_Loss();
  sTRC_Data_Chunk* chunk = Add_Loss_Report(m_Chunks + m_Pending_Count, &size, &loss_desc);
  const bool with_loss = chunk != m_Chunks + m_Pending_Count;
  *chunk++ = sTRC_Data_Chunk{&m_Close_Record, sizeof(m_Close_Record)};
  size += sizeof(m_Close_Record);
  const bool sent =
      Send(static_cast<uint32_t>(chunk - m_Chunks), static_cast<uint32_t>(size)) == eCode_Ok;
  if (with_loss) Loss_Report_Done(sent, loss_desc);
}

sTRTrace_Module* CTRTrace::Module_By_ID(uint16_t module_id) {
  if (module_id == 0 || module_id > m_Modules_Count) return nullptr;
  uint32_t index = module_id - 1u;
  uint32_t block_index = index / sData_Block<sTRTrace_Module>::kRecords;
  auto* cell = m_Modules.Get_First();
  for (uint32_t i = 0; i < block_index && cell; ++i) cell = m_Modules.Get_Next(cell);
  if (!cell) return nullptr;
  return &m_Modules.Get_Data(cell)->records[index % sData_Block<sTRTrace_Module>::kRecords];
}

void CTRTrace::Set_Verbosity(void* module, eTRTrace_Level level) {
  CLockGuard guard(&m_Lock);
  sTRTrace_Module* record = static_cast<sTRTrace_Module*>(module);
  if (record) {
    Set_Module_Level(record, level);
  } else {
    m_Verbosity.store(level, std::memory_order_relaxed);
  }
  if (!Can_Send() || !Reserve_Chunks(1)) return;
  m_Verbosity_Record.header = TRTrace_Make_Header(sizeof(m_Verbosity_Record), eTRTrace_Verbosity);
  m_Verbosity_Record.level = level;
  m_Verbosity_Record.module_id = record ? record->id : 0;
  m_Chunks[m_Pending_Count] = sTRC_Data_Chunk{&m_Verbosity_Record, sizeof(m_Verbosity_Record)};
  Send(m_Pending_Count + 1, m_Pending_Size + sizeof(m_Verbosity_Record));
}

eTRTrace_Level CTRTrace::Get_Verbosity(void* module) {
  CLockGuard guard(&m_Lock);
  if (module) return static_cast<eTRTrace_Level>(static_cast<sTRTrace_Module*>(module)->level);
  return m_Verbosity.load(std::memory_order_relaxed);
}

bool CTRTrace::Register_Thread(const char* name, uint32_t thread_id) {
  if (!name) return false;
  if (thread_id == 0) thread_id = CProc::Get_Thread_ID();
  CLockGuard guard(&m_Lock);
  sTRTrace_Thread_Start* record = Take_Record(m_Starts, kMax_Start_Blocks);
  if (!record) return false;
  record->header = TRTrace_Make_Header(sizeof(*record), eTRTrace_Thread_Start);
  record->thread_id = thread_id;
  record->timer = Timer();
  Copy_Name(record->name, kThread_Name_Bytes, name);
  if (!Queue_Record(record, sizeof(*record))) {
    Untake_Record(m_Starts);
    return false;
  }
  Flush_Pending();
  return true;
}

bool CTRTrace::Unregister_Thread(uint32_t thread_id) {
  if (thread_id == 0) thread_id = CProc::Get_Thread_ID();
  CLockGuard guard(&m_Lock);
  bool found = false;
  for (auto* cell = m_Starts.Get_First(); cell && !found; cell = m_Starts.Get_Next(cell)) {
    auto* block = m_Starts.Get_Data(cell);
    for (uint32_t i = 0; i < block->count; ++i) {
      if (block->records[i].thread_id == thread_id) {
        found = true;
        break;
      }
    }
  }
  if (!found) return false;
  // The thread's staged records go before its stop.
  Drain_Staged();
  sTRTrace_Thread_Stop* record = Take_Record(m_Stops, kMax_Stop_Blocks);
  if (!record) return false;
  record->header = TRTrace_Make_Header(sizeof(*record), eTRTrace_Thread_Stop);
  record->thread_id = thread_id;
  record->timer = Timer();
  if (!Queue_Record(record, sizeof(*record))) {
    Untake_Record(m_Stops);
    return false;
  }
  Flush_Pending();
  return true;
}

bool CTRTrace::Register_Module(const char* name, void** module) {
  if (!name || !module) return false;
  CLockGuard guard(&m_Lock);
  if (sModuleMap* known = m_Module_Names.Find(name)) {
    *module = known->record;
    return true;
  }
  char* owned = strdup(name);
  if (!owned) return false;
  sModuleMap* entry = new (std::nothrow) sModuleMap(nullptr, owned);
  if (!entry) {
    free(owned);
    return false;
  }
  sTRTrace_Module* record = Take_Record(m_Modules, kMax_Module_Blocks);
  if (!record) {
    delete entry;
    return false;
  }
  record->header = TRTrace_Make_Header(sizeof(*record), eTRTrace_Module);
  record->id = static_cast<uint16_t>(m_Modules_Count + 1);
  Set_Module_Level(record, m_Verbosity.load(std::memory_order_relaxed));
  Copy_Name(record->name, kModule_Name_Bytes, name);
  entry->record = record;
  // With room for one more chunk reserved, queueing cannot fail once the name is indexed.
  if (!Reserve_Chunks(1) || m_Module_Names.Push(entry, entry->name) != entry) {
    Untake_Record(m_Modules);
    delete entry;
    return false;
  }
  Queue_Record(record, sizeof(*record));
  ++m_Modules_Count;
  *module = record;
  Flush_Pending();
  return true;
}
