// CClFile: the binary file sink. Stores the channels' byte stream unchanged in rolling ".trd"
// files, each beginning with the 1044-byte header (file_header.h), then one user-data header
// word and the bytes of every accepted Sent call.
//
// Callers' threads copy into preallocated buffers (Sent never allocates and never touches the
// file); one writer thread writes whole buffers, writes a partly filled buffer at the latest
// 15 s after its previous write, rolls files and keeps the directory within its limits. Every
// file is readable by itself: after a roll it begins with the header followed by each
// channel's replayed context (channels are told the new `resets` value), and the records a
// channel sent before it was told go to the old file. Data accepted with 0 reaches the file
// unless a write fails; a failed write stops delivery for good (Sent then returns 1).
//
// Thread-safety: any thread may call Sent, Get_Info, Flush and Close. m_StatusLock guards the
// buffer lists, the current buffers, the rolling state and m_Connection; it is held for a whole
// Sent copy and by the writer only to take or return buffers, never while writing (except in
// Close, after the writer has ended). The file, the file list and the roll state belong to
// the writer thread until Close has joined it. Lock order: m_CloseLock, m_ChannelLock (inside
// channel callbacks), m_StatusLock.
#ifndef TRACE_FILE_CL_FILE_H_
#define TRACE_FILE_CL_FILE_H_

#include <pthread.h>
#include <stdint.h>


#include "trace/base/blist.h"
#include "trace/base/mevent.h"
#include "trace/base/pfile.h"
#include "trace/base/wstring.h"
#include "trace/core/client.h"
#include "trace/core/reject_counters.h"
#include "trace/format/file_header.h"
#include "trace/file/roll_rule.h"

class CClFile : public CClient {
 public:
  struct sBuffer {
    uint8_t* data;  // buffer size bytes, malloc'd at construction, freed by the destructor
    uint64_t used;
  };

  static constexpr uint32_t kDirectorySize = 4096;
  static constexpr uint32_t kIdleWrite_ms = 15000;

  CClFile(char** args, int count);
  ~CClFile() override;

  bool Get_Info(sTRC_Info* info) override;
  uint32_t Sent(uint32_t id, sTRC_Data_Chunk* chunks, uint32_t count, uint32_t size) override;
  void Flush() override;
  // Flushes the channels, ends the writer, writes everything accepted and closes the file.
  // Idempotent: later calls (the destructor's, after an exceptional flush) return true.
  bool Close() override;

  // The directory files are written to (for diagnostics and tests).
  const char* Get_Directory() const { return m_Directory; }

 private:
  // Buffers that Sent fills, in filling order: the full ones and the one being filled.
  struct sStream {
    CBList<sBuffer*> filled;
    sBuffer* current = nullptr;
  };

  enum eEvent : uint32_t { eEvent_Exit = 0, eEvent_Data = 1, eEvent_Flush = 2 };

  uint32_t Init_Base();
  uint32_t Init_Pool();
  uint32_t Init_File();
  uint32_t Init_Thread();

  uint32_t Create_File();
  void Roll();
  void Routine();
  static void* Static_Routine(void* self);

  // Caller holds m_StatusLock.
  void Append_Locked(sStream* stream, const void* data, uint64_t size, bool signal);
  sBuffer* Take_Free_Locked();
  void Give_Back_Locked(sBuffer* buffer);
  uint32_t Filled_Count_Locked();

  bool Write_Buffer(sBuffer* buffer);
  void Give_Back(sBuffer* buffer);
  void Stop_Delivery();

  CReject_Counters m_Rejects;  // refused Sent calls, reported by Get_Info; self-synchronised

  CMEvent m_Events;  // 0 exit, 1 data (counting), 2 flush
  pthread_t m_Thread{};
  bool m_ThreadCreated = false;

  // m_StatusLock is the base class's (CClient); it guards the fields marked so below.
  CBList<sBuffer*> m_FreeBuffers;  // guarded by m_StatusLock
  sStream m_Stream;                // guarded by m_StatusLock: the stream of the open file
  // While a roll tells the channels about the new file, records of channels not yet told go
  // here, to the old file. Guarded by m_StatusLock.
  sStream m_Old;
  bool m_Rolling = false;          // guarded by m_StatusLock
  uint32_t m_Switched = 0;         // guarded by m_StatusLock: channels already in the new file
  // No buffer was free for the new file's header; the first buffer given back takes it.
  bool m_HeaderPending = false;    // guarded by m_StatusLock

  uint32_t m_BufferSize = 0;
  uint32_t m_BufferCount = 0;
  sBuffer* m_Buffers = nullptr;   // owns every buffer

  CPFile m_File;                  // writer thread; Close after the join
  char m_Directory[kDirectorySize] = {};
  sTRD_File_Header m_Header{};
  CRoll_Rule m_Roll;
  uint32_t m_FileCreated = 0;     // monotonic ms
  uint64_t m_FileSize = 0;        // bytes written to the current file; writer thread
  uint32_t m_MaxFiles = 0;        // 0: no limit
  uint64_t m_MaxTotal = 0;        // bytes; 0: no limit
  CBList<CWString*> m_Files;      // ".trd" paths, oldest first; owned; writer thread
  CBList<sBuffer*> m_RollList;    // writer thread: buffers of the file being closed
  uint32_t m_NameCounter = 0;

  CLock m_CloseLock;              // serialises Close
  bool m_Closed = false;          // guarded by m_CloseLock
  bool m_Closing = false;         // guarded by m_CloseLock
};

#endif  // TRACE_FILE_CL_FILE_H_
