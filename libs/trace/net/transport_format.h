// The transport protocol between a network sink and a trace server: every UDP datagram is one
// transport packet, a 14-byte header followed by a body whose layout depends on the packet type.
//
//   offset 0  uint32 CRC        TP_Packet_CRC over bytes 4 .. size-1 (crc32.h)
//   offset 4  uint32 packet ID  1 .. kTP_Max_ID, then 1 again (TP_Next_ID)
//   offset 8  uint16 type and flags: bits 0-3 type, kTP_Flag_* above them
//   offset 10 uint16 size       whole packet, header included
//   offset 12 uint16 client ID  given by the server; kTP_No_Client until it has answered
//
// Bodies (offsets from the start of the packet):
//   hello (0)         14 uint16 version (7), 16 uint16 packet size, 18 uint32 process ID,
//                     22 uint32 start time high, 26 uint32 start time low,
//                     30 96 x uint16 UTF-16 name, 0-terminated (at most 95 units of text)
//   ping (1), bye (4) none
//   data (2)          a slice of the user-data stream: sTRC_User_Header words each followed by
//                     its payload; a payload may continue in the next data packet (by ID), a
//                     header never straddles two packets
//   data window (3)   14 uint32 first data packet ID, 18 uint32 last data packet ID
//   acknowledgement (9)  14 uint32 acknowledged packet ID, 18 uint16 result (0 = refused),
//                     20.. extensions when kTP_Flag_Extensions, else user-data chunks when
//                     kTP_Flag_User_Data
//   window report (10)   14 uint32 ID of the data window packet answered, 18.. loss bitmap:
//                     bit i (byte i/8, bit i%8 from the LSB) set = the data packet at distance i
//                     from the window's first ID was lost
//   extension record  uint16 type, uint16 length (whole record), content; type 0: byte count
//                     at record offset 12; type 1: user-data chunks from record offset 4
//
// Every multi-byte field is in the sender's byte order, little-endian on every supported target.
// Fields are read and written through TP_Load/TP_Store (memcpy), so a packet may sit at any
// address.
//
// Thread-safety: constants and pure functions.
#ifndef TRACE_NET_TRANSPORT_FORMAT_H_
#define TRACE_NET_TRANSPORT_FORMAT_H_

#include <stdint.h>
#include <string.h>

// Header layout.
constexpr uint32_t kTP_Header_Size = 14;
constexpr uint32_t kTP_Offset_CRC = 0;
constexpr uint32_t kTP_Offset_ID = 4;
constexpr uint32_t kTP_Offset_Type = 8;
constexpr uint32_t kTP_Offset_Size = 10;
constexpr uint32_t kTP_Offset_Client = 12;
// The CRC covers this many bytes when the size field is below the header size.
constexpr uint32_t kTP_Short_CRC_Span = 10;

enum eTP_Type : uint32_t {
  eTP_Hello = 0,
  eTP_Ping = 1,
  eTP_Data = 2,
  eTP_Data_Window = 3,
  eTP_Bye = 4,
  eTP_Acknowledgment = 9,
  eTP_Window_Report = 10,
};

constexpr uint16_t kTP_Type_Mask = 0x000F;
constexpr uint16_t kTP_Flag_User_Data = 0x0010;   // the packet carries user data for channels
constexpr uint16_t kTP_Flag_Hello = 0x0020;       // set with kTP_Flag_Extensions in a hello
constexpr uint16_t kTP_Flag_Extensions = 0x0040;  // server packet: extensions follow the body
constexpr uint16_t kTP_Flag_Big_Endian = 0x8000;  // data packet of a big-endian sender
constexpr uint16_t kTP_Hello_Type_Flags = eTP_Hello | kTP_Flag_Hello | kTP_Flag_Extensions;

constexpr uint16_t kTP_No_Client = 0xFFFF;

// Fixed sizes and minimal sizes of the packet types.
constexpr uint32_t kTP_Hello_Size = 222;
constexpr uint32_t kTP_Ping_Size = 14;
constexpr uint32_t kTP_Bye_Size = 14;
constexpr uint32_t kTP_Data_Window_Size = 22;
constexpr uint32_t kTP_Ack_Min_Size = 20;
constexpr uint32_t kTP_Report_Min_Size = 18;

