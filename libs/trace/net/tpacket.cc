#include "trace/net/tpacket.h"

#include <string.h>

#include <new>

#include "trace/base/utf.h"
#include "trace/net/crc32.h"

CTPacket::CTPacket(uint16_t type, uint16_t size) {
  m_pBuffer = new (std::nothrow) uint8_t[size]();
  if (!m_pBuffer) return;
  m_BufferSize = size;
  m_Valid = 1;
  m_pHeader = m_pBuffer;
  Set_Type_Flags(type);
  Set_Size(size);
}

CTPacket::CTPacket(uint8_t* buffer, uint32_t buffer_size, uint32_t pool_id)
    : m_pBuffer(buffer),
      m_BufferSize(buffer_size),
      m_Valid(buffer ? 1 : 0),
      m_PoolID(pool_id),
      m_External(1),
      m_pHeader(buffer) {}

CTPacket::~CTPacket() {
  if (!m_External) delete[] m_pBuffer;
}

void CTPacket::Chage_Endianness() {
  if (!m_pHeader) return;
  TP_Swap32(m_pHeader + kTP_Offset_CRC);
  TP_Swap32(m_pHeader + kTP_Offset_ID);
  TP_Swap16(m_pHeader + kTP_Offset_Type);
  TP_Swap16(m_pHeader + kTP_Offset_Size);
  TP_Swap16(m_pHeader + kTP_Offset_Client);
}

uint32_t CTPacket::Compute_CRC() const {
  if (!m_pBuffer || m_BufferSize < kTP_Header_Size) return 0;
  uint32_t size = Get_Size();
  return TP_Packet_CRC(m_pBuffer, size < m_BufferSize ? size : m_BufferSize);
}

void CTPacket::Finalize(uint32_t id, uint16_t client_id) {
  if (!m_pHeader) return;
  TP_Store32(m_pHeader + kTP_Offset_ID, id);
  TP_Store16(m_pHeader + kTP_Offset_Client, client_id);
  TP_Store32(m_pHeader + kTP_Offset_CRC, Compute_CRC());
}

void CTPacket::Take_Buffer(CTPacket* packet) {
  if (!m_External) delete[] m_pBuffer;
  m_pBuffer = packet->m_pBuffer;
  m_BufferSize = packet->m_BufferSize;
  m_PoolID = packet->m_PoolID;
  m_External = 1;
  m_pHeader = m_pBuffer;
}

bool CTPacket::Attach(CTPacket* packet) {
  if (!packet) return false;
  Take_Buffer(packet);
  m_Valid = m_pBuffer ? 1 : 0;
  return m_pBuffer != nullptr;
}

CTPBody_Packet::CTPBody_Packet(uint16_t type, uint16_t size) : CTPacket(type, size) {
  m_pBody = m_pBuffer ? m_pBuffer + kTP_Header_Size : nullptr;
}

bool CTPBody_Packet::Attach(CTPacket* packet) {
  bool attached = CTPacket::Attach(packet);
  m_pBody = m_pBuffer ? m_pBuffer + kTP_Header_Size : nullptr;
  return attached;
}

void CTPBody_Packet::Finalize_Swapped(uint32_t id, uint16_t client_id) {
  if (!m_pHeader) return;
  TP_Store32(m_pHeader + kTP_Offset_ID, id);
  TP_Store16(m_pHeader + kTP_Offset_Client, client_id);
  CTPacket::Chage_Endianness();
  Chage_Endianness();
  uint32_t size = __builtin_bswap16(Get_Size());
  if (size > m_BufferSize) size = m_BufferSize;
  TP_Store32(m_pHeader + kTP_Offset_CRC, __builtin_bswap32(TP_Packet_CRC(m_pBuffer, size)));
}

CTPClient_Hello::CTPClient_Hello() : CTPBody_Packet(eTP_Hello, kTP_Hello_Size) {}

void CTPClient_Hello::Fill(uint16_t packet_size, uint32_t process_id, uint64_t start_time,
                           const char* name) {
  if (!m_pBuffer) return;
  Set_Type_Flags(kTP_Hello_Type_Flags);
  TP_Store16(m_pHeader + kTP_Hello_Offset_Version, kTP_Protocol_Version);
  TP_Store16(m_pHeader + kTP_Hello_Offset_Packet_Size, packet_size);
  TP_Store32(m_pHeader + kTP_Hello_Offset_Process, process_id);
  TP_Store32(m_pHeader + kTP_Hello_Offset_Time_High, static_cast<uint32_t>(start_time >> 32));
  TP_Store32(m_pHeader + kTP_Hello_Offset_Time_Low, static_cast<uint32_t>(start_time));
  uint16_t units[kTP_Hello_Name_Units] = {};
  Convert_UTF8_To_UTF16(name ? name : "", units, kTP_Hello_Name_Units);
  units[kTP_Hello_Name_Units - 1] = 0;
  memcpy(m_pHeader + kTP_Hello_Offset_Name, units, sizeof(units));
}

