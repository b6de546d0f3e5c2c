// CClFile: the binary file sink. Stores the channels' byte stream unchanged in rolling ".trd"
// files, each beginning with the 1044-byte header (file_header.h), then one user-data header
// word and the bytes of every accepted Sent call.
//
// The buffering, the framed copy of Sent (a full pool refuses with eCode_No_Room), the worker's
// life and Close are the base's (CClBuffered, which states the lock order). This class writes
// whole buffers on the worker (the writer thread), writes a partly filled buffer at the latest
// 15 s after its previous write, rolls files and keeps the directory within its limits
// (CRolling_Files). Every file is readable by itself: after a roll it begins with the header
// followed by each channel's replayed context (channels are told the new `resets` value), and the
// records a channel sent before it was told go to the old file. Data accepted with 0 reaches the
// file unless a write fails; a failed write stops delivery for good (Sent then returns 1).
//
// Thread-safety: as the base. m_StatusLock guards the roll's streams and flags below; the files,
// m_FileSize and the roll list belong to the writer thread until Close has joined it.
#ifndef TRACE_FILE_CL_FILE_H_
#define TRACE_FILE_CL_FILE_H_

#include <stdint.h>

#include <atomic>

#include "trace/base/blist.h"
#include "trace/core/cl_buffered.h"
#include "trace/core/rolling_files.h"
#include "trace/format/file_header.h"

class CClFile : public CClBuffered, private CRolling_Files::IReport {
 public:
  static constexpr uint32_t kDirectorySize = CRolling_Files::kDirectorySize;
  static constexpr uint32_t kIdleWrite_ms = 15000;

  CClFile(char** args, int count);
  ~CClFile() override;

  // The directory files are written to (for diagnostics and tests).
  const char* Get_Directory() const { return m_Files.Directory(); }

  // Test hook: while held, the writer thread waits before it writes a batch, so a test can fill
  // the pool and have calls refused exactly where it chooses. Any thread; never held otherwise.
  // Release it before Close, which waits for the writer.
  void TEST_Hold_Writer(bool hold) { m_TEST_Hold.store(hold); }

 private:
  uint32_t Init_Base();
  uint32_t Init_Pool();
  uint32_t Init_File();

  uint32_t Create_File();
  void Roll();
  bool Write_Buffer(sBuffer* buffer);
  void Stop_Delivery();
  void Update_Divert_Locked() TR_REQUIRES(m_StatusLock);

  // CClBuffered hooks.
  bool Consume(sBuffer* const* batch, uint32_t count, bool connected) override;
  void On_Pass() override;
  uint64_t Batch_Limit_Locked() override TR_REQUIRES(m_StatusLock);
  void On_Batch_Limit() override { Roll(); }
  sStream* Select_Stream_Locked(uint32_t id, const sTRC_Data_Chunk* chunks, bool* signal) override
      TR_REQUIRES(m_StatusLock);
  void On_Buffers_Freed_Locked() override TR_REQUIRES(m_StatusLock);
  uint32_t Filled_Count_Locked() override TR_REQUIRES(m_StatusLock);
  void Drain_Locked() override TR_REQUIRES(m_StatusLock);
  bool Drain_Buffer_Locked(sBuffer* buffer) override TR_REQUIRES(m_StatusLock);
  void On_Closed() override;

  // CRolling_Files::IReport: to the journal, as the file creation step.
  void Cannot_Create(const char* path) override;
  void Cannot_Delete(const char* path, bool by_size) override;

  sTRD_File_Header m_Header{};  // fixed after Init_Base

  // While a roll tells the channels about the new file, records of channels not yet told go
  // here, to the old file.
  sStream m_Old TR_GUARDED_BY(m_StatusLock);
  bool m_Rolling TR_GUARDED_BY(m_StatusLock) = false;
  uint32_t m_Switched TR_GUARDED_BY(m_StatusLock) = 0;  // channels already in the new file
  // No buffer was free for the new file's header; the first buffer given back takes it.
  bool m_HeaderPending TR_GUARDED_BY(m_StatusLock) = false;
  bool m_DrainWriting TR_GUARDED_BY(m_StatusLock) = false;  // Close: still writing

  CRolling_Files m_Files;                // writer thread; Close after the join
  uint64_t m_FileSize = 0;               // bytes written to the current file; writer thread
  CBList<sBuffer*> m_RollList;           // writer thread: buffers of the file being closed
  uint8_t m_Pass = 0;                    // writer thread: time rolls are checked every 64th pass
  std::atomic<bool> m_TEST_Hold{false};  // any thread: TEST_Hold_Writer
};

#endif  // TRACE_FILE_CL_FILE_H_
