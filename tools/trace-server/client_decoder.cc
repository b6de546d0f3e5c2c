#include "client_decoder.h"

#include <stdio.h>

CClient_Decoder::CClient_Decoder(const sServer_Options& options, const std::string& directory_name,
                                 CViewer_Hub* hub, uint64_t budget_bytes)
    : m_Options(options), m_DirectoryName(directory_name), m_Hub(hub), m_Budget(budget_bytes) {
  if (m_Hub) {
    m_Collector = std::make_unique<CMessage_Collector>(
        m_DirectoryName, [this](sViewer_Message& message) { m_Hub->Ring().Push(message); });
  }
  Restart();
}

CClient_Decoder::~CClient_Decoder() = default;

void CClient_Decoder::Restart() {
  m_Parser.reset();  // gives its charges back
  if (!Wanted()) return;
  auto parser = std::make_unique<CStreamParser>();
  if (!parser->Init(m_Options.format.empty() ? nullptr : m_Options.format.c_str())) return;
  parser->Set_Output(this);
  parser->Set_Budget(&m_Budget);
  parser->Set_Message_Limit(kMax_Message_Text);
  // A restart may begin after records of channels described earlier: skip those.
  parser->Set_Lenient(true);
  m_Parser = std::move(parser);
}

void CClient_Decoder::Decode(uint32_t channel, const uint8_t* payload, uint32_t size) {
  if (!m_Parser) return;
  if (m_Parser->Parse_Packet(channel, payload, size) != 0) {
    if (!m_Fault_Reported) {
      m_Fault_Reported = true;
      fprintf(stderr, "trace-server: %s: cannot decode the stream: %s\n", m_DirectoryName.c_str(),
              m_Parser->Error_Text());
    }
    m_Parser.reset();
  } else if (m_Parser->Over_Budget()) {
    m_Over_Budget.store(true, std::memory_order_release);
  }
}

uint32_t CClient_Decoder::Log(const sLog* log, const char* line, uint64_t length) {
  m_Messages.fetch_add(1, std::memory_order_relaxed);
  if (m_Options.print) {
    if (m_Options.tag) {
      fputs(m_DirectoryName.c_str(), stdout);
      fputs(": ", stdout);
    }
    fwrite(line, 1, length, stdout);
    fputc('\n', stdout);
  }
  if (m_Collector) m_Collector->Log(log, line, length);
  return 0;
}
