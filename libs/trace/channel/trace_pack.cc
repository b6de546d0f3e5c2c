// Trace channel: the trace entry points - filter, descriptor lookup, argument packing, hand-over.
// The steady path allocates nothing: descriptors are built once per call site, the argument buffer
// and the chunk array only grow, and strings are referenced until the sink copies them in Sent.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <new>

#include "trace/base/clocks.h"
#include "trace/channel/record_fill.h"
#include "trace/channel/trace.h"

namespace {

// Extra chunk entries a call needs besides its plan: the loss report and its descriptor,
// the call's descriptor, data header, trailer, slack.
constexpr uint32_t kCall_Chunks = 7;

std::atomic<bool> g_Embedded_Warned{false};

}  // namespace

bool CTRTrace::Trace(uint16_t id, eTRTrace_Level level, void* module, uint16_t line,
                     const char* file, const char* function, const char* format, ...) {
  va_list args;
  va_start(args, format);
  bool sent = Trace_Raw(id, level, module, line, file, function, &format, &args);
  va_end(args);
  return sent;
}

bool CTRTrace::Trace_Embedded(uint16_t, eTRTrace_Level, void*, uint16_t, const char*, const char*,
                              const char**) {
  if (!g_Embedded_Warned.exchange(true)) {
    printf("TR TRACE ERROR: Trace_Embedded function is obsolete!\n");
    fflush(stdout);
  }
  return false;
}

bool CTRTrace::Trace_Embedded(uint16_t id, eTRTrace_Level level, void* module, uint16_t line,
                              const char* file, const char* function, const char** format,
                              va_list* args) {
  if (!format || !args) return false;
  return Trace_Raw(id, level, module, line, file, function, format, args);
}

uint16_t CTRTrace::Next_Dynamic_ID() {
  if (m_Dynamic_ID == kLast_Dynamic_ID) return 0;
  return ++m_Dynamic_ID;
}

CTRTrace_Desc* CTRTrace::New_Desc(uint16_t id, uint16_t module_id, uint16_t line, const char* file,
                                  const char* function, const char** format, const uint64_t* key) {
  void* memory = m_Arena.Alloc(sizeof(CTRTrace_Desc));
  if (!memory) return nullptr;
  CTRTrace_Desc* desc =
      format ? new (memory)
                   CTRTrace_Desc(&m_Arena, id, line, module_id, file, function, format, key)
             : new (memory) CTRTrace_Desc(&m_Arena, id, line, module_id, file, function, key);
  // The argument buffer holds one 8-byte value per argument; grown here, off the steady path.
  uint32_t args = desc->Get_Arguments_Count();
  if (desc->Is_Initialized() && args > m_Arg_Values_Capacity) {
    if (void* grown = m_Arena.Reuse(CMemoryManager::eBuffer_Values, size_t{args} * 16)) {
      m_Arg_Values = static_cast<uint64_t*>(grown);
      m_Arg_Values_Capacity = args * 2;
    }
  }
  return desc;
}

CTRTrace_Desc* CTRTrace::Find_Desc(uint16_t id, uint16_t module_id, uint16_t line, const char* file,
                                   const char* function, const char** format) {
  if (id != 0 && id < kFixed_IDs) {
    CTRTrace_Desc*& slot = m_IDs[id];
    if (!slot) {
      const uint64_t key[2] = {reinterpret_cast<uintptr_t>(function),
                               reinterpret_cast<uintptr_t>(*format)};
      slot = New_Desc(id, module_id, line, file, function, format, key);
      return slot;
    }
    // A fixed ID keeps its first plan; a call whose arguments do not fit it is dropped rather
    // than read with the wrong types.
    if (slot->Is_Initialized() && !slot->Accepts_Format(&m_Arena, *format)) return nullptr;
    return slot;
  }
  sSite_Cache& cached = m_Site_Cache[Call_Site_Hash(function, *format, 0) % kSite_Cache];
  const uint64_t key[2] = {reinterpret_cast<uintptr_t>(function),
                           reinterpret_cast<uintptr_t>(*format)};
  CTRTrace_Desc* desc = m_Sites.Find(key);
  if (!desc) {
    uint16_t dynamic = Next_Dynamic_ID();
    if (dynamic == 0) return nullptr;
    desc = New_Desc(dynamic, module_id, line, file, function, format, key);
    if (!desc || m_Sites.Push(desc, desc->Get_Key()) != desc) {
      --m_Dynamic_ID;  // the ID was not given to a cached descriptor
      return nullptr;
    }
  }
  cached = sSite_Cache{function, *format, desc};
  return desc;
}

