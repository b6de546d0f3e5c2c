// Trace channel: the lock-held side of merging staged records (trace_staging.h) - numbering,
// descriptors, the loss report and the hand-over of each batch - and the staged-source entry
// points the drainer and the sinks' Flush use.
#include "trace/channel/staging_drainer.h"
#include "trace/channel/trace.h"

namespace {

// Chunks of one batch beyond a descriptor and a record per record: the loss report with its
// descriptor, and slack.
constexpr uint32_t kBatch_Extra_Chunks = 4;

}  // namespace

bool CTRTrace::Begin_Batch(sTRC_Data_Chunk** chunk, uint64_t* size) {
  if (!Reserve_Chunks(2 * CTrace_Staging::kBatch_Records + kBatch_Extra_Chunks)) return false;
  sTRC_Data_Chunk* first = m_Chunks + m_Pending_Count;
  *size = m_Pending_Size;
  *chunk = first;
  m_Batch_Loss_Desc = false;
  m_Batch_Loss = false;
  m_Batch_Loss_Due = m_Loss_Waiting;
  m_Batch_Described_Count = 0;
  m_Batch_Timer_Before = m_Last_Timer;
  return true;
}

bool CTRTrace::Add_Record(CTRTrace_Desc* desc, sTRTrace_Data* record, uint32_t record_size,
                          sTRC_Data_Chunk** chunk, uint64_t* size) {
  // A record after a second gap: its report can go only once this batch's report is delivered.
  if (__builtin_expect(m_Batch_Loss && m_Later_Count != 0, 0) &&
      record->timer >= m_Later_Gaps[0].since) {
    return false;
  }
  if (__builtin_expect(m_Batch_Loss_Due, 0) && record->timer >= m_Loss_Since) {
    // The first record staged after the loss began: the report stands right before it.
    // Its timer is that record's (clamped), not the merge's: the records after it keep theirs.
    m_Batch_Loss_Due = false;
    const uint64_t last_timer = m_Last_Timer;
    sTRC_Data_Chunk* before = *chunk;
    *chunk = Add_Loss_Report(before, size, &m_Batch_Loss_Desc);
    m_Batch_Loss = *chunk != before;
    m_Last_Timer = last_timer;
    m_Loss_Record.data.timer = record->timer > last_timer ? record->timer : last_timer;
  }
  if (desc->Get_Resets() != static_cast<int64_t>(m_Status.resets)) {
    uint32_t desc_size;
    const void* desc_record = desc->Get_Buffer(&desc_size);
    *(*chunk)++ = sTRC_Data_Chunk{desc_record, desc_size};
    *size += desc_size;
    desc->Set_Resets(m_Status.resets);
    m_Batch_Described[m_Batch_Described_Count++] = desc;
  }
  record->sequence = Count_Call();
  if (record->timer < m_Last_Timer) {
    record->timer = m_Last_Timer;
  } else {
    m_Last_Timer = record->timer;
  }
  *(*chunk)++ = sTRC_Data_Chunk{record, record_size};
  *size += record_size;
  return true;
}

CTRTrace::eBatch CTRTrace::End_Batch(sTRC_Data_Chunk* end, uint64_t size, uint32_t records) {
  const uint32_t code =
      Can_Send() ? Send(static_cast<uint32_t>(end - m_Chunks), static_cast<uint32_t>(size))
                 : static_cast<uint32_t>(eCode_Off);
  if (m_Batch_Loss) Loss_Report_Done(code == eCode_Ok, m_Batch_Loss_Desc);
  if (code == eCode_Ok) return eBatch::eDelivered;
  for (uint32_t i = 0; i < m_Batch_Described_Count; ++i)
    m_Batch_Described[i]->Set_Resets(CTRTrace_Desc::kNever_Sent);
  if (code == eCode_No_Room) {
    // Still staged: numbered and clamped again by the next merge. Only the batch's own numbers
    // are given back: filtered calls folded into the counter meanwhile stay counted.
    m_Counter -= records;
    m_Last_Timer = m_Batch_Timer_Before;
    return eBatch::eKept;
  }
  Lose(eLoss_Reason::eSink_Off, records);
  return eBatch::eDropped;
}

bool CTRTrace::Try_Merge() {
  if (!m_Lock.Try_Lock()) return false;
  Drain_Staged();
  m_Lock.Unlock();
  return true;
}

bool CTRTrace::Has_Staged() const { return m_Staging.Has_Staged(); }

void CTRTrace::Merge_Staged() {
  // Outside any trace call: where a forked child's drainer starts again.
  staging_drainer::Ensure_Running();
  if (!m_Staging.Has_Staged()) return;
  CLockGuard guard(&m_Lock);
  Drain_Staged();
}

void CTRTrace::Try_Merge_Staged() { Try_Merge(); }

void CTRTrace::Set_Module_Level(sTRTrace_Module* mod, uint32_t level) {
  mod->level = level;
  m_Module_Levels[(mod->id - 1u) % kMax_Modules].store(level, std::memory_order_relaxed);
}
