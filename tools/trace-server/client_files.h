// CClient_Files: one client's directory of rolling binary trace files.
//
// A record is written whole into one file. A new file begins with the 1044-byte header (process
// ID, start time and client name of the hello; host name = the client's address), then the
// context replay (descriptions of the channels seen so far), then the records. A file starts at
// the first record after the hello, after every restart of the client (Restart: the client
// replays its context itself), and at every roll ("mb" before the record that would find the
// file full; "hr" and "tm" at the periodic Tick). Bytes are buffered (kBuffer_Bytes) and written
// when the buffer fills, at every Tick, at a roll and at Close.
//
// The directory is made with the client's first record, never at its hello, so that hellos
// without data leave nothing on disk. When it cannot be made the client is reported once and
// not stored.
//
// Ownership: owns its files and buffer. Thread-safety: none; the receiving thread.
#ifndef TOOLS_TRACE_SERVER_CLIENT_FILES_H_
#define TOOLS_TRACE_SERVER_CLIENT_FILES_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "server_options.h"
#include "trace/core/rolling_files.h"
#include "trace/format/file_header.h"
#include "trace/net/endpoint.h"
#include "trace/server/server_listener.h"
#include "trace/server/stream_context.h"

class CClient_Files final : private CRolling_Files::IReport {
 public:
  static constexpr size_t kBuffer_Bytes = 1 << 16;

  // `options` must outlive the files. `directory_name` is already safe (client_naming.h).
  CClient_Files(const sServer_Options& options, const std::string& directory_name,
                const sTP_Endpoint& endpoint, const sTRS_Hello& hello);
  ~CClient_Files();

  CClient_Files(const CClient_Files&) = delete;
  CClient_Files& operator=(const CClient_Files&) = delete;

  // The client started over: the next record begins a file with this hello's header.
  void Restart(const sTRS_Hello& hello);
  // Before a record reaches `context`: makes the directory on the first record and starts a file
  // when one is due (its replay is the context as it stands, without the record).
  void Begin_Record(const CTRS_Stream_Context& context);
  // Appends the record (header and payload) to the open file, if any.
  void Append_Record(uint32_t channel, const uint8_t* payload, uint32_t size);
  // Once a second: writes out the buffer, rolls by time (the new file's replay is `context`).
  void Tick(const CTRS_Stream_Context& context);
  // Writes out and closes the file.
  void Close();

  // Whether the directory exists and files are being written.
  bool Storing() const { return m_State == eState::Storing; }
  uint64_t Files() const { return m_Files_Made; }
  uint64_t Write_Errors() const { return m_Write_Errors; }
  // The path of the file being written (empty when none is open), for a quota over all clients
  // that must never remove it.
  std::string Open_File() const;
  // Bytes written to disk since the last call (for a quota over all clients).
  uint64_t Take_Written() {
    const uint64_t written = m_Written;
    m_Written = 0;
    return written;
  }
  // Bytes the per-client retention deleted since the last call (for the same quota).
  uint64_t Take_Deleted() {
    const uint64_t deleted = m_Deleted;
    m_Deleted = 0;
    return deleted;
  }

 private:
  enum class eState { Unopened, Storing, Failed };

  bool Open();
  void Start_File(const CTRS_Stream_Context& context);
  void Append(const uint8_t* bytes, size_t size);
  void Write_Out();

  // CRolling_Files::IReport
  void Cannot_Create(const char* path) override;
  void Cannot_Delete(const char* path, bool by_size) override;
  void Deleted(const char* path, uint64_t bytes) override;

  const sServer_Options& m_Options;
  const std::string m_DirectoryName;
  const sTP_Endpoint m_Endpoint;
  eState m_State;
  bool m_NewFile = true;  // the next record starts a file
  CRolling_Files m_Files;
  sTRD_File_Header m_Header = {};
  uint64_t m_FileBytes = 0;  // bytes of the current file, buffered ones included
  uint64_t m_FileBase = 0;   // of those, the header and replay the file began with
  std::vector<uint8_t> m_Buffer;
  uint64_t m_Files_Made = 0;
  uint64_t m_Write_Errors = 0;
  uint64_t m_Written = 0;
  uint64_t m_Deleted = 0;
};

#endif  // TOOLS_TRACE_SERVER_CLIENT_FILES_H_