CTRTrace_Desc* CTRTrace::Find_Managed_Desc(uint16_t id, uint16_t module_id, uint16_t line,
                                           const char* file, const char* function) {
  uint64_t key[2];
  CTRTrace_Desc::Make_Managed_Key(file, line, key);
  if (id != 0 && id < kFixed_IDs) {
    CTRTrace_Desc*& slot = m_IDs[id];
    if (!slot) return slot = New_Desc(id, module_id, line, file, function, nullptr, key);
    if (slot->Is_Initialized() && !slot->Accepts_Message()) return nullptr;
    return slot;
  }
  CTRTrace_Desc* desc = m_Managed_Sites.Find(key);
  if (!desc) {
    uint16_t dynamic = Next_Dynamic_ID();
    if (dynamic == 0) return nullptr;
    desc = New_Desc(dynamic, module_id, line, file, function, nullptr, key);
    if (!desc || m_Managed_Sites.Push(desc, desc->Get_Key()) != desc) {
      --m_Dynamic_ID;
      return nullptr;
    }
  }
  return desc;
}

// The chunks of one call, in stream order: the descriptor when it has not travelled since the
// last connection, the data header (filled last, when the record size is known), the values,
// the trailer. Begun after the pending chunks so one Sent delivers both.
inline sTRC_Data_Chunk* CTRTrace::Begin_Call(CTRTrace_Desc* desc, bool* with_desc, uint64_t* size) {
  sTRC_Data_Chunk* chunk = m_Chunks + m_Pending_Count;
  *size = m_Pending_Size;
  m_Call_Loss = false;
  if (__builtin_expect(m_Loss_Waiting, 0)) {
    Fold_Next_Loss();
    sTRC_Data_Chunk* after = Add_Loss_Report(chunk, size, &m_Call_Loss_Desc);
    m_Call_Loss = after != chunk;
    chunk = after;
  }
  *with_desc = desc->Get_Resets() != static_cast<int64_t>(m_Status.resets);
  if (*with_desc) {
    uint32_t desc_size;
    const void* record = desc->Get_Buffer(&desc_size);
    *chunk++ = sTRC_Data_Chunk{record, desc_size};
    *size += desc_size;
  }
  return chunk;
}

// Fills the data header of a record of `record_size` bytes and hands the call over with the
// pending chunks up to `end`. A record larger than its header can express is refused rather
// than corrupted. The descriptor counts as sent only when the Sent succeeds.
inline bool CTRTrace::Finish_Call(CTRTrace_Desc* desc, eTRTrace_Level level,
                                  sTRC_Data_Chunk* header, sTRC_Data_Chunk* end, uint64_t size,
                                  uint64_t record_size, bool with_desc) {
  if (record_size > kTRTrace_Max_Record) {
    if (m_Call_Loss) Loss_Report_Done(false, m_Call_Loss_Desc);
    return false;
  }
  record_fill::Fill_Data_Header(&m_Data_Header, static_cast<uint32_t>(record_size), desc, level,
                                m_Counter, Timer());
  *header = sTRC_Data_Chunk{&m_Data_Header, sizeof(m_Data_Header)};
  size += record_size;

  if (with_desc) desc->Set_Resets(m_Status.resets);
  const uint32_t code = Send(static_cast<uint32_t>(end - m_Chunks), static_cast<uint32_t>(size));
  if (__builtin_expect(m_Call_Loss, 0)) Loss_Report_Done(code == eCode_Ok, m_Call_Loss_Desc);
  if (code == eCode_Ok) return true;
  if (with_desc) desc->Set_Resets(CTRTrace_Desc::kNever_Sent);
  return Lose(code == eCode_No_Room ? eLoss_Reason::eNo_Room : eLoss_Reason::eSink_Off);
}

__attribute__((always_inline)) inline bool CTRTrace::Trace_Locked(
    uint16_t id, eTRTrace_Level level, void* module, uint16_t line, const char* file,
    const char* function, const char** format, va_list* args, CTRTrace_Desc** remember) {
  if (!Begin_Locked_Call()) return Lose(eLoss_Reason::eNo_Room);
  if (!Can_Send()) return m_Active ? Lose(eLoss_Reason::eSink_Off) : false;
  const sTRTrace_Module* mod = static_cast<const sTRTrace_Module*>(module);
  if (Filtered(level, mod)) return false;

  CTRTrace_Desc* desc = nullptr;
  if (id == 0) {
    const sSite_Cache& cached = m_Site_Cache[Call_Site_Hash(function, *format, 0) % kSite_Cache];
    if (cached.function == function && cached.format == *format) desc = cached.desc;
  }
  if (!desc) desc = Find_Desc(id, mod ? mod->id : 0, line, file, function, format);
  if (!desc || !desc->Is_Initialized()) return false;
  // While the channel stages, its callers remember the site, so their next calls need no lock.
  if (id == 0 && m_Staging.Active()) *remember = desc;

  uint32_t blocks_count;
  desc->Get_Blocks(&blocks_count);
  uint32_t args_count = desc->Get_Arguments_Count();
  if (args_count > m_Arg_Values_Capacity || !Reserve_Chunks(blocks_count + kCall_Chunks)) {
    return Lose(eLoss_Reason::eNo_Room);
  }

  bool with_desc;
  uint64_t size;
  sTRC_Data_Chunk* chunk = Begin_Call(desc, &with_desc, &size);
  sTRC_Data_Chunk* header = chunk++;
  uint64_t record_size = sizeof(sTRTrace_Data);
  record_fill::Read_Values(desc, args, m_Arg_Values);
  record_size += record_fill::Value_Chunks(desc, m_Arg_Values, &chunk);
  uint32_t trailer_size = record_fill::Fill_Trailer(mod, m_Trailer);
  *chunk++ = sTRC_Data_Chunk{m_Trailer, trailer_size};
  record_size += trailer_size;
  return Finish_Call(desc, level, header, chunk, size, record_size, with_desc);
}

