// CTRS_Session: the server's side of the transport protocol for one client (one source
// endpoint): acknowledging its hello and pings, collecting its data packets, answering each data
// window with an acknowledgement when every packet of the window is in, or with a window report
// whose loss bitmap names the missing ones, and handing the data packets' bodies to the listener
// in packet-ID order.
//
// Packet IDs: one sequence numbers every packet of a client (control and data alike). Data of
// the next window always follows the last control packet the session accepted (the hello, a
// ping, or the data window packet that completed the previous window), so a data packet is
// accepted only when its ID lies after that base, within 2 x max window + 256 IDs (room for the
// client's jump back to ID 1 near the end of the ID space); anything else is a stale duplicate.
//
// In-order delivery: once a window's bounds are known, the contiguous run of packets from its
// first ID is delivered at once and later packets as soon as they continue the run; packets
// ahead of a gap are held. A window is acknowledged only when all of it is delivered.
//
// Memory: the held packets of a session, each costing its body plus kHeld_Entry_Overhead, never
// exceed `client_buffer_bytes` (a packet that does not fit is dropped and reported lost, so the
// client sends it again), however small the bodies; the hello's acknowledgement tells the client
// a capacity that leaves room for that overhead, so that its window fits. A packet that
// continues the delivered run is passed on without being held, so a client whose window is
// larger than the capacity still makes progress. `client_buffer_bytes` is the session's share of
// protocol memory; besides it a session has a fixed part that the client cannot grow: the loss
// marks (one bit per window packet), spare bodies (at most kMax_Spare_Bytes), the user-data
// queue (kMax_Queued_Bytes), the data of the last acceptance (one packet) and the session
// itself. So the protocol side of a server holds at most
// max_clients x (client_buffer_bytes + that fixed part, about 200 KiB).
//
// Proof of return: a packet that carries the client ID given in the hello's acknowledgement
// shows that its endpoint receives our replies (the ID is random, so a sender that forges its
// source address can only guess it, one chance in 65,535 per packet, without learning which
// guess was right). Until then the session is unconfirmed and its owner bounds the replies to it
// (CTRS_Server); the hello's acknowledgement itself never exceeds the hello.
//
// User data for the client's channels (commands such as a verbosity change) waits in a queue
// and travels in the next acceptance the session sends (hello, ping or complete window), as much
// as fits the client's packet size. When the same control packet comes again (our
// acknowledgement was lost, the client repeats its packet unchanged), its acknowledgement
// carries the same data again; the client acts on one of the two only, since it drops an
// acknowledgement that answers no pending packet. The queue holds at most kMax_Queued_Bytes.
//
// Thread-safety: none; the owning CTRS_Server serialises all calls.
#ifndef TRACE_SERVER_CLIENT_SESSION_H_
#define TRACE_SERVER_CLIENT_SESSION_H_

#include <stdint.h>

#include <map>
#include <vector>

#include "trace/net/packet_check.h"
#include "trace/server/server_listener.h"

struct sTRS_Limits {
  uint32_t max_clients = 256;
  uint32_t client_buffer_bytes = 1u << 20;  // held packets per client, bodies and entries
  uint32_t max_window = 3952;               // packets in one data window
  uint32_t max_clients_per_address = 16;    // sessions from one source address, any port
  uint32_t first_data_ms = 30000;  // a session without stream data by then expires (0: never)
};

// Per-client counters, for diagnostics and tests.
struct sTRS_Session_Stats {
  uint64_t delivered_packets = 0;
  uint64_t delivered_bytes = 0;
  uint64_t dropped_no_room = 0;  // data packets not held for lack of room
  uint64_t dropped_stale = 0;    // data packets outside the expected IDs or duplicates
  uint64_t foreign = 0;          // control packets naming another client ID once confirmed
  uint64_t refused = 0;          // control packets answered with result 0
  uint64_t windows_completed = 0;
  uint64_t reports_sent = 0;
  uint64_t reported_lost = 0;      // packets marked lost in window reports
  uint64_t resent_received = 0;    // reported packets that then arrived
  uint64_t bad_datagrams = 0;      // from this client's endpoint, refused by the datagram check
  uint64_t filtered = 0;           // data packets dropped by the server's loss filter
  uint64_t user_data_sent = 0;     // user-data bytes carried by acknowledgements (repeats too)
  uint64_t user_data_dropped = 0;  // user-data bytes refused because the queue was full
};

using tTRS_Reply = std::vector<uint8_t>;

class CTRS_Session {
 public:
  // `opened_ms`: when the session's first hello arrived (the server's clock).
  CTRS_Session(uint16_t client_id, const sTRS_Limits& limits, ITRS_Listener* listener,
               uint32_t opened_ms);

  CTRS_Session(const CTRS_Session&) = delete;
  CTRS_Session& operator=(const CTRS_Session&) = delete;

  // Handlers of checked packets (TP_Check_Datagram passed) from this session's endpoint. Each
  // fills `reply` with the datagram to send back, or leaves it empty.
  // A hello with the ID of the one that opened the session is a repeat (the acknowledgement was
  // lost) and is acknowledged again; any other hello starts the session over.
  void On_Hello(const sTP_View& packet, const sTRS_Hello& hello, tTRS_Reply* reply);
  void On_Ping(const sTP_View& packet, tTRS_Reply* reply);
  void On_Data(const sTP_View& packet);
  void On_Data_Window(const sTP_View& packet, tTRS_Reply* reply);

  static constexpr uint32_t kMax_Queued_Bytes = 65536;

