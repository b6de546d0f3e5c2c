#include "trace/net/cl_network.h"

#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "trace/base/clocks.h"
#include "trace/base/proc.h"
#include "trace/core/journal.h"
#include "trace/core/last_error.h"
#include "trace/core/loss_listener.h"
#include "trace/net/packet_check.h"

namespace {

constexpr char kAddrKey[] = "/TR.Addr=";
constexpr char kPortKey[] = "/TR.Port=";
constexpr char kNameKey[] = "/TR.Name=";
constexpr uint32_t kHeader = kTP_Header_Size;

// The file name of the running executable, or "Unknown".
void Executable_Name(char* name, size_t size) {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) {
    snprintf(name, size, "Unknown");
    return;
  }
  path[length] = 0;
  const char* base = path;
  for (const char* at = path; *at; ++at)
    if (*at == '/' || *at == '\\') base = at + 1;
  snprintf(name, size, "%s", *base ? base : "Unknown");
}

}  // namespace

CClNetwork::CClNetwork(char** args, int count) : CSink_Base(eNetwork, args, count) {
  if (m_Status == eCode_Ok) m_Status = Init_Sockets();
  if (m_Status == eCode_Ok) m_Status = Init_Pool();
  if (m_Status == eCode_Ok) m_Status = Init_Members();
  if (m_Status == eCode_Ok) Init_Crash_Handler();
}

CClNetwork::~CClNetwork() {
  Uninit_Crash_Handler();
  Close();
  Unshare();
  // The threads are gone: every packet still queued goes back to the pool before it dies.
  if (m_Pool) {
    sQueued_Packet entry;
    {
      CLockGuard ready(&m_ReadyLock);
      while (m_Ready.Pop_Front(&entry)) m_Pool->Push_Buffer(entry.packet);
      m_OpenPacket = nullptr;
    }
    {
      CLockGuard incoming(&m_IncomingLock);
      while (m_Incoming.Pop_Front(&entry)) m_Pool->Push_Buffer(entry.packet);
    }
    while (m_InFlight.Pop_Front(&entry)) m_Pool->Push_Buffer(entry.packet);
  }
}

uint32_t CClNetwork::Init_Sockets() {
  const char* addr = Get_Argument(kAddrKey);
  const char* port = Get_Argument(kPortKey);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  addrinfo* results = nullptr;
  if (getaddrinfo(addr ? addr : "127.0.0.1", port ? port : "9009", &hints, &results) == 0) {
    for (addrinfo* at = results; at != nullptr && !m_Socket; at = at->ai_next) {
      if ((at->ai_family != AF_INET && at->ai_family != AF_INET6) ||
          at->ai_socktype != SOCK_DGRAM || at->ai_protocol != IPPROTO_UDP)
        continue;
      auto socket =
          std::unique_ptr<CUDP_Socket>(new (std::nothrow) CUDP_Socket(m_Journal, at->ai_addr, 0));
      if (socket && socket->Is_Valid()) m_Socket = std::move(socket);
    }
    freeaddrinfo(results);
  }
  if (!m_Socket) {
    TR_Set_Last_Error(eLastError_Socket);
    return eCode_No_Slot;
  }
  return eCode_Ok;
}

uint32_t CClNetwork::Init_Pool() {
  sNet_Options options;
  options.addr = Get_Argument(kAddrKey);
  options.psize = Get_Argument("/TR.PSize=");
  options.pool = Get_Argument("/TR.Pool=");
  options.window = Get_Argument("/TR.Window=");
  options.eto = Get_Argument("/TR.Eto=");
  m_Plan = Net_Plan(options);
  if (m_Plan.raised_to_20)
    TR_JOURNAL_AT(m_Journal, IJournal::eWarning, "Init_Pool",
                  "Pool size is not enought to store 20 packets, enlarge up to %d",
                  static_cast<int>(m_Plan.memory));
  Net_Plan_Window(&m_Plan, m_Socket->Send_Buffer_Size(), options.window);
  m_Payload = m_Plan.packet_size - kHeader;
  m_Window = m_Plan.window;
  m_WindowCeiling = m_Window;
  m_Stats.window.store(m_Window, std::memory_order_relaxed);

  m_Pool.reset(new (std::nothrow) CBuffers_Pool(m_Plan.memory, m_Plan.packet_size, m_Journal));
  const CBuffers_Pool::sSizing sizing = CBuffers_Pool::Plan(m_Plan.memory, m_Plan.packet_size);
  // Every packet the pool can ever cut (one block beyond the limit included) fits each ring.
  const uint32_t per_block = sizing.slot_size ? sizing.step / sizing.slot_size : 0;
  const uint32_t capacity = sizing.maximal_buffers + 2 * per_block + 8;
  bool ready = m_Pool && m_Pool->Is_Initialized();
  m_Receive.reset(new (std::nothrow) uint8_t[m_Plan.packet_size]);
  if (ready) {
    CLockGuard ready_lock(&m_ReadyLock);
    CLockGuard incoming_lock(&m_IncomingLock);
    CLockGuard status_lock(&m_StatusLock);
    ready = m_Ready.Init(capacity) && m_Incoming.Init(capacity) && m_InFlight.Init(capacity) &&
            m_Fresh.Init(capacity) && m_Receive;
  }
  if (!ready) {
    TR_JOURNAL_AT(m_Journal, IJournal::eCritical, "Init_Pool", "Pool initialization failed");
    m_Pool.reset();
    TR_Set_Last_Error(eLastError_No_Memory);
    return eCode_No_Slot;
  }
  TR_JOURNAL_AT(m_Journal, IJournal::eInfo, "Init_Pool",
                "Pool: Max memory = %d, Packet size = %d, Window length = %d",
                static_cast<int>(m_Plan.memory), static_cast<int>(m_Plan.packet_size),
                static_cast<int>(m_Window));
  return eCode_Ok;
}

