// CClient_Store: everything the trace server keeps for one client: its directory of rolling
// binary trace files, the record splitter that cuts its rebuilt stream into records, the context
// that lets every new file decode by itself, the live printer (--print) and the verbosity rules
// that apply to it.
//
// Files: a record is written whole into one file. A new file begins with the 1044-byte header
// (process ID, start time and client name of the hello; host name = the client's address), then
// the context replay (descriptions of the channels seen so far), then the records. A file starts
// at the first record after the hello, after every restart of the client (a new hello: the
// client replays its context itself, and the store forgets its own), and at every roll ("mb"
// before the record that would find the file full; "hr" and "tm" at the periodic Tick). Bytes
// are buffered (kBuffer_Bytes) and written when the buffer fills, at every Tick (once a second),
// at a roll and at Close.
//
// Commands: when a channel or module that a verbosity rule names describes itself, the store
// hands the command to `queue` (the server sends it in the client's next acknowledgement). Rules
// added later (Add_Rule, the viewer's requests) are sent at once to the channels and modules
// already described, and kept like the command line's for the ones that describe themselves
// later.
//
// Viewer (Set_Live): every message is also decoded and copied into the hub's ring of live
// messages under the client's directory name; without a hub nothing is decoded for it.
//
// Ownership: owns its files, parser and buffers. Thread-safety: none; the server's one thread.
#ifndef TOOLS_TRACE_SERVER_CLIENT_STORE_H_
#define TOOLS_TRACE_SERVER_CLIENT_STORE_H_

#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <mqtt-wrapper/TRTextSink.h>

#include "server_options.h"
#include "trace/core/rolling_files.h"
#include "trace/decode/stream_parser.h"
#include "trace/format/file_header.h"
#include "trace/net/endpoint.h"
#include "trace/server/server_listener.h"
#include "trace/server/stream_context.h"
#include "trace/server/stream_splitter.h"
#include "trace/viewer/message_collector.h"
#include "trace/viewer/viewer_hub.h"

struct sClient_Counters {
  uint64_t records = 0;
  uint64_t bytes = 0;  // record bytes received (headers included)
  uint64_t files = 0;  // files created
  uint64_t restarts = 0;
  uint64_t broken = 0;  // times the stream could not be split (until the next restart)
  uint64_t write_errors = 0;
  uint64_t commands = 0;  // verbosity commands queued
  uint64_t messages = 0;  // messages decoded for the viewer
};

class CClient_Store final : private CTRS_Stream_Context::IObserver,
                            private CRolling_Files::IReport {
 public:
  static constexpr size_t kBuffer_Bytes = 1 << 16;
  // Rules added by Add_Rule that are kept, the oldest forgotten first.
  static constexpr size_t kMax_Added_Rules = 256;

  // Queues user-data chunks for the client (CTRS_Server::Queue_User_Data).
  using tQueue = std::function<bool(const std::vector<uint8_t>& chunks)>;

  // `options` must outlive the store. `directory_name` is already safe (client_naming.h).
  CClient_Store(const sServer_Options& options, const sTRS_Hello& hello,
                const sTP_Endpoint& endpoint, const std::string& directory_name, tQueue queue);
  ~CClient_Store();

  CClient_Store(const CClient_Store&) = delete;
  CClient_Store& operator=(const CClient_Store&) = delete;

  // Makes the client's directory and reads the rolling rule; false with `error` (reported once,
  // the client is then printed but not stored).
  bool Open(std::string* error);
  // The same client started over (hello again).
  void Restart(const sTRS_Hello& hello);
  // The next bytes of the rebuilt stream.
  void On_Stream(const uint8_t* bytes, uint32_t size);
  // Once a second: writes out the buffer, rolls by time.
  void Tick();
  // Writes out and closes the file.
  void Close();
  // Copies every message into `hub`'s live ring from now on (`hub` must outlive the store).
  void Set_Live(CViewer_Hub* hub);
  // Applies `rule` (its client part is ignored: it names this client) to the channels and
  // modules known now, and to those that describe themselves later. Returns the commands queued.
  uint32_t Add_Rule(const sTRS_Verbosity_Rule& rule);
  // The channels and modules described so far.
  std::vector<sViewer_Channel> Channels() const;

  const sTRS_Hello& Hello() const { return m_Hello; }
  const std::string& Directory_Name() const { return m_DirectoryName; }
  const sTP_Endpoint& Endpoint() const { return m_Endpoint; }
  const sClient_Counters& Counters() const { return m_Counters; }

 private:
  void On_Record(uint32_t channel, const uint8_t* payload, uint32_t size);
  void Start_File();
  void Write_Out();
  void Append(const uint8_t* bytes, size_t size);
  void Reset_Printer();
  void Queue_Command(uint32_t channel, uint32_t level, uint16_t module_id);
  void Reset_Live();
  // Queues the commands of `rule` for `channel` (and, when the rule names modules, `module_id`).
  uint32_t Apply_Channel_Rule(const sTRS_Verbosity_Rule& rule, uint32_t channel);
  uint32_t Apply_Module_Rule(const sTRS_Verbosity_Rule& rule, uint32_t channel, uint16_t module_id,
                             const std::string& name);

  // CTRS_Stream_Context::IObserver
  void On_Channel(uint32_t channel, const std::string& name) override;
  void On_Module(uint32_t channel, uint16_t module_id, const std::string& name) override;
  // CRolling_Files::IReport
  void Cannot_Create(const char* path) override;
  void Cannot_Delete(const char* path, bool by_size) override;

  // Writes printed lines to standard output, optionally tagged with the client's directory.
  class CPrint_Output final : public CClTextSink {
   public:
    explicit CPrint_Output(const std::string* tag) : m_Tag(tag) {}
    uint32_t Initialize(char**, int) override { return 0; }
    uint32_t Log(const sLog* log, const char* line, uint64_t length) override;
    uint32_t DumpBuffers() override { return 0; }

   private:
    const std::string* m_Tag;  // null: no tag
  };

  const sServer_Options& m_Options;
  sTRS_Hello m_Hello;
  const sTP_Endpoint m_Endpoint;
  const std::string m_DirectoryName;
  const std::string m_Tag;
  tQueue m_Queue;

  CTRS_Stream_Splitter m_Splitter;
  CTRS_Stream_Context m_Context;
  std::string m_ChannelNames[CTRS_Stream_Context::kChannels];
  std::map<uint16_t, std::string> m_ModuleNames[CTRS_Stream_Context::kChannels];
  std::vector<sTRS_Verbosity_Rule> m_Added_Rules;  // Add_Rule's, this client's only

  bool m_Storing = false;  // the directory is usable
  bool m_NewFile = true;   // the next record starts a file
  CRolling_Files m_Files;
  sTRD_File_Header m_Header = {};
  uint64_t m_FileBytes = 0;  // bytes of the current file, buffered ones included
  std::vector<uint8_t> m_Buffer;

  CPrint_Output m_PrintOutput;
  std::unique_ptr<CStreamParser> m_Printer;  // with --print; null after a fault until a restart

  CViewer_Hub* m_Hub = nullptr;  // not owned; null: no viewer
  std::unique_ptr<CMessage_Collector> m_Live_Output;
  std::unique_ptr<CStreamParser> m_Live;  // with a hub; null after a fault until a restart

  sClient_Counters m_Counters;
};

#endif  // TOOLS_TRACE_SERVER_CLIENT_STORE_H_
