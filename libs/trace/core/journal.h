// IJournal / CJournal: the engine's own diagnostic log, printed on standard output.
//
// A client has a journal only when it was created with "/TR.Verb=" of at most 5
// (CJournal::Create_From_Args); otherwise its journal pointer is null and reports are skipped
// (TR_JOURNAL does that check). Each entry is two lines:
//   [function] : [line]
//   YYYY.MM.DD hh:mm:ss.mmm: LEVEL: : message
// where LEVEL is one of "TRACE: ", "DEBUG: ", "INFO : ", "WARN.: ", "ERROR: ", "CRIT.: ".
// Entries below the threshold are dropped; a negative threshold lets every level through.
//
// Ownership: reference counted (1 at creation); Release() deletes at 0.
// Thread-safety: any thread may log; m_Lock (recursive) serialises composing and printing, so the
// lines of one entry are never interleaved with another entry. Lock order: m_Lock is a leaf,
// taken under any other engine lock (sinks report to the journal while holding theirs).
#ifndef TRACE_CORE_JOURNAL_H_
#define TRACE_CORE_JOURNAL_H_

#include <stdarg.h>
#include <stdint.h>

#include <atomic>

#include "trace/base/lock.h"
#include "trace/base/thread_annotations.h"

class IJournal {
 public:
  enum eLevel : int32_t { eTrace = 0, eDebug, eInfo, eWarning, eError, eCritical };

  virtual bool Initialize(const char* name) = 0;
  virtual void Set_Verbosity(eLevel level) = 0;
  virtual eLevel Get_Verbosity() = 0;
  virtual uint32_t Register_Thread(const char* name, uint32_t id) = 0;
  virtual uint32_t Unregister_Thread(uint32_t id) = 0;
  virtual uint32_t Register_Module(const char* name, void** module) = 0;
  // Prints one entry; true when printed.
  virtual bool Log(eLevel level, void* module, const char* file, const char* function,
                   uint32_t line, const char* format, ...)
      __attribute__((format(printf, 7, 8))) = 0;
  // Entries printed at `level` so far; 0 for an unknown level.
  virtual uint64_t Get_Count(eLevel level) = 0;
  virtual int32_t Add_Ref() = 0;
  virtual int32_t Release() = 0;

 protected:
  virtual ~IJournal() = default;
};

class CJournal : public IJournal {
 public:
  static constexpr uint32_t kBufferSize = 8192;
  static constexpr int kLevels = 6;

  // The journal asked for by "/TR.Verb=" in `args` (threshold = its base-10 value), or null when
  // the option is absent, its value is above 5, or memory runs out.
  static IJournal* Create_From_Args(char** args, int count);

  explicit CJournal(eLevel threshold = eWarning);

  CJournal(const CJournal&) = delete;
  CJournal& operator=(const CJournal&) = delete;

  bool Initialize(const char* name) override;
  void Set_Verbosity(eLevel level) override;
  eLevel Get_Verbosity() override;
  uint32_t Register_Thread(const char* name, uint32_t id) override;
  uint32_t Unregister_Thread(uint32_t id) override;
  uint32_t Register_Module(const char* name, void** module) override;
  bool Log(eLevel level, void* module, const char* file, const char* function, uint32_t line,
           const char* format, ...) override __attribute__((format(printf, 7, 8)));
  uint64_t Get_Count(eLevel level) override;
  int32_t Add_Ref() override;
  int32_t Release() override;

 protected:
  ~CJournal() override;

 private:
  std::atomic<int32_t> m_RefCount{1};
  CLock m_Lock;  // a leaf: no other engine lock is taken under it
  uint64_t m_Counts[kLevels] TR_GUARDED_BY(m_Lock) = {};
  int32_t m_Threshold TR_GUARDED_BY(m_Lock);       // may be negative
  char* m_Buffer TR_GUARDED_BY(m_Lock) = nullptr;  // kBufferSize bytes
};

// Reports to `journal_ptr` when it is not null.
#define TR_JOURNAL(journal_ptr, level, format, ...)                                            \
  do {                                                                                         \
    IJournal* tr_journal_ = (journal_ptr);                                                     \
    if (tr_journal_)                                                                           \
      tr_journal_->Log((level), nullptr, __FILE__, __func__, __LINE__, format, ##__VA_ARGS__); \
  } while (0)

// TR_JOURNAL with the function name given, for reports made on behalf of the step the journal
// names (a worker's "Routine", "Close", a protocol step), which readers of the journal know.
#define TR_JOURNAL_AT(journal_ptr, level, function, format, ...)                                 \
  do {                                                                                           \
    IJournal* tr_journal_ = (journal_ptr);                                                       \
    if (tr_journal_)                                                                             \
      tr_journal_->Log((level), nullptr, __FILE__, (function), __LINE__, format, ##__VA_ARGS__); \
  } while (0)

#endif  // TRACE_CORE_JOURNAL_H_
