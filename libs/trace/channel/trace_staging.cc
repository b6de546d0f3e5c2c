#include "trace/channel/trace_staging.h"

#include <pthread.h>
#include <time.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "trace/base/clocks.h"
#include "trace/channel/record_fill.h"
#include "trace/channel/staging_drainer.h"

__thread sStage_Thread* t_Stage_Thread = nullptr;

void (*CTrace_Staging::s_After_Site_Lookup)(const sStage_Site& copied) = nullptr;

namespace {

pthread_key_t g_Stage_Key;
pthread_once_t g_Stage_Key_Once = PTHREAD_ONCE_INIT;

void Free_Stage_Thread(void* state) {
  t_Stage_Thread = nullptr;
  free(state);
}

void Make_Stage_Key() { pthread_key_create(&g_Stage_Key, Free_Stage_Thread); }

uint64_t Next_Serial() {
  static std::atomic<uint64_t> serial{0};
  return serial.fetch_add(1, std::memory_order_relaxed) + 1;
}

// A ring being merged: its cursor and the entry there with its record, the end published when
// the merge began, and what the last delivered batch consumed.
struct sMerge_Cursor {
  CStaging_Ring* ring;
  uint64_t position;
  uint64_t end;
  uint64_t delivered;
  CStaging_Ring::sEntry* entry;
  sTRTrace_Data* record;

  // Points at the entry at `position` (< end).
  void Load() {
    entry = ring->Entry_At(&position);
    record = reinterpret_cast<sTRTrace_Data*>(entry + 1);
  }
  bool Done() const { return position == end; }
};

// Marks the calling thread busy for its lifetime: a signal handler tracing on the thread
// meanwhile sees it and leaves the thread's staging state alone. The compiler fences keep the
// marked stores on their side of the section.
class CBusy_Section {
 public:
  explicit CBusy_Section(sStage_Thread* thread) : m_Thread(thread) {
    m_Thread->busy = true;
    std::atomic_signal_fence(std::memory_order_seq_cst);
  }
  ~CBusy_Section() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    m_Thread->busy = false;
  }
  CBusy_Section(const CBusy_Section&) = delete;
  CBusy_Section& operator=(const CBusy_Section&) = delete;

 private:
  sStage_Thread* const m_Thread;
};

}  // namespace

sStage_Thread* Stage_Thread_Create() {
  if (t_Stage_Thread != nullptr) return t_Stage_Thread;
  pthread_once(&g_Stage_Key_Once, Make_Stage_Key);
  auto* state = static_cast<sStage_Thread*>(calloc(1, sizeof(sStage_Thread)));
  if (state == nullptr) return nullptr;
  if (pthread_setspecific(g_Stage_Key, state) != 0) {
    free(state);
    return nullptr;
  }
  t_Stage_Thread = state;
  return state;
}

CTrace_Staging::CTrace_Staging(ITarget* target)
    : m_Target(target),
      m_Serial(Next_Serial()),
      m_Linger_Ticks(Channel_Timer_Frequency() / 1000 * kLinger_ms),
      m_Full_Wait_Ticks(Channel_Timer_Frequency() / 1000000 * kFull_Wait_us),
      m_Full_Wait_Cap_Ticks(Channel_Timer_Frequency() / 1000000 * kFull_Wait_Cap_us) {}

CTrace_Staging::~CTrace_Staging() {
  for (std::atomic<CStaging_Ring*>& slot : m_Rings) {
    if (CStaging_Ring* ring = slot.load()) ring->Destroy();
  }
}

void CTrace_Staging::Stage_Always() {
  m_Always.store(true, std::memory_order_relaxed);
  m_Mode_Since.store(Channel_Timer(), std::memory_order_relaxed);
  m_Mode.store(true, std::memory_order_relaxed);
}

void CTrace_Staging::Contended() {
  if (m_Mode.load(std::memory_order_relaxed)) return;
  m_Mode_Since.store(Channel_Timer(), std::memory_order_relaxed);
  m_Mode.store(true, std::memory_order_relaxed);
}

