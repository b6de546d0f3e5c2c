// CTRS_Server: the protocol logic of a trace server, without sockets. The owner feeds it every
// datagram it receives (bytes and source endpoint) and sends back the reply it produces; the
// server keeps one CTRS_Session per client endpoint and tells its listener about clients and
// their rebuilt streams (server_listener.h).
//
// Isolation: a datagram is checked (TP_Check_Datagram) before anything in it is used; a refused
// datagram only counts against its source. A client is identified by its source endpoint, so
// one client's packets, good or bad, never reach another client's session, and a packet naming
// another client's ID is treated as that source's own (stale) traffic.
//
// Clients: a hello from an unknown endpoint opens a session with a random client ID
// (0 .. 0xFFFE, never two live sessions with the same ID, client_id_source.h). At most
// `max_clients` sessions live at once, and at most `max_clients_per_address` from one source
// address (any port), so that a flood from one address never takes the places of other hosts.
// When a limit is reached, the longest-open unconfirmed session under it (one whose endpoint
// never echoed its client ID, as with hellos from forged addresses) makes room for the new hello
// (eTRS_Leave::Silent); a hello beyond a limit full of confirmed sessions is refused (result 0).
// Control packets from an endpoint without a
// session are refused, which makes a client that outlived a server restart say hello again;
// data from it is ignored. Bye ends the session; Drop_Idle ends the sessions not heard from for
// a while and those that delivered no stream data within `first_data_ms` of their hello (a
// network sink describes its channels right after its hello, so pings alone never keep a
// session); Drop_Client ends a session at its owner's request and refuses hellos from that
// endpoint for a while.
//
// Replies: until a session is confirmed (client_session.h: its endpoint echoed the random client
// ID, proving it receives our replies), a reply to an endpoint is at most max(the datagram that
// caused it, kMax_Unconfirmed_Reply) bytes, so that a forged source address earns its victim no
// more bytes than the forger sent (plus a refusal's 20 bytes for a 14-byte ping, which tells a
// client that outlived a server restart to say hello again). A loss report names the window's
// packets only: its bitmap ends at the last lost packet.
//
// Memory: per session, at most the limits' client buffer of held data plus a fixed part
// (client_session.h), and at most max_clients sessions; besides them one count per source
// address with live sessions and at most kMax_Refusals remembered drops. Packets of a client
// that runs in the other byte order are not understood (the network sink never sends them).
//
// Loss filter (a testing aid): a predicate consulted for every checked data packet; a packet it
// picks is dropped as if the network had lost it (counted per session), so the loss reports and
// resends can be exercised end to end. None by default.
//
// Commands to clients: Queue_User_Data queues user-data chunks for a client's channels; they
// travel in the session's next acceptance (client_session.h).
//
// Errors: no exception leaves the server; a datagram that cannot be handled for lack of memory
// is dropped as if it was lost.
//
// Thread-safety: none; one thread feeds a server.
#ifndef TRACE_SERVER_TRACE_SERVER_H_
#define TRACE_SERVER_TRACE_SERVER_H_

#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "trace/net/endpoint.h"
#include "trace/server/client_id_source.h"
#include "trace/server/client_session.h"

// Counters of traffic that reached no session.
struct sTRS_Server_Stats {
  uint64_t refused_datagrams = 0;    // failed the datagram check
  uint64_t unexpected = 0;           // server-to-client packet types, or data from unknown sources
  uint64_t refused_clients = 0;      // hellos beyond the client limit
  uint64_t unknown_control = 0;      // control packets from endpoints without a session
  uint64_t refused_per_address = 0;  // hellos beyond the limit per source address
  uint64_t expired_silent = 0;       // sessions without stream data within the first-data limit
  uint64_t dropped = 0;              // sessions ended by Drop_Client
  uint64_t refused_dropped = 0;      // hellos from an endpoint in its refusal time after a drop
  uint64_t evicted_unconfirmed = 0;  // unconfirmed sessions ended to make room for a hello
  uint64_t bounded_replies = 0;  // replies not sent: larger than an unconfirmed endpoint may get
};

// Returns true to drop the data packet `packet` from `source` (see the loss filter above).
using tTRS_Drop_Filter = std::function<bool(const sTP_Endpoint& source, const sTP_View& packet)>;

class CTRS_Server {
 public:
  // `listener` must outlive the server. The window limit is capped at 3952 packets, the most a
  // loss bitmap in a 512-byte packet can describe.
  CTRS_Server(const sTRS_Limits& limits, ITRS_Listener* listener);
  ~CTRS_Server();

  CTRS_Server(const CTRS_Server&) = delete;
  CTRS_Server& operator=(const CTRS_Server&) = delete;

