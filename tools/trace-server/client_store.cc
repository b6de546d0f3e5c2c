#include "client_store.h"

#include <stdio.h>
#include <string.h>

#include <mqtt-wrapper/TR.h>

#include "trace/base/utf.h"
#include "trace/net/transport_format.h"
#include "trace/server/client_naming.h"
#include "trace/server/reply_builder.h"

namespace {

const CRolling_Files::sNaming kNaming = {".", ".trd", "*.trd"};

}  // namespace

uint32_t CClient_Store::CPrint_Output::Log(const sLog*, const char* line, uint64_t length) {
  if (m_Tag) {
    fputs(m_Tag->c_str(), stdout);
    fputs(": ", stdout);
  }
  fwrite(line, 1, length, stdout);
  fputc('\n', stdout);
  return 0;
}

CClient_Store::CClient_Store(const sServer_Options& options, const sTRS_Hello& hello,
                             const sTP_Endpoint& endpoint, const std::string& directory_name,
                             tQueue queue)
    : m_Options(options),
      m_Hello(hello),
      m_Endpoint(endpoint),
      m_DirectoryName(directory_name),
      m_Tag(directory_name),
      m_Queue(std::move(queue)),
      m_Splitter([this](uint32_t channel, const uint8_t* payload, uint32_t size) {
        On_Record(channel, payload, size);
      }),
      m_Files(kNaming, this),
      m_PrintOutput(options.tag ? &m_Tag : nullptr) {
  Restart(hello);
  m_Counters.restarts = 0;
}

CClient_Store::~CClient_Store() { Close(); }

bool CClient_Store::Open(std::string* error) {
  if (!m_Options.store) return true;
  const std::string directory = m_Options.directory + "/" + m_DirectoryName;
  std::string files = "/TR.Files=" + std::to_string(m_Options.files);
  std::string fsize = "/TR.FSize=" + std::to_string(m_Options.fsize);
  char* args[] = {files.data(), fsize.data()};
  m_Files.Read_Limits(args, 2);
  if (!m_Files.Set_Directory(directory.c_str()) || !m_Files.Make_Directory()) {
    *error = "cannot create directory " + directory;
    return false;
  }
  m_Files.Load_Existing();
  char shown[256];
  if (!m_Options.roll.empty() &&
      m_Files.Rule().Parse(m_Options.roll.c_str(), shown, sizeof(shown)) ==
          CRoll_Rule::eParse_Invalid) {
    *error =
        std::string("rolling value is not correct: ") + shown;  // checked at start; not reached
    return false;
  }
  m_Storing = true;
  return true;
}

void CClient_Store::Restart(const sTRS_Hello& hello) {
  m_Hello = hello;
  ++m_Counters.restarts;
  m_Splitter.Reset();
  m_Context.Clear();
  for (std::string& name : m_ChannelNames) name.clear();
  for (auto& modules : m_ModuleNames) modules.clear();
  m_NewFile = true;

  memset(&m_Header, 0, sizeof(m_Header));
  m_Header.magic = kTRD_Magic;
  m_Header.process_id = hello.process_id;
  m_Header.start_hi = static_cast<uint32_t>(hello.start_time >> 32);
  m_Header.start_lo = static_cast<uint32_t>(hello.start_time);
  Convert_UTF8_To_UTF16(hello.name.c_str(), m_Header.client_name, kTRD_Name_Units);
  Convert_UTF8_To_UTF16(TRS_Address_Text(m_Endpoint).c_str(), m_Header.host_name, kTRD_Name_Units);
  Reset_Printer();
  Reset_Live();
}

void CClient_Store::Set_Live(CViewer_Hub* hub) {
  m_Hub = hub;
  Reset_Live();
}