  // Queues whole user-data chunks (sTRC_User_Header + payload each) for the client's channels.
  // False (counted) when they would overflow the queue, cannot fit one acknowledgement, or are
  // not whole chunks (a header whose length overruns the set or is below 4, or bytes after the
  // last chunk).
  bool Queue_User_Data(const uint8_t* chunks, uint32_t size);
  uint32_t Queued_User_Bytes() const { return static_cast<uint32_t>(m_UserQueue.size()); }

  uint16_t Client_ID() const { return m_ClientID; }
  sTRS_Session_Stats& Mutable_Stats() { return m_Stats; }
  uint32_t Held_Bytes() const { return m_HeldBytes; }
  const sTRS_Session_Stats& Stats() const { return m_Stats; }
  // When the client was last heard (milliseconds of the server's clock).
  uint32_t Last_Heard() const { return m_LastHeard; }
  void Set_Last_Heard(uint32_t now_ms) { m_LastHeard = now_ms; }
  uint32_t Opened() const { return m_Opened; }
  // Whether any stream bytes were delivered since the session opened.
  bool Had_Data() const { return m_Stats.delivered_bytes != 0; }
  // Whether the endpoint proved that it receives our replies (see Proof of return).
  bool Confirmed() const { return m_Confirmed; }
  // Ends the session's traffic for good: nothing more reaches the listener, and the owner erases
  // the session when it can (a session may be ended from inside a listener callback).
  void End() { m_Ended = true; }
  bool Ended() const { return m_Ended; }

  static constexpr uint32_t kMax_Spare_Bytes = 65536;
  // What holding one packet costs besides its body (its map node and the body's heap block).
  static constexpr uint32_t kHeld_Entry_Overhead = 64;
  // The buffer capacity the hello's acknowledgement announces (see Memory).
  uint32_t Capacity() const;

 private:
  void Reset_Window();
  void Deliver(const uint8_t* body, uint32_t size);
  void Drain();
  // Accepts the control packet `id`, carrying queued user data (see above); the acknowledgement
  // is at most `max_size` bytes (and at most the client's packet size).
  void Acknowledge(uint32_t id, uint32_t capacity, tTRS_Reply* reply, uint32_t max_size = 0xFFFF);
  // A packet from the endpoint carries `client_id`: it is ours when it names this session.
  bool Names_Us(uint16_t client_id);
  // A control packet naming another client ID on a confirmed session: forged (the client itself
  // knows its ID and says hello before anything else after a restart), so it is ignored
  // (counted) rather than refused, which would reset the client's window.
  bool Foreign(uint16_t client_id);
  // The largest acknowledgement the client can receive (its packet size, at least 512).
  uint32_t Max_Reply() const { return m_PacketSize < 512 ? 512 : m_PacketSize; }
  // Result 0: the client resets and says hello again; the window state is dropped.
  void Refuse(uint32_t id, tTRS_Reply* reply);
  void Report(uint32_t window_id, tTRS_Reply* reply);
  bool Held(uint32_t id) const { return m_Held.find(id) != m_Held.end(); }
  void Hold(uint32_t id, const uint8_t* body, uint32_t size);
  void Recycle(std::vector<uint8_t>&& body);

  const uint16_t m_ClientID;
  const sTRS_Limits m_Limits;
  ITRS_Listener* const m_Listener;  // not owned; outlives the session

  bool m_Greeted = false;  // a hello was accepted
  uint32_t m_HelloID = 0;  // ID of the hello that opened the session
  uint32_t m_Base = 0;     // data IDs of the next window come after this one
  uint32_t m_ReplyID = 0;  // last packet ID given to a reply

  // The window being collected (bounds from the client's data window packet).
  bool m_InWindow = false;
  uint32_t m_First = 0;
  uint32_t m_Last = 0;
  uint32_t m_Count = 0;      // packets in the window
  uint32_t m_Delivered = 0;  // packets delivered from its start

  // The last completed window, acknowledged again when its packet comes again.
  bool m_DoneValid = false;
  uint32_t m_DoneFirst = 0;
  uint32_t m_DoneLast = 0;
  uint32_t m_DoneID = 0;

  std::map<uint32_t, std::vector<uint8_t>> m_Held;  // data bodies by packet ID
  // Bodies delivered from m_Held, kept (at most kSpare_Bodies, together at most
  // kMax_Spare_Bytes of capacity) so that holding the next window reuses their memory instead of
  // allocating a buffer per packet.
  static constexpr size_t kSpare_Bodies = 16;
  std::vector<std::vector<uint8_t>> m_Spare;
  uint32_t m_SpareBytes = 0;  // capacity of the bodies in m_Spare
  uint32_t m_HeldBytes = 0;   // bodies in m_Held
  uint64_t m_HeldCost = 0;    // bodies and entry overheads in m_Held: at most client_buffer_bytes
  std::vector<bool> m_Reported;  // by distance in the window: marked lost in a report

  uint32_t m_PacketSize = 0;         // from the hello
  std::vector<uint8_t> m_UserQueue;  // whole chunks not yet sent
  bool m_UserSentValid = false;      // m_UserSent went with the acknowledgement of m_UserSentID
  uint32_t m_UserSentID = 0;
  std::vector<uint8_t> m_UserSent;

  sTRS_Session_Stats m_Stats;
  uint32_t m_LastHeard = 0;
  const uint32_t m_Opened;
  bool m_Confirmed = false;
  bool m_Ended = false;
};

#endif  // TRACE_SERVER_CLIENT_SESSION_H_