uint32_t CClNetwork::Init_Members() {
  uint32_t high = 0, low = 0;
  CProc::Get_Process_Time(&high, &low);
  char name[4096];
  const char* given = Get_Argument(kNameKey);
  if (given != nullptr) {
    snprintf(name, sizeof(name), "%s", given);
  } else {
    Executable_Name(name, sizeof(name));
  }
  m_Hello.Fill(static_cast<uint16_t>(m_Plan.packet_size), static_cast<uint32_t>(getpid()),
               (static_cast<uint64_t>(high) << 32) | low, name);
  m_Hello.Finalize(Next_ID(), m_ClientID);
  m_Pending = &m_Hello;

  auto fail = [this](const char* message) {
    TR_JOURNAL_AT(m_Journal, IJournal::eError, "Init_Members", "%s", message);
    TR_Set_Last_Error(eLastError_Thread);
    return eCode_No_Slot;
  };
  if (!m_Connected_Event.Init(1, CMEvent::kManualReset))
    return fail("Connection event wasn't created !");
  if (!m_CommEvents.Init(2, 0, 2)) return fail("Exit event wasn't created !");
  if (!Start_Thread(&m_CommThread, Static_Comm_Routine, this))
    return fail("Communication thread wasn't created !");
  m_CommStarted.store(true);
  if (!m_ChnlEvents.Init(2, 0, 2)) return fail("Exit event wasn't created !");
  if (!Start_Thread(&m_ChnlThread, Static_Chnl_Routine, this))
    return fail("Channel thread wasn't created !");
  m_ChnlStarted.store(true);
  return eCode_Ok;
}

// ----------------------------------------------------------------------------------------------
// Sent

CTPacket* CClNetwork::Fresh_Data_Packet() {
  CTPacket* packet = m_Pool->Pull_Buffer();
  if (packet != nullptr) {
    packet->Set_Type_Flags(eTP_Data);
    packet->Set_Size(static_cast<uint16_t>(kHeader));
  }
  return packet;
}

void CClNetwork::Queue_Ready(const sQueued_Packet& entry) {
  CLockGuard ready(&m_ReadyLock);
  if (!m_Ready.Push_Back(entry)) m_Pool->Push_Buffer(entry.packet);  // cannot happen: see Init_Pool
}

void CClNetwork::Signal_Full_Packet() {
  // One pending signal is enough: the thread sends everything queued once it runs.
  if (!m_DataSignalled.exchange(true, std::memory_order_acq_rel)) m_CommEvents.Set(eComm_Data);
}

bool CClNetwork::Extends_Open_Record(uint32_t id, uint32_t size) const {
  return m_OpenPacket != nullptr && m_OpenChannel == id && m_OpenLength + size <= kMax_Open_Record;
}

void CClNetwork::Extend_Open_Record(uint32_t id, uint32_t size) {
  m_OpenLength += size;
  TP_Store32(m_OpenPacket->Get_Buffer() + m_OpenOffset, sTRC_User_Header::Make(m_OpenLength, id));
}

void CClNetwork::Open_Record(sQueued_Packet* entry, uint32_t id, uint32_t size) {
  const uint32_t at = entry->packet->Get_Size();
  TP_Store32(entry->packet->Get_Buffer() + at, sTRC_User_Header::Make(size + kTP_Chunk_Header, id));
  entry->packet->Set_Size(static_cast<uint16_t>(at + kTP_Chunk_Header));
  if (entry->first_header == sQueued_Packet::kNo_Header) entry->first_header = at;
  m_OpenPacket = entry->packet;
  m_OpenOffset = at;
  m_OpenLength = size + kTP_Chunk_Header;
  m_OpenChannel = id;
}