CTrace_Staging::eStaged CTrace_Staging::Stage(eTRTrace_Level level, const sTRTrace_Module* mod,
                                              const char* function, const char** format,
                                              va_list* args) {
  sStage_Thread* thread = Stage_Thread();
  if (thread == nullptr || thread->busy) return eStaged::eLocked_Way;
  sStage_Ring_Slot* slot = thread->Ring_Slot(m_Serial);
  if (__builtin_expect(slot->serial != m_Serial, 0)) return eStaged::eLocked_Way;

  eRecord staged;
  {
    CBusy_Section busy(thread);
    // A copy: whatever happens to the entry from here on, this call uses what it looked up.
    const sStage_Site site = *thread->Site(m_Serial, function, *format);
    if (site.serial != m_Serial || site.function != function || site.format != *format)
      return eStaged::eLocked_Way;
    if (__builtin_expect(s_After_Site_Lookup != nullptr, 0)) s_After_Site_Lookup(site);
    staged = Stage_Record(slot, level, mod, site.desc, args);
    if (__builtin_expect(staged == eRecord::eRing_Full, 0))
      staged = Wait_For_Room(slot, level, mod, site.desc, args);
  }
  if (staged != eRecord::eStaged) return eStaged::eLocked_Way;
  Note_Staged();

  // Out of budget, or the ring half full: merge now if the lock is free, else keep staging a
  // little longer before trying again. A caller's own merge takes microseconds, so it comes at
  // most once in kBudget calls (0.025 %), below the share of calls a p99.9 figure looks at; the
  // drainer merges meanwhile, and half a ring leaves it room to lag.
  if (--slot->budget == 0 || slot->ring->Waiting_More_Than(CStaging_Ring::kBytes / 2))
    slot->budget = m_Target->Try_Merge() ? kBudget : kBudget / 8;
  return eStaged::eStaged;
}

CTrace_Staging::eRecord CTrace_Staging::Wait_For_Room(sStage_Ring_Slot* slot,
                                                      eTRTrace_Level level,
                                                      const sTRTrace_Module* mod,
                                                      CTRTrace_Desc* desc, va_list* args) {
  const uint64_t start = Channel_Timer();
  uint64_t deadline = start + m_Full_Wait_Ticks;
  const uint64_t cap = start + m_Full_Wait_Cap_Ticks;
  uint64_t consumed = m_Consumed.load(std::memory_order_relaxed);
  uint32_t merges = 0;
  for (;;) {
    // A short sleep, not a yield: the writer may need this very processor for a while.
    const timespec pause{0, 20 * 1000};
    nanosleep(&pause, nullptr);
    if (m_Target->Try_Merge()) ++merges;
    const eRecord staged = Stage_Record(slot, level, mod, desc, args);
    if (staged != eRecord::eRing_Full) return staged;
    const uint64_t now = Channel_Timer();
    // The sink took records meanwhile: it makes room, only more slowly than the callers fill
    // their rings (a writer that gets a processor now and then). The bound counts anew.
    const uint64_t seen = m_Consumed.load(std::memory_order_relaxed);
    if (seen != consumed) {
      consumed = seen;
      deadline = now + m_Full_Wait_Ticks;
    }
    if ((merges >= 2 && now >= deadline) || now >= cap) return staged;
  }
}

