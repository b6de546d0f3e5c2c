// Trace channel: counting lost calls and the loss report that shows readers where they were lost.
//
// The report is an ordinary data record of a call site of the engine's own (a format record that
// every reader decodes like any other), so no reader needs to know about it. It travels in the
// same Sent as the record that follows the gap, right before it; a refused hand-over keeps the
// counts for the next one.
#include <string.h>

#include "trace/base/clocks.h"
#include "trace/base/proc.h"
#include "trace/channel/trace.h"

namespace {

// The report's call site: these two addresses are its key, and they belong to no caller.
constexpr char kLoss_File[] = "trace engine";
constexpr char kLoss_Function[] = "Report_Loss";
constexpr uint16_t kLoss_Line = 1;

static_assert(static_cast<uint32_t>(eLoss_Reason::eNo_Room) == 0 &&
                  static_cast<uint32_t>(eLoss_Reason::eSink_Off) == 1 &&
                  static_cast<uint32_t>(eLoss_Reason::eConnection_Lost) == 2,
              "the report's counts follow the reasons' order");

}  // namespace

const char CTRTrace::kLoss_Format[] =
    "Trace calls lost since the last report: %u refused for lack of room, %u refused while the "
    "sink was off, %u discarded when the connection was lost";

void CTRTrace::Count_Loss(uint32_t index, uint64_t calls) {
  if (!m_Loss_Waiting) {
    m_Loss_Since = Channel_Timer();
    m_Loss_Waiting = true;
    m_Lost[index] += calls;
    return;
  }
  sLoss_Gap* last = m_Later_Count != 0 ? &m_Later_Gaps[m_Later_Count - 1] : nullptr;
  const uint64_t last_since = last != nullptr ? last->since : m_Loss_Since;
  // Records staged since the last gap began wait between it and this loss: a new gap.
  if (m_Later_Count < kLoss_Gaps && m_Staging.Staged_Since(last_since)) {
    last = &m_Later_Gaps[m_Later_Count++];
    *last = sLoss_Gap{Channel_Timer(), {}};
  }
  (last != nullptr ? last->lost : m_Lost)[index] += calls;
}

void CTRTrace::Fold_Next_Loss() {
  for (uint32_t gap = 0; gap < m_Later_Count; ++gap) {
    for (uint32_t i = 0; i < kLoss_Reasons; ++i) m_Lost[i] += m_Later_Gaps[gap].lost[i];
  }
  m_Later_Count = 0;
}

bool CTRTrace::Lose(eLoss_Reason reason, uint32_t calls) {
  Count_Loss(static_cast<uint32_t>(reason), calls);
  m_Lost_Total.fetch_add(calls, std::memory_order_relaxed);
  return false;
}

void CTRTrace::On_Loss(uint32_t records, uint64_t, eLoss_Reason reason) {
  const uint32_t index = static_cast<uint32_t>(reason);
  if (records == 0 || index >= kLoss_Reasons) return;
  CLockGuard guard(&m_Lock);
  Count_Loss(index, records);
  m_Lost_Total.fetch_add(records, std::memory_order_relaxed);
}

CTRTrace_Desc* CTRTrace::Loss_Desc() {
  if (m_Loss_Desc != nullptr) return m_Loss_Desc;
  const uint16_t id = Next_Dynamic_ID();
  if (id == 0) return nullptr;
  const char* format = kLoss_Format;
  const uint64_t key[2] = {reinterpret_cast<uintptr_t>(kLoss_Function),
                           reinterpret_cast<uintptr_t>(kLoss_Format)};
  CTRTrace_Desc* desc = New_Desc(id, 0, kLoss_Line, kLoss_File, kLoss_Function, &format, key);
  if (desc == nullptr || !desc->Is_Initialized()) {
    --m_Dynamic_ID;
    return nullptr;
  }
  return m_Loss_Desc = desc;
}

sTRC_Data_Chunk* CTRTrace::Add_Loss_Report(sTRC_Data_Chunk* chunk, uint64_t* size,
                                           bool* with_desc) {
  *with_desc = false;
  if (!m_Loss_Waiting) return chunk;
  CTRTrace_Desc* desc = Loss_Desc();
  if (desc == nullptr) return chunk;
  *with_desc = desc->Get_Resets() != static_cast<int64_t>(m_Status.resets);
  if (*with_desc) {
    uint32_t desc_size;
    const void* record = desc->Get_Buffer(&desc_size);
    *chunk++ = sTRC_Data_Chunk{record, desc_size};
    *size += desc_size;
    desc->Set_Resets(m_Status.resets);
  }
  sTRTrace_Data& data = m_Loss_Record.data;
  data.header = TRTrace_Make_Header(kLoss_Record_Size, eTRTrace_Data);
  data.id = desc->Get_ID();
  data.level = static_cast<uint8_t>(TRL_WARNING);
  data.cpu = static_cast<uint8_t>(CProc::Get_CPU());
  data.thread_id = CProc::Get_Thread_ID();
  data.sequence = m_Counter;
  data.timer = Timer();
  for (uint32_t i = 0; i < kLoss_Reasons; ++i) {
    m_Loss_Record.counts[i] = m_Lost[i] > UINT32_MAX ? UINT32_MAX : m_Lost[i];
  }
  m_Loss_Record.trailer = 0;  // no module
  *chunk++ = sTRC_Data_Chunk{&m_Loss_Record, kLoss_Record_Size};
  *size += kLoss_Record_Size;
  return chunk;
}

void CTRTrace::Loss_Report_Done(bool delivered, bool with_desc) {
  if (delivered) {
    // Counts gathered between building the report and its delivery cannot exist: both happen
    // under the channel lock.
    // The next gap's counts, if any, wait now: their report stands before the first record
    // staged after them.
    memset(m_Lost, 0, sizeof(m_Lost));
    m_Loss_Waiting = m_Later_Count != 0;
    if (m_Loss_Waiting) {
      m_Loss_Since = m_Later_Gaps[0].since;
      memcpy(m_Lost, m_Later_Gaps[0].lost, sizeof(m_Lost));
      --m_Later_Count;
      memmove(m_Later_Gaps, m_Later_Gaps + 1, sizeof(sLoss_Gap) * m_Later_Count);
    }
  } else if (with_desc && m_Loss_Desc != nullptr) {
    m_Loss_Desc->Set_Resets(CTRTrace_Desc::kNever_Sent);
  }
}
