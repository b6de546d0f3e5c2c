// CClient_Store: everything the trace server keeps for one client, in rooms of their own:
//   - the record splitter that cuts its rebuilt stream into records, and the stream context that
//     lets every new file decode by itself;
//   - its files (CClient_Files: the directory, made with the first record, and rolling files);
//   - its commands (CClient_Commands: the verbosity rules and the names they match);
//   - its decoding for --print and the viewer (CClient_Decoder), run by the decoding worker: the
//     store only posts each record there, once.
//
// Memory: the client's --client-memory is one limit over two accounts, half each: the receiving
// side's (the context's kept records and the names of channels and modules) charged here, and
// the decoder's (descriptors, formatters, threads, modules, buffers) charged on the worker. A
// charge either refuses makes Over_Budget true; the owner then ends the client.
//
// Skipping: when the worker's queue is full, a record's data records are skipped for --print and
// the viewer (counted in `skipped`); its descriptions still go, within twice the queue's bound,
// so that later messages still decode. Storing never skips.
//
// Ownership: owns its rooms and shares the decoder with the worker's queued jobs.
// Thread-safety: none; the receiving thread (the decoder's own parts are thread-safe).
#ifndef TOOLS_TRACE_SERVER_CLIENT_STORE_H_
#define TOOLS_TRACE_SERVER_CLIENT_STORE_H_

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "client_commands.h"
#include "client_decoder.h"
#include "client_files.h"
#include "decode_worker.h"
#include "server_options.h"
#include "trace/base/memory_budget.h"
#include "trace/net/endpoint.h"
#include "trace/server/server_listener.h"
#include "trace/server/stream_context.h"
#include "trace/server/stream_splitter.h"
#include "trace/viewer/viewer_hub.h"

struct sClient_Counters {
  uint64_t records = 0;
  uint64_t bytes = 0;  // record bytes received (headers included)
  uint64_t restarts = 0;
  uint64_t broken = 0;   // times the stream could not be split (until the next restart)
  uint64_t skipped = 0;  // data records not decoded for --print and the viewer (queue full)
};

class CClient_Store final {
 public:
  using tQueue = CClient_Commands::tQueue;

  // `options` and `worker` must outlive the store; `hub` too unless null (no viewer).
  // `directory_name` is already safe (client_naming.h).
  CClient_Store(const sServer_Options& options, const sTRS_Hello& hello,
                const sTP_Endpoint& endpoint, const std::string& directory_name, tQueue queue,
                CDecode_Worker* worker, CViewer_Hub* hub);
  ~CClient_Store();

  CClient_Store(const CClient_Store&) = delete;
  CClient_Store& operator=(const CClient_Store&) = delete;

  // The same client started over (hello again).
  void Restart(const sTRS_Hello& hello);
  // The next bytes of the rebuilt stream.
  void On_Stream(const uint8_t* bytes, uint32_t size);
  // Once a second: writes out the buffer, rolls by time.
  void Tick() { m_Files.Tick(m_Context); }
  // Writes out and closes the file.
  void Close() { m_Files.Close(); }
  // See CClient_Commands::Add_Rule.
  uint32_t Add_Rule(const sTRS_Verbosity_Rule& rule) { return m_Commands.Add_Rule(rule, m_Context); }
  // The channels and modules described so far.
  std::vector<sViewer_Channel> Channels() const { return m_Commands.Channels(m_Context); }

  // The client asked for more memory than its share (either account).
  bool Over_Budget() const { return m_Budget.Exceeded() || m_Decoder->Over_Budget(); }
  // Bytes the receiving side's account holds now.
  uint64_t Memory_Used() const { return m_Budget.Used(); }

  const sTRS_Hello& Hello() const { return m_Hello; }
  const std::string& Directory_Name() const { return m_DirectoryName; }
  const sTP_Endpoint& Endpoint() const { return m_Endpoint; }
  const sClient_Counters& Counters() const { return m_Counters; }
  const CClient_Files& Files() const { return m_Files; }
  CClient_Files& Files() { return m_Files; }
  uint64_t Messages() const { return m_Decoder->Messages(); }
  uint64_t Commands() const { return m_Commands.Queued(); }

 private:
  void On_Record(uint32_t channel, const uint8_t* payload, uint32_t size);
  void Post_Record(uint32_t channel, const uint8_t* payload, uint32_t size);

  sTRS_Hello m_Hello;
  const sTP_Endpoint m_Endpoint;
  const std::string m_DirectoryName;
  CDecode_Worker* const m_Worker;

  CMemory_Budget m_Budget;  // the receiving side's account
  CTRS_Stream_Splitter m_Splitter;
  CTRS_Stream_Context m_Context;
  CClient_Commands m_Commands;
  CClient_Files m_Files;
  std::shared_ptr<CClient_Decoder> m_Decoder;

  sClient_Counters m_Counters;
};

#endif  // TOOLS_TRACE_SERVER_CLIENT_STORE_H_
