// Trace channel: staging - the threads' staging state, their rings, and the merge of staged
// records into the stream (trace.h, Staging).
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>

#include "trace/channel/stage_thread.h"
#include "trace/channel/trace.h"

__thread sStage_Thread* t_Stage_Thread = nullptr;

namespace {

// Records and bytes handed over by one Sent of the merge: bounded so that a batch fits a sink's
// buffer and the chunk array stays small.
constexpr uint32_t kMerge_Records = 512;
constexpr uint64_t kMerge_Bytes = 32 * 1024;
// Chunks of one batch beyond its records: the loss report with its descriptor, and slack.
constexpr uint32_t kMerge_Extra_Chunks = 4;

pthread_key_t g_Stage_Key;
pthread_once_t g_Stage_Key_Once = PTHREAD_ONCE_INIT;

void Free_Stage_Thread(void* state) {
  t_Stage_Thread = nullptr;
  free(state);
}

void Make_Stage_Key() { pthread_key_create(&g_Stage_Key, Free_Stage_Thread); }

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

CStaging_Ring* CTRTrace::Thread_Ring(uint32_t thread_id) {
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

void CTRTrace::Note_Staged() {
  if (m_Staged.load(std::memory_order_relaxed) != 0) return;
  m_Staged.store(1, std::memory_order_release);
  staging_drainer::Wake();
}

bool CTRTrace::Has_Staged() const {
  if (m_Staged.load(std::memory_order_relaxed) != 0) return true;
  // Rings are claimed in slot order and never given back, so the first empty slot ends them.
  for (const std::atomic<CStaging_Ring*>& slot : m_Rings) {
    const CStaging_Ring* ring = slot.load(std::memory_order_acquire);
    if (ring == nullptr) break;
    if (ring->Waiting()) return true;
  }
  return false;
}

void CTRTrace::Merge_Staged() {
  // Outside any trace call: where a forked child's drainer starts again.
  staging_drainer::Ensure_Running();
  if (!Has_Staged()) return;
  CLockGuard guard(&m_Lock);
  Drain_Staged();
}

void CTRTrace::Try_Merge_Staged() {
  if (!m_Lock.Try_Lock()) return;
  Drain_Staged();
  m_Lock.Unlock();
}

uint32_t CTRTrace::Drain_Staged() {
  if (m_Draining) return 0;
  m_Staged.exchange(0, std::memory_order_acquire);
  m_Draining = true;

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
    if (!Reserve_Chunks(2 * kMerge_Records + kMerge_Extra_Chunks)) break;
    sTRC_Data_Chunk* chunk = m_Chunks + m_Pending_Count;
    uint64_t size = m_Pending_Size;
    bool loss_desc = false;
    sTRC_Data_Chunk* after = Add_Loss_Report(chunk, &size, &loss_desc);
    const bool with_loss = after != chunk;
    chunk = after;

    // Descriptors this batch sends first, to be marked unsent again if it is refused.
    CTRTrace_Desc* described[kMerge_Records];
    uint32_t described_count = 0;
    const uint64_t timer_before = m_Last_Timer;
    uint32_t records = 0;
    while (records < kMerge_Records && size < kMerge_Bytes && left != 0) {
      // The waiting record with the smallest timer; a ring's own are in timer order.
      sMerge_Cursor* next = nullptr;
      for (uint32_t i = 0; i < count; ++i) {
        sMerge_Cursor& cursor = cursors[i];
        if (!cursor.Done() && (next == nullptr || cursor.record->timer < next->record->timer)) {
          next = &cursor;
        }
      }
      sTRTrace_Data* record = next->record;
      CTRTrace_Desc* desc = next->entry->desc;
      if (desc->Get_Resets() != static_cast<int64_t>(m_Status.resets)) {
        uint32_t desc_size;
        const void* desc_record = desc->Get_Buffer(&desc_size);
        *chunk++ = sTRC_Data_Chunk{desc_record, desc_size};
        size += desc_size;
        desc->Set_Resets(m_Status.resets);
        described[described_count++] = desc;
      }
      record->sequence = Count_Call();
      if (record->timer < m_Last_Timer) {
        record->timer = m_Last_Timer;
      } else {
        m_Last_Timer = record->timer;
      }
      *chunk++ = sTRC_Data_Chunk{record, next->entry->size};
      size += next->entry->size;
      ++records;
      next->position = CStaging_Ring::Next(next->position, next->entry);
      if (next->Done()) {
        --left;
      } else {
        next->Load();
      }
    }

    const uint32_t code =
        Can_Send() ? Send(static_cast<uint32_t>(chunk - m_Chunks), static_cast<uint32_t>(size))
                   : static_cast<uint32_t>(eCode_Off);
    if (with_loss) Loss_Report_Done(code == eCode_Ok, loss_desc);
    if (code != eCode_Ok) {
      for (uint32_t i = 0; i < described_count; ++i) {
        described[i]->Set_Resets(CTRTrace_Desc::kNever_Sent);
      }
    }
    if (code == eCode_No_Room) {
      // Still staged: taken again by the next merge, numbered and clamped again then. Only the
      // batch's own numbers are given back: filtered calls folded into the counter meanwhile
      // stay counted.
      m_Counter -= records;
      m_Last_Timer = timer_before;
      break;
    }
    // Delivered, or dropped and counted because the sink is off: either way consumed.
    if (code != eCode_Ok) Lose(eLoss_Reason::eSink_Off, records);
    for (uint32_t i = 0; i < count; ++i) {
      sMerge_Cursor& cursor = cursors[i];
      if (cursor.position == cursor.delivered) continue;
      cursor.ring->Release_To(cursor.position);
      cursor.delivered = cursor.position;
    }
  }
  if (left != 0) m_Staged.store(1, std::memory_order_relaxed);
  m_Draining = false;
  const uint64_t now = Channel_Timer();
  const uint64_t since =
      std::max(m_Last_Shared_Merge, m_Staging_Since.load(std::memory_order_relaxed));
  if (count > 1) {
    m_Last_Shared_Merge = now;
  } else if (now > since && now - since > m_Linger_Ticks) {
    m_Staging_Mode.store(false, std::memory_order_relaxed);
  }
  return count;
}

uint64_t CTRTrace::Staged_Bytes() const {
  uint64_t bytes = 0;
  for (const std::atomic<CStaging_Ring*>& slot : m_Rings) {
    const CStaging_Ring* ring = slot.load(std::memory_order_acquire);
    if (ring == nullptr) break;
    bytes += ring->Snapshot() - ring->Head();
  }
  return bytes;
}

uint32_t CTRTrace::Drop_Staged() {
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

void CTRTrace::Set_Module_Level(sTRTrace_Module* mod, uint32_t level) {
  mod->level = level;
  m_Module_Levels[(mod->id - 1u) % kMax_Modules].store(level, std::memory_order_relaxed);
}
