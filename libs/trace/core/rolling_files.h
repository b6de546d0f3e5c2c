// CRolling_Files: the rolling output files of a sink that writes to a directory (binary trace
// files, text files): the directory, the time-stamped names, the open file, the rolling rule and
// the retention limits. One helper serves every such sink, so both roll and prune alike.
//
// Names: directory + "/YYYYMMDD-hhmmss" + separator + a three-digit counter + extension, in local
// time at creation. The counter grows with every name tried and never restarts, so two files of
// the same second differ. A file is created exclusively (O_CREAT | O_EXCL | O_NOFOLLOW): an
// existing entry of any type, a symbolic link included (dangling or not), is never opened,
// truncated or followed; the next counter value is tried instead.
//
// Retention ("/TR.Files=" 1..4096, "/TR.FSize=" in megabytes): the files of the directory that
// match the sink's mask (case-insensitive), oldest name first, count together with every file
// made since; after each creation the oldest files are deleted while the count or the total size
// is above its limit. The new file counts in both (with its size then, 0).
//
// Reports (a file that cannot be created or deleted) go to the owner's IReport, so each sink keeps
// its own wording and channel (journal or standard output).
//
// Ownership: owns the descriptor (closed with fsync by Close and the destructor) and the list of
// paths. Thread-safety: none; used by one thread at a time (the sink's construction, then its
// worker, then its close after the worker has ended).
#ifndef TRACE_CORE_ROLLING_FILES_H_
#define TRACE_CORE_ROLLING_FILES_H_

#include <stddef.h>
#include <stdint.h>

#include "trace/base/blist.h"
#include "trace/base/wstring.h"
#include "trace/core/roll_rule.h"

class CRolling_Files {
 public:
  class IReport {
   public:
    virtual void Cannot_Create(const char* path) = 0;
    // `by_size`: the deletion was for the total size limit rather than the file count.
    virtual void Cannot_Delete(const char* path, bool by_size) = 0;

   protected:
    ~IReport() = default;
  };

  struct sNaming {
    const char* counter_separator;  // between the seconds and the counter ("." or "")
    const char* extension;          // ".trd", ".txt"
    const char* mask;               // files that count for the limits ("*.trd")
  };

  static constexpr uint32_t kDirectorySize = 4096;
  static constexpr uint32_t kMaxFiles = 4096;
  static constexpr uint32_t kMaxNameAttempts = 100000;

  // `report` must outlive this object.
  CRolling_Files(const sNaming& naming, IReport* report);
  ~CRolling_Files();

  CRolling_Files(const CRolling_Files&) = delete;
  CRolling_Files& operator=(const CRolling_Files&) = delete;

  // "/TR.Files=" and "/TR.FSize=" from an argument list.
  void Read_Limits(char** args, int count);
  // The directory: `option` ("/TR.Dir=" value), or when it is null or empty the executable's
  // directory + "/TRlogs/". False when the value does not fit kDirectorySize.
  bool Set_Directory(const char* option);
  // Creates the directory with its missing parents (mode 0774); true when it is a directory.
  bool Make_Directory();
  // With a limit set, lists the directory's matching files, oldest name first.
  void Load_Existing();

  // Closes the open file (with fsync) and creates the next one; false (reported) when no file
  // could be created, and then no file is open.
  bool Create_Next();
  bool Is_Open() const { return m_Handle != -1; }
  // Writes until all is written; on a failure prints the errno value ("%d") on standard output
  // and stops. Returns the bytes written (0 when no file is open).
  size_t Write(const void* data, size_t size);
  // fsync of the open file; false when none is open or it fails.
  bool Sync();
  // Closes the open file, with fsync first when `sync`.
  void Close(bool sync);
  int Handle() const { return m_Handle; }

  const char* Directory() const { return m_Directory; }
  uint32_t Max_Files() const { return m_MaxFiles; }
  uint64_t Max_Bytes() const { return m_MaxBytes; }
  uint32_t Created_ms() const { return m_Created; }

  CRoll_Rule& Rule() { return m_Rule; }
  // "hr" or "tm" roll due now (the rule's age or times-of-day check).
  bool Time_Due();

 private:
  void Enforce_Limits(const CWString* newest);
  bool Delete_Oldest(bool by_size);

  const sNaming m_Naming;
  IReport* const m_Report;
  char m_Directory[kDirectorySize] = {};
  int m_Handle = -1;
  uint32_t m_Counter = 0;     // name counter, never restarts
  uint32_t m_Created = 0;     // GetTickCount at the current file's creation
  uint32_t m_MaxFiles = 0;    // 0: no limit
  uint64_t m_MaxBytes = 0;    // 0: no limit
  CBList<CWString*> m_Files;  // full paths, oldest first; owned
  CRoll_Rule m_Rule;
};

#endif  // TRACE_CORE_ROLLING_FILES_H_