bool CClNetwork::Append_In_Place(uint32_t id, const sTRC_Data_Chunk* chunks, uint32_t count,
                                 uint32_t size) {
  const uint32_t packet_size = m_Plan.packet_size;
  bool full;
  {
    CLockGuard ready(&m_ReadyLock);
    if (m_Ready.Empty()) return false;
    sQueued_Packet& back = m_Ready.Back();
    const uint32_t room = packet_size - back.packet->Get_Size();
    const bool extend = Extends_Open_Record(id, size);
    // The same record rules as the general path: a new header only where more than its own
    // bytes are free.
    if (!extend && room <= kTP_Chunk_Header) return false;
    const uint32_t need = size + (extend ? 0 : kTP_Chunk_Header);
    if (need > room) return false;
    if (extend) {
      Extend_Open_Record(id, size);
    } else {
      Open_Record(&back, id, size);
    }
    uint32_t used = back.packet->Get_Size();
    for (uint32_t i = 0; i < count; ++i) {
      memcpy(back.packet->Get_Buffer() + used, chunks[i].data, chunks[i].size);
      used += chunks[i].size;
    }
    back.packet->Set_Size(static_cast<uint16_t>(used));
    full = room - need <= kTP_Chunk_Header;
  }
  if (full) Signal_Full_Packet();
  return true;
}

uint32_t CClNetwork::Sent(uint32_t id, sTRC_Data_Chunk* chunks, uint32_t count, uint32_t size) {
  if (const uint32_t code = Check_Sent(id, chunks, count, size); code != eCode_Ok) return code;

  CLockGuard status(&m_StatusLock);
  if (m_Connection.connected == 0) {
    m_Rejects.off.fetch_add(1, std::memory_order_relaxed);
    return eCode_Off;
  }
  // A first estimate without the pool's lock; the packets themselves are taken below, before a
  // byte of the record is written.
  const uint64_t free_packets = m_Pool->Free_Buffers_Seen();
  if (uint64_t{m_Payload} * 3 + size + 4 > uint64_t{m_Payload} * free_packets) {
    m_Rejects.no_room.fetch_add(1, std::memory_order_relaxed);
    return eCode_No_Room;
  }

  const uint32_t packet_size = m_Plan.packet_size;
  if (Append_In_Place(id, chunks, count, size)) return eCode_Ok;

  // The record is queued whole or not at all: every fresh packet it needs is taken into m_Fresh
  // while nothing is changed yet, so a pool that runs dry part-way refuses the call with the
  // stream as it was (a truncated record would make the server drop the rest of the stream).
  sQueued_Packet current;
  {
    CLockGuard ready(&m_ReadyLock);
    bool have_current = m_Ready.Pop_Back(&current);
    const bool extend = have_current && Extends_Open_Record(id, size);
    if (have_current && !extend && packet_size - current.packet->Get_Size() <= kTP_Chunk_Header) {
      m_Ready.Push_Back(current);
      have_current = false;
    }
    const uint64_t need = uint64_t{size} + (extend ? 0 : kTP_Chunk_Header);
    const uint64_t room = have_current ? packet_size - current.packet->Get_Size() : 0;
    const uint64_t fresh = need > room ? (need - room + m_Payload - 1) / m_Payload : 0;
    if (!Take_Fresh_Packets(fresh)) {
      if (have_current) m_Ready.Push_Back(current);
      m_Rejects.no_room.fetch_add(1, std::memory_order_relaxed);
      return eCode_No_Room;
    }
    if (!have_current) current = sQueued_Packet{Next_Fresh_Packet(), sQueued_Packet::kNo_Header};
    if (extend) {
      Extend_Open_Record(id, size);
    } else {
      Open_Record(&current, id, size);
    }
  }

  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* from = static_cast<const uint8_t*>(chunks[i].data);
    uint32_t left = chunks[i].size;
    while (left > 0) {
      uint32_t used = current.packet->Get_Size();
      if (used >= packet_size) {
        Queue_Ready(current);
        Signal_Full_Packet();
        current = sQueued_Packet{Next_Fresh_Packet(), sQueued_Packet::kNo_Header};
        used = kHeader;
      }
      const uint32_t step = std::min(left, packet_size - used);
      memcpy(current.packet->Get_Buffer() + used, from, step);
      current.packet->Set_Size(static_cast<uint16_t>(used + step));
      from += step;
      left -= step;
    }
  }
  const bool full = packet_size - current.packet->Get_Size() <= kTP_Chunk_Header;
  Queue_Ready(current);
  if (full) Signal_Full_Packet();
  return eCode_Ok;
}

