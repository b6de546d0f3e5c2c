#include "trace/decode/stream_parser.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "trace/base/clocks.h"
#include "trace/base/psprint.h"
#include "trace/format/trace_format.h"

namespace {

constexpr char kUnknown[] = "Unkn.";
constexpr uint64_t kUnknownLength = 5;

uint32_t Read32(const uint8_t* p) {
  uint32_t value;
  memcpy(&value, p, sizeof(value));
  return value;
}

uint64_t Round_Up_1024(uint64_t size) { return (size + 1023) & ~1023ull; }

}  // namespace

CStreamParser::~CStreamParser() {
  for (CTxtChannel*& channel : m_Channels) {
    delete channel;
    channel = nullptr;
  }
  free(m_Reassembly);
  if (m_Budget) m_Budget->Release(m_Charged_Reassembly);
}

uint64_t CStreamParser::Refused_Records() const {
  uint64_t refused = m_Refused_Closed;
  for (const CTxtChannel* channel : m_Channels) refused += channel ? channel->Refused() : 0;
  return refused;
}

bool CStreamParser::Charge_Reassembly(uint64_t capacity) {
  if (!m_Budget || capacity <= kReassemblyCapacity) return true;
  const uint64_t wanted = capacity - kReassemblyCapacity;
  if (wanted <= m_Charged_Reassembly) return true;
  if (!m_Budget->Charge(wanted - m_Charged_Reassembly)) return false;
  m_Charged_Reassembly = wanted;
  return true;
}

bool CStreamParser::Init(const char* format_template) {
  m_Reassembly = static_cast<uint8_t*>(malloc(kReassemblyCapacity));
  if (!m_Reassembly) {
    PSPrint(m_Error, sizeof(m_Error), "Pool: Memory fragment allocation failed");
    return false;
  }
  m_ReassemblyCapacity = kReassemblyCapacity;
  if (!m_Format.Init(format_template)) {
    PSPrint(m_Error, sizeof(m_Error), "Pool: Memory message allocation failed");
    return false;
  }
  return true;
}

uint32_t CStreamParser::Fail(uint64_t offset, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PSPrintV(m_Error, sizeof(m_Error), format, args);
  va_end(args);
  m_ErrorOffset = offset;
  return eDecode_Failed;
}

bool CStreamParser::Grow_Reassembly(uint64_t size) {
  if (m_ReassemblyCapacity >= size) return true;
  uint64_t capacity = Round_Up_1024(size);
  if (!Charge_Reassembly(capacity)) return false;
  uint8_t* bigger = static_cast<uint8_t*>(malloc(capacity));
  if (!bigger) return false;
  if (m_Fill) memcpy(bigger, m_Reassembly, m_Fill);
  free(m_Reassembly);
  m_Reassembly = bigger;
  m_ReassemblyCapacity = capacity;
  return true;
}

