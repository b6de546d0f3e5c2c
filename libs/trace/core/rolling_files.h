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
// Retention between creations (opt-in, for owners that must keep the total size bound at every
// moment rather than at each roll): after each Write the owner calls Enforce_After_Write, which
// deletes the oldest closed files while the listed files and the open one together pass the total
// size limit, and rolls with Create_Next before writing more once Roll_Due says so (the rule's
// size, or the open file alone at the total size limit). Together they keep the directory's
// matching files within the total size limit plus what one Write adds; an owner that writes a
// buffer at a time therefore stays within the limit plus one buffer. Owners that never call them
// keep the creation-time retention above unchanged.
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
    // A listed file of `bytes` (as measured just before) was deleted by the retention; for
    // owners that keep figures of what the directory holds.
    virtual void Deleted(const char* /*path*/, uint64_t /*bytes*/) {}

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

  // Bytes written to the open file through Write since its creation.
  uint64_t File_Bytes() const { return m_FileBytes; }
  // The open file must be closed and the next one created before `file_bytes` (what the owner
  // has put into the open file, its own buffered bytes included) grows further: the rule's size
  // is reached, or the file alone has reached the total size limit.
  bool Roll_Due(uint64_t file_bytes) const;
  // With a total size limit: deletes the oldest closed files while they and the open file pass
  // it; the open file itself is never deleted. Cost: constant unless a file is deleted (sizes are
  // measured at each creation and kept, not read again per write). A listed file found gone
  // (removed by someone else) leaves the list unreported and the closed files are measured again.
  void Enforce_After_Write();
  // Full path of the open file; null when none is open or its path could not be kept.
  const char* Open_Path() const;
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
  // Sizes of the listed files other than the open one, measured now.
  uint64_t Measure_Closed() const;
  // Deletes the oldest listed file and returns its size (0 when it could not be measured).
  uint64_t Delete_Oldest(bool by_size);

  const sNaming m_Naming;
  IReport* const m_Report;
  char m_Directory[kDirectorySize] = {};
  int m_Handle = -1;
  uint32_t m_Counter = 0;    // name counter, never restarts
  uint32_t m_Created = 0;    // GetTickCount at the current file's creation
  uint32_t m_MaxFiles = 0;   // 0: no limit
  uint64_t m_MaxBytes = 0;   // 0: no limit
  uint64_t m_FileBytes = 0;  // written to the open file since its creation
  // With a total size limit: sizes of the listed files other than the open one, measured at the
  // last creation and lowered by each deletion since.
  uint64_t m_ClosedBytes = 0;
  const CWString* m_OpenEntry = nullptr;  // the open file's entry in m_Files; null: not listed
  CBList<CWString*> m_Files;              // full paths, oldest first; owned
  CRoll_Rule m_Rule;
};

#endif  // TRACE_CORE_ROLLING_FILES_H_
