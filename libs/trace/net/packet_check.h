// Checking a received datagram before anything in it is believed, and bounded readers of the
// variable parts of a packet (extension records, user-data chunks, loss bitmaps). Used by the
// network sink for the server's packets and by the trace server for the clients' packets.
//
// TP_Check_Datagram refuses, in this order: fewer bytes than a header; a size field below the
// header size or beyond the received bytes; a CRC that differs from the stored one; a type this
// protocol does not define; a size below the minimum of the type; for an acknowledgement, an
// extension record or a user-data chunk that overruns the packet or is shorter than its own
// header. Bytes received after `size` are ignored. Type-and-flags bits above bit 3 are not checked
// (a data packet may carry stale flags there).
//
// Every reader stays inside [bytes, bytes + size) of the view it was given, whatever the
// datagram holds, so a packet refused by the check can still be described in a report without a
// read past its end.
//
// Thread-safety: no shared state; views point into the caller's buffer and live no longer.
#ifndef TRACE_NET_PACKET_CHECK_H_
#define TRACE_NET_PACKET_CHECK_H_

#include <stdint.h>

#include "trace/net/transport_format.h"

enum eTP_Check : uint32_t {
  eTP_Check_OK = 0,
  eTP_Check_Truncated = 1,     // fewer than 14 bytes received
  eTP_Check_Bad_Size = 2,      // size field below 14 or beyond the received bytes
  eTP_Check_Bad_CRC = 3,       // stored CRC differs from the computed one
  eTP_Check_Unknown_Type = 4,  // type bits name no packet of this protocol
  eTP_Check_Short_Body = 5,    // size below the minimum of the type
  eTP_Check_Bad_Payload = 6,   // an acknowledgement's extensions or chunks overrun the packet
};

// Short English name of a check result, for reports.
const char* TP_Check_Text(eTP_Check check);

// A received packet: header fields in host order and where its bytes are.
struct sTP_View {
  const uint8_t* bytes = nullptr;
  uint32_t size = 0;  // the size field once it is known to fit the datagram, else 0
  uint32_t crc = 0;
  uint32_t id = 0;
  uint16_t type_flags = 0;
  uint32_t type = 0;
  uint16_t size_field = 0;  // as received, even when refused
  uint16_t client_id = 0;

  const uint8_t* Body() const { return bytes + kTP_Header_Size; }
  uint32_t Body_Size() const { return size > kTP_Header_Size ? size - kTP_Header_Size : 0; }
};

// Checks `length` received bytes. The header fields of `view` are filled whenever at least 14
// bytes were received (so a refusal can be reported with them); `view->size` is nonzero only
// when the size field fits the datagram.
eTP_Check TP_Check_Datagram(const uint8_t* bytes, uint32_t length, sTP_View* view);

// Minimum size of a packet of `type`; 0 for a type the protocol does not define.
uint32_t TP_Min_Size(uint32_t type);

struct sTP_Extension {
  uint16_t type;
  uint16_t length;  // whole record, its 4-byte header included
  const uint8_t* content;
  uint32_t content_size;
};

// Walks extension records in [begin, begin + size): a record is read while more than 4 bytes
// remain. A record whose length is below 4 or beyond the remaining bytes ends the walk as
// malformed.
class CTP_Extension_Reader {
 public:
  CTP_Extension_Reader(const uint8_t* begin, uint32_t size) : m_Next(begin), m_Left(size) {}
  // The next record; false at the end or at a malformed record (see Malformed).
  bool Next(sTP_Extension* record);
  bool Malformed() const { return m_Malformed; }

 private:
  const uint8_t* m_Next;
  uint32_t m_Left;
  bool m_Malformed = false;
};

// The byte count of an extension of type 0 (uint32 at record offset 12); false when the record
// is too short to hold it.
bool TP_Extension_Byte_Count(const sTP_Extension& record, uint32_t* count);

struct sTP_Chunk {
  uint32_t channel;
  const uint8_t* payload;
  uint32_t payload_size;  // header length - 4
};

// Walks whole user-data chunks (sTRC_User_Header + payload) in [begin, begin + size) while at
// least a header remains. A header whose length is below 4 or beyond the remaining bytes ends the
// walk as malformed; fewer than 4 trailing bytes end it normally.
class CTP_Chunk_Reader {
 public:
  CTP_Chunk_Reader(const uint8_t* begin, uint32_t size) : m_Next(begin), m_Left(size) {}
  bool Next(sTP_Chunk* chunk);
  bool Malformed() const { return m_Malformed; }

 private:
  const uint8_t* m_Next;
  uint32_t m_Left;
  bool m_Malformed = false;
};

// The bytes after the acknowledgement's result (extensions or chunks, by the flags).
// REQUIRES: a view of an acknowledgement that passed the check.
inline const uint8_t* TP_Ack_Payload(const sTP_View& view) {
  return view.bytes + kTP_Ack_Offset_Payload;
}
inline uint32_t TP_Ack_Payload_Size(const sTP_View& view) {
  return view.size - kTP_Ack_Offset_Payload;
}

// Whether a window report marks the packet at `distance` from the window's first ID as lost; a
// position beyond the bitmap counts as arrived.
// REQUIRES: a view of a window report that passed the check.
bool TP_Report_Lost(const sTP_View& view, uint32_t distance);

#endif  // TRACE_NET_PACKET_CHECK_H_