uint32_t CStreamParser::Parse_Buffer(const uint8_t* data, uint64_t size) {
  const uint64_t base = m_StreamOffset;
  m_StreamOffset += size;
  uint64_t pos = 0;
  while (pos < size) {
    if (m_Fill == 0) {
      uint64_t left = size - pos;
      if (left < 5) break;
      uint32_t header = Read32(data + pos);
      uint32_t length = header & sTRC_User_Header::kMaxLength;
      if (length < 4 || length > m_MaxPacket) {
        return Fail(base + pos, "packet length %u is not possible", length);
      }
      if (left < length) break;
      m_PacketOffset = base + pos;
      uint32_t result = Parse_Packet(header >> 27, data + pos + 4, length - 4);
      if (result != eDecode_Ok) return result;
      pos += length;
      continue;
    }
    if (m_Fill < 4) {
      uint64_t take = 4 - m_Fill;
      if (take > size - pos) take = size - pos;
      memcpy(m_Reassembly + m_Fill, data + pos, take);
      m_Fill += take;
      pos += take;
      continue;
    }
    uint32_t header = Read32(m_Reassembly);
    uint32_t length = header & sTRC_User_Header::kMaxLength;
    if (length < 4 || length > m_MaxPacket) {
      return Fail(m_PacketOffset, "packet length %u is not possible", length);
    }
    if (!Grow_Reassembly(length)) {
      free(m_Reassembly);
      m_Reassembly = nullptr;
      m_ReassemblyCapacity = 0;
      m_Fill = 0;
      return Fail(m_PacketOffset, "no memory to reassemble a packet of %u bytes", length);
    }
    uint64_t take = length - m_Fill;
    if (take > size - pos) take = size - pos;
    memcpy(m_Reassembly + m_Fill, data + pos, take);
    m_Fill += take;
    pos += take;
    if (m_Fill == length) {
      m_Fill = 0;
      uint32_t result = Parse_Packet(header >> 27, m_Reassembly + 4, length - 4);
      if (result != eDecode_Ok) return result;
    }
  }
  if (pos < size) {
    // A packet cut by the end of this buffer: keep its start for the next call.
    uint64_t rest = size - pos;
    if (m_ReassemblyCapacity < rest) {
      uint64_t capacity = Round_Up_1024(rest);
      uint8_t* bigger =
          Charge_Reassembly(capacity) ? static_cast<uint8_t*>(malloc(capacity)) : nullptr;
      if (!bigger) {
        free(m_Reassembly);
        m_Reassembly = nullptr;
        m_ReassemblyCapacity = 0;
        return Fail(base + pos, "no memory to keep %llu bytes of a packet",
                    static_cast<unsigned long long>(rest));
      }
      free(m_Reassembly);
      m_Reassembly = bigger;
      m_ReassemblyCapacity = capacity;
    }
    memcpy(m_Reassembly, data + pos, rest);
    m_Fill = rest;
    m_PacketOffset = base + pos;
  }
  return eDecode_Ok;
}

uint32_t CStreamParser::Parse_Packet(uint32_t id, const uint8_t* payload, uint32_t size) {
  uint32_t result = eDecode_Ok;
  uint32_t offset = 0;
  const uint64_t at = m_PacketOffset + 4;
  while (offset < size) {
    if (size - offset < 4) {
      return Fail(at + offset, "record header cut by the end of its packet (%u bytes left)",
                  size - offset);
    }
    const uint8_t* record = payload + offset;
    uint32_t header = Read32(record);
    uint32_t record_size = TRTrace_Header_Size(header);
    if (record_size < 4) {
      return Fail(at + offset, "record size %u is smaller than its header", record_size);
    }
    if (record_size > size - offset) {
      return Fail(at + offset, "record of %u bytes runs past its packet (%u bytes left)",
                  record_size, size - offset);
    }
    offset += record_size;
    if (TRTrace_Header_Type(header) != kTRStream_Trace) continue;
    uint32_t subtype = TRTrace_Header_Subtype(header);
    CTxtChannel*& channel = m_Channels[id & (kChannels - 1)];
    if (!channel) {
      if (subtype == eTRTrace_Info) {
        channel = CTxtChannel::Create(record, record_size, m_Budget, m_Message_Limit);
        if (!channel && Over_Budget()) {
          ++m_Refused_Closed;  // the channel stays unknown; its records count as orphans
          continue;
        }
        if (!channel)
          return Fail(at + offset - record_size, "channel %u: no memory for its state", id);
      } else if (m_Lenient) {
        ++m_Orphans;
      } else {
        result =
            Fail(at + offset - record_size,
                 "channel %u sent a record of type %u before its information record", id, subtype);
      }
      continue;
    }
    switch (subtype) {
      case eTRTrace_Format:
        channel->Add_Format(record, record_size);
        break;
      case eTRTrace_Data:
        Render(channel, record, record_size);
        break;
      case eTRTrace_Close:
        m_Refused_Closed += channel->Refused();
        delete channel;
        channel = nullptr;
        break;
      case eTRTrace_Thread_Start:
        channel->Thread_Start(record, record_size);
        break;
      case eTRTrace_Thread_Stop:
        channel->Thread_Stop(record, record_size);
        break;
      case eTRTrace_Module:
        channel->Add_Module(record, record_size);
        break;
      default:
        break;  // information again, verbosity, UTC offset and unknown subtypes
    }
  }
  return result;
}