bool CClNetwork::Take_Fresh_Packets(uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) {
    CTPacket* packet = Fresh_Data_Packet();
    if (packet == nullptr ||
        !m_Fresh.Push_Back(sQueued_Packet{packet, sQueued_Packet::kNo_Header})) {
      if (packet != nullptr) m_Pool->Push_Buffer(packet);
      sQueued_Packet entry;
      while (m_Fresh.Pop_Back(&entry)) m_Pool->Push_Buffer(entry.packet);
      return false;
    }
  }
  return true;
}

CTPacket* CClNetwork::Next_Fresh_Packet() {
  sQueued_Packet entry;
  m_Fresh.Pop_Front(&entry);
  return entry.packet;
}

bool CClNetwork::Get_Info(sTRC_Info* info) {
  if (info == nullptr) return false;
  CLockGuard status(&m_StatusLock);
  if (!m_Pool) {
    m_Rejects.Fill(info, 0, 0, 0, 0);
    return true;
  }
  const sBuffers_Pool_State pool = m_Pool->Get_State();
  m_Rejects.Fill(
      info, pool.packet_size, pool.taken_buffers,
      pool.maximal_buffers > pool.taken_buffers ? pool.maximal_buffers - pool.taken_buffers : 0, 0);
  info->allocated_bytes = pool.allocated_bytes;
  return true;
}

bool CClNetwork::Connection_Wait(uint32_t ms) {
  if (m_Status != eCode_Ok) return false;
  return m_Connected_Event.Wait(ms) == 0;
}

// ----------------------------------------------------------------------------------------------
// Close

bool CClNetwork::On_Sink_Thread() const {
  const pthread_t self = pthread_self();
  return (m_CommStarted.load() && pthread_equal(m_CommThread, self) != 0) ||
         (m_ChnlStarted.load() && pthread_equal(m_ChnlThread, self) != 0);
}

void CClNetwork::Stop_Threads() {
  if (m_CommStarted.load()) m_CommEvents.Set(eComm_Exit);
  if (m_ChnlStarted.load()) m_ChnlEvents.Set(0);
  const pthread_t self = pthread_self();
  if (!pthread_equal(m_CommThread, self) && m_CommStarted.exchange(false))
    Join_Thread(m_CommThread, "communication");
  if (!pthread_equal(m_ChnlThread, self) && m_ChnlStarted.exchange(false))
    Join_Thread(m_ChnlThread, "channels");
}

void CClNetwork::Close_Sink() {
  Flush_Channels();
  Stop_Threads();
  CLockGuard status(&m_StatusLock);
  m_Connection.connected = 0;
}

// ----------------------------------------------------------------------------------------------
// Communication thread

void* CClNetwork::Static_Comm_Routine(void* self) {
  static_cast<CClNetwork*>(self)->Comm_Routine();
  return nullptr;
}

uint32_t CClNetwork::Next_ID() {
  m_LastID = TP_Next_ID(m_LastID);
  return m_LastID;
}

void CClNetwork::Make_Pending(CTPacket* packet) {
  m_Pending = packet;
  m_Waiting = true;
  m_LastSend = GetTickCount();
}

void CClNetwork::Comm_Routine() {
  uint32_t wait = 5;
  bool exiting = false;
  uint32_t exit_start = 0;
  for (;;) {
    const uint32_t event = m_CommEvents.Wait(wait);
    if (event == eComm_Data) m_DataSignalled.store(false, std::memory_order_release);
    // A whole idle wait without a full packet: the partly filled one goes now.
    m_TakePartial = (event == MEVENT_NONE && wait > 0) || exiting || event == eComm_Exit;
    if (event == eComm_Exit && !exiting) {
      exiting = true;
      exit_start = GetTickCount();
    }
    if (exiting) {
      bool empty;
      {
        CLockGuard ready(&m_ReadyLock);
        empty = m_Ready.Empty() && m_InFlight.Empty();
      }
      bool connected;
      {
        CLockGuard status(&m_StatusLock);
        connected = m_Connection.connected != 0;
      }
      if (!connected || empty) {
        m_Bye.Finalize(Next_ID(), m_ClientID);
        if (!m_Socket->Send(m_Bye.Get_Buffer(), m_Bye.Get_Size()))
          TR_JOURNAL_AT(m_Journal, IJournal::eError, "Comm_Routine", "<<< m_pSocket->Send Failed");
        break;
      }
      if (Elapsed_ms(GetTickCount(), exit_start) > m_Plan.exit_timeout_ms) {
        TR_JOURNAL_AT(m_Journal, IJournal::eError, "Comm_Routine",
                      "Exit imeout is exceed, not of all packets were sent !");
        break;
      }
    }

    sockaddr_storage source{};
    const int32_t received =
        m_Socket->Recv(m_Receive.get(), m_Plan.packet_size, m_Waiting ? 10000 : 0, &source);
    if (received > 0 && m_Socket->Is_Peer(source)) {
      Process_Incoming_Packet(m_Receive.get(), static_cast<uint32_t>(received));
      wait = 0;
    } else {
      if (received > 0)
        TR_JOURNAL_AT(m_Journal, IJournal::eError, "Comm_Routine",
                      "<<<: Packet from wrong adress !");
      wait = 5;
    }

    while (CTPacket* packet = Get_Delivered_Packet()) {
      m_Socket->Send(packet->Get_Buffer(),
                     packet->Get_Size());  // a lost send is recovered by the protocol
      wait = 0;
    }

    bool connected;
    {
      CLockGuard status(&m_StatusLock);
      connected = m_Connection.connected != 0;
    }
    if (m_Timeouts < kMax_Timeouts && !connected && !exiting) {
      Set_Connected(true);
      TR_JOURNAL_AT(m_Journal, IJournal::eInfo, "Comm_Routine",
                    "<-------Establish Connection------->");
    } else if (m_Timeouts >= kMax_Timeouts && connected) {
      m_FirstConnection = true;
      m_Connected_Event.Clr(0);
      Set_Connected(false);
      Reset_Connetion();
      m_Stats.drops.fetch_add(1, std::memory_order_relaxed);
      TR_JOURNAL_AT(m_Journal, IJournal::eInfo, "Comm_Routine", "------->Drop Connection<-------");
    }
  }
}

