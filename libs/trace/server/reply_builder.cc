#include "trace/server/reply_builder.h"

#include <string.h>

#include <mqtt-wrapper/TR.h>

#include "trace/format/trace_format.h"
#include "trace/net/tpacket.h"
#include "trace/net/transport_format.h"

namespace {

constexpr uint32_t kCapacity_Record = 16;
constexpr uint32_t kVerbosity_Size = sizeof(sTRTrace_Verbosity);

std::vector<uint8_t> Bytes_Of(const CTPacket& packet) {
  if (!packet.Is_Valid()) return {};
  return std::vector<uint8_t>(packet.Get_Buffer(), packet.Get_Buffer() + packet.Get_Size());
}

}  // namespace

uint32_t TRS_Ack_Overhead(bool capacity) {
  return kTP_Ack_Min_Size + (capacity ? kCapacity_Record + kTP_Extension_Header : 0);
}

std::vector<uint8_t> TRS_Make_Ack(uint32_t reply_id, uint16_t client_id, uint32_t acked_id,
                                  uint16_t result, uint32_t capacity,
                                  const std::vector<uint8_t>& user_data) {
  const uint32_t data = static_cast<uint32_t>(user_data.size());
  uint64_t size = kTP_Ack_Min_Size + (capacity ? kCapacity_Record : 0);
  if (data) size += data + (capacity ? kTP_Extension_Header : 0);
  if (size > 0xFFFF) return {};
  CTPAcknowledgment ack(static_cast<uint16_t>(size));
  if (!ack.Is_Valid()) return {};
  ack.Set_Acknowledged(acked_id, result);
  uint8_t* at = ack.Get_Buffer() + kTP_Ack_Offset_Payload;
  uint16_t flags = 0;
  if (capacity) {
    TP_Store16(at, kTP_Extension_Buffer);
    TP_Store16(at + 2, static_cast<uint16_t>(kCapacity_Record));
    TP_Store32(at + kTP_Extension_Offset_Bytes, capacity);
    at += kCapacity_Record;
    flags |= kTP_Flag_Extensions;
  }
  if (data) {
    if (capacity) {
      // The client hands an acknowledgement to its channels only with the user-data flag, and
      // with extensions present it reads the chunks from a type 1 record.
      TP_Store16(at, kTP_Extension_User_Data);
      TP_Store16(at + 2, static_cast<uint16_t>(kTP_Extension_Header + data));
      at += kTP_Extension_Header;
    }
    memcpy(at, user_data.data(), data);
    flags |= kTP_Flag_User_Data;
  }
  ack.Set_Type_Flags(static_cast<uint16_t>(eTP_Acknowledgment | flags));
  ack.Finalize(reply_id, client_id, 0);
  return Bytes_Of(ack);
}

std::vector<uint8_t> TRS_Make_Verbosity_Command(uint32_t channel, uint32_t level,
                                                uint16_t module_id) {
  std::vector<uint8_t> chunk(kTP_Chunk_Header + kVerbosity_Size, 0);
  TP_Store32(chunk.data(), sTRC_User_Header::Make(static_cast<uint32_t>(chunk.size()), channel));
  TP_Store32(chunk.data() + 4, TRTrace_Make_Header(kVerbosity_Size, eTRTrace_Verbosity));
  TP_Store32(chunk.data() + 8, level);
  TP_Store16(chunk.data() + 12, module_id);
  return chunk;
}

std::vector<uint8_t> TRS_Make_Report(uint32_t reply_id, uint16_t client_id, uint32_t window_id,
                                     const std::vector<uint8_t>& lost) {
  uint32_t size = kTP_Report_Min_Size + static_cast<uint32_t>(lost.size());
  if (size > 0xFFFF) return {};
  CTPData_Window_Report report(static_cast<uint16_t>(size));
  if (!report.Is_Valid()) return {};
  report.Set_Window_ID(window_id);
  for (uint32_t i = 0; i < lost.size(); ++i)
    report.Get_Buffer()[kTP_Report_Offset_Bitmap + i] = lost[i];
  report.Finalize(reply_id, client_id, 0);
  return Bytes_Of(report);
}