void CClient_Store::Reset_Live() {
  m_Live.reset();
  if (!m_Hub) return;
  if (!m_Live_Output) {
    m_Live_Output = std::make_unique<CMessage_Collector>(
        m_DirectoryName, [this](sViewer_Message& message) {
          ++m_Counters.messages;
          m_Hub->Ring().Push(message);
        });
  }
  auto live = std::make_unique<CStreamParser>();
  if (!live->Init(m_Options.format.empty() ? nullptr : m_Options.format.c_str())) return;
  live->Set_Output(m_Live_Output.get());
  live->Set_Lenient(true);
  m_Live = std::move(live);
}

void CClient_Store::Reset_Printer() {
  m_Printer.reset();
  if (!m_Options.print) return;
  auto printer = std::make_unique<CStreamParser>();
  if (!printer->Init(m_Options.format.empty() ? nullptr : m_Options.format.c_str())) return;
  printer->Set_Output(&m_PrintOutput);
  // A file or a restart may begin after records of channels described earlier: skip those.
  printer->Set_Lenient(true);
  m_Printer = std::move(printer);
}

void CClient_Store::On_Stream(const uint8_t* bytes, uint32_t size) {
  m_Counters.bytes += size;
  if (!m_Splitter.Feed(bytes, size) && m_Splitter.Is_Broken()) {
    if (m_Counters.broken++ == 0) {
      fprintf(stderr,
              "trace-server: %s: the stream cannot be split into records; ignored until the client "
              "starts over\n",
              m_DirectoryName.c_str());
    }
  }
}

void CClient_Store::On_Record(uint32_t channel, const uint8_t* payload, uint32_t size) {
  ++m_Counters.records;
  if (m_Storing) {
    if (m_NewFile || (m_Files.Is_Open() && m_Files.Rule().Size_Due(m_FileBytes))) Start_File();
  }
  m_Context.Feed(channel, payload, size, this);
  if (m_Storing && m_Files.Is_Open()) {
    uint8_t header[kTP_Chunk_Header];
    TP_Store32(header, sTRC_User_Header::Make(size + kTP_Chunk_Header, channel));
    Append(header, sizeof(header));
    Append(payload, size);
  }
  if (m_Live && m_Live->Parse_Packet(channel, payload, size) != 0) {
    fprintf(stderr, "trace-server: %s: cannot decode the stream for the viewer: %s\n",
            m_DirectoryName.c_str(), m_Live->Error_Text());
    m_Live.reset();
  }
  if (m_Printer && m_Printer->Parse_Packet(channel, payload, size) != 0) {
    fprintf(stderr, "trace-server: %s: cannot print the stream: %s\n", m_DirectoryName.c_str(),
            m_Printer->Error_Text());
    m_Printer.reset();
  }
}

void CClient_Store::Start_File() {
  Write_Out();
  m_NewFile = false;
  m_FileBytes = 0;
  if (!m_Files.Create_Next()) return;
  ++m_Counters.files;
  Append(reinterpret_cast<const uint8_t*>(&m_Header), sizeof(m_Header));
  std::vector<uint8_t> replay;
  m_Context.Replay(&replay);
  Append(replay.data(), replay.size());
}

void CClient_Store::Append(const uint8_t* bytes, size_t size) {
  m_FileBytes += size;
  m_Buffer.insert(m_Buffer.end(), bytes, bytes + size);
  if (m_Buffer.size() >= kBuffer_Bytes) Write_Out();
}

void CClient_Store::Write_Out() {
  if (m_Buffer.empty()) return;
  if (m_Files.Is_Open() && m_Files.Write(m_Buffer.data(), m_Buffer.size()) != m_Buffer.size()) {
    if (m_Counters.write_errors++ == 0) {
      fprintf(stderr, "trace-server: %s: cannot write to its file\n", m_DirectoryName.c_str());
    }
  }
  m_Buffer.clear();
}

void CClient_Store::Tick() {
  Write_Out();
  if (m_Storing && m_Files.Is_Open() && m_Files.Time_Due()) Start_File();
}

void CClient_Store::Close() {
  Write_Out();
  m_Files.Close(true);
}

