// CClTextSyslog: sends every line as one RFC 5424 datagram over UDP to a syslog server
// ("/TR.Sink=Syslog", "/TR.Addr=" default 127.0.0.1, "/TR.Port=" default 514, "/TR.Facility="
// default 1, "/TR.PSize=" packet size 512..65512, default 1472):
//   <PRI>1 TIMESTAMP HOST APP PID - - MESSAGE\0
// PRI = facility x 8 + severity (levels 0..5 map to 7, 7, 6, 4, 3, 2). TIMESTAMP is the message's
// time in UTC with millisecond precision and the "Z" suffix. A line longer than the packet is cut
// so that the datagram, ending in a zero byte, fits the packet size.
//
// Thread-safety: none; used by one text client's worker (and its Close).
#ifndef TRACE_TEXT_CL_TEXT_SYSLOG_H_
#define TRACE_TEXT_CL_TEXT_SYSLOG_H_

#include <stdint.h>

#include <mqtt-wrapper/TRTextSink.h>

#include "trace/net/udp_socket.h"

class IJournal;

class CClTextSyslog : public CClTextSink {
 public:
  static constexpr uint32_t kDefaultPacket = 1472;
  static constexpr uint32_t kMinPacket = 512;
  static constexpr uint32_t kMaxPacket = 65512;
  static constexpr uint32_t kNameBytes = 96;

  explicit CClTextSyslog(IJournal* journal);
  ~CClTextSyslog() override;

  CClTextSyslog(const CClTextSyslog&) = delete;
  CClTextSyslog& operator=(const CClTextSyslog&) = delete;

  uint32_t Initialize(char** args, int count) override;
  uint32_t Log(const sLog* log, const char* line, uint64_t length) override;
  uint32_t DumpBuffers() override;

  uint32_t Packet_Size() const { return m_PacketSize; }
  uint32_t Facility() const { return m_Facility; }

 private:
  IJournal* m_Journal;              // not owned; the client's
  CUDP_Socket* m_Socket = nullptr;  // owned
  uint32_t m_Severity[6] = {7, 7, 6, 4, 3, 2};
  uint32_t m_Facility = 1;
  char m_Host[kNameBytes] = {};
  char m_Application[kNameBytes] = {};
  char* m_Packet = nullptr;  // owned, m_PacketSize bytes
  uint32_t m_PacketSize = kDefaultPacket;
  int m_ProcessId = 0;
};

#endif  // TRACE_TEXT_CL_TEXT_SYSLOG_H_
