// Trace channel: creation, reference counting, the client's callbacks and destruction.
// Lock order: see trace.h.
#include "trace/channel/trace.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include <new>

#include "trace/base/clocks.h"
#include "trace/base/utf.h"
#include "trace/core/client.h"
#include "trace/core/last_error.h"

namespace {

// Creation time in 100-ns units since 1601-01-01 UTC, and the local zone's offset from UTC.
void Creation_Time(uint64_t* time_100ns, int32_t* utc_offset) {
  timeval now{};
  gettimeofday(&now, nullptr);
  *time_100ns = static_cast<uint64_t>(now.tv_sec) * 10000000ULL +
                static_cast<uint64_t>(now.tv_usec) * 10ULL + 0x019DB1DED53E8000ULL;
  tm local{};
  time_t seconds = now.tv_sec;
  *utc_offset = localtime_r(&seconds, &local) ? static_cast<int32_t>(local.tm_gmtoff) : 0;
}

}  // namespace

CTRTrace* CTRTrace::Create(ITR_Client* client, const char* name, const stTrace_Conf* conf,
                           uint64_t arena_limit) {
  CTRTrace* channel = new (std::nothrow) CTRTrace(client, conf, arena_limit);
  if (!channel) {
    TR_Set_Last_Error(eLastError_No_Memory);
    return nullptr;
  }
  if (!channel->Init(name)) {
    channel->Release();
    return nullptr;
  }
  return channel;
}

CTRTrace::CTRTrace(ITR_Client* client, const stTrace_Conf* conf, uint64_t arena_limit)
    : m_Client(client), m_Arena(arena_limit), m_Staging(this) {
  if (conf) {
    m_Conf = *conf;
  } else {
    memset(&m_Conf, 0, sizeof(m_Conf));
  }
  memset(&m_Info, 0, sizeof(m_Info));
  memset(&m_UTC, 0, sizeof(m_UTC));
  memset(&m_Data_Header, 0, sizeof(m_Data_Header));
  memset(&m_Verbosity_Record, 0, sizeof(m_Verbosity_Record));
  m_Close_Record.header = TRTrace_Make_Header(sizeof(m_Close_Record), eTRTrace_Close);
  memset(m_Trailer, 0, sizeof(m_Trailer));
}

bool CTRTrace::Init(const char* name) {
  if (!m_Client) {
    TR_Set_Last_Error(eLastError_No_Client);
    return false;
  }
  {
    // Nobody else can see the channel yet; the lock is taken for the checked fields, and
    // released before Register_Channel, which takes the client's channel lock and then m_Lock.
    CLockGuard guard(&m_Lock);
    if (const char* text = m_Client->Get_Argument("/TR.Trc.Verb=")) {
      long level = strtol(text, nullptr, 10);
      if (level >= TRL_TRACE && level <= TRL_CRITICAL) {
        m_Verbosity = static_cast<eTRTrace_Level>(level);
      }
    }
    m_Client->Add_Ref();

    m_Chunks = static_cast<sTRC_Data_Chunk*>(malloc(sizeof(sTRC_Data_Chunk) * kInitial_Chunks));
    if (!m_Chunks || !m_Arena.Init()) {
      TR_Set_Last_Error(eLastError_No_Memory);
      return false;
    }
    m_Chunks_Capacity = kInitial_Chunks;

    uint64_t created = 0;
    int32_t offset = 0;
    Creation_Time(&created, &offset);
    m_Info.header = TRTrace_Make_Header(sizeof(m_Info), eTRTrace_Info);
    m_Info.time_hi = static_cast<uint32_t>(created >> 32);
    m_Info.time_lo = static_cast<uint32_t>(created);
    // The frequency first: it fixes which counter the built-in timer reads.
    m_Info.timer_frequency = m_Conf.get_timer ? m_Conf.timer_frequency : Channel_Timer_Frequency();
    m_Info.timer_value = Timer();
    m_Last_Timer = m_Info.timer_value;
    m_Info.flags = kTRTrace_Info_Flags;
    uint16_t name_units[kTRTrace_Name_Units + 1] = {};
    Convert_UTF8_To_UTF16(name ? name : "Unknown", name_units, kTRTrace_Name_Units + 1);
    memcpy(m_Info.name, name_units, sizeof(name_units));
    m_UTC.header = TRTrace_Make_Header(sizeof(m_UTC), eTRTrace_UTC_Offset);
    m_UTC.offset = offset;
    m_Chunks[0] = sTRC_Data_Chunk{&m_Info, sizeof(m_Info)};
    m_Chunks[1] = sTRC_Data_Chunk{&m_UTC, sizeof(m_UTC)};
    m_Pending_Count = 2;
    m_Pending_Size = sizeof(m_Info) + sizeof(m_UTC);
  }

  // A channel that may stage is listed with the drainer at its creation, so that no trace call
  // takes the drainer's registry mutex or starts its thread.
  if (m_Conf.get_timer == nullptr) m_In_Drainer.store(staging_drainer::Add(this));
  // A sink that delivers no sooner than its own writer, Flush or Close lets every call of a known
  // site stage, so that even a single thread pays no lock; the drainer and those merge first.
  if (m_In_Drainer.load()) {
    const auto* core = dynamic_cast<const CClient*>(m_Client);
    if (core != nullptr && core->Defers_Delivery()) m_Staging.Stage_Always();
  }

  if (m_Client->Register_Channel(this) != eCode_Ok) {
    TR_Set_Last_Error(eLastError_Refused);
    return false;
  }
  CLockGuard guard(&m_Lock);
  m_Registered = true;
  void* values = m_Arena.Reuse(CMemoryManager::eBuffer_Values, kInitial_Arg_Values);
  if (!values) {
    TR_Set_Last_Error(eLastError_No_Memory);
    return false;
  }
  m_Arg_Values = static_cast<uint64_t*>(values);
  m_Arg_Values_Capacity = kInitial_Arg_Values / sizeof(uint64_t);
  m_Active = true;
  Update_Open();
  return true;
}

