// CTPacket and its subclasses: thin views over one transport packet buffer (transport_format.h
// gives the layouts). A packet object holds no protocol state; it only knows where its bytes are
// and how to stamp, checksum and byte-swap them.
//
// Buffer ownership: a packet either allocates its own zeroed buffer of its type's fixed size
// (external = 0, freed by its destructor) or uses a buffer that belongs to someone else
// (external = 1: a pool's slot taken over by Attach, or a slot the pool built the object in).
// Attach never copies bytes.
//
// Trust: the accessors read the header and body at fixed offsets inside the buffer and never
// beyond the buffer's capacity; they do not check that the size field or the flags make sense.
// A received datagram is checked with TP_Check_Datagram (packet_check.h) before its fields are
// believed.
//
// Layout of the object: the virtual table pointer and six fields fit the 40 bytes that the pool
// reserves in front of each buffer (buffers_pool.h), so a pool slot holds object and buffer.
//
// Thread-safety: none; one thread uses a packet at a time.
#ifndef TRACE_NET_TPACKET_H_
#define TRACE_NET_TPACKET_H_

#include <stdint.h>

#include "trace/net/transport_format.h"

class CTPacket {
 public:
  // No buffer: valid 0; Attach gives it one.
  CTPacket() = default;
  // An own zeroed buffer of `size` bytes whose size field is `size` and type field `type`
  // (flags 0). Valid is 0 when the allocation fails.
  CTPacket(uint16_t type, uint16_t size);
  // A view of someone else's zeroed buffer (the pool's constructor of slots).
  CTPacket(uint8_t* buffer, uint32_t buffer_size, uint32_t pool_id);
  virtual ~CTPacket();

  CTPacket(const CTPacket&) = delete;
  CTPacket& operator=(const CTPacket&) = delete;

  // Swaps the multi-byte fields of the header (CRC, ID, type and flags, size, client ID) in
  // place. Subclasses with a body swap only their body.
  virtual void Chage_Endianness();
  // Writes the packet ID and the client ID, then the CRC over the bytes the size field covers
  // (capped at the buffer), all in host order.
  virtual void Finalize(uint32_t id, uint16_t client_id);
  // Takes over `packet`'s buffer, capacity and pool ID (the buffer stays the owner's: external
  // = 1); an own buffer of this object is freed first. True when the new buffer is not null. A
  // null `packet` changes nothing and gives false.
  virtual bool Attach(CTPacket* packet);

  uint8_t* Get_Buffer() const { return m_pBuffer; }
  uint32_t Get_Buffer_Size() const { return m_BufferSize; }
  bool Is_Valid() const { return m_Valid != 0; }
  bool Is_External() const { return m_External != 0; }
  uint32_t Get_Pool_ID() const { return m_PoolID; }

  // Header fields in host order. REQUIRES: a buffer of at least 14 bytes.
  uint32_t Get_CRC() const { return TP_Load32(m_pHeader + kTP_Offset_CRC); }
  uint32_t Get_ID() const { return TP_Load32(m_pHeader + kTP_Offset_ID); }
  uint16_t Get_Type_Flags() const { return TP_Load16(m_pHeader + kTP_Offset_Type); }
  uint32_t Get_Type() const { return Get_Type_Flags() & kTP_Type_Mask; }
  uint16_t Get_Size() const { return TP_Load16(m_pHeader + kTP_Offset_Size); }
  uint16_t Get_Client_ID() const { return TP_Load16(m_pHeader + kTP_Offset_Client); }
  void Set_Type_Flags(uint16_t value) { TP_Store16(m_pHeader + kTP_Offset_Type, value); }
  void Set_Size(uint16_t size) { TP_Store16(m_pHeader + kTP_Offset_Size, size); }
  // The CRC of the current bytes (size field capped at the buffer), as Finalize stores it.
  uint32_t Compute_CRC() const;

 protected:
  // The takeover of Attach without its result handling.
  void Take_Buffer(CTPacket* packet);

  // Fields in this order; see the file comment for the 40-byte budget.
  uint8_t* m_pBuffer = nullptr;
  uint32_t m_BufferSize = 0;
  uint32_t m_Valid = 0;     // 1 when the object has a buffer
  uint32_t m_PoolID = 0;    // pool the buffer came from
  uint32_t m_External = 0;  // 1: the buffer is someone else's; 0: allocated here (or none)
  uint8_t* m_pHeader = nullptr;
};

// Base of the classes that add a pointer to their body (buffer + 14).
class CTPBody_Packet : public CTPacket {
 public:
  CTPBody_Packet() = default;
  CTPBody_Packet(uint16_t type, uint16_t size);

  // As the base, and the body pointer follows the new buffer.
  bool Attach(CTPacket* packet) override;