void CClient_Store::Queue_Command(uint32_t channel, uint32_t level, uint16_t module_id) {
  ++m_Counters.commands;
  m_Queue(TRS_Make_Verbosity_Command(channel, level, module_id));
}

uint32_t CClient_Store::Apply_Channel_Rule(const sTRS_Verbosity_Rule& rule, uint32_t channel) {
  if (!rule.module.empty() || !TRS_Name_Matches(rule.channel, m_ChannelNames[channel], channel))
    return 0;
  Queue_Command(channel, rule.level, 0);
  return 1;
}

uint32_t CClient_Store::Apply_Module_Rule(const sTRS_Verbosity_Rule& rule, uint32_t channel,
                                          uint16_t module_id, const std::string& name) {
  if (rule.module.empty() || !TRS_Name_Matches(rule.channel, m_ChannelNames[channel], channel) ||
      !TRS_Name_Matches(rule.module, name, module_id))
    return 0;
  Queue_Command(channel, rule.level, module_id);
  return 1;
}

void CClient_Store::On_Channel(uint32_t channel, const std::string& name) {
  m_ChannelNames[channel] = name;
  m_ModuleNames[channel].clear();
  for (const sTRS_Verbosity_Rule& rule : m_Options.verbosity) {
    if (TRS_Name_Matches(rule.client, m_Hello.name, UINT32_MAX)) Apply_Channel_Rule(rule, channel);
  }
  for (const sTRS_Verbosity_Rule& rule : m_Added_Rules) Apply_Channel_Rule(rule, channel);
}

void CClient_Store::On_Module(uint32_t channel, uint16_t module_id, const std::string& name) {
  m_ModuleNames[channel][module_id] = name;
  for (const sTRS_Verbosity_Rule& rule : m_Options.verbosity) {
    if (TRS_Name_Matches(rule.client, m_Hello.name, UINT32_MAX))
      Apply_Module_Rule(rule, channel, module_id, name);
  }
  for (const sTRS_Verbosity_Rule& rule : m_Added_Rules)
    Apply_Module_Rule(rule, channel, module_id, name);
}

uint32_t CClient_Store::Add_Rule(const sTRS_Verbosity_Rule& rule) {
  // A later rule for the same channel and module replaces the earlier one, so that a page
  // turning a module up and down again does not grow the list.
  std::erase_if(m_Added_Rules, [&](const sTRS_Verbosity_Rule& kept) {
    return kept.channel == rule.channel && kept.module == rule.module;
  });
  if (m_Added_Rules.size() >= kMax_Added_Rules) m_Added_Rules.erase(m_Added_Rules.begin());
  m_Added_Rules.push_back(rule);
  uint32_t queued = 0;
  for (uint32_t channel = 0; channel < CTRS_Stream_Context::kChannels; ++channel) {
    if (!m_Context.Is_Live(channel)) continue;
    queued += Apply_Channel_Rule(rule, channel);
    for (const auto& [module_id, name] : m_ModuleNames[channel])
      queued += Apply_Module_Rule(rule, channel, module_id, name);
  }
  return queued;
}

std::vector<sViewer_Channel> CClient_Store::Channels() const {
  std::vector<sViewer_Channel> channels;
  for (uint32_t channel = 0; channel < CTRS_Stream_Context::kChannels; ++channel) {
    if (!m_Context.Is_Live(channel)) continue;
    sViewer_Channel shown;
    shown.id = channel;
    shown.name = m_ChannelNames[channel];
    for (const auto& [module_id, name] : m_ModuleNames[channel]) shown.modules.push_back({module_id, name});
    channels.push_back(std::move(shown));
  }
  return channels;
}

void CClient_Store::Cannot_Create(const char* path) {
  fprintf(stderr, "trace-server: cannot create file %s\n", path);
}

void CClient_Store::Cannot_Delete(const char* path, bool) {
  fprintf(stderr, "trace-server: cannot delete file %s\n", path);
}