// Hello body.
constexpr uint16_t kTP_Protocol_Version = 7;
constexpr uint32_t kTP_Hello_Offset_Version = 14;
constexpr uint32_t kTP_Hello_Offset_Packet_Size = 16;
constexpr uint32_t kTP_Hello_Offset_Process = 18;
constexpr uint32_t kTP_Hello_Offset_Time_High = 22;
constexpr uint32_t kTP_Hello_Offset_Time_Low = 26;
constexpr uint32_t kTP_Hello_Offset_Name = 30;
constexpr uint32_t kTP_Hello_Name_Units = 96;  // terminator included

// Data window body.
constexpr uint32_t kTP_Window_Offset_First = 14;
constexpr uint32_t kTP_Window_Offset_Last = 18;

// Acknowledgement body.
constexpr uint32_t kTP_Ack_Offset_ID = 14;
constexpr uint32_t kTP_Ack_Offset_Result = 18;
constexpr uint32_t kTP_Ack_Offset_Payload = 20;  // extensions or user-data chunks

// Window report body.
constexpr uint32_t kTP_Report_Offset_ID = 14;
constexpr uint32_t kTP_Report_Offset_Bitmap = 18;

// Extension records.
constexpr uint32_t kTP_Extension_Header = 4;
constexpr uint16_t kTP_Extension_Buffer = 0;     // the server's receive capacity in bytes
constexpr uint16_t kTP_Extension_User_Data = 1;  // user-data chunks for the channels
constexpr uint32_t kTP_Extension_Offset_Bytes = 12;

// User-data chunk header (sTRC_User_Header): bits 0-26 length with the header, 27-31 channel.
constexpr uint32_t kTP_Chunk_Header = 4;

// Packet IDs run 1 .. kTP_Max_ID and wrap to 1; kTP_No_ID marks "no window".
constexpr uint32_t kTP_Max_ID = 0x0FFFFFFF;
constexpr uint32_t kTP_No_ID = 0x10000000;

constexpr uint32_t TP_Next_ID(uint32_t last) { return last + 1 > kTP_Max_ID ? 1 : last + 1; }

// The ID of a data packet that opens a new window of at most `window` packets: the IDs of one
// window never wrap, so a window that could reach the end of the ID space starts again at 1.
constexpr uint32_t TP_Next_Window_ID(uint32_t last, uint32_t window) {
  return static_cast<uint64_t>(last) + window + 128 > kTP_Max_ID - 1 ? 1 : TP_Next_ID(last);
}

// Distance of `id` from a window's first ID, across the wrap of the ID space.
constexpr uint32_t TP_ID_Distance(uint32_t id, uint32_t first) {
  return id >= first ? id - first : id + kTP_Max_ID - first;
}

// The ID at `distance` from `first` (the inverse of TP_ID_Distance). REQUIRES: distance <
// kTP_Max_ID.
constexpr uint32_t TP_ID_At(uint32_t first, uint32_t distance) {
  return distance > kTP_Max_ID - first ? first + distance - kTP_Max_ID : first + distance;
}

inline uint16_t TP_Load16(const uint8_t* at) {
  uint16_t value;
  memcpy(&value, at, sizeof(value));
  return value;
}
inline uint32_t TP_Load32(const uint8_t* at) {
  uint32_t value;
  memcpy(&value, at, sizeof(value));
  return value;
}
inline void TP_Store16(uint8_t* at, uint16_t value) { memcpy(at, &value, sizeof(value)); }
inline void TP_Store32(uint8_t* at, uint32_t value) { memcpy(at, &value, sizeof(value)); }
inline void TP_Swap16(uint8_t* at) { TP_Store16(at, __builtin_bswap16(TP_Load16(at))); }
inline void TP_Swap32(uint8_t* at) { TP_Store32(at, __builtin_bswap32(TP_Load32(at))); }

#endif  // TRACE_NET_TRANSPORT_FORMAT_H_
