// CClNetwork: the sink that delivers the channels' stream to a trace server over UDP, with its
// own reliability layer: numbered data packets, a sliding transmission window, window requests
// answered by an acknowledgement or a loss report, resending of the lost packets, pings on an
// idle line and a reconnection after ten unanswered control packets.
//
// Data path: Sent frames each call's chunks behind a user-data header in pool packets (or
// lengthens the open record of the same channel, see below) and queues the filled packets on
// the ready queue, waking the communication thread for every packet that has no room left; that
// thread numbers them, sends them and keeps them in flight until the server confirms their
// window. The last queued packet, which Sent goes on filling, is sent once full, after an idle
// pass of the thread (at most 5 ms) or at exit, so that a busy stream travels in whole packets.
// A window lowered by a loss report grows back by one packet per window confirmed without loss.
// Everything accepted while the server is reachable arrives once and in order. A dropped connection
// (or a packet the server refuses) discards what was queued and in flight; the records lost that
// way are counted per channel from the headers in the discarded packets, reported to the journal
// and, when the connection is back, to every affected channel that implements ILoss_Listener
// (before its status notification).
//
// Open record: the last record Sent wrote stays open while its header's packet is queued: a
// next call of the same channel lengthens it in place (up to 131072 bytes) instead of starting a
// new header. The communication thread closes it when it takes the packet holding the header.
//
// Base: CSink_Base (argument checks and reject counters, its threads' start and join, Close run
// once), not the buffered sinks' CClBuffered: this sink's unit is a numbered pool packet that
// stays in flight until confirmed and may be sent again, the last record stays open for the next
// call, and two threads share the work, none of which fits a buffer that a single worker consumes
// once.
//
// Threads: the communication thread owns the socket and the protocol state (fields in the
// "communication thread" group, touched by nobody else once it runs); the channel thread hands
// the user data the server sends back to the channels (On_Receive under the channel lock).
//
// Lock order: the client's m_ChannelLock, then a channel's own lock, then m_StatusLock (held by
// Sent for its whole run), then m_ReadyLock (ready queue, open record), then m_IncomingLock, then
// the pool's lock (innermost). No lock of the sink is held while a channel is called, except the
// client's channel lock.
//
// Ownership: the sink owns its socket, pool, queues, events and preallocated control packets;
// every pool packet is back in the pool before the pool dies.
//
// Thread-safety: Sent, Get_Info, Flush, Close and Connection_Wait may be called from any thread.
#ifndef TRACE_NET_CL_NETWORK_H_
#define TRACE_NET_CL_NETWORK_H_

#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <memory>

#include "trace/base/hot_lock.h"
#include "trace/base/lock.h"
#include "trace/base/mevent.h"
#include "trace/base/thread_annotations.h"
#include "trace/core/client.h"
#include "trace/core/sink_base.h"
#include "trace/net/buffers_pool.h"
#include "trace/net/net_plan.h"
#include "trace/net/packet_ring.h"
#include "trace/net/tpacket.h"
#include "trace/net/udp_socket.h"

struct sTP_View;

class CClNetwork : public CSink_Base {
 public:
  static constexpr uint32_t kMax_Open_Record = 0x20000;
  static constexpr uint32_t kNo_Channel = 32;
  static constexpr uint32_t kMax_Timeouts = 10;
  static constexpr uint32_t kResponse_Timeout_ms = 100;
  static constexpr uint32_t kWindow_Time_ms = 749;
  static constexpr uint32_t kPing_Idle_ms = 1000;

  // Counters of the protocol, for diagnostics, tests and benchmarks (relaxed atomics).
  struct sNet_Stats {
    std::atomic<uint64_t> data_sent{0};     // data packets sent for the first time
    std::atomic<uint64_t> data_resent{0};   // data packets sent again after a loss report
    std::atomic<uint64_t> reports_lost{0};  // loss reports that named at least one packet
    std::atomic<uint64_t> drops{0};         // connections dropped after ten time-outs
    std::atomic<uint64_t> resets{0};        // Reset_Connetion runs
    std::atomic<uint64_t> lost_records{0};  // records discarded by resets
    std::atomic<uint64_t> lost_bytes{0};
    std::atomic<uint64_t> window_shrinks{0};  // windows lowered by a loss report
    std::atomic<uint32_t> window{0};          // current transmission window
  };