void CClNetwork::Set_Connected(bool on) {
  sTRC_Status status;
  {
    CLockGuard lock(&m_StatusLock);
    m_Connection.connected = on ? 1 : 0;
    if (on) ++m_Connection.resets;
    status = m_Connection;
  }
  TR_JOURNAL_AT(m_Journal, IJournal::eError, "Set_Connected", "Set connection : %s",
                on ? "ON" : "OFF");
  if (on) Notify_Status(status);
}

CTPacket* CClNetwork::Get_Delivered_Packet() {
  const uint32_t now = GetTickCount();
  if (m_Waiting) {
    if (Elapsed_ms(now, m_LastSend) < kResponse_Timeout_ms) return nullptr;
    TR_JOURNAL_AT(m_Journal, IJournal::eError, "Get_Delivered_Packet",
                  "Server Response waiting timeout. Resending ...");
    m_Waiting = false;
    ++m_Timeouts;
  }
  if (m_Pending != nullptr) {
    m_Waiting = true;
    m_LastSend = now;
    return m_Pending;
  }
  if (!m_Resending) {
    if (!m_InFlight.Empty() &&
        (Elapsed_ms(now, m_WindowStart) > kWindow_Time_ms || m_InFlight.Count() >= m_Window))
      return Create_Data_Wnd_Report();
    sQueued_Packet entry;
    bool taken;
    bool filling;
    {
      CLockGuard ready(&m_ReadyLock);
      // The last queued packet is the one Sent goes on filling: while full packets keep coming
      // it waits for its own fill (or for an idle pass), so a busy stream goes out in whole
      // packets instead of a partial packet after every full one.
      filling = m_Ready.Count() == 1 && !m_TakePartial &&
                m_Plan.packet_size - m_Ready.At(0).packet->Get_Size() > kTP_Chunk_Header;
      taken = !filling && m_Ready.Pop_Front(&entry);
      if (taken && entry.packet == m_OpenPacket) {
        m_OpenPacket = nullptr;
        m_OpenChannel = kNo_Channel;
      }
    }
    if (taken) {
      const bool opens_window = m_InFlight.Empty();
      m_LastID = opens_window ? TP_Next_Window_ID(m_LastID, m_Window) : TP_Next_ID(m_LastID);
      if (opens_window) {
        m_WindowStart = now;
        m_WindowBytes = 0;
      }
      entry.packet->Set_Type_Flags(eTP_Data);
      entry.packet->Finalize(m_LastID, m_ClientID);
      m_WindowBytes += entry.packet->Get_Size();
      m_InFlight.Push_Back(entry);
      m_LastSend = now;
      m_Stats.data_sent.fetch_add(1, std::memory_order_relaxed);
      return entry.packet;
    }
    // The window stays open for the packet being filled rather than closing early.
    if (filling) return nullptr;
    if (!m_InFlight.Empty()) return Create_Data_Wnd_Report();
  } else if (!m_InFlight.Empty()) {
    m_LastSend = now;
    if (m_ResendCursor == static_cast<int64_t>(m_InFlight.Count()) - 1) {
      m_ResendCursor = -1;
      m_DataWindow.Set_Window(m_ReportFirst, m_ReportLast);
      m_DataWindow.Finalize(Next_ID(), m_ClientID);
      Make_Pending(&m_DataWindow);
      return &m_DataWindow;
    }
    ++m_ResendCursor;
    m_Stats.data_resent.fetch_add(1, std::memory_order_relaxed);
    return m_InFlight.At(static_cast<uint32_t>(m_ResendCursor)).packet;
  }
  if (Elapsed_ms(now, m_LastSend) >= kPing_Idle_ms) {
    m_Ping.Finalize(Next_ID(), m_ClientID);
    Make_Pending(&m_Ping);
    return &m_Ping;
  }
  return nullptr;
}

