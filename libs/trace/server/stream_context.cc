#include "trace/server/stream_context.h"

#include <string.h>

#include <mqtt-wrapper/TR.h>

#include "trace/base/utf.h"
#include "trace/format/trace_format.h"
#include "trace/net/transport_format.h"

namespace {

constexpr uint32_t kInfo_Name_Offset = 36;
constexpr uint32_t kInfo_Name_Units = 64;
constexpr uint32_t kModule_ID_Offset = 4;
constexpr uint32_t kModule_Level_Offset = 6;
constexpr uint32_t kVerbosity_Level_Offset = 4;
constexpr uint32_t kVerbosity_Module_Offset = 8;
constexpr uint32_t kModule_Name_Offset = 10;
constexpr uint32_t kModule_Name_Bytes = 54;
constexpr uint32_t kFormat_ID_Offset = 4;
constexpr uint32_t kThread_ID_Offset = 4;

std::string Channel_Name(const uint8_t* record, uint32_t size) {
  if (size < kInfo_Name_Offset + 2 * kInfo_Name_Units) return std::string();
  uint16_t units[kInfo_Name_Units + 1] = {};
  for (uint32_t i = 0; i < kInfo_Name_Units; ++i)
    units[i] = TP_Load16(record + kInfo_Name_Offset + 2 * i);
  char name[kInfo_Name_Units * 3 + 1] = {};
  if (Convert_UTF16_To_UTF8(units, name, sizeof(name)) < 0) return std::string();
  return name;
}

std::string Module_Name(const uint8_t* record, uint32_t size) {
  if (size <= kModule_Name_Offset) return std::string();
  uint32_t room = size - kModule_Name_Offset < kModule_Name_Bytes ? size - kModule_Name_Offset
                                                                  : kModule_Name_Bytes;
  const char* name = reinterpret_cast<const char*>(record + kModule_Name_Offset);
  return std::string(name, strnlen(name, room));
}

void Append_Chunk_Header(std::vector<uint8_t>* out, uint32_t channel, uint32_t length) {
  uint8_t header[4];
  TP_Store32(header, sTRC_User_Header::Make(length, channel));
  out->insert(out->end(), header, header + 4);
}

}  // namespace

// Every kept record is nonempty (records are at least a 4-byte header), and a container entry
// exists only for a kept record, so a record's cost follows from its size alone.
uint64_t CTRS_Stream_Context::Cost_Of(const sChannel& channel) {
  uint64_t cost = 0;
  if (!channel.info.empty()) cost += Cost(channel.info.size());
  if (!channel.utc.empty()) cost += Cost(channel.utc.size());
  for (const auto& entry : channel.threads) cost += Thread_Cost(entry.second.size());
  for (const auto& entry : channel.modules) cost += Entry_Cost(entry.second.size());
  for (const auto& entry : channel.formats) cost += Entry_Cost(entry.second.size());
  return cost;
}

bool CTRS_Stream_Context::Reserve(uint64_t old_cost, uint64_t new_cost) {
  if (m_Bytes - old_cost + new_cost > kMax_Bytes) {
    ++m_Overflow;
    return false;
  }
  if (m_Budget) {
    if (new_cost > old_cost && !m_Budget->Charge(new_cost - old_cost)) {
      ++m_Overflow;
      m_OverBudget = true;
      return false;
    }
    if (old_cost > new_cost) m_Budget->Release(old_cost - new_cost);
  }
  m_Bytes = m_Bytes - old_cost + new_cost;
  return true;
}

void CTRS_Stream_Context::Give_Back(uint64_t cost) {
  m_Bytes -= cost;
  if (m_Budget) m_Budget->Release(cost);
}

void CTRS_Stream_Context::Forget(sChannel* channel) {
  Give_Back(Cost_Of(*channel));
  *channel = sChannel();
}

void CTRS_Stream_Context::Clear() {
  for (sChannel& channel : m_Channels) channel = sChannel();
  Give_Back(m_Bytes);
}

void CTRS_Stream_Context::Set_Budget(CMemory_Budget* budget) {
  if (m_Budget) m_Budget->Release(m_Bytes);
  m_Budget = budget;
  if (m_Budget && m_Bytes && !m_Budget->Charge(m_Bytes)) {
    m_OverBudget = true;
    m_Budget = nullptr;
    Clear();
    m_Budget = budget;
  }
}

void CTRS_Stream_Context::Keep(tRecord* slot, const uint8_t* record, uint32_t size) {
  const uint64_t old_cost = slot->empty() ? 0 : Cost(slot->size());
  if (!Reserve(old_cost, Cost(size))) return;
  try {
    slot->assign(record, record + size);
  } catch (...) {
    // The slot keeps its old record when the copy cannot be made.
    Reserve(Cost(size), old_cost);
    throw;
  }
}

void CTRS_Stream_Context::Keep_Entry(std::map<uint16_t, tRecord>* records, uint16_t key,
                                     const uint8_t* record, uint32_t size) {
  auto found = records->find(key);
  const uint64_t old_cost = found == records->end() ? 0 : Entry_Cost(found->second.size());
  if (!Reserve(old_cost, Entry_Cost(size))) return;
  try {
    if (found == records->end()) {
      records->emplace(key, tRecord(record, record + size));
    } else {
      found->second.assign(record, record + size);
    }
  } catch (...) {
    Reserve(Entry_Cost(size), old_cost);
    throw;
  }
}