  // Handles one received datagram of `length` bytes from `source` at `now_ms` (any monotonic
  // millisecond clock). Returns true and fills `reply` when a datagram is to be sent back to
  // `source`.
  bool On_Datagram(const uint8_t* bytes, uint32_t length, const sTP_Endpoint& source,
                   uint32_t now_ms, tTRS_Reply* reply);

  // Installs the loss filter (an empty function removes it).
  void Set_Drop_Filter(tTRS_Drop_Filter filter) { m_DropFilter = std::move(filter); }

  // Queues whole user-data chunks for the channels of client `client_id`. False when there is no
  // such client, its queue is full, or the bytes are not whole chunks. May be called from the
  // listener's On_Client and On_Stream (the data may then go with the reply being built).
  bool Queue_User_Data(uint16_t client_id, const uint8_t* chunks, uint32_t size);

  // Ends every session not heard from for more than `idle_ms` (32-bit wrapping arithmetic), and
  // every session that has delivered no stream data more than `first_data_ms` after it opened
  // (eTRS_Leave::Silent). Also forgets expired refusals of dropped endpoints.
  void Drop_Idle(uint32_t now_ms, uint32_t idle_ms);

  // Ends client `client_id`'s session (the listener hears On_Leave with eTRS_Leave::Dropped) and
  // refuses hellos from its endpoint for `refuse_ms` after `now_ms`, so that a client ended for
  // what it sent cannot start over at once. False when there is no such live client. May be
  // called from the listener's On_Client and On_Stream: the session then delivers nothing more,
  // no reply goes to the datagram being handled, and the session is erased (and On_Leave called)
  // once that datagram is done.
  bool Drop_Client(uint16_t client_id, uint32_t now_ms, uint32_t refuse_ms);

  // The largest reply an unconfirmed endpoint gets to a datagram smaller than this.
  static constexpr uint32_t kMax_Unconfirmed_Reply = 64;
  // Endpoints remembered in their refusal time after a drop (the oldest go first beyond it).
  static constexpr size_t kMax_Refusals = 4096;

  uint32_t Client_Count() const { return static_cast<uint32_t>(m_Sessions.size()); }
  // The session of `source`, or null.
  const CTRS_Session* Find(const sTP_Endpoint& source) const;
  // The session of client `client_id`, or null. Usable from the listener's On_Leave, which is
  // called while the leaving session still exists (its final counters can be read there).
  const CTRS_Session* Find_Client(uint16_t client_id) const;
  const sTRS_Server_Stats& Stats() const { return m_Stats; }

 private:
  using tSessions = std::map<sTP_Endpoint, std::unique_ptr<CTRS_Session>>;
  struct sRefusal {
    uint32_t since_ms;
    uint32_t for_ms;
  };

  bool Handle(const uint8_t* bytes, uint32_t length, const sTP_Endpoint& source, uint32_t now_ms,
              tTRS_Reply* reply);
  // A new session for a hello from `source`, or null (counted) when a limit refuses it.
  CTRS_Session* Open(const sTP_Endpoint& source, uint32_t now_ms);
  bool Refused_After_Drop(const sTP_Endpoint& source, uint32_t now_ms);
  // Ends the longest-open unconfirmed session (of `address` when not null) to make room for a
  // new hello; false when there is none.
  bool Evict_Unconfirmed(const sTP_Endpoint* address);
  // Tells the listener (the session is marked ended first, so that the listener's own calls
  // leave it alone), then erases the session. Returns the next session.
  tSessions::iterator End_Session(tSessions::iterator session, eTRS_Leave reason);
  // Erases the sessions ended from inside listener callbacks.
  void Finish_Ended();
  // Ends the idle and the silent sessions (Drop_Idle).
  void Expire(uint32_t now_ms, uint32_t idle_ms);

  const sTRS_Limits m_Limits;
  ITRS_Listener* const m_Listener;
  tSessions m_Sessions;
  std::map<uint16_t, sTP_Endpoint> m_ClientIDs;   // live client IDs
  std::map<sTP_Endpoint, uint32_t> m_PerAddress;  // live sessions by address (port 0)
  std::map<sTP_Endpoint, sRefusal> m_Refusals;    // dropped endpoints in their refusal time
  CTRS_Client_ID_Source m_IDs;
  bool m_In_Callbacks = false;    // inside On_Datagram or Drop_Idle: erasing is deferred
  std::vector<uint16_t> m_Ended;  // sessions ended while m_In_Callbacks
  uint32_t m_ReplyID = 0;         // IDs of the replies sent to endpoints without a session
  uint32_t m_Now = 0;             // the clock of the datagram being handled
  sTRS_Server_Stats m_Stats;
  tTRS_Drop_Filter m_DropFilter;
};

#endif  // TRACE_SERVER_TRACE_SERVER_H_