  CClNetwork(char** args, int count);
  ~CClNetwork() override;

  uint32_t Sent(uint32_t id, sTRC_Data_Chunk* chunks, uint32_t count, uint32_t size) override;
  bool Get_Info(sTRC_Info* info) override;
  // Hands what channels staged to the sink; the communication thread sends it.
  void Flush() override { Merge_Staged_Channels(); }

  // Waits up to `ms` (0: only looks) for the server to have accepted the client since the start
  // or the last drop; true when it has.
  bool Connection_Wait(uint32_t ms);

  const sNet_Plan& Plan() const { return m_Plan; }
  const sNet_Stats& Stats() const { return m_Stats; }
  // The packet pool (null when construction failed); for fault injection in tests.
  CBuffers_Pool* Pool() { return m_Pool.get(); }

 private:
  struct sLoss {
    uint32_t records = 0;
    uint64_t bytes = 0;
  };

  // Construction steps; each returns a status code.
  uint32_t Init_Sockets();
  uint32_t Init_Pool();
  uint32_t Init_Members();

  // Sent's helpers.
  CTPacket* Fresh_Data_Packet() TR_REQUIRES(m_StatusLock);
  // Takes `count` fresh packets into m_Fresh, or none (false) when the pool cannot give them all.
  bool Take_Fresh_Packets(uint64_t count) TR_REQUIRES(m_StatusLock);
  // The oldest packet of m_Fresh. REQUIRES: one was taken and not used yet.
  CTPacket* Next_Fresh_Packet() TR_REQUIRES(m_StatusLock);
  void Queue_Ready(const sQueued_Packet& entry) TR_REQUIRES(m_StatusLock);
  // The open record (file comment): whether a call of `id` with `size` bytes may lengthen it,
  // lengthening it, and starting a new one at the end of `entry`'s packet.
  bool Extends_Open_Record(uint32_t id, uint32_t size) const TR_REQUIRES(m_ReadyLock);
  void Extend_Open_Record(uint32_t id, uint32_t size) TR_REQUIRES(m_ReadyLock);
  void Open_Record(sQueued_Packet* entry, uint32_t id, uint32_t size) TR_REQUIRES(m_ReadyLock);
  // The common case: the record (or its extension) fits in the packet at the end of the ready
  // queue, written there under one hold of the ready lock. False changes nothing.
  bool Append_In_Place(uint32_t id, const sTRC_Data_Chunk* chunks, uint32_t count, uint32_t size)
      TR_REQUIRES(m_StatusLock);
  // Wakes the communication thread for a packet that has no room left, so that full packets go
  // out at once instead of after its idle wait (which still sends partly filled ones).
  void Signal_Full_Packet();

  // Communication thread.
  static void* Static_Comm_Routine(void* self);
  void Comm_Routine();
  CTPacket* Get_Delivered_Packet();
  CTPacket* Create_Data_Wnd_Report();
  void Make_Pending(CTPacket* packet);
  void Process_Incoming_Packet(const uint8_t* bytes, uint32_t length);
  void On_Acknowledgment(const sTP_View& view);
  void On_Window_Report(const sTP_View& view);
  void Parse_Extensions(const sTP_View& view);
  void Reset_Connetion();
  void Set_Connected(bool on);
  uint32_t Next_ID();
  // Walks the records whose headers lie in `entry`'s packet into the per-channel loss counts.
  void Count_Lost(const sQueued_Packet& entry, sLoss* losses);
  void Record_Losses(const sLoss* losses) TR_REQUIRES(m_StatusLock);
  // Under the channel lock: On_Loss to every channel with pending losses, then On_Status.
  void Notify_Status(const sTRC_Status& status);

  // Channel thread.
  static void* Static_Chnl_Routine(void* self);
  void Chnl_Routine();
  void Parse_User_Data(const uint8_t* begin, uint32_t size);

