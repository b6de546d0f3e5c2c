#include "trace/core/journal.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <new>

#include "trace/core/options.h"

namespace {

const char* const kLevelTexts[CJournal::kLevels] = {
    "TRACE: ", "DEBUG: ", "INFO : ", "WARN.: ", "ERROR: ", "CRIT.: "};

// Adds the result of one snprintf-style step to `used`, treating failure as zero characters and
// a cut text as filling the rest of the buffer.
void Advance(size_t* used, int result, size_t size) {
  if (result <= 0) return;
  size_t room = size - *used;
  *used += static_cast<size_t>(result) < room ? static_cast<size_t>(result) : room - 1;
}

}  // namespace

IJournal* CJournal::Create_From_Args(char** args, int count) {
  const char* value = Get_Argument_Text_Value(args, count, "/TR.Verb=");
  if (!value) return nullptr;
  long threshold = strtol(value, nullptr, 10);
  if (threshold > eCritical) return nullptr;
  if (threshold < INT32_MIN) threshold = INT32_MIN;
  CJournal* journal = new (std::nothrow) CJournal(static_cast<eLevel>(threshold));
  if (!journal) return nullptr;
  if (!journal->Initialize(nullptr)) {
    journal->Release();
    return nullptr;
  }
  return journal;
}

CJournal::CJournal(eLevel threshold) : m_Threshold(threshold) {
  m_Buffer = static_cast<char*>(malloc(kBufferSize));
}

CJournal::~CJournal() { free(m_Buffer); }

bool CJournal::Initialize(const char*) {
  CLockGuard guard(&m_Lock);
  if (!m_Buffer) m_Buffer = static_cast<char*>(malloc(kBufferSize));
  return m_Buffer != nullptr;
}

void CJournal::Set_Verbosity(eLevel level) {
  CLockGuard guard(&m_Lock);
  m_Threshold = level;
}

IJournal::eLevel CJournal::Get_Verbosity() {
  CLockGuard guard(&m_Lock);
  return static_cast<eLevel>(m_Threshold);
}

uint32_t CJournal::Register_Thread(const char*, uint32_t) { return 0; }

uint32_t CJournal::Unregister_Thread(uint32_t) { return 0; }

uint32_t CJournal::Register_Module(const char*, void** module) {
  if (module) *module = nullptr;
  return 0;
}

bool CJournal::Log(eLevel level, void*, const char*, const char* function, uint32_t line,
                   const char* format, ...) {
  // The wall clock is read once, before the lock; date, time and milliseconds all come from it.
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  time_t seconds = now.tv_sec;
  tm local{};
  localtime_r(&seconds, &local);

  CLockGuard guard(&m_Lock);
  int32_t value = static_cast<int32_t>(level);
  if (value < m_Threshold || value < 0 || value >= kLevels || !m_Buffer) return false;
  ++m_Counts[value];

  size_t used = 0;
  Advance(&used,
          snprintf(m_Buffer, kBufferSize, "[%s] : [%d]\n", function ? function : "(null)",
                   static_cast<int>(line)),
          kBufferSize);
  Advance(&used,
          snprintf(m_Buffer + used, kBufferSize - used,
                   "%04d.%02d.%02d %02d:%02d:%02d.%03d: %s: ", local.tm_year + 1900,
                   local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                   static_cast<int>(now.tv_nsec / 1000000), kLevelTexts[value]),
          kBufferSize);
  if (format) {
    va_list args;
    va_start(args, format);
    Advance(&used, vsnprintf(m_Buffer + used, kBufferSize - used, format, args), kBufferSize);
    va_end(args);
  }
  fwrite(m_Buffer, 1, used, stdout);
  fputc('\n', stdout);
  // Diagnostics must survive a crash that follows them.
  fflush(stdout);
  return true;
}

uint64_t CJournal::Get_Count(eLevel level) {
  int32_t value = static_cast<int32_t>(level);
  if (value < 0 || value >= kLevels) return 0;
  CLockGuard guard(&m_Lock);
  return m_Counts[value];
}

int32_t CJournal::Add_Ref() { return m_RefCount.fetch_add(1) + 1; }

int32_t CJournal::Release() {
  int32_t count = m_RefCount.fetch_sub(1) - 1;
  if (count == 0) delete this;
  return count;
}
