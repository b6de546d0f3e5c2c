// CClTextFile: writes lines to rolling UTF-8 text files ("/TR.Sink=FileTxt"). Lines end in CR LF
// and go through a 64 KiB buffer that is written out when it fills, when a line arrives more
// than a second after the last write-out, at a roll, on DumpBuffers (the file is then synced) and
// at destruction. The first file of an output begins with a UTF-8 byte-order mark.
//
// Files are named "/YYYYMMDD-hhmmssNNN.txt" after the local time of creation and a counter that
// grows with every name tried and never restarts; an existing entry of that name (of any type,
// links included) is never opened or followed. Rolling ("/TR.Roll=") by size ("<n>mb"), by age
// ("<n>hr", at most 1000 hours) or at local times of day ("H:M,H:M,...tm"), and the limits
// ("/TR.Files=", "/TR.FSize=" in megabytes, counting every "*.txt" file of the directory, also
// ones this output did not write, oldest names deleted first) are those of every rolling output
// (CRolling_Files).
//
// When a file cannot be created (also at a roll), the next write-out tries again; lines are
// dropped only while no file can be created.
//
// Thread-safety: none; used by one text client's worker (and its Close).
#ifndef TRACE_TEXT_CL_TEXT_FILE_H_
#define TRACE_TEXT_CL_TEXT_FILE_H_

#include <stdint.h>

#include <mqtt-wrapper/TRTextSink.h>

#include "trace/core/rolling_files.h"

class CClTextFile : public CClTextSink, private CRolling_Files::IReport {
 public:
  enum eRoll : uint32_t {
    eRoll_None = CRoll_Rule::eNone,
    eRoll_Size = CRoll_Rule::eMegabytes,
    eRoll_Time = CRoll_Rule::eHours,
    eRoll_Times_Of_Day = CRoll_Rule::eTimes,
  };

  static constexpr uint32_t kBufferCapacity = 65536;
  static constexpr uint32_t kMaxFiles = CRolling_Files::kMaxFiles;
  static constexpr uint32_t kMaxHours = CRoll_Rule::kMaxHours;

  CClTextFile();
  ~CClTextFile() override;

  CClTextFile(const CClTextFile&) = delete;
  CClTextFile& operator=(const CClTextFile&) = delete;

  uint32_t Initialize(char** args, int count) override;
  uint32_t Log(const sLog* log, const char* line, uint64_t length) override;
  uint32_t TryRoll() override;
  uint32_t DumpBuffers() override;

  // Inspection for tests and diagnostics.
  uint32_t Roll_Mode() { return m_Files.Rule().Kind(); }
  uint64_t Roll_Value() { return m_Files.Rule().Value(); }
  uint64_t File_Bytes() const { return m_FileBytes; }
  const char* Directory() const { return m_Files.Directory(); }
  // Parses a "/TR.Roll=" value into the rule; prints the messages.
  bool Parse_Roll(const char* value);
  // Makes a times-of-day check start from `seconds` (tests use it to replay a day).
  void Set_Last_Check(uint32_t seconds) { m_Files.Rule().Set_Last_Check(seconds); }
  bool Check_Times_Of_Day(uint32_t now) { return m_Files.Rule().Check_Times(now); }

 private:
  uint32_t Create_File();
  // Writes the buffer to the file (creating one when there is none); true when anything was
  // written. The buffer is empty afterwards.
  bool Write_Out();
  void Roll();

  // CRolling_Files::IReport: on standard output.
  void Cannot_Create(const char* path) override;
  void Cannot_Delete(const char* path, bool by_size) override;

  CRolling_Files m_Files;
  uint32_t m_LastWrite = 0;  // coarse ms at the last write-out
  uint64_t m_FileBytes = 0;  // bytes put into the current file, buffered ones included
  char* m_Buffer = nullptr;  // kBufferCapacity bytes, owned
  uint32_t m_Used = 0;
  bool m_Initialized = false;
};

#endif  // TRACE_TEXT_CL_TEXT_FILE_H_
