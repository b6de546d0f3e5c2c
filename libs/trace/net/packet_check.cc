#include "trace/net/packet_check.h"

#include <mqtt-wrapper/TR.h>

#include "trace/net/crc32.h"

namespace {

// Extensions (with the chunks of user-data records) or plain chunks of an acknowledgement.
bool Ack_Payload_Well_Formed(const sTP_View& view) {
  const uint8_t* payload = TP_Ack_Payload(view);
  uint32_t size = TP_Ack_Payload_Size(view);
  if (view.type_flags & kTP_Flag_Extensions) {
    CTP_Extension_Reader records(payload, size);
    sTP_Extension record;
    while (records.Next(&record)) {
      if (record.type == kTP_Extension_User_Data) {
        CTP_Chunk_Reader chunks(record.content, record.content_size);
        sTP_Chunk chunk;
        while (chunks.Next(&chunk)) {
        }
        if (chunks.Malformed()) return false;
      }
    }
    return !records.Malformed();
  }
  if (view.type_flags & kTP_Flag_User_Data) {
    CTP_Chunk_Reader chunks(payload, size);
    sTP_Chunk chunk;
    while (chunks.Next(&chunk)) {
    }
    return !chunks.Malformed();
  }
  return true;
}

}  // namespace

const char* TP_Check_Text(eTP_Check check) {
  switch (check) {
    case eTP_Check_OK:
      return "ok";
    case eTP_Check_Truncated:
      return "truncated header";
    case eTP_Check_Bad_Size:
      return "size field out of range";
    case eTP_Check_Bad_CRC:
      return "CRC mismatch";
    case eTP_Check_Unknown_Type:
      return "unknown type";
    case eTP_Check_Short_Body:
      return "body too short for its type";
    case eTP_Check_Bad_Payload:
      return "malformed extensions or user data";
  }
  return "unknown result";
}

uint32_t TP_Min_Size(uint32_t type) {
  switch (type) {
    case eTP_Hello:
      return kTP_Hello_Size;
    case eTP_Ping:
      return kTP_Ping_Size;
    case eTP_Data:
      return kTP_Header_Size;
    case eTP_Data_Window:
      return kTP_Data_Window_Size;
    case eTP_Bye:
      return kTP_Bye_Size;
    case eTP_Acknowledgment:
      return kTP_Ack_Min_Size;
    case eTP_Window_Report:
      return kTP_Report_Min_Size;
    default:
      return 0;
  }
}

eTP_Check TP_Check_Datagram(const uint8_t* bytes, uint32_t length, sTP_View* view) {
  *view = sTP_View{};
  view->bytes = bytes;
  if (!bytes || length < kTP_Header_Size) return eTP_Check_Truncated;
  view->crc = TP_Load32(bytes + kTP_Offset_CRC);
  view->id = TP_Load32(bytes + kTP_Offset_ID);
  view->type_flags = TP_Load16(bytes + kTP_Offset_Type);
  view->type = view->type_flags & kTP_Type_Mask;
  view->size_field = TP_Load16(bytes + kTP_Offset_Size);
  view->client_id = TP_Load16(bytes + kTP_Offset_Client);
  if (view->size_field < kTP_Header_Size || view->size_field > length) return eTP_Check_Bad_Size;
  view->size = view->size_field;
  if (TP_Packet_CRC(bytes, view->size) != view->crc) return eTP_Check_Bad_CRC;
  uint32_t minimum = TP_Min_Size(view->type);
  if (minimum == 0) return eTP_Check_Unknown_Type;
  if (view->size < minimum) return eTP_Check_Short_Body;
  if (view->type == eTP_Acknowledgment && !Ack_Payload_Well_Formed(*view))
    return eTP_Check_Bad_Payload;
  return eTP_Check_OK;
}

bool CTP_Extension_Reader::Next(sTP_Extension* record) {
  if (m_Malformed || m_Left <= kTP_Extension_Header) return false;
  uint16_t type = TP_Load16(m_Next);
  uint16_t length = TP_Load16(m_Next + 2);
  if (length < kTP_Extension_Header || length > m_Left) {
    m_Malformed = true;
    return false;
  }
  *record = sTP_Extension{type, length, m_Next + kTP_Extension_Header,
                          static_cast<uint32_t>(length - kTP_Extension_Header)};
  m_Next += length;
  m_Left -= length;
  return true;
}

bool TP_Extension_Byte_Count(const sTP_Extension& record, uint32_t* count) {
  if (record.length < kTP_Extension_Offset_Bytes + 4) return false;
  *count = TP_Load32(record.content + (kTP_Extension_Offset_Bytes - kTP_Extension_Header));
  return true;
}

bool CTP_Chunk_Reader::Next(sTP_Chunk* chunk) {
  if (m_Malformed || m_Left < kTP_Chunk_Header) return false;
  const sTRC_User_Header header{TP_Load32(m_Next)};
  uint32_t length = header.Length();
  if (length < kTP_Chunk_Header || length > m_Left) {
    m_Malformed = true;
    return false;
  }
  *chunk = sTP_Chunk{header.Channel(), m_Next + kTP_Chunk_Header, length - kTP_Chunk_Header};
  m_Next += length;
  m_Left -= length;
  return true;
}

bool TP_Report_Lost(const sTP_View& view, uint32_t distance) {
  if (view.size <= kTP_Report_Offset_Bitmap) return false;
  uint32_t bitmap_size = view.size - kTP_Report_Offset_Bitmap;
  if (distance / 8 >= bitmap_size) return false;
  return (view.bytes[kTP_Report_Offset_Bitmap + distance / 8] >> (distance % 8)) & 1;
}