CTPacket* CClNetwork::Create_Data_Wnd_Report() {
  m_ReportFirst = m_InFlight.At(0).packet->Get_ID();
  m_ReportLast = m_InFlight.Back().packet->Get_ID();
  if (m_ReportFirst > kTP_Max_ID - 1 || m_ReportLast > kTP_Max_ID - 1) return nullptr;
  m_DataWindow.Set_Window(m_ReportFirst, m_ReportLast);
  m_DataWindow.Finalize(Next_ID(), m_ClientID);
  Make_Pending(&m_DataWindow);
  return &m_DataWindow;
}

void CClNetwork::Process_Incoming_Packet(const uint8_t* bytes, uint32_t length) {
  sTP_View view;
  const eTP_Check check = TP_Check_Datagram(bytes, length, &view);
  if (check == eTP_Check_Bad_CRC) {
    TR_JOURNAL_AT(m_Journal, IJournal::eError, "Process_Incoming_Packet",
                  "Packet is corrupted (CRC32) Packet ID=%d, Size=%d, Type=%d, CRC=0x%X",
                  static_cast<int>(view.id), static_cast<int>(view.size_field),
                  static_cast<int>(view.type), view.crc);
    m_Waiting = false;
    ++m_Timeouts;
  }
  if (check != eTP_Check_OK || !m_Waiting) {
    TR_JOURNAL_AT(m_Journal, IJournal::eWarning, "Process_Incoming_Packet", "Drop packet, ID = %d",
                  static_cast<int>(view.id));
    return;
  }
  if (view.type == eTP_Acknowledgment) {
    On_Acknowledgment(view);
  } else if (view.type == eTP_Window_Report) {
    On_Window_Report(view);
  }
}

void CClNetwork::On_Acknowledgment(const sTP_View& view) {
  // Only the answer to the packet awaited counts; anything else (a stale or forged answer) leaves
  // every piece of state alone, the client ID included.
  if (m_Pending == nullptr || TP_Load32(view.bytes + kTP_Ack_Offset_ID) != m_Pending->Get_ID())
    return;
  m_ClientID = view.client_id;
  m_ResendCursor = -1;
  m_Timeouts = 0;
  m_Waiting = false;
  if (TP_Load16(view.bytes + kTP_Ack_Offset_Result) == 0) {
    Reset_Connetion();
  } else {
    if (m_Pending == &m_DataWindow) {
      sQueued_Packet entry;
      while (m_InFlight.Pop_Front(&entry)) m_Pool->Push_Buffer(entry.packet);
      if (!m_WindowLost && !m_Plan.window_fixed && m_Window < m_WindowCeiling) {
        ++m_Window;
        m_Stats.window.store(m_Window, std::memory_order_relaxed);
      }
      m_WindowLost = false;
      m_WindowBytes = 0;
      m_Resending = false;
      m_ReportFirst = m_ReportLast = kTP_No_ID;
    } else if (m_FirstConnection) {
      m_FirstConnection = false;
      m_Connected_Event.Set(0);
    }
    m_Pending = nullptr;
  }
  if (view.type_flags & kTP_Flag_Extensions) Parse_Extensions(view);
  if (view.type_flags & kTP_Flag_User_Data) {
    CTPacket* copy = m_Pool->Pull_Buffer();
    if (copy == nullptr) return;  // the server's user data is lost with the pool full
    memcpy(copy->Get_Buffer(), view.bytes, view.size);
    bool queued;
    {
      CLockGuard incoming(&m_IncomingLock);
      queued = m_Incoming.Push_Back(sQueued_Packet{copy, sQueued_Packet::kNo_Header});
    }
    if (queued) {
      m_ChnlEvents.Set(1);
    } else {
      m_Pool->Push_Buffer(copy);
    }
  }
}

