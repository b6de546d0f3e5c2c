// Packets the network sink and the trace server build: a packet class chosen by the input, its
// fields chosen by the input, finalized; the datagram check accepts it and reads back the same
// fields, and changing the byte order twice gives back the same bytes.
//
// Swapped finalization (a reply for a peer of the other byte order) is checked on its own terms:
// the stored CRC, byte-swapped, is the CRC of the converted bytes over the converted size, and
// converting back restores every field.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "trace/base/utf.h"
#include "trace/net/crc32.h"
#include "trace/net/packet_check.h"
#include "trace/net/tpacket.h"

namespace {

std::vector<uint8_t> Bytes_Of(const CTPacket& packet) {
  return std::vector<uint8_t>(packet.Get_Buffer(), packet.Get_Buffer() + packet.Get_Buffer_Size());
}

// Byte order changed twice (header, then body): the same bytes.
void Check_Swap_Twice(CTPacket* packet) {
  std::vector<uint8_t> before = Bytes_Of(*packet);
  for (int i = 0; i < 2; ++i) {
    packet->CTPacket::Chage_Endianness();
    packet->Chage_Endianness();
  }
  fuzz::Check(Bytes_Of(*packet) == before, "changing the byte order twice changed the packet");
}

// The packet's buffer checked as a received datagram of exactly its size field's length.
eTP_Check Check_Packet(const CTPacket& packet, sTP_View* view, std::vector<uint8_t>* copy) {
  fuzz::Check(packet.Is_Valid() && packet.Get_Buffer_Size() >= kTP_Header_Size,
              "a built packet without a buffer");
  uint32_t size = packet.Get_Size();
  fuzz::Check(size <= packet.Get_Buffer_Size(), "a size field beyond the buffer");
  copy->assign(packet.Get_Buffer(), packet.Get_Buffer() + size);
  copy->shrink_to_fit();
  return TP_Check_Datagram(copy->data(), size, view);
}

void Check_Header(const sTP_View& view, uint32_t type, uint32_t id, uint16_t client_id,
                  uint32_t size) {
  fuzz::Check(view.type == type, "the type read back differs");
  fuzz::Check(view.id == id, "the packet ID read back differs");
  fuzz::Check(view.client_id == client_id, "the client ID read back differs");
  fuzz::Check(view.size == size, "the size read back differs");
}

// Swapped finalization: the CRC as the peer of the other byte order computes it, and the
// original fields after converting back.
template <typename tPacket>
void Check_Swapped(tPacket* packet, const std::vector<uint8_t>& host_bytes, uint32_t id,
                   uint16_t client_id) {
  packet->Finalize(id, client_id, 1);
  uint32_t size = __builtin_bswap16(packet->Get_Size());
  fuzz::Check(size == host_bytes.size() || size > packet->Get_Buffer_Size(),
              "the swapped size field");
  if (size > packet->Get_Buffer_Size()) size = packet->Get_Buffer_Size();
  fuzz::Check(__builtin_bswap32(packet->Get_CRC()) == TP_Packet_CRC(packet->Get_Buffer(), size),
              "the swapped CRC is not the CRC of the converted bytes");
  packet->CTPacket::Chage_Endianness();
  packet->Chage_Endianness();
  std::vector<uint8_t> back = Bytes_Of(*packet);
  fuzz::Check(memcmp(back.data() + 4, host_bytes.data() + 4, host_bytes.size() - 4) == 0,
              "converting a swapped packet back does not restore its fields");
}

void Hello(FuzzedDataProvider* input, uint32_t id, uint16_t client_id) {
  uint16_t packet_size = input->ConsumeIntegral<uint16_t>();
  uint32_t process_id = input->ConsumeIntegral<uint32_t>();
  uint64_t start_time = input->ConsumeIntegral<uint64_t>();
  std::string name = input->ConsumeRandomLengthString(400);
  CTPClient_Hello hello;
  hello.Fill(packet_size, process_id, start_time, name.c_str());
  hello.Finalize(id, client_id);
  std::vector<uint8_t> copy;
  sTP_View view;
  fuzz::Check(Check_Packet(hello, &view, &copy) == eTP_Check_OK, "a hello refused");
  Check_Header(view, eTP_Hello, id, client_id, kTP_Hello_Size);
  fuzz::Check(view.type_flags == kTP_Hello_Type_Flags, "the hello's flags");
  fuzz::Check(hello.Get_Version() == kTP_Protocol_Version &&
                  hello.Get_Packet_Size() == packet_size && hello.Get_Process_ID() == process_id &&
                  hello.Get_Start_Time() == start_time,
              "the hello's fields read back differ");
  fuzz::Check(TP_Load16(copy.data() + kTP_Hello_Offset_Packet_Size) == packet_size &&
                  TP_Load32(copy.data() + kTP_Hello_Offset_Process) == process_id,
              "the hello's bytes differ from its fields");
  uint16_t expected[kTP_Hello_Name_Units] = {};
  Convert_UTF8_To_UTF16(name.c_str(), expected, kTP_Hello_Name_Units);
  expected[kTP_Hello_Name_Units - 1] = 0;
  for (uint32_t i = 0; i < kTP_Hello_Name_Units; ++i) {
    fuzz::Check(hello.Get_Name_Unit(i) == expected[i], "a name unit of the hello differs");
  }
  Check_Swap_Twice(&hello);
}

void Data(FuzzedDataProvider* input, uint32_t id, uint16_t client_id) {
  uint16_t stale_flags = input->ConsumeIntegral<uint16_t>();
  std::vector<uint8_t> body =
      input->ConsumeBytes<uint8_t>(input->ConsumeIntegralInRange<uint32_t>(0, 1500));
  // As the pool hands out data packets: a buffer someone else owns, attached.
  CTPacket slot(eTP_Ping, static_cast<uint16_t>(kTP_Header_Size + body.size()));
  slot.Set_Type_Flags(stale_flags);
  if (!body.empty()) memcpy(slot.Get_Buffer() + kTP_Header_Size, body.data(), body.size());
  CTPData data;
  fuzz::Check(data.Attach(&slot) && data.Is_External(), "attaching a data packet");
  data.Finalize(id, client_id);
  std::vector<uint8_t> copy;
  sTP_View view;
  fuzz::Check(Check_Packet(data, &view, &copy) == eTP_Check_OK, "a data packet refused");
  Check_Header(view, eTP_Data, id, client_id, static_cast<uint32_t>(kTP_Header_Size + body.size()));
  fuzz::Check((view.type_flags & ~kTP_Type_Mask) == (stale_flags & ~kTP_Type_Mask),
              "the data packet's flags changed");
  fuzz::Check(view.Body_Size() == body.size() &&
                  (body.empty() || memcmp(view.Body(), body.data(), body.size()) == 0),
              "the data packet's body differs");
  Check_Swap_Twice(&data);
}

void Window(FuzzedDataProvider* input, uint32_t id, uint16_t client_id) {
  uint32_t first = input->ConsumeIntegral<uint32_t>();
  uint32_t last = input->ConsumeIntegral<uint32_t>();
  CTPData_Window window;
  window.Set_Window(first, last);
  window.Finalize(id, client_id);
  std::vector<uint8_t> copy;
  sTP_View view;
  fuzz::Check(Check_Packet(window, &view, &copy) == eTP_Check_OK, "a data window refused");
  Check_Header(view, eTP_Data_Window, id, client_id, kTP_Data_Window_Size);
  fuzz::Check(TP_Load32(copy.data() + kTP_Window_Offset_First) == first &&
                  TP_Load32(copy.data() + kTP_Window_Offset_Last) == last &&
                  window.Get_First() == first && window.Get_Last() == last,
              "the window's bounds read back differ");
  Check_Swap_Twice(&window);
}

void Simple(uint32_t type, uint32_t id, uint16_t client_id) {
  CTPClient_Ping ping;
  CTPClient_Bye bye;
  CTPacket* packet = type == eTP_Ping ? static_cast<CTPacket*>(&ping) : &bye;
  packet->Finalize(id, client_id);
  std::vector<uint8_t> copy;
  sTP_View view;
  fuzz::Check(Check_Packet(*packet, &view, &copy) == eTP_Check_OK, "a ping or bye refused");
  Check_Header(view, type, id, client_id, kTP_Header_Size);
  Check_Swap_Twice(packet);
}

void Acknowledgment(FuzzedDataProvider* input, uint32_t id, uint16_t client_id) {
  uint32_t acked = input->ConsumeIntegral<uint32_t>();
  uint16_t result = input->ConsumeIntegral<uint16_t>();
  uint16_t flags = input->ConsumeIntegral<uint16_t>() & (kTP_Flag_User_Data | kTP_Flag_Extensions);
  bool swap = input->ConsumeBool();
  std::vector<uint8_t> payload =
      input->ConsumeBytes<uint8_t>(input->ConsumeIntegralInRange<uint32_t>(0, 600));
  CTPAcknowledgment ack(static_cast<uint16_t>(kTP_Ack_Offset_Payload + payload.size()));
  ack.Set_Type_Flags(static_cast<uint16_t>(eTP_Acknowledgment | flags));
  ack.Set_Acknowledged(acked, result);
  if (!payload.empty())
    memcpy(ack.Get_Buffer() + kTP_Ack_Offset_Payload, payload.data(), payload.size());
  fuzz::Check(ack.Get_Acknowledged_ID() == acked && ack.Get_Result() == result,
              "the acknowledgement's fields");
  Check_Swap_Twice(&ack);
  ack.Finalize(id, client_id, 0);
  std::vector<uint8_t> copy;
  sTP_View view;
  eTP_Check check = Check_Packet(ack, &view, &copy);
  // The payload is the input's: the check may find it malformed, and nothing else.
  fuzz::Check(
      check == eTP_Check_OK || (check == eTP_Check_Bad_Payload && flags != 0 && !payload.empty()),
      std::string("an acknowledgement refused: ") + TP_Check_Text(check));
  fuzz::Check(view.size == kTP_Ack_Offset_Payload + payload.size(),
              "the acknowledgement's size read back");
  if (check == eTP_Check_OK) Check_Header(view, eTP_Acknowledgment, id, client_id, view.size);
  fuzz::Check(TP_Load32(copy.data() + kTP_Ack_Offset_ID) == acked &&
                  TP_Load16(copy.data() + kTP_Ack_Offset_Result) == result,
              "the acknowledgement's bytes differ from its fields");
  if (swap) Check_Swapped(&ack, copy, id, client_id);
}

void Report(FuzzedDataProvider* input, uint32_t id, uint16_t client_id) {
  uint32_t window_id = input->ConsumeIntegral<uint32_t>();
  uint16_t bitmap = input->ConsumeIntegralInRange<uint16_t>(0, 494);
  bool swap = input->ConsumeBool();
  CTPData_Window_Report report(static_cast<uint16_t>(kTP_Report_Offset_Bitmap + bitmap));
  report.Set_Window_ID(window_id);
  std::vector<bool> lost(bitmap * 8u, false);
  for (uint32_t marks = input->ConsumeIntegralInRange<uint32_t>(0, 64); marks; --marks) {
    uint32_t distance = input->ConsumeIntegralInRange<uint32_t>(0, bitmap * 8u + 16);
    bool set = report.Set_Lost(distance);
    fuzz::Check(set == (distance < bitmap * 8u), "Set_Lost inside or beyond the bitmap");
    if (set) lost[distance] = true;
  }
  Check_Swap_Twice(&report);
  report.Finalize(id, client_id, 0);
  std::vector<uint8_t> copy;
  sTP_View view;
  fuzz::Check(Check_Packet(report, &view, &copy) == eTP_Check_OK, "a window report refused");
  Check_Header(view, eTP_Window_Report, id, client_id, kTP_Report_Offset_Bitmap + bitmap);
  fuzz::Check(TP_Load32(copy.data() + kTP_Report_Offset_ID) == window_id &&
                  report.Get_Window_ID() == window_id,
              "the report's window ID read back differs");
  for (uint32_t distance = 0; distance < bitmap * 8u + 16; ++distance) {
    fuzz::Check(TP_Report_Lost(view, distance) == (distance < lost.size() && lost[distance]),
                "a loss mark read back differs");
  }
  if (swap) Check_Swapped(&report, copy, id, client_id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  uint32_t kind = input.ConsumeIntegralInRange<uint32_t>(0, 6);
  uint32_t id = input.ConsumeIntegral<uint32_t>();
  uint16_t client_id = input.ConsumeIntegral<uint16_t>();
  switch (kind) {
    case 0:
      Hello(&input, id, client_id);
      break;
    case 1:
      Simple(eTP_Ping, id, client_id);
      break;
    case 2:
      Data(&input, id, client_id);
      break;
    case 3:
      Window(&input, id, client_id);
      break;
    case 4:
      Simple(eTP_Bye, id, client_id);
      break;
    case 5:
      Acknowledgment(&input, id, client_id);
      break;
    default:
      Report(&input, id, client_id);
      break;
  }
  return 0;
}
