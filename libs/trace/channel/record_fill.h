// record_fill: how a printf-style call becomes the bytes of one data record, shared by the locked
// path (which hands the pieces to the sink as chunks) and the staging path (which copies them
// into its thread's ring). Keeping one copy of these steps keeps the two paths' records
// identical: one data-header fill, one argument reading, one trailer.
//
// Every function here is signal-safe and allocation-free: each reads only its arguments, the
// descriptor (immutable once built) and the calling thread's own cached IDs.
//
// Thread-safety: any thread; nothing shared is written.
#ifndef TRACE_CHANNEL_RECORD_FILL_H_
#define TRACE_CHANNEL_RECORD_FILL_H_

#include <stdarg.h>
#include <stdint.h>
#include <string.h>
#include <sys/rseq.h>
#include <wchar.h>

#include <atomic>

#include <mqtt-wrapper/TR.h>

#include "trace/base/proc.h"
#include "trace/channel/trace_desc.h"
#include "trace/format/trace_format.h"

// Kernel thread ID of the calling thread, cached once per thread (0: not asked yet). A forked
// child forgets the forking thread's value (record_fill.cc registers that). Initial-exec: one TLS
// access without a resolver call on every trace.
extern __thread uint32_t t_Thread_ID __attribute__((tls_model("initial-exec")));

namespace record_fill {

static_assert(sizeof(wchar_t) == 4, "wide strings travel as 4-byte units");

inline constexpr wchar_t kWide_Null[] = L"(NULL)";
inline constexpr wchar_t kWide_Unsupported[] = L"([x]s is unsupported by TR)";
static_assert(sizeof(kWide_Null) == 28 && sizeof(kWide_Unsupported) == 112);

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

// The data header of one record of `record_size` bytes, locked and staged calls alike.
inline void Fill_Data_Header(sTRTrace_Data* header, uint32_t record_size,
                             const CTRTrace_Desc* desc, eTRTrace_Level level, uint32_t sequence,
                             uint64_t timer) {
  header->header = TRTrace_Make_Header(record_size, eTRTrace_Data);
  header->id = desc->Get_ID();
  header->level = static_cast<uint8_t>(level);
  header->cpu = static_cast<uint8_t>(Current_CPU());
  header->thread_id = Thread_ID();
  header->sequence = sequence;
  header->timer = timer;
}

// The trailer: the module extension when the call names a module, else an empty list. Returns
// its size (at most 4 bytes).
inline uint32_t Fill_Trailer(const sTRTrace_Module* mod, uint8_t* trailer) {
  if (!mod) {
    trailer[0] = 0;
    return 1;
  }
  memcpy(trailer, &mod->id, sizeof(mod->id));
  trailer[2] = kTRTrace_Ext_Module;
  trailer[3] = 1;
  return 4;
}

// Values in descriptor order: doubles as doubles, strings as pointers, integers widened to 64 bits
// (sign-extended from their promoted type). `values` holds Get_Arguments_Count() entries.
inline void Read_Values(const CTRTrace_Desc* desc, va_list* args, uint64_t* values) {
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

// Appends the chunks of a record's values (after its data header) from `values` at *chunk (room
// for one per plan block); returns their size in bytes. Numeric blocks travel as runs of 8-byte
// values; strings as their text with its terminator, referenced where the caller keeps it.
inline uint64_t Value_Chunks(const CTRTrace_Desc* desc, const uint64_t* values,
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

}  // namespace record_fill

#endif  // TRACE_CHANNEL_RECORD_FILL_H_
