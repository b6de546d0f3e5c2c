// CStreamParser: turns a sink's byte stream back into text lines. The stream is a sequence of
// packets (a 4-byte user-data header: length including the header in bits 0..26, channel ID in
// bits 27..31, then the payload); each payload is a run of trace records of that channel. The
// parser reassembles packets cut at any byte between two Parse_Buffer calls, keeps the state of
// every channel (call sites, modules, threads, time base), renders every data record through the
// line format and hands the line to its output.
//
// Both the text sink (on its worker thread) and the trace reader tool use it.
//
// Robustness: lengths in the stream are never trusted. A packet shorter than its header or longer
// than the configured maximum, a record shorter than its own header, a record that runs past its
// packet, or a failed allocation ends the parse with 2 and a description (Error_Text,
// Error_Offset); nothing is ever read outside the bytes given.
//
// Memory: Set_Budget charges every channel's state (txt_channel.h) and the reassembly buffer's
// growth to one account before it is made; what the account refuses is not kept (the record is
// ignored, or a packet that cannot be reassembled ends the parse) and Over_Budget tells. Without
// a budget the channels' fixed caps still apply.
//
// Thread-safety: none; one thread at a time uses a parser.
#ifndef TRACE_DECODE_STREAM_PARSER_H_
#define TRACE_DECODE_STREAM_PARSER_H_

#include <stdint.h>
#include <time.h>

#include <mqtt-wrapper/TRTextSink.h>

#include "trace/decode/line_format.h"
#include "trace/decode/txt_channel.h"

class CStreamParser {
 public:
  static constexpr uint32_t kChannels = 32;
  static constexpr uint32_t kReassemblyCapacity = 4096;
  static constexpr uint32_t kMaxPacket = 0x7FFFFFF;

  CStreamParser() = default;
  ~CStreamParser();

  CStreamParser(const CStreamParser&) = delete;
  CStreamParser& operator=(const CStreamParser&) = delete;

  // Parses the line template (default format when it has no element) and allocates the
  // reassembly and line buffers. False when memory runs out (Error_Text tells which).
  bool Init(const char* format_template);
  // Where lines go (not owned); null drops them.
  void Set_Output(CClTextSink* output) { m_Output = output; }
  // Packets longer than `bytes` are refused as corrupt.
  void Set_Max_Packet(uint32_t bytes) { m_MaxPacket = bytes; }
  // Lenient mode skips records of channels that have not announced themselves (counted in
  // Orphan_Records) instead of failing; a reader of rolled files wants it, a live sink does not.
  void Set_Lenient(bool lenient) { m_Lenient = lenient; }
  // Charges the parser's per-stream state to `budget` (not owned; must outlive the parser; null:
  // none). Call before the first byte is parsed.
  void Set_Budget(CMemory_Budget* budget) { m_Budget = budget; }
  // The budget refused a charge: some state of the stream was not kept.
  bool Over_Budget() const { return m_Budget && m_Budget->Exceeded(); }
  // The longest message text kept (CTxtChannel::kMax_Message_Text unless set); longer ones are
  // cut and marked. A server formatting other hosts' records sets less. Call before the first
  // byte is parsed.
  void Set_Message_Limit(uint64_t bytes) { m_Message_Limit = bytes; }

  // Feeds the next bytes of the stream. eDecode_Ok, or eDecode_Failed after a fault (see above).
  uint32_t Parse_Buffer(const uint8_t* data, uint64_t size);
  // Dispatches the records of one packet payload of `channel`. eDecode_Ok or eDecode_Failed.
  uint32_t Parse_Packet(uint32_t channel, const uint8_t* payload, uint32_t size);

  // Bytes of an incomplete packet held for the next Parse_Buffer.
  uint64_t Pending_Bytes() const { return m_Fill; }
  // Stream offset of the first byte not yet seen.
  uint64_t Stream_Offset() const { return m_StreamOffset; }
  const char* Error_Text() const { return m_Error; }
  // Stream offset of the packet or record the error is about.
  uint64_t Error_Offset() const { return m_ErrorOffset; }
  uint64_t Lines() const { return m_Lines; }
  uint64_t Orphan_Records() const { return m_Orphans; }
  // Records whose state was not kept, by the budget or a fixed cap (live and closed channels).
  uint64_t Refused_Records() const;

 private:
  uint32_t Fail(uint64_t offset, const char* format, ...) __attribute__((format(printf, 3, 4)));
  bool Grow_Reassembly(uint64_t size);
  // Charges the reassembly buffer's growth to `capacity` bytes; false when refused.
  bool Charge_Reassembly(uint64_t capacity);
  void Render(CTxtChannel* channel, const uint8_t* record, uint32_t size);
  void Set_Calendar(uint64_t absolute);

  CTxtChannel* m_Channels[kChannels] = {};  // owned; null until the info record
  uint8_t* m_Reassembly = nullptr;          // owned; a packet spanning two buffers
  uint64_t m_ReassemblyCapacity = 0;
  uint64_t m_Fill = 0;
  uint64_t m_StreamOffset = 0;  // offset of the next byte given to Parse_Buffer
  uint64_t m_PacketOffset = 0;  // offset of the packet being parsed
  CLineFormat m_Format;
  CClTextSink::sLog m_Log = {};  // the record being rendered
  CClTextSink* m_Output = nullptr;
  uint32_t m_MaxPacket = kMaxPacket;
  bool m_Lenient = false;
  uint64_t m_Lines = 0;
  uint64_t m_Orphans = 0;
  uint64_t m_Refused_Closed = 0;       // Refused() of the channels closed so far
  CMemory_Budget* m_Budget = nullptr;  // not owned; null: no account
  uint64_t m_Message_Limit = CTxtChannel::kMax_Message_Text;
  uint64_t m_Charged_Reassembly = 0;     // reassembly bytes charged beyond kReassemblyCapacity
  int64_t m_CalendarSecond = INT64_MIN;  // seconds of the cached calendar fields
  struct tm m_Calendar = {};
  bool m_CalendarValid = false;
  char m_Error[192] = {};
  uint64_t m_ErrorOffset = 0;
};

#endif  // TRACE_DECODE_STREAM_PARSER_H_