uint64_t CTRS_Stream_Context::Thread_Cost(uint64_t size) {
  return Entry_Cost(size) + (size >= kThread_ID_Offset + 4 ? CMemory_Budget::kNode_Overhead : 0);
}

void CTRS_Stream_Context::Keep_Thread(sChannel* channel, const uint8_t* record, uint32_t size) {
  if (!Reserve(0, Thread_Cost(size))) return;
  const uint64_t arrival = channel->next_thread++;
  auto kept = channel->threads.end();
  try {
    kept = channel->threads.emplace(arrival, tRecord(record, record + size)).first;
    // Equal keys keep their insertion order, so the first of an ID is its earliest start.
    if (size >= kThread_ID_Offset + 4)
      channel->thread_ids.emplace(TP_Load32(record + kThread_ID_Offset), arrival);
  } catch (...) {
    if (kept != channel->threads.end()) channel->threads.erase(kept);
    Give_Back(Thread_Cost(size));
    throw;
  }
}

void CTRS_Stream_Context::Forget_Thread(sChannel* channel, uint32_t thread) {
  auto index = channel->thread_ids.lower_bound(thread);  // the earliest start of that ID
  if (index == channel->thread_ids.end() || index->first != thread) return;
  auto start = channel->threads.find(index->second);
  channel->thread_ids.erase(index);
  if (start == channel->threads.end()) return;
  Give_Back(Thread_Cost(start->second.size()));
  channel->threads.erase(start);
}

void CTRS_Stream_Context::Feed(uint32_t id, const uint8_t* payload, uint32_t size,
                               IObserver* observer) {
  if (id >= kChannels) return;
  sChannel& channel = m_Channels[id];
  uint32_t offset = 0;
  while (size - offset >= 4) {
    const uint8_t* record = payload + offset;
    const uint32_t header = TP_Load32(record);
    const uint32_t record_size = TRTrace_Header_Size(header);
    if (record_size < 4 || record_size > size - offset) return;
    offset += record_size;
    if (TRTrace_Header_Type(header) != kTRStream_Trace) continue;
    const uint32_t subtype = TRTrace_Header_Subtype(header);
    if (subtype == eTRTrace_Info) {
      Forget(&channel);
      channel.live = true;
      Keep(&channel.info, record, record_size);
      if (observer) observer->On_Channel(id, Channel_Name(record, record_size));
      continue;
    }
    if (!channel.live) continue;
    switch (subtype) {
      case eTRTrace_UTC_Offset:
        Keep(&channel.utc, record, record_size);
        break;
      case eTRTrace_Format:
        if (record_size >= kFormat_ID_Offset + 2) {
          Keep_Entry(&channel.formats, TP_Load16(record + kFormat_ID_Offset), record, record_size);
        }
        break;
      case eTRTrace_Thread_Start:
        Keep_Thread(&channel, record, record_size);
        break;
      case eTRTrace_Thread_Stop:
        if (record_size >= kThread_ID_Offset + 4)
          Forget_Thread(&channel, TP_Load32(record + kThread_ID_Offset));
        break;
      case eTRTrace_Module:
        if (record_size >= kModule_ID_Offset + 2) {
          const uint16_t module_id = TP_Load16(record + kModule_ID_Offset);
          Keep_Entry(&channel.modules, module_id, record, record_size);
          const uint32_t level = record_size >= kModule_Level_Offset + 4
                                     ? TP_Load32(record + kModule_Level_Offset)
                                     : 0;
          if (observer) observer->On_Module(id, module_id, Module_Name(record, record_size), level);
        }
        break;
      case eTRTrace_Verbosity:
        if (observer && record_size >= kVerbosity_Module_Offset) {
          const uint16_t module_id = record_size >= kVerbosity_Module_Offset + 2
                                         ? TP_Load16(record + kVerbosity_Module_Offset)
                                         : 0;
          observer->On_Verbosity(id, module_id, TP_Load32(record + kVerbosity_Level_Offset));
        }
        break;
      case eTRTrace_Close:
        Forget(&channel);
        break;
      default:
        break;
    }
  }
}

void CTRS_Stream_Context::Replay(std::vector<uint8_t>* out) const {
  for (uint32_t id = 0; id < kChannels; ++id) {
    const sChannel& channel = m_Channels[id];
    if (!channel.live || channel.info.empty()) continue;
    std::vector<const tRecord*> records;
    records.push_back(&channel.info);
    if (!channel.utc.empty()) records.push_back(&channel.utc);
    for (const auto& entry : channel.threads) records.push_back(&entry.second);
    for (const auto& entry : channel.modules) {
      if (!entry.second.empty()) records.push_back(&entry.second);
    }
    for (const auto& entry : channel.formats) {
      if (!entry.second.empty()) records.push_back(&entry.second);
    }
    // Chunks of whole records, each at most kMax_Chunk bytes (a larger record alone).
    size_t at = 0;
    while (at < records.size()) {
      uint64_t length = 4 + records[at]->size();
      size_t end = at + 1;
      while (end < records.size() && length + records[end]->size() <= kMax_Chunk)
        length += records[end++]->size();
      Append_Chunk_Header(out, id, static_cast<uint32_t>(length));
      for (; at < end; ++at) out->insert(out->end(), records[at]->begin(), records[at]->end());
    }
  }
}