void CStreamParser::Set_Calendar(uint64_t absolute) {
  // Whole seconds from 1970, truncated toward zero, computed without signed overflow: any 64-bit
  // time a record can carry gives a value within +-2^61.
  const uint64_t whole = absolute - absolute % 10000;
  const int64_t seconds = whole >= kEpoch1601To1970_100ns
                              ? static_cast<int64_t>((whole - kEpoch1601To1970_100ns) / 10000000)
                              : -static_cast<int64_t>((kEpoch1601To1970_100ns - whole) / 10000000);
  if (seconds != m_CalendarSecond) {
    time_t t = static_cast<time_t>(seconds);
    m_CalendarValid = localtime_r(&t, &m_Calendar) != nullptr;
    m_CalendarSecond = seconds;
  }
  if (m_CalendarValid) {
    m_Log.year = static_cast<uint32_t>(m_Calendar.tm_year + 1900);
    m_Log.month = static_cast<uint32_t>(m_Calendar.tm_mon + 1);
    m_Log.day = static_cast<uint32_t>(m_Calendar.tm_mday);
    m_Log.hour = static_cast<uint32_t>(m_Calendar.tm_hour);
    m_Log.minute = static_cast<uint32_t>(m_Calendar.tm_min);
    m_Log.second = static_cast<uint32_t>(m_Calendar.tm_sec);
  } else {
    m_Log.year = m_Log.month = m_Log.day = m_Log.hour = m_Log.minute = m_Log.second = 0;
  }
  m_Log.hundred_ns = static_cast<uint32_t>(absolute % 10);
  m_Log.microsecond = static_cast<uint32_t>((absolute % 10000) / 10);
  m_Log.millisecond = static_cast<uint32_t>(((absolute - absolute % 10000) % 10000000) / 10000);
}

void CStreamParser::Render(CTxtChannel* channel, const uint8_t* record, uint32_t size) {
  if (size < sizeof(sTRTrace_Data)) return;
  sTRTrace_Data data;
  memcpy(&data, record, sizeof(data));
  CTraceDescriptor* desc = channel->Get_Format(data.id);
  if (!desc) return;

  // Trailer, read backwards: extension count, then per extension its type byte and payload.
  uint32_t values_end = size;
  uint32_t module_id = 0;
  if (size > sizeof(sTRTrace_Data)) {
    uint32_t pos = size - 1;
    uint32_t count = record[pos];
    for (uint32_t i = 0; i < count; ++i) {
      if (pos < sizeof(sTRTrace_Data) + 1) break;
      uint8_t type = record[pos - 1];
      if (type != kTRTrace_Ext_Module || pos < sizeof(sTRTrace_Data) + 3) break;
      module_id =
          static_cast<uint32_t>(record[pos - 3]) | (static_cast<uint32_t>(record[pos - 2]) << 8);
      pos -= 3;
    }
    values_end = pos;
  }
  const uint8_t* values = record + sizeof(sTRTrace_Data);
  uint32_t values_size = values_end - static_cast<uint32_t>(sizeof(sTRTrace_Data));

  m_Log.message_length = channel->Format_Message(desc, values, values_size);
  m_Log.message = channel->Message();

  const sThreadRecord* thread = channel->Find_Thread(data.thread_id, data.timer);
  m_Log.thread_name = thread ? thread->name : kUnknown;
  m_Log.thread_name_length = thread ? thread->length : kUnknownLength;
  const sTRTraceMod* module = channel->Get_Module(module_id);
  m_Log.module_name = module ? module->name : kUnknown;
  m_Log.module_name_length = module ? module->length : kUnknownLength;

  m_Log.since_start = channel->Since_Start(data.timer);
  m_Log.absolute_time = channel->Time_Base() + m_Log.since_start;
  Set_Calendar(m_Log.absolute_time);

  m_Log.channel_name = channel->Name();
  m_Log.channel_name_length = channel->Name_Length();
  m_Log.sequence = data.sequence;
  m_Log.format_id = data.id;
  m_Log.level = data.level > 5 ? 5 : data.level;
  m_Log.module_id = module_id;
  m_Log.cpu = data.cpu;
  m_Log.thread_id = data.thread_id;
  m_Log.descriptor = desc;
  channel->Set_Last_Timer(data.timer);

  uint64_t length = 0;
  const char* line = m_Format.Build(&m_Log, &length);
  ++m_Lines;
  if (m_Output) m_Output->Log(&m_Log, line, length);
}
