// CClTextFile: writes lines to rolling UTF-8 text files ("/TR.Sink=FileTxt"). Lines end in CR LF
// and go through a 64 KiB buffer that is written out when it fills, when a line arrives more
// than a second after the last write-out, at a roll, on DumpBuffers (the file is then synced) and
// at destruction. The first file of an output begins with a UTF-8 byte-order mark.
//
// Files are named "/YYYYMMDD-hhmmssNNN.txt" after the local time of creation and a counter that
// grows with every name tried and never restarts. Rolling ("/TR.Roll="): by size ("<n>mb"), by
// age ("<n>hr", at most 1000 hours) or at local times of day ("H:M,H:M,...tm"). Limits
// ("/TR.Files=", "/TR.FSize=" in megabytes) count every "*.txt" file of the directory, also ones
// this output did not write, and delete the oldest names first.
//
// When a file cannot be created (also at a roll), the next write-out tries again; lines are
// dropped only while no file can be created.
//
// Thread-safety: none; used by one text client's worker (and its Close).
#ifndef TRACE_TEXT_CL_TEXT_FILE_H_
#define TRACE_TEXT_CL_TEXT_FILE_H_

#include <stdint.h>

#include <mqtt-wrapper/TRTextSink.h>

#include "trace/base/blist.h"
#include "trace/base/list_pool.h"
#include "trace/base/pfile.h"
#include "trace/base/wstring.h"

class CClTextFile : public CClTextSink {
 public:
  enum eRoll : uint32_t { eRoll_None = 0, eRoll_Size = 1, eRoll_Time = 2, eRoll_Times_Of_Day = 3 };

  static constexpr uint32_t kBufferCapacity = 65536;
  static constexpr uint32_t kMaxFiles = 4096;
  static constexpr uint32_t kMaxHours = 1000;

  CClTextFile();
  ~CClTextFile() override;

  CClTextFile(const CClTextFile&) = delete;
  CClTextFile& operator=(const CClTextFile&) = delete;

  uint32_t Initialize(char** args, int count) override;
  uint32_t Log(const sLog* log, const char* line, uint64_t length) override;
  uint32_t TryRoll() override;
  uint32_t DumpBuffers() override;

  // Inspection for tests and diagnostics.
  uint32_t Roll_Mode() const { return m_RollMode; }
  uint64_t Roll_Value() const { return m_RollValue; }
  uint64_t File_Bytes() const { return m_FileBytes; }
  const char* Directory() const { return m_Directory.Get(); }
  // Parses a "/TR.Roll=" value into the mode, value and times of day; prints the messages.
  bool Parse_Roll(const char* value);
  // Seconds after local midnight now (0 when the local time is unavailable).
  static uint32_t Time_Of_Day();
  // Makes a times-of-day check start from `seconds` (tests use it to replay a day).
  void Set_Last_Check(uint32_t seconds) { m_LastCheck = seconds; }
  bool Check_Times_Of_Day(uint32_t now);

 private:
  uint32_t Create_File();
  bool Make_Directory();
  void Load_Existing_Files();
  // Writes the buffer to the file (creating one when there is none); true when anything was
  // written. The buffer is empty afterwards.
  bool Write_Out();
  void Roll();
  void Delete_Oldest();

  CPFile m_File;
  CWString m_Directory;
  uint32_t m_RollMode = eRoll_None;
  uint64_t m_RollValue = 0;     // bytes (size) or milliseconds (time)
  uint32_t m_Created = 0;       // GetTickCount at the current file's creation
  uint32_t m_LastWrite = 0;     // GetTickCount at the last write-out
  uint64_t m_FileBytes = 0;     // bytes put into the current file, buffered ones included
  uint32_t m_MaxFiles = 0;      // 0 = unlimited
  uint64_t m_MaxBytes = 0;      // 0 = unlimited
  CBList<CWString*> m_Files;    // full paths, oldest first
  char* m_Buffer = nullptr;     // kBufferCapacity bytes, owned
  uint32_t m_Used = 0;
  CUintList m_RollTimes;        // seconds after local midnight
  uint32_t m_LastCheck = 0;     // time of day of the last times-of-day check
  uint32_t m_Counter = 0;       // file name counter, never restarts
  bool m_Initialized = false;
};

#endif  // TRACE_TEXT_CL_TEXT_FILE_H_
