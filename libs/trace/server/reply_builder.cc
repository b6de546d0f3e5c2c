#include "trace/server/reply_builder.h"

#include "trace/net/tpacket.h"
#include "trace/net/transport_format.h"

namespace {

constexpr uint32_t kCapacity_Record = 16;

std::vector<uint8_t> Bytes_Of(const CTPacket& packet) {
  if (!packet.Is_Valid()) return {};
  return std::vector<uint8_t>(packet.Get_Buffer(), packet.Get_Buffer() + packet.Get_Size());
}

}  // namespace

std::vector<uint8_t> TRS_Make_Ack(uint32_t reply_id, uint16_t client_id, uint32_t acked_id, uint16_t result,
                                  uint32_t capacity) {
  uint32_t size = kTP_Ack_Min_Size + (capacity ? kCapacity_Record : 0);
  CTPAcknowledgment ack(static_cast<uint16_t>(size));
  if (!ack.Is_Valid()) return {};
  ack.Set_Acknowledged(acked_id, result);
  if (capacity) {
    uint8_t* record = ack.Get_Buffer() + kTP_Ack_Offset_Payload;
    TP_Store16(record, kTP_Extension_Buffer);
    TP_Store16(record + 2, static_cast<uint16_t>(kCapacity_Record));
    TP_Store32(record + kTP_Extension_Offset_Bytes, capacity);
    ack.Set_Type_Flags(static_cast<uint16_t>(eTP_Acknowledgment | kTP_Flag_Extensions));
  }
  ack.Finalize(reply_id, client_id, 0);
  return Bytes_Of(ack);
}

std::vector<uint8_t> TRS_Make_Report(uint32_t reply_id, uint16_t client_id, uint32_t window_id,
                                     const std::vector<uint8_t>& lost) {
  uint32_t size = kTP_Report_Min_Size + static_cast<uint32_t>(lost.size());
  if (size > 0xFFFF) return {};
  CTPData_Window_Report report(static_cast<uint16_t>(size));
  if (!report.Is_Valid()) return {};
  report.Set_Window_ID(window_id);
  for (uint32_t i = 0; i < lost.size(); ++i) report.Get_Buffer()[kTP_Report_Offset_Bitmap + i] = lost[i];
  report.Finalize(reply_id, client_id, 0);
  return Bytes_Of(report);
}