void CClNetwork::Parse_Extensions(const sTP_View& view) {
  CTP_Extension_Reader reader(TP_Ack_Payload(view), TP_Ack_Payload_Size(view));
  sTP_Extension record;
  while (reader.Next(&record)) {
    if (record.type == kTP_Extension_Buffer) {
      uint32_t bytes = 0;
      if (!TP_Extension_Byte_Count(record, &bytes)) continue;
      const uint32_t window = bytes / m_Plan.packet_size - 1;
      if (!m_Plan.window_fixed && window < m_WindowCeiling) {
        m_WindowCeiling = std::max<uint32_t>(window, 1);
        m_Window = std::min(m_Window, m_WindowCeiling);
        m_Stats.window.store(m_Window, std::memory_order_relaxed);
      }
    } else if (record.type != kTP_Extension_User_Data) {
      TR_JOURNAL_AT(m_Journal, IJournal::eError, "Parse_Extensions",
                    "Unknown extension packet [%d:%d]", record.type, record.length);
    }
  }
}

void CClNetwork::On_Window_Report(const sTP_View& view) {
  if (m_Pending != &m_DataWindow ||
      TP_Load32(view.bytes + kTP_Report_Offset_ID) != m_Pending->Get_ID())
    return;
  m_ClientID = view.client_id;
  m_ResendCursor = -1;
  m_Resending = true;
  m_Waiting = false;
  const uint32_t total = m_InFlight.Count();
  const uint32_t first = m_ReportFirst;
  m_InFlight.Filter(
      [&](const sQueued_Packet& entry) {
        return TP_Report_Lost(view, TP_ID_Distance(entry.packet->Get_ID(), first));
      },
      [&](const sQueued_Packet& entry) { m_Pool->Push_Buffer(entry.packet); });
  const uint32_t lost = m_InFlight.Count();
  if (lost > 0) {
    m_WindowLost = true;
    m_Stats.reports_lost.fetch_add(1, std::memory_order_relaxed);
    TR_JOURNAL_AT(m_Journal, IJournal::eError, "Process_Incoming_Packet",
                  "Server report: count of lost packets: %d, total: %d", static_cast<int>(lost),
                  static_cast<int>(total));
    if (!m_Plan.window_fixed && uint64_t{lost} * 100 / total > 59) {
      m_Window = std::max<uint32_t>(total - lost, 1);
      m_Stats.window.store(m_Window, std::memory_order_relaxed);
      m_Stats.window_shrinks.fetch_add(1, std::memory_order_relaxed);
      TR_JOURNAL_AT(m_Journal, IJournal::eError, "Process_Incoming_Packet",
                    "Recalculate transmission window due to network losses, new length: %d",
                    static_cast<int>(m_Window));
    }
  } else {
    m_Resending = false;
    TR_JOURNAL_AT(m_Journal, IJournal::eError, "Process_Incoming_Packet",
                  "Server report: empty report is received !");
  }
  m_Pending = nullptr;
}

void CClNetwork::Count_Lost(const sQueued_Packet& entry, sLoss* losses) {
  if (entry.first_header == sQueued_Packet::kNo_Header) return;
  const uint8_t* bytes = entry.packet->Get_Buffer();
  const uint64_t size = std::min<uint32_t>(entry.packet->Get_Size(), m_Plan.packet_size);
  uint64_t at = entry.first_header;
  while (at + kTP_Chunk_Header <= size) {
    const uint32_t header = TP_Load32(bytes + at);
    const sTRC_User_Header user{header};
    const uint32_t length = user.Length();
    if (length < kTP_Chunk_Header) break;
    sLoss& loss = losses[user.Channel()];
    ++loss.records;
    loss.bytes += length;
    at += length;
  }
}

void CClNetwork::Record_Losses(const sLoss* losses) {
  for (uint32_t channel = 0; channel < kMaxChannels; ++channel) {
    if (losses[channel].records == 0) continue;
    m_PendingLoss[channel].records += losses[channel].records;
    m_PendingLoss[channel].bytes += losses[channel].bytes;
    m_Stats.lost_records.fetch_add(losses[channel].records, std::memory_order_relaxed);
    m_Stats.lost_bytes.fetch_add(losses[channel].bytes, std::memory_order_relaxed);
    TR_JOURNAL_AT(m_Journal, IJournal::eWarning, "Reset_Connetion",
                  "Channel %u: %u records (%llu bytes) discarded with the connection", channel,
                  losses[channel].records, static_cast<unsigned long long>(losses[channel].bytes));
  }
}

void CClNetwork::Notify_Status(const sTRC_Status& status) {
  CLockGuard channels(&m_ChannelLock);
  sLoss losses[kMaxChannels];
  {
    CLockGuard lock(&m_StatusLock);
    for (uint32_t channel = 0; channel < kMaxChannels; ++channel) {
      losses[channel] = m_PendingLoss[channel];
      m_PendingLoss[channel] = sLoss{};
    }
  }
  for (uint32_t channel = 0; channel < kMaxChannels; ++channel) {
    if (losses[channel].records == 0 || m_Channels[channel] == nullptr) continue;
    if (auto* listener = dynamic_cast<ILoss_Listener*>(m_Channels[channel]))
      listener->On_Loss(losses[channel].records, losses[channel].bytes,
                        eLoss_Reason::eConnection_Lost);
  }
  Notify_Channels(status);
}

