// Trace channel: the trace entry points - filter, descriptor lookup, argument packing, hand-over.
// The steady path allocates nothing: descriptors are built once per call site, the staging buffer
// and the chunk array only grow, and strings are referenced until the sink copies them in Sent.
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/rseq.h>
#include <wchar.h>

#include <atomic>
#include <new>

#include "trace/base/clocks.h"
#include "trace/base/proc.h"
#include "trace/channel/stage_thread.h"
#include "trace/channel/trace.h"

namespace {

static_assert(sizeof(wchar_t) == 4, "wide strings travel as 4-byte units");

constexpr wchar_t kWide_Null[] = L"(NULL)";
constexpr wchar_t kWide_Unsupported[] = L"([x]s is unsupported by TR)";
static_assert(sizeof(kWide_Null) == 28 && sizeof(kWide_Unsupported) == 112);

// Extra chunk entries a call needs besides its plan: the loss report and its descriptor,
// the call's descriptor, data header, trailer, slack.
constexpr uint32_t kCall_Chunks = 7;

// Kernel thread ID of the calling thread, queried once per thread. A forked child's thread
// gets a new ID, so the cache of the thread that forks is dropped in the child.
// Initial-exec: one TLS access without a resolver call on every trace.
__attribute__((tls_model("initial-exec"))) thread_local uint32_t t_Thread_ID = 0;

void Forget_Thread_ID() { t_Thread_ID = 0; }

[[maybe_unused]] const int kAtFork_Registered = pthread_atfork(nullptr, nullptr, Forget_Thread_ID);

inline uint32_t Thread_ID() {
  uint32_t id = t_Thread_ID;
  if (__builtin_expect(id == 0, 0)) id = t_Thread_ID = CProc::Get_Thread_ID();
  return id;
}

// Processor of the calling thread: read from the thread's restartable-sequences area that the C
// library registers (a plain load), or asked from the system when there is none.
inline uint32_t Current_CPU() {
  if (__rseq_size != 0) {
    const struct rseq* area = reinterpret_cast<const struct rseq*>(
        static_cast<const char*>(__builtin_thread_pointer()) + __rseq_offset);
    int32_t cpu = static_cast<int32_t>(__atomic_load_n(&area->cpu_id, __ATOMIC_RELAXED));
    if (cpu >= 0) return static_cast<uint32_t>(cpu);
  }
  return CProc::Get_CPU();
}

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
  // Staging holds one 8-byte value per argument; grown here, off the steady path.
  uint32_t args = desc->Get_Arguments_Count();
  if (desc->Is_Initialized() && args > m_Staging_Args) {
    if (void* grown = m_Arena.Reuse(CMemoryManager::eBuffer_Values, size_t{args} * 16)) {
      m_Staging = static_cast<uint64_t*>(grown);
      m_Staging_Args = args * 2;
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

// The trailer: the module extension when the call names a module, else an empty list.
inline uint32_t CTRTrace::Fill_Trailer(const sTRTrace_Module* mod, uint8_t* trailer) {
  if (!mod) {
    trailer[0] = 0;
    return 1;
  }
  memcpy(trailer, &mod->id, sizeof(mod->id));
  trailer[2] = kTRTrace_Ext_Module;
  trailer[3] = 1;
  return 4;
}

// Fills the data header of a record of `record_size` bytes and hands the call over with the
// pending chunks up to `end`. A record larger than its header can express is refused rather
// than corrupted. The descriptor counts as sent only when the Sent succeeds.
inline void CTRTrace::Fill_Data_Header(sTRTrace_Data* header, uint32_t record_size,
                                       const CTRTrace_Desc* desc, eTRTrace_Level level,
                                       uint32_t sequence, uint64_t timer) {
  header->header = TRTrace_Make_Header(record_size, eTRTrace_Data);
  header->id = desc->Get_ID();
  header->level = static_cast<uint8_t>(level);
  header->cpu = static_cast<uint8_t>(Current_CPU());
  header->thread_id = Thread_ID();
  header->sequence = sequence;
  header->timer = timer;
}

inline bool CTRTrace::Finish_Call(CTRTrace_Desc* desc, eTRTrace_Level level,
                                  sTRC_Data_Chunk* header, sTRC_Data_Chunk* end, uint64_t size,
                                  uint64_t record_size, bool with_desc) {
  if (record_size > kTRTrace_Max_Record) {
    if (m_Call_Loss) Loss_Report_Done(false, m_Call_Loss_Desc);
    return false;
  }
  Fill_Data_Header(&m_Data_Header, static_cast<uint32_t>(record_size), desc, level, m_Counter,
                   Timer());
  *header = sTRC_Data_Chunk{&m_Data_Header, sizeof(m_Data_Header)};
  size += record_size;

  if (with_desc) desc->Set_Resets(m_Status.resets);
  const uint32_t code = Send(static_cast<uint32_t>(end - m_Chunks), static_cast<uint32_t>(size));
  if (__builtin_expect(m_Call_Loss, 0)) Loss_Report_Done(code == eCode_Ok, m_Call_Loss_Desc);
  if (code == eCode_Ok) return true;
  if (with_desc) desc->Set_Resets(CTRTrace_Desc::kNever_Sent);
  return Lose(code == eCode_No_Room ? eLoss_Reason::eNo_Room : eLoss_Reason::eSink_Off);
}

// Values in descriptor order: doubles as doubles, strings as pointers, integers widened to 64 bits
// (sign-extended from their promoted type).
inline void CTRTrace::Read_Values(const CTRTrace_Desc* desc, va_list* args, uint64_t* values) {
  const sTRTrace_Arg* arg = desc->Get_Arguments();
  const uint32_t args_count = desc->Get_Arguments_Count();
  for (uint32_t i = 0; i < args_count; ++i) {
    switch (arg[i].type) {
      case eTRArg_Double: {
        double value = va_arg(*args, double);
        memcpy(&values[i], &value, sizeof(value));
        break;
      }
      case eTRArg_Char:
      case eTRArg_Int16:
      case eTRArg_Int32:
        values[i] = static_cast<uint64_t>(static_cast<int64_t>(va_arg(*args, int)));
        break;
      case eTRArg_WChar:
        values[i] = va_arg(*args, wint_t);
        break;
      case eTRArg_IntMax:
        values[i] = static_cast<uint64_t>(va_arg(*args, intmax_t));
        break;
      case eTRArg_Int64:
        values[i] = static_cast<uint64_t>(va_arg(*args, long long));
        break;
      default:  // pointers and strings
        values[i] = reinterpret_cast<uintptr_t>(va_arg(*args, const void*));
        break;
    }
  }
}

// Numeric blocks travel as runs of 8-byte values; strings as their text with its terminator,
// referenced where the caller keeps it.
inline uint64_t CTRTrace::Value_Chunks(CTRTrace_Desc* desc, const uint64_t* values,
                                       sTRC_Data_Chunk** chunk) {
  uint32_t blocks_count;
  const int32_t* blocks = desc->Get_Blocks(&blocks_count);
  sTRC_Data_Chunk* out = *chunk;
  uint64_t size = 0;
  uint32_t value = 0;
  for (uint32_t b = 0; b < blocks_count; ++b) {
    int32_t block = blocks[b];
    if (block > 0) {
      *out++ = sTRC_Data_Chunk{&values[value], static_cast<uint32_t>(block)};
      value += static_cast<uint32_t>(block) / kTRTrace_Numeric_Size;
      size += static_cast<uint32_t>(block);
      continue;
    }
    const void* text = reinterpret_cast<const void*>(static_cast<uintptr_t>(values[value++]));
    sTRC_Data_Chunk piece;
    switch (block) {
      case CTRTrace_Desc::eBlock_String:
        piece = text ? sTRC_Data_Chunk{text,
                                       static_cast<uint32_t>(strnlen(static_cast<const char*>(text),
                                                                     kTRTrace_Max_Record) +
                                                             1)}
                     : sTRC_Data_Chunk{kTRTrace_Null_Text, sizeof(kTRTrace_Null_Text)};
        break;
      case CTRTrace_Desc::eBlock_WString:
        piece =
            text ? sTRC_Data_Chunk{text,
                                   static_cast<uint32_t>((wcsnlen(static_cast<const wchar_t*>(text),
                                                                  kTRTrace_Max_Record) +
                                                          1) *
                                                         4)}
                 : sTRC_Data_Chunk{kWide_Null, sizeof(kWide_Null)};
        break;
      case CTRTrace_Desc::eBlock_WString_Unsupported:
        piece = sTRC_Data_Chunk{kWide_Unsupported, sizeof(kWide_Unsupported)};
        break;
      default:
        piece = sTRC_Data_Chunk{kTRTrace_Unsupported_Text, sizeof(kTRTrace_Unsupported_Text)};
        break;
    }
    *out++ = piece;
    size += piece.size;
  }
  *chunk = out;
  return size;
}

CTRTrace::eStaged CTRTrace::Try_Stage(sStage_Thread* thread, sStage_Ring_Slot* slot,
                                      eTRTrace_Level level, void* module, const char* function,
                                      const char** format, va_list* args) {
  if (!m_Open.load(std::memory_order_relaxed)) return eStaged::eLocked_Way;  // counts the loss
  const sTRTrace_Module* mod = static_cast<const sTRTrace_Module*>(module);
  if (Filtered(level, mod)) {
    m_Filtered_Unlocked.fetch_add(1, std::memory_order_relaxed);
    return eStaged::eFiltered;
  }
  // Busy from the site lookup on: a signal handler tracing on this thread meanwhile goes the
  // locked way and leaves the thread's entries alone, and the entry is copied before use, so
  // the call is never paired with another site's argument layout.
  thread->busy = true;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const sStage_Site site = *thread->Site(m_Serial, function, *format);
  if (site.serial != m_Serial || site.function != function || site.format != *format) {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    thread->busy = false;
    return eStaged::eLocked_Way;
  }
  const eStaged staged = Stage_Record(slot, level, mod, site.desc, args);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  thread->busy = false;
  if (staged != eStaged::eStaged) return staged;
  Note_Staged();

  // Out of budget, or the ring a quarter full: merge now if the lock is free, else keep staging
  // a little longer before trying again.
  if (--slot->budget == 0 || slot->ring->Waiting_More_Than(CStaging_Ring::kBytes / 4)) {
    if (m_Lock.Try_Lock()) {
      Drain_Staged();
      m_Lock.Unlock();
      slot->budget = kStage_Budget;
    } else {
      slot->budget = kStage_Budget / 8;
    }
  }
  return eStaged::eStaged;
}

CTRTrace::eStaged CTRTrace::Stage_Record(sStage_Ring_Slot* slot, eTRTrace_Level level,
                                         const sTRTrace_Module* mod, CTRTrace_Desc* desc,
                                         va_list* args) {
  uint32_t blocks_count;
  desc->Get_Blocks(&blocks_count);
  if (desc->Get_Arguments_Count() > kStage_Max_Args || blocks_count > kStage_Max_Blocks)
    return eStaged::eLocked_Way;

  // Read from a copy, so the locked way can still read `args` when the record cannot be staged.
  uint64_t values[kStage_Max_Args];
  va_list copy;
  va_copy(copy, *args);
  Read_Values(desc, &copy, values);
  va_end(copy);
  sTRC_Data_Chunk chunks[kStage_Max_Blocks + 1];
  sTRC_Data_Chunk* end = chunks;
  uint8_t trailer[4];
  uint64_t record_size = sizeof(sTRTrace_Data) + Value_Chunks(desc, values, &end);
  const uint32_t trailer_size = Fill_Trailer(mod, trailer);
  *end++ = sTRC_Data_Chunk{trailer, trailer_size};
  record_size += trailer_size;
  if (record_size > CStaging_Ring::kMax_Record) return eStaged::eLocked_Way;

  uint8_t* out = slot->ring->Reserve(static_cast<uint32_t>(record_size));
  if (out == nullptr) return eStaged::eLocked_Way;
  sTRTrace_Data header;
  // Numbered by the merge, which also clamps the timer to what the channel already wrote.
  Fill_Data_Header(&header, static_cast<uint32_t>(record_size), desc, level, 0, Channel_Timer());
  memcpy(out, &header, sizeof(header));
  uint8_t* at = out + sizeof(header);
  for (const sTRC_Data_Chunk* chunk = chunks; chunk != end; ++chunk) {
    memcpy(at, chunk->data, chunk->size);
    at += chunk->size;
  }
  slot->ring->Commit(static_cast<uint32_t>(record_size), desc);
  return eStaged::eStaged;
}

void CTRTrace::Remember_Site(const char* function, const char* format, CTRTrace_Desc* desc) {
  sStage_Thread* thread = Stage_Thread();
  if (thread == nullptr && (thread = Stage_Thread_Create()) == nullptr) return;
  // A signal handler's call that interrupted this thread's staged call or set-up: the entries
  // are the interrupted code's.
  if (thread->busy) return;
  sStage_Ring_Slot* slot = thread->Ring_Slot(m_Serial);
  CStaging_Ring* ring = slot->serial == m_Serial ? slot->ring : Thread_Ring(Thread_ID());
  if (ring == nullptr) return;
  thread->busy = true;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (slot->serial != m_Serial) *slot = sStage_Ring_Slot{m_Serial, ring, kStage_Budget};
  *thread->Site(m_Serial, function, format) = sStage_Site{m_Serial, function, format, desc};
  std::atomic_signal_fence(std::memory_order_seq_cst);
  thread->busy = false;
}

__attribute__((always_inline)) inline bool CTRTrace::Trace_Locked(
    uint16_t id, eTRTrace_Level level, void* module, uint16_t line, const char* file,
    const char* function, const char** format, va_list* args) {
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
  if (id == 0 && m_Staging_Mode.load(std::memory_order_relaxed))
    Remember_Site(function, *format, desc);

  uint32_t blocks_count;
  desc->Get_Blocks(&blocks_count);
  uint32_t args_count = desc->Get_Arguments_Count();
  if (args_count > m_Staging_Args || !Reserve_Chunks(blocks_count + kCall_Chunks)) {
    return Lose(eLoss_Reason::eNo_Room);
  }

  bool with_desc;
  uint64_t size;
  sTRC_Data_Chunk* chunk = Begin_Call(desc, &with_desc, &size);
  sTRC_Data_Chunk* header = chunk++;
  uint64_t record_size = sizeof(sTRTrace_Data);
  Read_Values(desc, args, m_Staging);
  record_size += Value_Chunks(desc, m_Staging, &chunk);
  uint32_t trailer_size = Fill_Trailer(mod, m_Trailer);
  *chunk++ = sTRC_Data_Chunk{m_Trailer, trailer_size};
  record_size += trailer_size;
  return Finish_Call(desc, level, header, chunk, size, record_size, with_desc);
}

CTRTrace::eStaged CTRTrace::Stage_Call(eTRTrace_Level level, void* module, const char* function,
                                       const char** format, va_list* args) {
  sStage_Thread* thread = Stage_Thread();
  if (thread == nullptr || thread->busy) return eStaged::eLocked_Way;
  sStage_Ring_Slot* slot = thread->Ring_Slot(m_Serial);
  if (__builtin_expect(slot->serial != m_Serial, 0)) return eStaged::eLocked_Way;
  return Try_Stage(thread, slot, level, module, function, format, args);
}

bool CTRTrace::Trace_Raw(uint16_t id, eTRTrace_Level level, void* module, uint16_t line,
                         const char* file, const char* function, const char** format,
                         va_list* args) {
  // A caller-supplied timer is called under the lock only, and fixed IDs keep their locked plan.
  const bool may_stage = id == 0 && m_Conf.get_timer == nullptr;
  if (may_stage && m_Staging_Mode.load(std::memory_order_relaxed)) {
    const eStaged staged = Stage_Call(level, module, function, format, args);
    if (staged != eStaged::eLocked_Way) return staged == eStaged::eStaged;
  }
  if (!m_Lock.Try_Lock()) {
    // Contended: from now on the channel's callers stage rather than wait, this one included.
    if (may_stage) {
      if (!m_Staging_Mode.load(std::memory_order_relaxed)) {
        m_Staging_Since.store(Channel_Timer(), std::memory_order_relaxed);
        m_Staging_Mode.store(true, std::memory_order_relaxed);
      }
      const eStaged staged = Stage_Call(level, module, function, format, args);
      if (staged != eStaged::eLocked_Way) return staged == eStaged::eStaged;
    }
    m_Lock.Lock();
  }
  const bool sent = Trace_Locked(id, level, module, line, file, function, format, args);
  m_Lock.Unlock();
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
  uint32_t trailer_size = Fill_Trailer(mod, m_Trailer);
  *chunk++ = sTRC_Data_Chunk{m_Trailer, trailer_size};
  uint64_t record_size = sizeof(sTRTrace_Data) + uint64_t{text.size} + trailer_size;
  return Finish_Call(desc, level, header, chunk, size, record_size, with_desc);
}
