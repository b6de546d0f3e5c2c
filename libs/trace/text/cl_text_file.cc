#include "trace/text/cl_text_file.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "trace/base/clocks.h"
#include "trace/core/last_error.h"
#include "trace/core/options.h"

namespace {

constexpr CRolling_Files::sNaming kTxtNaming{"", ".txt", "*.txt"};

// Milliseconds of the coarse monotonic clock: the write-out rule needs no more than a few
// milliseconds of resolution and this clock costs a fraction of the precise one per line.
uint32_t Coarse_Ms() {
  timespec now;
  if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0) return GetTickCount();
  return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000 +
                               static_cast<uint64_t>(now.tv_nsec) / 1000000);
}

}  // namespace

CClTextFile::CClTextFile() : m_Files(kTxtNaming, this) {}

CClTextFile::~CClTextFile() {
  if (m_Used && m_Files.Is_Open()) m_Files.Write(m_Buffer, m_Used);
  m_Used = 0;
  m_Files.Close(true);
  free(m_Buffer);
}

void CClTextFile::Cannot_Create(const char* path) { printf("TR:Can't create file: %s", path); }

void CClTextFile::Cannot_Delete(const char* path, bool by_size) {
  if (by_size) {
    printf("Can't delete file: %s", path);
  } else {
    printf("TR:Can't delete file: %s", path);
  }
}

uint32_t CClTextFile::Initialize(char** args, int count) {
  m_Buffer = static_cast<char*>(malloc(kBufferCapacity));
  if (!m_Buffer) {
    fputs("TR:Can't allocate memory", stdout);
    TR_Set_Last_Error(eLastError_No_Memory);
    return eCode_No_Slot;
  }
  static const uint8_t kBom[3] = {0xEF, 0xBB, 0xBF};
  memcpy(m_Buffer, kBom, sizeof(kBom));
  m_Used = sizeof(kBom);
  m_FileBytes = sizeof(kBom);

  m_Files.Read_Limits(args, count);
  if (!m_Files.Set_Directory(Get_Argument_Text_Value(args, count, "/TR.Dir=")) ||
      !m_Files.Make_Directory()) {
    printf("TR:Can't create directory: %s\n", m_Files.Directory());
    TR_Set_Last_Error(eLastError_Directory);
    return eCode_Internal;
  }
  m_Files.Load_Existing();
  const uint32_t result = Create_File();
  if (result != eCode_Ok) {
    TR_Set_Last_Error(eLastError_File);
    fputs("TR:File creation failed", stdout);
    return result;
  }
  m_LastWrite = Coarse_Ms();
  const char* roll = Get_Argument_Text_Value(args, count, "/TR.Roll=");
  if (roll) Parse_Roll(roll);
  m_Initialized = true;
  return eCode_Ok;
}

uint32_t CClTextFile::Create_File() { return m_Files.Create_Next() ? eCode_Ok : eCode_No_Slot; }

bool CClTextFile::Write_Out() {
  if (!m_Used) return false;
  if (!m_Files.Is_Open() && m_Initialized) {
    // The last creation failed (for example at a roll): try again before giving the lines up.
    m_FileBytes = m_Used;
    Create_File();
  }
  bool written = false;
  if (m_Files.Is_Open()) written = m_Files.Write(m_Buffer, m_Used) > 0;
  m_Used = 0;
  return written;
}

uint32_t CClTextFile::DumpBuffers() {
  if (m_Used && (m_Files.Is_Open() || m_Initialized)) {
    if (Write_Out()) m_Files.Sync();
  }
  m_Used = 0;
  return 0;
}

uint32_t CClTextFile::Log(const sLog*, const char* line, uint64_t length) {
  if (!m_Buffer) return 0;
  if (length + 16 > kBufferCapacity) {
    Write_Out();
    if (m_Files.Is_Open()) m_Files.Write(line, length);
    m_Buffer[0] = '\r';
    m_Buffer[1] = '\n';
    m_Used = 2;
    m_FileBytes += length + 2;
    TryRoll();
    return 0;
  }
  uint32_t now = Coarse_Ms();
  if (kBufferCapacity - m_Used < length + 16 || now - m_LastWrite > 999) {
    Write_Out();
    TryRoll();
    m_LastWrite = Coarse_Ms();
  }
  memcpy(m_Buffer + m_Used, line, length);
  m_Used += static_cast<uint32_t>(length);
  m_Buffer[m_Used++] = '\r';
  m_Buffer[m_Used++] = '\n';
  m_FileBytes += length + 2;
  return 0;
}

uint32_t CClTextFile::TryRoll() {
  if (m_Files.Rule().Size_Due(m_FileBytes) || m_Files.Time_Due()) Roll();
  return 0;
}

void CClTextFile::Roll() {
  if (m_Used && m_Files.Is_Open()) {
    if (m_Files.Write(m_Buffer, m_Used) > 0) m_Files.Sync();
  }
  m_Files.Close(true);
  m_FileBytes = 0;
  m_Used = 0;
  Create_File();
  m_LastWrite = Coarse_Ms();
}

bool CClTextFile::Parse_Roll(const char* value) {
  char shown[256];
  switch (m_Files.Rule().Parse(value, shown, sizeof(shown))) {
    case CRoll_Rule::eParse_Cut:
      puts("TR:Rolling value is more than 1000 hours, cutting");
      return true;
    case CRoll_Rule::eParse_Invalid:
      printf("TR:Rolling value is not correct = %s\n", shown);
      return false;
    default:
      return true;
  }
}
