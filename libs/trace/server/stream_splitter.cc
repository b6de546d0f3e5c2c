#include "trace/server/stream_splitter.h"

#include <utility>

#include <mqtt-wrapper/TR.h>

#include "trace/net/transport_format.h"

CTRS_Stream_Splitter::CTRS_Stream_Splitter(tOn_Record on_record, uint32_t max_record)
    : m_OnRecord(std::move(on_record)),
      m_MaxRecord(max_record < kTP_Chunk_Header ? kTP_Chunk_Header : max_record) {}

void CTRS_Stream_Splitter::Reset() {
  m_Partial.clear();
  m_PartialLength = 0;
  m_Broken = false;
}

bool CTRS_Stream_Splitter::Feed(const uint8_t* bytes, uint32_t size) {
  if (m_Broken) return false;
  uint32_t at = 0;
  if (!m_Partial.empty()) {
    uint32_t missing = m_PartialLength - static_cast<uint32_t>(m_Partial.size());
    uint32_t take = size < missing ? size : missing;
    m_Partial.insert(m_Partial.end(), bytes, bytes + take);
    at = take;
    if (m_Partial.size() < m_PartialLength) return true;
    m_OnRecord(sTRC_User_Header{TP_Load32(m_Partial.data())}.Channel(),
               m_Partial.data() + kTP_Chunk_Header, m_PartialLength - kTP_Chunk_Header);
    m_Partial.clear();
  }
  while (size - at >= kTP_Chunk_Header) {
    const sTRC_User_Header header{TP_Load32(bytes + at)};
    uint32_t length = header.Length();
    if (length < kTP_Chunk_Header || length > m_MaxRecord) {
      m_Broken = true;
      return false;
    }
    if (length > size - at) {
      // The payload continues in the next data packet.
      m_Partial.assign(bytes + at, bytes + size);
      m_PartialLength = length;
      return true;
    }
    m_OnRecord(header.Channel(), bytes + at + kTP_Chunk_Header, length - kTP_Chunk_Header);
    at += length;
  }
  if (at != size) {
    // A header never spans two packets: 1 to 3 stray bytes mean the stream is not what it claims.
    m_Broken = true;
    return false;
  }
  return true;
}