uint64_t CTPClient_Hello::Get_Start_Time() const {
  return (static_cast<uint64_t>(TP_Load32(m_pHeader + kTP_Hello_Offset_Time_High)) << 32) |
         TP_Load32(m_pHeader + kTP_Hello_Offset_Time_Low);
}

void CTPClient_Hello::Chage_Endianness() {
  TP_Swap16(m_pHeader + kTP_Hello_Offset_Version);
  TP_Swap16(m_pHeader + kTP_Hello_Offset_Packet_Size);
  TP_Swap32(m_pHeader + kTP_Hello_Offset_Process);
  TP_Swap32(m_pHeader + kTP_Hello_Offset_Time_High);
  TP_Swap32(m_pHeader + kTP_Hello_Offset_Time_Low);
  // A 0 unit reads the same in both orders, so the terminator is found before or after the swap.
  for (uint32_t i = 0; i < kTP_Hello_Name_Units; ++i) {
    uint8_t* unit = m_pHeader + kTP_Hello_Offset_Name + 2 * i;
    if (TP_Load16(unit) == 0) break;
    TP_Swap16(unit);
  }
}

CTPClient_Ping::CTPClient_Ping() : CTPacket(eTP_Ping, kTP_Ping_Size) {}

CTPClient_Bye::CTPClient_Bye() : CTPacket(eTP_Bye, kTP_Bye_Size) {}

void CTPData::Finalize(uint32_t id, uint16_t client_id) {
  Set_Type_Flags(static_cast<uint16_t>((Get_Type_Flags() & ~kTP_Type_Mask) | eTP_Data));
  CTPacket::Finalize(id, client_id);
}

bool CTPData::Attach(CTPacket* packet) {
  bool attached = CTPacket::Attach(packet);
  m_Valid = attached ? 1 : 0;
  return attached;
}

CTPData_Window::CTPData_Window() : CTPBody_Packet(eTP_Data_Window, kTP_Data_Window_Size) {}

void CTPData_Window::Set_Window(uint32_t first, uint32_t last) {
  TP_Store32(m_pHeader + kTP_Window_Offset_First, first);
  TP_Store32(m_pHeader + kTP_Window_Offset_Last, last);
}

void CTPData_Window::Chage_Endianness() {
  TP_Swap32(m_pHeader + kTP_Window_Offset_First);
  TP_Swap32(m_pHeader + kTP_Window_Offset_Last);
}

CTPAcknowledgment::CTPAcknowledgment(uint16_t size)
    : CTPBody_Packet(eTP_Acknowledgment, size < kTP_Ack_Min_Size ? kTP_Ack_Min_Size : size) {}

void CTPAcknowledgment::Set_Acknowledged(uint32_t id, uint16_t result) {
  TP_Store32(m_pHeader + kTP_Ack_Offset_ID, id);
  TP_Store16(m_pHeader + kTP_Ack_Offset_Result, result);
}

void CTPAcknowledgment::Finalize(uint32_t id, uint16_t client_id, uint32_t swap) {
  if (swap) {
    Finalize_Swapped(id, client_id);
  } else {
    CTPacket::Finalize(id, client_id);
  }
}

void CTPAcknowledgment::Chage_Endianness() {
  TP_Swap32(m_pHeader + kTP_Ack_Offset_ID);
  TP_Swap16(m_pHeader + kTP_Ack_Offset_Result);
}

CTPData_Window_Report::CTPData_Window_Report(uint16_t size)
    : CTPBody_Packet(eTP_Window_Report, size < kTP_Report_Min_Size ? kTP_Report_Min_Size : size) {}

bool CTPData_Window_Report::Set_Lost(uint32_t distance) {
  uint32_t size = Get_Size();
  if (size > m_BufferSize) size = m_BufferSize;
  if (size <= kTP_Report_Offset_Bitmap || distance / 8 >= size - kTP_Report_Offset_Bitmap)
    return false;
  m_pHeader[kTP_Report_Offset_Bitmap + distance / 8] |= static_cast<uint8_t>(1u << (distance % 8));
  return true;
}

void CTPData_Window_Report::Finalize(uint32_t id, uint16_t client_id, uint32_t swap) {
  if (swap) {
    Finalize_Swapped(id, client_id);
  } else {
    CTPacket::Finalize(id, client_id);
  }
}

void CTPData_Window_Report::Chage_Endianness() { TP_Swap32(m_pHeader + kTP_Report_Offset_ID); }
