#include "trace/text/cl_text.h"

#include <string.h>
#include <strings.h>

#include <new>

#include "trace/base/clocks.h"
#include "trace/core/journal.h"
#include "trace/core/last_error.h"
#include "trace/core/options.h"
#include "trace/core/pool_plan.h"
#include "trace/text/cl_text_console.h"
#include "trace/text/cl_text_file.h"
#include "trace/text/cl_text_syslog.h"
#include "trace/text/text_sink_registry.h"

namespace {

constexpr CClBuffered::sWorker_Plan kWorkerPlan{
    CClText::kWaitMs,  // wait_ms
    CClText::kWaitMs,  // busy_wait_ms
    0,                 // idle_take_ms: every time-out shows the partly filled buffer
    1,                 // batch
    true,              // data_takes_current
    CClBuffered::eWhen_Full::eWait,
};

}  // namespace

CClText::CClText(char** args, int count) : CClBuffered(eText, args, count, kWorkerPlan) {
  m_LastRoll = GetTickCount();
  m_LastDump = m_LastRoll;
  if (m_Status == eCode_Ok) m_Status = Init_Base();
  if (m_Status == eCode_Ok) m_Status = Init_Pool();
  if (m_Status == eCode_Ok) m_Status = Init_Backend();
  if (m_Status == eCode_Ok) m_Status = Init_Thread();
  if (m_Status == eCode_Ok) Init_Crash_Handler();
}

CClText::~CClText() { Shut_Down(); }

uint32_t CClText::Init_Base() {
  const char* format = Get_Argument_Text_Value(m_Args, m_ArgsCount, "/TR.Format=");
  if (!m_Parser.Init(format)) {
    TR_JOURNAL(m_Journal, IJournal::eError, "%s", m_Parser.Error_Text());
    TR_Set_Last_Error(eLastError_No_Memory);
    return eCode_No_Slot;
  }
  return eCode_Ok;
}

uint32_t CClText::Init_Pool() {
  const uint32_t status = CClBuffered::Init_Pool(
      Plan_Pool(Get_Argument_Text_Value(m_Args, m_ArgsCount, "/TR.Pool="), kPool_Text_Cap));
  if (status == eCode_Ok) m_Parser.Set_Max_Packet(m_BufferSize * m_BufferCount);
  return status;
}

uint32_t CClText::Init_Backend() {
  const char* sink = Get_Argument_Text_Value(m_Args, m_ArgsCount, "/TR.Sink=");
  if (sink && strcasecmp(sink, "FileTxt") == 0) {
    m_Output = new (std::nothrow) CClTextFile();
  } else if (sink && strcasecmp(sink, "Syslog") == 0) {
    m_Output = new (std::nothrow) CClTextSyslog(m_Journal);
  } else if (sink && strcasecmp(sink, "ExternalSinc") == 0) {
    const char* text = Get_Argument_Text_Value(m_Args, m_ArgsCount, "/TR.ExtAddr=");
    uint64_t handle = 0;
    CClTextSink* external = nullptr;
    if (CTextSinkRegistry::Parse_Handle(text, &handle)) external = CTextSinkRegistry::Find(handle);
    if (external) {
      m_Output = external;
      m_OutputExternal = true;
    } else {
      TR_JOURNAL(m_Journal, IJournal::eWarning,
                 "/TR.ExtAddr=%s is not a registered text sink handle; console output used",
                 text ? text : "");
    }
  }
  if (!m_Output) m_Output = new (std::nothrow) CClTextConsole();
  if (!m_Output) {
    TR_Set_Last_Error(eLastError_No_Memory);
    return eCode_No_Slot;
  }
  m_Parser.Set_Output(m_Output);
  return m_Output->Initialize(m_Args, m_ArgsCount);
}

void CClText::Go_Off() {
  sTRC_Status status;
  {
    CLockGuard guard(&m_StatusLock);
    m_ParseFailed = true;
    m_Connection.connected = 0;
    status = m_Connection;
    Wake_Writers_Locked();
  }
  TR_JOURNAL(m_Journal, IJournal::eCritical,
             "Text output stopped: the trace stream cannot be parsed at stream offset %llu: %s",
             static_cast<unsigned long long>(m_Parser.Error_Offset()), m_Parser.Error_Text());
  // Producers blocked for room hold their channel's lock; they wake on the event above, see the
  // client off and return before the channels are told.
  Notify_Channels(status);
}

bool CClText::Consume(sBuffer* const* batch, uint32_t count, bool) {
  for (uint32_t i = 0; i < count; ++i) {
    m_LastDump = GetTickCount();
    // After a failure the client is off before room appears, so that no producer is told its
    // data was accepted when no worker will ever render it.
    if (m_Parser.Parse_Buffer(batch[i]->data, batch[i]->used) != eDecode_Ok) {
      Go_Off();
      return false;
    }
  }
  return true;
}

void CClText::On_Pass() {
  if (m_Output == nullptr) return;  // closed on the worker itself (a crash there)
  // Rolls are checked every minute; buffered output is written out once the stream has been
  // quiet for a second, so that lines never wait in memory for the next line to arrive.
  const uint32_t now = GetTickCount();
  if (now - m_LastRoll > kRollCheckMs) {
    m_Output->TryRoll();
    m_LastRoll = now;
  }
  if (now - m_LastDump > kDumpMs) {
    m_Output->DumpBuffers();
    m_LastDump = now;
  }
}

void CClText::Drain_Locked() {
  if (m_ParseFailed || m_Output == nullptr) return;
  Drain_Stream_Locked(&m_Stream);
  if (!m_ParseFailed) m_Output->DumpBuffers();
}

bool CClText::Drain_Buffer_Locked(sBuffer* buffer) {
  if (m_Parser.Parse_Buffer(buffer->data, buffer->used) == eDecode_Ok) return true;
  m_ParseFailed = true;
  TR_JOURNAL_AT(m_Journal, IJournal::eCritical, "Close",
                "Trace stream cannot be parsed at stream offset %llu: %s",
                static_cast<unsigned long long>(m_Parser.Error_Offset()), m_Parser.Error_Text());
  return false;
}

void CClText::On_Closed() {
  if (m_Output && !m_OutputExternal) delete m_Output;
  m_Output = nullptr;
  m_Parser.Set_Output(nullptr);
}
