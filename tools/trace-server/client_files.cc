#include "client_files.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <mqtt-wrapper/TR.h>

#include "trace/base/utf.h"
#include "trace/net/transport_format.h"
#include "trace/server/client_naming.h"

namespace {

const CRolling_Files::sNaming kNaming = {".", ".trd", "*.trd"};

}  // namespace

CClient_Files::CClient_Files(const sServer_Options& options, const std::string& directory_name,
                             const sTP_Endpoint& endpoint, const sTRS_Hello& hello)
    : m_Options(options),
      m_DirectoryName(directory_name),
      m_Endpoint(endpoint),
      m_State(options.store ? eState::Unopened : eState::Failed),
      m_Files(kNaming, this) {
  Restart(hello);
}

CClient_Files::~CClient_Files() { Close(); }

bool CClient_Files::Open() {
  const std::string directory = m_Options.directory + "/" + m_DirectoryName;
  std::string files = "/TR.Files=" + std::to_string(m_Options.files);
  std::string fsize = "/TR.FSize=" + std::to_string(m_Options.fsize);
  char* args[] = {files.data(), fsize.data()};
  m_Files.Read_Limits(args, 2);
  char shown[256];
  std::string error;
  if (!m_Files.Set_Directory(directory.c_str()) || !m_Files.Make_Directory()) {
    error = "cannot create directory " + directory;
  } else if (!m_Options.roll.empty() &&
             m_Files.Rule().Parse(m_Options.roll.c_str(), shown, sizeof(shown)) ==
                 CRoll_Rule::eParse_Invalid) {
    error = std::string("rolling value is not correct: ") + shown;  // checked at start
  }
  if (!error.empty()) {
    fprintf(stderr, "trace-server: %s: %s; not stored\n", m_DirectoryName.c_str(), error.c_str());
    return false;
  }
  m_Files.Load_Existing();
  return true;
}

void CClient_Files::Restart(const sTRS_Hello& hello) {
  m_NewFile = true;
  memset(&m_Header, 0, sizeof(m_Header));
  m_Header.magic = kTRD_Magic;
  m_Header.process_id = hello.process_id;
  m_Header.start_hi = static_cast<uint32_t>(hello.start_time >> 32);
  m_Header.start_lo = static_cast<uint32_t>(hello.start_time);
  Convert_UTF8_To_UTF16(hello.name.c_str(), m_Header.client_name, kTRD_Name_Units);
  Convert_UTF8_To_UTF16(TRS_Address_Text(m_Endpoint).c_str(), m_Header.host_name, kTRD_Name_Units);
}

void CClient_Files::Begin_Record(const CTRS_Stream_Context& context) {
  if (m_State == eState::Unopened) m_State = Open() ? eState::Storing : eState::Failed;
  if (m_State != eState::Storing) return;
  // A file that holds nothing beyond its header and replay is never rolled, so a replay larger
  // than --fsize cannot make a file per record.
  if (m_NewFile || (m_Files.Is_Open() && m_FileBytes > m_FileBase && m_Files.Roll_Due(m_FileBytes)))
    Start_File(context);
}

void CClient_Files::Append_Record(uint32_t channel, const uint8_t* payload, uint32_t size) {
  if (m_State != eState::Storing || !m_Files.Is_Open()) return;
  uint8_t header[kTP_Chunk_Header];
  TP_Store32(header, sTRC_User_Header::Make(size + kTP_Chunk_Header, channel));
  Append(header, sizeof(header));
  Append(payload, size);
}

void CClient_Files::Start_File(const CTRS_Stream_Context& context) {
  Write_Out();
  m_NewFile = false;
  m_FileBytes = 0;
  if (!m_Files.Create_Next()) return;
  ++m_Files_Made;
  Append(reinterpret_cast<const uint8_t*>(&m_Header), sizeof(m_Header));
  std::vector<uint8_t> replay;
  context.Replay(&replay);
  Append(replay.data(), replay.size());
  m_FileBase = m_FileBytes;
}

void CClient_Files::Append(const uint8_t* bytes, size_t size) {
  m_FileBytes += size;
  m_Buffer.insert(m_Buffer.end(), bytes, bytes + size);
  if (m_Buffer.size() >= kBuffer_Bytes) Write_Out();
}

void CClient_Files::Write_Out() {
  if (m_Buffer.empty()) return;
  if (m_Files.Is_Open()) {
    const size_t written = m_Files.Write(m_Buffer.data(), m_Buffer.size());
    m_Written += written;
    if (written != m_Buffer.size() && m_Write_Errors++ == 0)
      fprintf(stderr, "trace-server: %s: cannot write to its file\n", m_DirectoryName.c_str());
    // --files and --fsize hold after every write, not only when a file is made.
    m_Files.Enforce_After_Write();
  }
  m_Buffer.clear();
}

void CClient_Files::Tick(const CTRS_Stream_Context& context) {
  Write_Out();
  if (m_State == eState::Storing && m_Files.Is_Open() && m_Files.Time_Due()) Start_File(context);
}

void CClient_Files::Close() {
  Write_Out();
  m_Files.Close(true);
}

std::string CClient_Files::Open_File() const {
  return m_Files.Is_Open() ? std::string(m_Files.Open_Path()) : std::string();
}

void CClient_Files::Cannot_Create(const char* path) {
  fprintf(stderr, "trace-server: cannot create file %s\n", path);
}

void CClient_Files::Cannot_Delete(const char* path, bool) {
  // The total quota over --dir may have removed the file first: nothing to report then.
  if (errno == ENOENT) return;
  fprintf(stderr, "trace-server: cannot delete file %s\n", path);
}

void CClient_Files::Deleted(const char*, uint64_t bytes) { m_Deleted += bytes; }
