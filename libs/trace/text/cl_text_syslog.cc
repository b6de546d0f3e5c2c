#include "trace/text/cl_text_syslog.h"

#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "trace/base/clocks.h"
#include "trace/core/journal.h"
#include "trace/core/last_error.h"
#include "trace/core/options.h"

namespace {

void Blanks_To_Underscores(char* text) {
  for (; *text; ++text) {
    if (*text == ' ') *text = '_';
  }
}

}  // namespace

CClTextSyslog::CClTextSyslog(IJournal* journal) : m_Journal(journal), m_ProcessId(getpid()) {
  if (gethostname(m_Host, kNameBytes - 1) != 0 || !m_Host[0]) {
    snprintf(m_Host, sizeof(m_Host), "%s", "Unknown:Error");
  }
  m_Host[kNameBytes - 1] = '\0';
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length > 0) {
    path[length] = '\0';
    const char* name = path;
    for (const char* p = path; *p; ++p) {
      if (*p == '/' || *p == '\\') name = p + 1;
    }
    size_t bytes = strnlen(name, kNameBytes - 1);
    memcpy(m_Application, name, bytes);
    m_Application[bytes] = '\0';
  }
  if (!m_Application[0])
    snprintf(m_Application, sizeof(m_Application), "%s", "-");  // RFC 5424 nil value
  Blanks_To_Underscores(m_Host);
  Blanks_To_Underscores(m_Application);
}

CClTextSyslog::~CClTextSyslog() {
  delete m_Socket;
  free(m_Packet);
}

uint32_t CClTextSyslog::Initialize(char** args, int count) {
  const char* address = Get_Argument_Text_Value(args, count, "/TR.Addr=");
  const char* port = Get_Argument_Text_Value(args, count, "/TR.Port=");
  if (!address || !*address) address = "127.0.0.1";
  if (!port || !*port) port = "514";
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  addrinfo* results = nullptr;
  if (getaddrinfo(address, port, &hints, &results) == 0) {
    for (addrinfo* entry = results; entry && !m_Socket; entry = entry->ai_next) {
      if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
      CUDP_Socket* socket = new (std::nothrow) CUDP_Socket(m_Journal, entry->ai_addr, 0);
      if (socket && socket->Is_Valid()) {
        m_Socket = socket;
      } else {
        delete socket;
      }
    }
    freeaddrinfo(results);
  }
  if (!m_Socket) {
    TR_JOURNAL(m_Journal, IJournal::eError, "No usable syslog address for %s:%s", address, port);
    TR_Set_Last_Error(eLastError_Socket);
    return eCode_No_Slot;
  }
  long facility = Get_Argument_Long(args, count, "/TR.Facility=", 1);
  // RFC 5424 knows facilities 0..23 only; anything else would give a priority out of range.
  m_Facility = (facility >= 0 && facility <= 23) ? static_cast<uint32_t>(facility) : 1;
  long size = Get_Argument_Long(args, count, "/TR.PSize=", kDefaultPacket);
  if (size < static_cast<long>(kMinPacket)) size = kMinPacket;
  if (size > static_cast<long>(kMaxPacket)) size = kMaxPacket;
  m_PacketSize = static_cast<uint32_t>(size);
  m_Packet = static_cast<char*>(malloc(m_PacketSize));
  if (!m_Packet) {
    fputs("Memory allocation fails!", stdout);
    TR_Set_Last_Error(eLastError_No_Memory);
    return eCode_No_Slot;
  }
  return eCode_Ok;
}

uint32_t CClTextSyslog::Log(const sLog* log, const char* line, uint64_t length) {
  if (!m_Packet || !m_Socket) return 0;
  uint32_t level = log->level > 5 ? 5 : log->level;
  uint32_t priority = m_Facility * 8 + m_Severity[level];
  // The time in UTC, as the "Z" of the timestamp says.
  uint64_t absolute = log->absolute_time;
  int64_t seconds =
      (static_cast<int64_t>(absolute) - static_cast<int64_t>(kEpoch1601To1970_100ns)) / 10000000;
  time_t t = static_cast<time_t>(seconds);
  struct tm utc;
  if (!gmtime_r(&t, &utc)) memset(&utc, 0, sizeof(utc));
  int header =
      snprintf(m_Packet, m_PacketSize, "<%u>1 %04d-%02d-%02dT%02d:%02d:%02d.%03uZ %s %s %d - - ",
               priority, utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
               utc.tm_sec, log->millisecond, m_Host, m_Application, m_ProcessId);
  if (header <= 0 || static_cast<uint32_t>(header) >= m_PacketSize) return 0;
  uint64_t room = m_PacketSize - static_cast<uint32_t>(header) - 1;
  uint64_t text = length < room ? length : room;
  memcpy(m_Packet + header, line, text);
  m_Packet[header + text] = '\0';
  m_Socket->Send(m_Packet, static_cast<size_t>(header) + text + 1);
  return 0;
}

uint32_t CClTextSyslog::DumpBuffers() { return 0; }