CTrace_Staging::eRecord CTrace_Staging::Stage_Record(sStage_Ring_Slot* slot, eTRTrace_Level level,
                                                     const sTRTrace_Module* mod,
                                                     CTRTrace_Desc* desc, va_list* args) {
  uint32_t blocks_count;
  desc->Get_Blocks(&blocks_count);
  if (desc->Get_Arguments_Count() > kMax_Args || blocks_count > kMax_Blocks)
    return eRecord::eNo_Fit;

  // Read from a copy, so the locked way can still read `args` when the record cannot be staged.
  uint64_t values[kMax_Args];
  va_list copy;
  va_copy(copy, *args);
  record_fill::Read_Values(desc, &copy, values);
  va_end(copy);
  sTRC_Data_Chunk chunks[kMax_Blocks + 1];
  sTRC_Data_Chunk* end = chunks;
  uint8_t trailer[4];
  uint64_t record_size = sizeof(sTRTrace_Data) + record_fill::Value_Chunks(desc, values, &end);
  const uint32_t trailer_size = record_fill::Fill_Trailer(mod, trailer);
  *end++ = sTRC_Data_Chunk{trailer, trailer_size};
  record_size += trailer_size;
  if (record_size > CStaging_Ring::kMax_Record) return eRecord::eNo_Fit;

  uint8_t* out = slot->ring->Reserve(static_cast<uint32_t>(record_size));
  if (out == nullptr) return eRecord::eRing_Full;
  // Numbered by the merge, which also clamps the timer to what the channel already wrote.
  const uint64_t timer = Channel_Timer();
  record_fill::Fill_Data_Header(reinterpret_cast<sTRTrace_Data*>(out),
                                static_cast<uint32_t>(record_size), desc, level, 0, timer);
  uint8_t* at = out + sizeof(sTRTrace_Data);
  for (const sTRC_Data_Chunk* chunk = chunks; chunk != end; ++chunk) {
    memcpy(at, chunk->data, chunk->size);
    at += chunk->size;
  }
  slot->ring->Commit(static_cast<uint32_t>(record_size), desc, timer);
  return eRecord::eStaged;
}

void CTrace_Staging::Remember_Site(const char* function, const char* format,
                                   CTRTrace_Desc* desc) {
  sStage_Thread* thread = Stage_Thread();
  if (thread == nullptr && (thread = Stage_Thread_Create()) == nullptr) return;
  // A signal handler's call that interrupted this thread's staged call or set-up: the entries
  // are the interrupted code's.
  if (thread->busy) return;
  // Busy from here on, the ring's set-up included: a signal handler tracing meanwhile neither
  // sees a half-written entry nor allocates a ring of its own.
  CBusy_Section busy(thread);
  sStage_Ring_Slot* slot = thread->Ring_Slot(m_Serial);
  CStaging_Ring* ring =
      slot->serial == m_Serial ? slot->ring : Thread_Ring(record_fill::Thread_ID());
  if (ring == nullptr) return;
  if (slot->serial != m_Serial) *slot = sStage_Ring_Slot{m_Serial, ring, kBudget};
  *thread->Site(m_Serial, function, format) = sStage_Site{m_Serial, function, format, desc};
}

CStaging_Ring* CTrace_Staging::Thread_Ring(uint32_t thread_id) {
  // A ring of this kernel thread ID: the thread's own (its cache lost the entry), or one of a
  // thread that ended and whose ID was given again, whose records it now follows.
  for (std::atomic<CStaging_Ring*>& slot : m_Rings) {
    CStaging_Ring* ring = slot.load(std::memory_order_acquire);
    if (ring != nullptr && ring->Owner() == thread_id) return ring;
  }
  CStaging_Ring* ring = CStaging_Ring::Create(thread_id);
  if (ring == nullptr) return nullptr;
  for (std::atomic<CStaging_Ring*>& slot : m_Rings) {
    CStaging_Ring* expected = nullptr;
    if (slot.compare_exchange_strong(expected, ring, std::memory_order_acq_rel)) return ring;
  }
  ring->Destroy();
  return nullptr;
}

void CTrace_Staging::Note_Staged() {
  if (m_Staged.load(std::memory_order_relaxed) != 0) return;
  m_Staged.store(1, std::memory_order_release);
  staging_drainer::Wake();
}

bool CTrace_Staging::Has_Staged() const {
  if (m_Staged.load(std::memory_order_relaxed) != 0) return true;
  for (const std::atomic<CStaging_Ring*>& slot : m_Rings) {
    const CStaging_Ring* ring = slot.load(std::memory_order_acquire);
    if (ring == nullptr) break;
    if (ring->Waiting()) return true;
  }
  return false;
}

bool CTrace_Staging::Staged_Since(uint64_t timer) const {
  for (const std::atomic<CStaging_Ring*>& slot : m_Rings) {
    const CStaging_Ring* ring = slot.load(std::memory_order_acquire);
    if (ring == nullptr) break;
    if (ring->Waiting() && ring->Newest_Timer() >= timer) return true;
  }
  return false;
}