  // CSink_Base's Close hooks: the communication and channel threads are the sink's own; closing
  // flushes the channels, then stops and joins both threads (sending what is queued first).
  bool On_Sink_Thread() const override;
  void Close_Sink() override;
  void Stop_Threads();

  // Fixed once constructed.
  sNet_Plan m_Plan;
  uint32_t m_Payload = 0;  // packet size - 14
  std::unique_ptr<CUDP_Socket> m_Socket;
  std::unique_ptr<CBuffers_Pool> m_Pool;
  sNet_Stats m_Stats;  // self-synchronised

  // Ready queue and open record.
  CHot_Lock m_ReadyLock TR_ACQUIRED_AFTER(m_StatusLock);
  CPacket_Ring m_Ready TR_GUARDED_BY(m_ReadyLock);
  CTPacket* m_OpenPacket TR_GUARDED_BY(m_ReadyLock) = nullptr;  // holds the open header
  uint32_t m_OpenOffset TR_GUARDED_BY(m_ReadyLock) = 0;         // header's buffer offset
  uint32_t m_OpenLength TR_GUARDED_BY(m_ReadyLock) = 0;
  uint32_t m_OpenChannel TR_GUARDED_BY(m_ReadyLock) = kNo_Channel;

  // Packets that Sent took for the record it writes and has not queued yet; empty between calls.
  CPacket_Ring m_Fresh TR_GUARDED_BY(m_StatusLock);

  // Losses waiting to be told to their channels.
  sLoss m_PendingLoss[kMaxChannels] TR_GUARDED_BY(m_StatusLock);

  // Packets with user data for the channel thread.
  CLock m_IncomingLock TR_ACQUIRED_AFTER(m_ReadyLock);
  CPacket_Ring m_Incoming TR_GUARDED_BY(m_IncomingLock);

  // Communication thread only (and the constructor before it starts).
  CPacket_Ring m_InFlight;
  int64_t m_ResendCursor = -1;  // index in m_InFlight, -1 unset
  uint16_t m_ClientID = kTP_No_Client;
  uint32_t m_Window = 1;
  // The window's ceiling: the plan's window, lowered by the server's buffer extension. After a
  // loss report lowered m_Window, every window confirmed without loss raises it by one packet up
  // to this ceiling, so that one burst of losses does not slow the sink for the rest of its life.
  uint32_t m_WindowCeiling = 1;
  bool m_WindowLost = false;  // the current window had a loss report
  bool m_TakePartial = true;  // this pass may send the packet Sent is still filling
  uint32_t m_WindowBytes = 0;
  uint32_t m_WindowStart = 0;
  uint32_t m_ReportFirst = kTP_No_ID;
  uint32_t m_ReportLast = kTP_No_ID;
  bool m_Resending = false;
  uint32_t m_Timeouts = 0;
  bool m_Waiting = false;
  uint32_t m_LastID = 0;
  uint32_t m_LastSend = 0;
  CTPacket* m_Pending = nullptr;  // one of the control packets below, or null
  bool m_FirstConnection = true;
  std::unique_ptr<uint8_t[]> m_Receive;  // receive buffer of packet size bytes
  CTPClient_Hello m_Hello;
  CTPData_Window m_DataWindow;
  CTPClient_Ping m_Ping;
  CTPClient_Bye m_Bye;

  CMEvent m_Connected_Event;  // 0: manual, set while the server has accepted the client
  enum eComm_Event : uint32_t { eComm_Exit = 0, eComm_Data = 1 };
  CMEvent m_CommEvents;                      // eComm_Exit (auto-reset), eComm_Data (counting)
  std::atomic<bool> m_DataSignalled{false};  // an eComm_Data signal is pending
  CMEvent m_ChnlEvents;                      // 0: exit, 1: data in (counting)
  pthread_t m_CommThread{};
  pthread_t m_ChnlThread{};
  std::atomic<bool> m_CommStarted{false};
  std::atomic<bool> m_ChnlStarted{false};
};

#endif  // TRACE_NET_CL_NETWORK_H_