CTRTrace::eStaged CTRTrace::Stage_Call(eTRTrace_Level level, void* module, const char* function,
                                       const char** format, va_list* args) {
  if (!m_Open.load(std::memory_order_relaxed)) return eStaged::eLocked_Way;  // counts the loss
  const sTRTrace_Module* mod = static_cast<const sTRTrace_Module*>(module);
  if (Filtered(level, mod)) {
    m_Filtered_Unlocked.fetch_add(1, std::memory_order_relaxed);
    return eStaged::eFiltered;
  }
  return m_Staging.Stage(level, mod, function, format, args);
}

bool CTRTrace::Trace_Raw(uint16_t id, eTRTrace_Level level, void* module, uint16_t line,
                         const char* file, const char* function, const char** format,
                         va_list* args) {
  // A caller-supplied timer is called under the lock only, and fixed IDs keep their locked plan.
  const bool may_stage = id == 0 && m_Conf.get_timer == nullptr;
  if (may_stage && m_Staging.Active()) {
    const eStaged staged = Stage_Call(level, module, function, format, args);
    if (staged != eStaged::eLocked_Way) return staged == eStaged::eStaged;
  }
  if (!m_Lock.Try_Lock()) {
    // Contended: from now on the channel's callers stage rather than wait, this one included.
    if (may_stage) {
      m_Staging.Contended();
      const eStaged staged = Stage_Call(level, module, function, format, args);
      if (staged != eStaged::eLocked_Way) return staged == eStaged::eStaged;
    }
    m_Lock.Lock();
  }
  CTRTrace_Desc* remember = nullptr;
  const bool sent = Trace_Locked(id, level, module, line, file, function, format, args, &remember);
  m_Lock.Unlock();
  // While the channel stages, its callers remember the site, so their next calls need no lock.
  // After the lock: a thread's first site sets up its staging state and ring, which allocates,
  // and no other caller should wait for that.
  if (remember != nullptr) m_Staging.Remember_Site(function, *format, remember);
  return sent;
}

bool CTRTrace::Trace_Managed(uint16_t id, eTRTrace_Level level, void* module, uint16_t line,
                             const char* file, const char* function, const char* message) {
  CLockGuard guard(&m_Lock);
  if (!Begin_Locked_Call()) return Lose(eLoss_Reason::eNo_Room);
  if (!Can_Send()) return m_Active ? Lose(eLoss_Reason::eSink_Off) : false;
  const sTRTrace_Module* mod = static_cast<const sTRTrace_Module*>(module);
  if (level < m_Verbosity.load(std::memory_order_relaxed) || (mod && level < mod->level)) {
    return false;
  }

  CTRTrace_Desc* desc = Find_Managed_Desc(id, mod ? mod->id : 0, line, file, function);
  if (!desc || !desc->Is_Initialized()) return false;
  if (!Reserve_Chunks(kCall_Chunks)) return Lose(eLoss_Reason::eNo_Room);

  bool with_desc;
  uint64_t size;
  sTRC_Data_Chunk* chunk = Begin_Call(desc, &with_desc, &size);
  sTRC_Data_Chunk* header = chunk++;
  sTRC_Data_Chunk text =
      message ? sTRC_Data_Chunk{message,
                                static_cast<uint32_t>(strnlen(message, kTRTrace_Max_Record) + 1)}
              : sTRC_Data_Chunk{kTRTrace_Null_Message, sizeof(kTRTrace_Null_Message)};
  *chunk++ = text;
  uint32_t trailer_size = record_fill::Fill_Trailer(mod, m_Trailer);
  *chunk++ = sTRC_Data_Chunk{m_Trailer, trailer_size};
  uint64_t record_size = sizeof(sTRTrace_Data) + uint64_t{text.size} + trailer_size;
  return Finish_Call(desc, level, header, chunk, size, record_size, with_desc);
}
