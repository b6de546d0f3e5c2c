// CClient_Decoder: the decoding of one client's records for --print and the viewer. One
// CStreamParser pass per record renders each message once; the same rendered message goes to
// the printer (a tagged or plain line on standard output) and to the viewer's live ring.
//
// Its state is charged to the client's decoding account (its own CMemory_Budget of
// `budget_bytes`): what the account refuses is not kept, and Over_Budget tells the receiving
// thread, which then ends the client. A stream the parser cannot follow stops the decoding until
// the client starts over (reported once on standard error).
//
// Thread-safety: Restart and Decode run on the decoding worker only (decode_worker.h); Messages
// and Over_Budget may be read from any thread.
#ifndef TOOLS_TRACE_SERVER_CLIENT_DECODER_H_
#define TOOLS_TRACE_SERVER_CLIENT_DECODER_H_

#include <stdint.h>

#include <atomic>
#include <memory>
#include <string>

#include <mqtt-wrapper/TRTextSink.h>

#include "server_options.h"
#include "trace/base/memory_budget.h"
#include "trace/decode/stream_parser.h"
#include "trace/viewer/message_collector.h"
#include "trace/viewer/viewer_hub.h"

class CClient_Decoder final : private CClTextSink {
 public:
  // The longest message text formatted for a client: one record's formatting cost is bounded,
  // whatever its call site asks for; longer texts are cut and marked.
  static constexpr uint64_t kMax_Message_Text = 64u << 10;

  // `options` and `hub` (null: no viewer) must outlive the decoder.
  CClient_Decoder(const sServer_Options& options, const std::string& directory_name,
                  CViewer_Hub* hub, uint64_t budget_bytes);
  ~CClient_Decoder() override;

  CClient_Decoder(const CClient_Decoder&) = delete;
  CClient_Decoder& operator=(const CClient_Decoder&) = delete;

  // Whether there is anything to decode for (--print or a viewer).
  bool Wanted() const { return m_Options.print || m_Hub; }

  // Worker thread: the client started over; the stream's state is dropped.
  void Restart();
  // Worker thread: one user-data chunk payload of `channel`.
  void Decode(uint32_t channel, const uint8_t* payload, uint32_t size);

  // Any thread.
  uint64_t Messages() const { return m_Messages.load(std::memory_order_relaxed); }
  bool Over_Budget() const { return m_Over_Budget.load(std::memory_order_acquire); }
  // Record bytes of this client waiting in the worker's queue (kept by the worker).
  uint64_t Queued_Bytes() const { return m_Queued_Bytes.load(std::memory_order_relaxed); }
  void Add_Queued_Bytes(int64_t delta) {
    m_Queued_Bytes.fetch_add(static_cast<uint64_t>(delta), std::memory_order_relaxed);
  }

 private:
  // CClTextSink: one rendered message.
  uint32_t Initialize(char**, int) override { return 0; }
  uint32_t Log(const sLog* log, const char* line, uint64_t length) override;
  uint32_t DumpBuffers() override { return 0; }

  const sServer_Options& m_Options;
  const std::string m_DirectoryName;
  CViewer_Hub* const m_Hub;                         // not owned
  CMemory_Budget m_Budget;                          // the parser's account; worker thread only
  std::unique_ptr<CMessage_Collector> m_Collector;  // with a hub
  std::unique_ptr<CStreamParser> m_Parser;          // null after a fault until a restart
  bool m_Fault_Reported = false;
  std::atomic<uint64_t> m_Messages{0};
  std::atomic<bool> m_Over_Budget{false};
  std::atomic<uint64_t> m_Queued_Bytes{0};
};

#endif  // TOOLS_TRACE_SERVER_CLIENT_DECODER_H_