void CClNetwork::Reset_Connetion() {
  TR_JOURNAL_AT(m_Journal, IJournal::eWarning, "Reset_Connetion", "Reset Connection");
  m_Stats.resets.fetch_add(1, std::memory_order_relaxed);
  m_Pending = nullptr;
  m_ResendCursor = -1;
  m_WindowBytes = 0;
  m_ReportFirst = m_ReportLast = kTP_No_ID;
  m_Resending = false;
  m_Waiting = false;
  m_WindowLost = false;

  sLoss losses[kMaxChannels];
  sQueued_Packet entry;
  sTRC_Status status;
  {
    CLockGuard lock(&m_StatusLock);
    status = m_Connection;
  }
  // In-flight packets are older than the queued ones, so the records are counted in stream order.
  for (uint32_t i = 0; i < m_InFlight.Count(); ++i) Count_Lost(m_InFlight.At(i), losses);
  while (m_InFlight.Pop_Front(&entry)) m_Pool->Push_Buffer(entry.packet);
  Notify_Channels(sTRC_Status{0, status.resets + 1});

  bool connected;
  {
    CLockGuard lock(&m_StatusLock);
    CLockGuard ready(&m_ReadyLock);
    while (m_Ready.Pop_Front(&entry)) {
      Count_Lost(entry, losses);
      m_Pool->Push_Buffer(entry.packet);
    }
    m_OpenPacket = nullptr;
    m_OpenChannel = kNo_Channel;
    Record_Losses(losses);
    ++m_Connection.resets;
    connected = m_Connection.connected != 0;
    if (connected) ++m_Connection.resets;
    status = m_Connection;
  }
  if (connected) Notify_Status(status);

  m_Hello.Finalize(Next_ID(), m_ClientID);
  m_Pending = &m_Hello;
}

// ----------------------------------------------------------------------------------------------
// Channel thread

void* CClNetwork::Static_Chnl_Routine(void* self) {
  static_cast<CClNetwork*>(self)->Chnl_Routine();
  return nullptr;
}

void CClNetwork::Chnl_Routine() {
  for (;;) {
    const uint32_t event = m_ChnlEvents.Wait();
    if (event == 0) break;
    if (event != 1) continue;
    sQueued_Packet entry;
    bool taken;
    {
      CLockGuard incoming(&m_IncomingLock);
      taken = m_Incoming.Pop_Front(&entry);
    }
    if (!taken) {
      TR_JOURNAL_AT(m_Journal, IJournal::eError, "Chnl_Routine",
                    "Get event [Data In], but no buffers were found!");
      continue;
    }
    // The packet passed TP_Check_Datagram when it arrived: its size field lies inside the copy.
    const uint8_t* bytes = entry.packet->Get_Buffer();
    const uint32_t size = entry.packet->Get_Size();
    if (entry.packet->Get_Type_Flags() & kTP_Flag_Extensions) {
      CTP_Extension_Reader reader(bytes + kTP_Ack_Offset_Payload, size - kTP_Ack_Offset_Payload);
      sTP_Extension record;
      while (reader.Next(&record)) {
        if (record.type == kTP_Extension_User_Data) {
          Parse_User_Data(record.content, record.content_size);
        } else if (record.type != kTP_Extension_Buffer) {
          TR_JOURNAL_AT(m_Journal, IJournal::eError, "Chnl_Routine",
                        "Unknown extension packet [%d:%d]", record.type, record.length);
        }
      }
    } else {
      Parse_User_Data(bytes + kTP_Ack_Offset_Payload, size - kTP_Ack_Offset_Payload);
    }
    m_Pool->Push_Buffer(entry.packet);
  }
}

void CClNetwork::Parse_User_Data(const uint8_t* begin, uint32_t size) {
  CLockGuard channels(&m_ChannelLock);
  CTP_Chunk_Reader reader(begin, size);
  sTP_Chunk chunk;
  while (reader.Next(&chunk)) {
    ITRC_Channel* channel = m_Channels[chunk.channel];
    if (channel == nullptr) {
      TR_JOURNAL_AT(m_Journal, IJournal::eError, "Parse_User_Data", "Channel %d is not registered!",
                    static_cast<int>(chunk.channel));
      continue;
    }
    channel->On_Receive(chunk.channel, const_cast<uint8_t*>(chunk.payload), chunk.payload_size, 0);
  }
}