CTRTrace::~CTRTrace() {
  // After this no drainer pass touches the channel.
  if (m_In_Drainer.load()) staging_drainer::Remove(this);
  Settle_Staged();
  { CLockGuard wait(&m_Lock); }  // lets a call in progress finish
  Remove_Shared();
  if (m_Registered) {
    {
      CLockGuard guard(&m_Lock);
      if (m_Active) Final_Flush();
    }
    m_Client->Unregister_Channel(m_ID);
  }
  free(m_Chunks);
  if (m_Client) m_Client->Release();
}

uint32_t CTRTrace::Add_Ref() { return ++m_RefCount; }

uint32_t CTRTrace::Release() {
  uint32_t count = --m_RefCount;
  if (count == 0) delete this;
  return count;
}

uint32_t CTRTrace::Get_ID() {
  CLockGuard guard(&m_Lock);
  return m_ID;
}

void CTRTrace::On_Init(sTRC_Channel_Info* info) {
  if (!info) return;
  CLockGuard guard(&m_Lock);
  m_ID = info->id;
}

void CTRTrace::On_Status(uint32_t, const sTRC_Status* status) {
  if (!status) return;
  {
    CLockGuard guard(&m_Lock);
    // A new output: everything sent before must be sent again. The context is tracked by the
    // resets value it was queued for, so a new counter first reported while disconnected still
    // replays the context once the output works.
    if (status->connected && static_cast<int64_t>(status->resets) != m_Context_Resets) {
      Queue_Context();
      m_Context_Resets = status->resets;
    }
    m_Status = *status;
    Update_Open();
  }
  if (m_Conf.on_connect)
    m_Conf.on_connect(m_Conf.context, static_cast<uint32_t>(status->connected));
}

void CTRTrace::On_Flush(uint32_t, uint32_t*) {
  CLockGuard guard(&m_Lock);
  if (m_Active) Final_Flush();
}

void CTRTrace::On_Receive(uint32_t, uint8_t* data, uint32_t size, uint32_t swap) {
  if (!data || size < sizeof(uint32_t)) return;
  uint32_t header = TRTrace_Read_Header(data);
  if (TRTrace_Header_Type(header) != kTRStream_Trace) return;
  uint32_t subtype = TRTrace_Header_Subtype(header);
  if (subtype == eTRTrace_Close_Request) {
    CLockGuard guard(&m_Lock);
    if (m_Active) Final_Flush();
    return;
  }
  if (subtype != eTRTrace_Verbosity) return;
  // A command too short to hold its level carries nothing to apply.
  if (size < offsetof(sTRTrace_Verbosity, module_id)) return;
  uint32_t level;
  memcpy(&level, data + offsetof(sTRTrace_Verbosity, level), sizeof(level));
  uint16_t module_id = 0;
  if (size >= sizeof(sTRTrace_Verbosity)) {
    memcpy(&module_id, data + offsetof(sTRTrace_Verbosity, module_id), sizeof(module_id));
  }
  if (swap) {
    level = __builtin_bswap32(level);
    module_id = __builtin_bswap16(module_id);
  }
  sTRTrace_Module* module = nullptr;
  {
    CLockGuard guard(&m_Lock);
    if (module_id != 0) {
      module = Module_By_ID(module_id);
      if (module) Set_Module_Level(module, level);
    } else {
      m_Verbosity.store(static_cast<eTRTrace_Level>(level), std::memory_order_relaxed);
    }
  }
  if (m_Conf.on_verbosity) m_Conf.on_verbosity(m_Conf.context, module, level);
}

extern "C" MQW_EXPORT ITR_Trace* TR_Create_Trace(ITR_Client* client, const char* name,
                                                 const stTrace_Conf* conf) {
  if (conf && ((conf->timer_frequency != 0) != (conf->get_timer != nullptr))) return nullptr;
  return CTRTrace::Create(client, name, conf);
}