 protected:
  // Swaps the whole packet (header, then body) to the other byte order and stores a CRC
  // computed over the converted bytes, itself byte-swapped: a packet for a peer of the other
  // byte order.
  void Finalize_Swapped(uint32_t id, uint16_t client_id);

  uint8_t* m_pBody = nullptr;
};

class CTPClient_Hello : public CTPBody_Packet {
 public:
  // 222 bytes, type 0.
  CTPClient_Hello();

  // Fills the body: version 7, the packet size used for every packet, the process ID, the
  // process start time (100-ns units since 1601, 0 when unknown) and the name, converted from
  // UTF-8 and cut to 95 UTF-16 units, 0-terminated. Sets the hello flags (type and flags 0x0060).
  void Fill(uint16_t packet_size, uint32_t process_id, uint64_t start_time, const char* name);

  uint16_t Get_Version() const { return TP_Load16(m_pHeader + kTP_Hello_Offset_Version); }
  uint16_t Get_Packet_Size() const { return TP_Load16(m_pHeader + kTP_Hello_Offset_Packet_Size); }
  uint32_t Get_Process_ID() const { return TP_Load32(m_pHeader + kTP_Hello_Offset_Process); }
  uint64_t Get_Start_Time() const;
  // Name unit `i` (< 96).
  uint16_t Get_Name_Unit(uint32_t i) const {
    return TP_Load16(m_pHeader + kTP_Hello_Offset_Name + 2 * i);
  }

  // Body only: version, packet size, the three uint32 fields, then the name's units up to the
  // first 0 unit or the end of the field.
  void Chage_Endianness() override;
};

class CTPClient_Ping : public CTPacket {
 public:
  CTPClient_Ping();  // 14 bytes, type 1
};

class CTPClient_Bye : public CTPacket {
 public:
  CTPClient_Bye();  // 14 bytes, type 4
};

class CTPData : public CTPacket {
 public:
  CTPData() = default;  // no buffer; data packets come from the pool through Attach

  // Sets bits 0-3 of the type field to 2 (the other bits stay), then the base Finalize.
  void Finalize(uint32_t id, uint16_t client_id) override;
  // As the base, and the result becomes the valid field (0 for a null `packet`).
  bool Attach(CTPacket* packet) override;
};

class CTPData_Window : public CTPBody_Packet {
 public:
  CTPData_Window();  // 22 bytes, type 3

  void Set_Window(uint32_t first, uint32_t last);
  uint32_t Get_First() const { return TP_Load32(m_pHeader + kTP_Window_Offset_First); }
  uint32_t Get_Last() const { return TP_Load32(m_pHeader + kTP_Window_Offset_Last); }

  void Chage_Endianness() override;  // the two IDs
};

class CTPAcknowledgment : public CTPBody_Packet {
 public:
  CTPAcknowledgment() = default;  // no buffer; see Attach and Create
  // An own zeroed buffer of `size` (at least 20) bytes, type 9: a server's reply.
  explicit CTPAcknowledgment(uint16_t size);

  uint32_t Get_Acknowledged_ID() const { return TP_Load32(m_pHeader + kTP_Ack_Offset_ID); }
  uint16_t Get_Result() const { return TP_Load16(m_pHeader + kTP_Ack_Offset_Result); }
  void Set_Acknowledged(uint32_t id, uint16_t result);

  using CTPacket::Finalize;
  // `swap` 0: the base Finalize. Otherwise the whole packet is converted to the other byte
  // order, CRC included (CTPBody_Packet::Finalize_Swapped).
  virtual void Finalize(uint32_t id, uint16_t client_id, uint32_t swap);
  void Chage_Endianness() override;  // the acknowledged ID and the result
};

class CTPData_Window_Report : public CTPBody_Packet {
 public:
  CTPData_Window_Report() = default;  // no buffer; see Attach
  // An own zeroed buffer of `size` (at least 18) bytes, type 10: a server's reply.
  explicit CTPData_Window_Report(uint16_t size);

  uint32_t Get_Window_ID() const { return TP_Load32(m_pHeader + kTP_Report_Offset_ID); }
  void Set_Window_ID(uint32_t id) { TP_Store32(m_pHeader + kTP_Report_Offset_ID, id); }
  // Marks the packet at `distance` from the window's first ID as lost; false when the bitmap
  // (size field - 18 bytes, capped at the buffer) has no such bit.
  bool Set_Lost(uint32_t distance);

  using CTPacket::Finalize;
  virtual void Finalize(uint32_t id, uint16_t client_id, uint32_t swap);
  void Chage_Endianness() override;  // the window ID only; the bitmap is bytes
};

#endif  // TRACE_NET_TPACKET_H_