uint64_t CTrace_Staging::Staged_Bytes() const {
  uint64_t bytes = 0;
  for (const std::atomic<CStaging_Ring*>& slot : m_Rings) {
    const CStaging_Ring* ring = slot.load(std::memory_order_acquire);
    if (ring == nullptr) break;
    bytes += ring->Snapshot() - ring->Head();
  }
  return bytes;
}

uint32_t CTrace_Staging::Merge(CHot_Lock&) {
  if (m_Merging) return 0;
  m_Staged.exchange(0, std::memory_order_acquire);
  m_Merging = true;

  sMerge_Cursor cursors[kMax_Rings];
  uint32_t count = 0;
  for (std::atomic<CStaging_Ring*>& slot : m_Rings) {
    CStaging_Ring* ring = slot.load(std::memory_order_acquire);
    if (ring == nullptr) break;
    const uint64_t head = ring->Head();
    const uint64_t end = ring->Snapshot();
    if (head == end) continue;
    sMerge_Cursor& cursor = cursors[count++];
    cursor = sMerge_Cursor{ring, head, end, head, nullptr, nullptr};
    cursor.Load();
  }

  uint32_t left = count;
  while (left != 0) {
    sTRC_Data_Chunk* chunk;
    uint64_t size;
    if (!m_Target->Begin_Batch(&chunk, &size)) break;
    uint32_t records = 0;
    while (records < kBatch_Records && size < kBatch_Bytes && left != 0) {
      // The waiting record with the smallest timer; a ring's own are in timer order.
      sMerge_Cursor* next = nullptr;
      for (uint32_t i = 0; i < count; ++i) {
        sMerge_Cursor& cursor = cursors[i];
        if (!cursor.Done() && (next == nullptr || cursor.record->timer < next->record->timer)) {
          next = &cursor;
        }
      }
      if (!m_Target->Add_Record(next->entry->desc, next->record, next->entry->size, &chunk,
                                &size)) {
        break;
      }
      ++records;
      next->position = CStaging_Ring::Next(next->position, next->entry);
      if (next->Done()) {
        --left;
      } else {
        next->Load();
      }
    }

    if (m_Target->End_Batch(chunk, size, records) == eBatch::eKept) {
      // Still staged: the cursors go back to what the sink took, for the next merge.
      left = 0;
      break;
    }
    // Delivered, or dropped and counted: either way consumed.
    for (uint32_t i = 0; i < count; ++i) {
      sMerge_Cursor& cursor = cursors[i];
      if (cursor.position == cursor.delivered) continue;
      cursor.ring->Release_To(cursor.position);
      cursor.delivered = cursor.position;
    }
    m_Consumed.fetch_add(records, std::memory_order_relaxed);
  }
  // Anything not consumed waits for the next merge.
  for (uint32_t i = 0; i < count; ++i) {
    if (cursors[i].delivered != cursors[i].end) {
      m_Staged.store(1, std::memory_order_relaxed);
      break;
    }
  }
  m_Merging = false;
  const uint64_t now = Channel_Timer();
  const uint64_t since = std::max(m_Last_Shared_Merge, m_Mode_Since.load(std::memory_order_relaxed));
  if (count > 1) {
    m_Last_Shared_Merge = now;
  } else if (now > since && now - since > m_Linger_Ticks &&
             !m_Always.load(std::memory_order_relaxed)) {
    m_Mode.store(false, std::memory_order_relaxed);
  }
  return count;
}

uint32_t CTrace_Staging::Drop(CHot_Lock&) {
  uint32_t dropped = 0;
  for (std::atomic<CStaging_Ring*>& slot : m_Rings) {
    CStaging_Ring* ring = slot.load(std::memory_order_acquire);
    if (ring == nullptr) break;
    uint64_t position = ring->Head();
    const uint64_t end = ring->Snapshot();
    while (position != end) {
      position = CStaging_Ring::Next(position, ring->Entry_At(&position));
      ++dropped;
    }
    ring->Release_To(end);
  }
  return dropped;
}
