// Construction, the roll's routing of Sent, and Close's drain of the binary file sink.
#include "trace/file/cl_file.h"

#include <string.h>

#include "trace/core/journal.h"
#include "trace/core/last_error.h"
#include "trace/core/options.h"
#include "trace/core/pool_plan.h"
#include "trace/format/trace_format.h"

namespace {

// A channel's replay after it learnt about a new file begins with its information record.
bool Starts_With_Info(const sTRC_Data_Chunk* chunks) {
  if (chunks[0].size < sizeof(uint32_t) || chunks[0].data == nullptr) return false;
  uint32_t header;
  memcpy(&header, chunks[0].data, sizeof(header));
  return header == TRTrace_Make_Header(sizeof(sTRTrace_Info), eTRTrace_Info);
}

constexpr CClBuffered::sWorker_Plan kWriterPlan{
    10,                      // wait_ms
    0,                       // busy_wait_ms: look again at once after a write
    CClFile::kIdleWrite_ms,  // idle_take_ms
    CClBuffered::kMaxBatch,  // batch
    false,                   // data_takes_current
    CClBuffered::eWhen_Full::eRefuse,
};

constexpr CRolling_Files::sNaming kTrdNaming{".", ".trd", "*.trd"};

}  // namespace

CClFile::CClFile(char** args, int count)
    : CClBuffered(eFileBin, args, count, kWriterPlan), m_Files(kTrdNaming, this) {
  // The writer writes whole buffers and Flush/Close the rest: a record is in the file no sooner
  // than they make it, so the channels may stage every call (client.h).
  m_Defers_Delivery = true;
  if (m_Status == eCode_Ok) m_Status = Init_Base();
  if (m_Status == eCode_Ok) m_Status = Init_Pool();
  if (m_Status == eCode_Ok) m_Status = Init_File();
  if (m_Status == eCode_Ok) m_Status = Init_Thread();
  if (m_Status == eCode_Ok) Init_Crash_Handler();
}

CClFile::~CClFile() {
  Shut_Down();
  CLockGuard guard(&m_StatusLock);
  m_Old.filled.Clear(false);
  m_Old.current = nullptr;
  m_RollList.Clear(false);
}

uint32_t CClFile::Init_Base() {
  Build_File_Header(Get_Argument_Text_Value(m_Args, m_ArgsCount, "/TR.Name="), &m_Header);
  return eCode_Ok;
}

uint32_t CClFile::Init_Pool() {
  // The option is parsed like every sink's; only the plan without it is this sink's own, 8 MiB
  // (64 x 128 KiB) rather than 16 x 128 KiB, so that bursts the writer can sustain are not refused.
  const uint32_t status =
      CClBuffered::Init_Pool(Plan_Pool(Get_Argument_Text_Value(m_Args, m_ArgsCount, "/TR.Pool="),
                                       kPool_File_Cap, kPool_File_Default));
  if (status != eCode_Ok) return status;
  CLockGuard guard(&m_StatusLock);
  if (m_BufferSize <= sizeof(m_Header) || !Reserve_Cells(&m_Old.filled) ||
      !Reserve_Cells(&m_RollList)) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Pool: Not enough memory");
    TR_Set_Last_Error(eLastError_Pool);
    return eCode_No_Slot;
  }
  m_Stream.current = Take_Free_Locked();
  memcpy(m_Stream.current->data, &m_Header, sizeof(m_Header));
  m_Stream.current->used = sizeof(m_Header);
  return eCode_Ok;
}

uint32_t CClFile::Init_File() {
  m_Files.Read_Limits(m_Args, m_ArgsCount);
  if (!m_Files.Set_Directory(Get_Argument_Text_Value(m_Args, m_ArgsCount, "/TR.Dir=")) ||
      !m_Files.Make_Directory()) {
    TR_JOURNAL(m_Journal, IJournal::eError, "Can't create directory: %s", m_Files.Directory());
    TR_Set_Last_Error(eLastError_Directory);
    return eCode_Internal;
  }
  m_Files.Load_Existing();
  if (Create_File() != eCode_Ok) {
    TR_Set_Last_Error(eLastError_File);
    TR_JOURNAL(m_Journal, IJournal::eError, "File creation failed {%s}", m_Files.Directory());
    return eCode_No_Slot;
  }

  char shown[256];
  switch (m_Files.Rule().Parse(Get_Argument_Text_Value(m_Args, m_ArgsCount, "/TR.Roll="), shown,
                               sizeof(shown))) {
    case CRoll_Rule::eParse_Cut:
      TR_JOURNAL(m_Journal, IJournal::eError, "Rolling value is more than 1000 hours, cutting");
      break;
    case CRoll_Rule::eParse_Invalid:
      TR_JOURNAL(m_Journal, IJournal::eError, "Rolling value is not correct = %s", shown);
      break;
    default:
      break;
  }
  return eCode_Ok;
}

void CClFile::Cannot_Create(const char* path) {
  TR_JOURNAL_AT(m_Journal, IJournal::eError, "Create_File", "Can't create file: %s", path);
}

void CClFile::Cannot_Delete(const char* path, bool) {
  TR_JOURNAL_AT(m_Journal, IJournal::eError, "Create_File", "Can't delete file: %s", path);
}

void CClFile::Update_Divert_Locked() { m_Divert = m_Rolling || m_HeaderPending; }

CClBuffered::sStream* CClFile::Select_Stream_Locked(uint32_t id, const sTRC_Data_Chunk* chunks,
                                                    bool* signal) {
  *signal = true;
  if (m_Rolling) {
    // A channel moves to the new file with the replay of its context, and stays there.
    const uint32_t bit = 1u << id;
    if ((m_Switched & bit) == 0 && Starts_With_Info(chunks)) m_Switched |= bit;
    if ((m_Switched & bit) == 0) {
      *signal = false;  // the roll collects these buffers itself
      return &m_Old;
    }
  }
  // The new file's header waits for a free buffer: nothing may go before it.
  return m_HeaderPending ? nullptr : &m_Stream;
}

void CClFile::On_Buffers_Freed_Locked() {
  if (!m_HeaderPending) return;
  sBuffer* buffer = Take_Free_Locked();
  if (buffer == nullptr) return;
  memcpy(buffer->data, &m_Header, sizeof(m_Header));
  buffer->used = sizeof(m_Header);
  m_Stream.current = buffer;
  m_HeaderPending = false;
  Update_Divert_Locked();
}

uint32_t CClFile::Filled_Count_Locked() { return m_Stream.filled.Count() + m_Old.filled.Count(); }

void CClFile::Drain_Locked() {
  // Everything accepted, in acceptance order: records of the file before a roll first.
  m_HeaderPending = false;
  m_DrainWriting = m_Connection.connected != 0 && m_Files.Is_Open();
  Drain_Stream_Locked(&m_Old);
  Drain_Stream_Locked(&m_Stream);
  m_Rolling = false;
  m_HeaderPending = false;
  Update_Divert_Locked();
}

bool CClFile::Drain_Buffer_Locked(sBuffer* buffer) {
  if (m_DrainWriting && !Write_Buffer(buffer)) {
    TR_JOURNAL_AT(m_Journal, IJournal::eCritical, "Close", "Can't write to file !");
    m_DrainWriting = false;
  }
  return m_DrainWriting;
}

void CClFile::On_Closed() { m_Files.Close(true); }
