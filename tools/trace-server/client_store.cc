#include "client_store.h"

#include <stdio.h>
#include <string.h>

#include <vector>

#include "trace/format/trace_format.h"

namespace {

uint64_t Account_Bytes(const sServer_Options& options) {
  return (static_cast<uint64_t>(options.client_memory_mb) << 20) / 2;
}

uint32_t Read32(const uint8_t* p) {
  uint32_t value;
  memcpy(&value, p, sizeof(value));
  return value;
}

}  // namespace

CClient_Store::CClient_Store(const sServer_Options& options, const sTRS_Hello& hello,
                             const sTP_Endpoint& endpoint, const std::string& directory_name,
                             tQueue queue, CDecode_Worker* worker, CViewer_Hub* hub)
    : m_Hello(hello),
      m_Endpoint(endpoint),
      m_DirectoryName(directory_name),
      m_Worker(worker),
      m_Budget(Account_Bytes(options)),
      m_Splitter([this](uint32_t channel, const uint8_t* payload, uint32_t size) {
        On_Record(channel, payload, size);
      }),
      m_Commands(options, &m_Budget, hub != nullptr, std::move(queue)),
      m_Files(options, directory_name, endpoint, hello),
      m_Decoder(std::make_shared<CClient_Decoder>(options, directory_name, hub,
                                                  Account_Bytes(options))) {
  m_Context.Set_Budget(&m_Budget);
  m_Commands.Restart(hello.name);
}

CClient_Store::~CClient_Store() { Close(); }

void CClient_Store::Restart(const sTRS_Hello& hello) {
  m_Hello = hello;
  ++m_Counters.restarts;
  m_Splitter.Reset();
  m_Context.Clear();
  m_Commands.Restart(hello.name);
  m_Files.Restart(hello);
  if (m_Decoder->Wanted()) m_Worker->Post_Restart(m_Decoder);
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
  m_Files.Begin_Record(m_Context);
  m_Context.Feed(channel, payload, size, &m_Commands);
  m_Files.Append_Record(channel, payload, size);
  if (m_Decoder->Wanted()) Post_Record(channel, payload, size);
}

void CClient_Store::Post_Record(uint32_t channel, const uint8_t* payload, uint32_t size) {
  if (m_Worker->Post_Record(m_Decoder, channel, payload, size, CDecode_Worker::kMax_Queued_Bytes))
    return;
  // The queue is full: keep the descriptions, skip the messages.
  std::vector<uint8_t> kept;
  for (uint32_t offset = 0; offset + 4 <= size;) {
    const uint32_t header = Read32(payload + offset);
    const uint32_t record_size = TRTrace_Header_Size(header);
    if (record_size < 4 || record_size > size - offset) break;  // the decoder would stop there
    const bool data = TRTrace_Header_Type(header) == kTRStream_Trace &&
                      TRTrace_Header_Subtype(header) == eTRTrace_Data;
    if (data) {
      ++m_Counters.skipped;
    } else {
      kept.insert(kept.end(), payload + offset, payload + offset + record_size);
    }
    offset += record_size;
  }
  if (kept.empty()) return;
  if (!m_Worker->Post_Record(m_Decoder, channel, kept.data(), static_cast<uint32_t>(kept.size()),
                             2 * CDecode_Worker::kMax_Queued_Bytes)) {
    ++m_Counters.skipped;  // the descriptions too: later messages of the channel may not decode
  }
}
