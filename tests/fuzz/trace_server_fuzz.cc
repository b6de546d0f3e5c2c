// The trace server's datagram handling: a server with small limits fed with datagrams cut from
// the input, from a few source endpoints the input chooses, interleaved with the session of one
// well-formed client at an endpoint of its own.
//
// Input: records of [kind byte][length byte][length bytes]. Kind bits 0-1 pick the source
// endpoint (three IPv4 endpoints, two of them sharing an address, and one IPv6 endpoint, none
// the good client's; one session per address is allowed), bit 2 stores the right
// size field and bit 3 the right CRC (so that most datagrams pass the check and reach the
// sessions), bits 4-5 advance the clock by less than the idle limit (then Drop_Idle runs), bit 6
// makes the record a command instead of a datagram: user data queued for the good client when the
// first byte is odd, else, for a client ID the server gave out (the first byte / 4 picks which)
// unless it is the good client's, user data when bit 1 of the first byte is clear and
// Drop_Client when it is set; bit 7 stores a client ID the server gave out (byte 14 of the
// datagram picks which, modulo the number of distinct IDs given so far, 0xFFFF first) in it. After
// each record the good client takes one step of its session. The listener drops a client (not the
// good one) from inside its callbacks when its hello's process ID is a multiple of 5 or a stream
// delivery begins with byte 0xD7.
//
// Properties: no crash or read past a datagram (each sits in a heap block of exactly its
// length); every reply passes TP_Check_Datagram and is an acknowledgement or a window report;
// the limits hold after every datagram (sessions, held bytes and queued user data per session);
// a reply to an endpoint whose session is not confirmed is at most max(the datagram, 64) bytes;
// no stream reaches the listener for a client after it was dropped;
// the good client's every packet is answered as if it were alone (each control packet
// acknowledged with result 1, its client ID kept), it is never restarted or dropped, its
// rebuilt stream is exactly the bodies it sent, in order, and the user data its
// acknowledgements carry is exactly the data queued for it and accepted, in order (the rest
// still queued), each acceptance carrying some while any is queued.
#include <arpa/inet.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "trace/net/crc32.h"
#include "trace/net/packet_check.h"
#include "trace/net/tpacket.h"
#include "trace/server/trace_server.h"

namespace {

constexpr uint32_t kMax_Clients = 4;
constexpr uint32_t kClient_Buffer = 2048;
constexpr uint32_t kMax_Window = 16;
constexpr uint32_t kIdle_Ms = 1000;

class CListener final : public ITRS_Listener {
 public:
  void On_Client(uint16_t client_id, const sTRS_Hello& hello, bool restart) override {
    if (client_id == good_id && good_greeted) {
      fuzz::Fail(restart ? "the good client was restarted"
                         : "the good client's ID was given again");
    }
    live.insert(client_id);
    dropped.erase(client_id);
    if (client_id != good_id && hello.process_id % 5 == 0) Drop(client_id);
  }
  void On_Stream(uint16_t client_id, const uint8_t* bytes, uint32_t size) override {
    fuzz::Check(live.count(client_id) == 1, "a stream for a client that is not live");
    fuzz::Check(dropped.count(client_id) == 0, "a stream for a client after it was dropped");
    if (client_id == good_id && good_greeted)
      good_stream.append(reinterpret_cast<const char*>(bytes), size);
    else if (size && bytes[0] == 0xD7)
      Drop(client_id);
  }
  void On_Leave(uint16_t client_id, eTRS_Leave) override {
    fuzz::Check(!(good_greeted && client_id == good_id), "the good client was dropped");
    fuzz::Check(live.erase(client_id) == 1, "a client that is not live left");
    dropped.erase(client_id);
  }

  void Drop(uint16_t client_id) {
    if (server->Drop_Client(client_id, now_ms, 500)) dropped.insert(client_id);
  }

  CTRS_Server* server = nullptr;
  uint32_t now_ms = 0;
  std::set<uint16_t> dropped;  // dropped from inside a callback, On_Leave not yet heard
  uint16_t good_id = kTP_No_Client;
  bool good_greeted = false;
  std::string good_stream;
  std::set<uint16_t> live;
};

sTP_Endpoint Endpoint(uint32_t which) {
  sTP_Endpoint endpoint;
  if (which == 3) {
    endpoint.family = AF_INET6;
    endpoint.address[15] = 1;
    endpoint.port = htons(40000);
  } else {
    endpoint.family = AF_INET;
    endpoint.address[0] = 10;
    endpoint.address[3] = static_cast<uint8_t>(which < 2 ? 1 : 2);
    endpoint.port = htons(static_cast<uint16_t>(40000 + which));
  }
  return endpoint;
}

// The user-data chunks an accepted acknowledgement carries, as the network sink walks them,
// appended as whole chunks (header and payload).
void Collect_User_Data(const sTP_View& view, std::string* out) {
  if (!(view.type_flags & kTP_Flag_User_Data)) return;
  auto chunks = [out](const uint8_t* begin, uint32_t size) {
    CTP_Chunk_Reader reader(begin, size);
    sTP_Chunk chunk;
    while (reader.Next(&chunk)) {
      out->append(reinterpret_cast<const char*>(chunk.payload) - kTP_Chunk_Header,
                  kTP_Chunk_Header + chunk.payload_size);
    }
    fuzz::Check(!reader.Malformed(), "user data in an acknowledgement is not whole chunks");
  };
  if (view.type_flags & kTP_Flag_Extensions) {
    CTP_Extension_Reader records(TP_Ack_Payload(view), TP_Ack_Payload_Size(view));
    sTP_Extension record;
    while (records.Next(&record)) {
      if (record.type == kTP_Extension_User_Data) chunks(record.content, record.content_size);
    }
  } else {
    chunks(TP_Ack_Payload(view), TP_Ack_Payload_Size(view));
  }
}

// Checks a reply as a client would before believing it.
void Check_Reply(const tTRS_Reply& reply, sTP_View* view, std::string* user_data = nullptr) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[reply.size() ? reply.size() : 1]);
  if (!reply.empty()) memcpy(copy.get(), reply.data(), reply.size());
  eTP_Check check = TP_Check_Datagram(copy.get(), static_cast<uint32_t>(reply.size()), view);
  fuzz::Check(
      check == eTP_Check_OK,
      std::string("the server sent a datagram that fails the check: ") + TP_Check_Text(check));
  fuzz::Check(view->size == reply.size(), "a reply with bytes after its size");
  fuzz::Check(view->type == eTP_Acknowledgment || view->type == eTP_Window_Report,
              "a reply of a client's type");
  if (user_data && view->type == eTP_Acknowledgment) Collect_User_Data(*view, user_data);
  view->bytes = nullptr;  // the copy dies here
}

// The one well-formed client: hello, then windows of data packets, each acknowledged at once.
class CGood_Client {
 public:
  CGood_Client(CTRS_Server* server, CListener* listener) : m_Server(server), m_Listener(listener) {
    m_Endpoint.family = AF_INET;
    m_Endpoint.address[0] = 127;
    m_Endpoint.address[3] = 1;
    m_Endpoint.port = htons(50000);
  }

  void Step(uint32_t now_ms) {
    if (!m_Greeted) {
      CTPClient_Hello hello;
      hello.Fill(1472, 77, 0, "good");
      Control(&hello, now_ms, true);
      m_Greeted = true;
      return;
    }
    if (m_Sent < m_Planned) {
      std::string body;
      for (uint32_t i = 0; i < 1 + (m_Body_Counter * 37) % 300; ++i)
        body.push_back(static_cast<char>('a' + (m_Body_Counter + i) % 26));
      ++m_Body_Counter;
      CTPacket packet(eTP_Data, static_cast<uint16_t>(kTP_Header_Size + body.size()));
      memcpy(packet.Get_Buffer() + kTP_Header_Size, body.data(), body.size());
      uint32_t id = Take_ID();
      if (m_Sent == 0) m_First = id;
      m_Last = id;
      packet.Finalize(id, m_ClientID);
      tTRS_Reply reply;
      bool sent =
          m_Server->On_Datagram(packet.Get_Buffer(), packet.Get_Size(), m_Endpoint, now_ms, &reply);
      fuzz::Check(!sent, "a data packet was answered");
      m_Expected += body;
      ++m_Sent;
      return;
    }
    if (m_Planned) {
      CTPData_Window window;
      window.Set_Window(m_First, m_Last);
      Control(&window, now_ms, false);
      m_Sent = m_Planned = 0;
      return;
    }
    // Next: a ping now and then, else a new window of 1 .. 5 packets.
    if (++m_Round % 4 == 0) {
      CTPClient_Ping ping;
      Control(&ping, now_ms, false);
    } else {
      // Every step sends a packet, so that the client is never idle for the clock's jumps.
      m_Planned = 1 + m_Round % 5;
      Step(now_ms);
    }
  }

  // Completes the window in progress, so that everything sent is delivered.
  void Finish(uint32_t now_ms) {
    while (m_Planned) Step(now_ms);
  }

  const std::string& Expected() const { return m_Expected; }
  const std::string& User_Data() const { return m_User_Data; }
  uint16_t Client_ID() const { return m_ClientID; }

 private:
  uint32_t Take_ID() {
    uint32_t id = m_NextID;
    m_NextID = TP_Next_ID(m_NextID);
    return id;
  }

  // Sends a control packet and checks it is acknowledged with result 1 as to a lone client.
  void Control(CTPacket* packet, uint32_t now_ms, bool hello) {
    uint32_t id = Take_ID();
    packet->Finalize(id, m_ClientID);
    const CTRS_Session* session = hello ? nullptr : m_Server->Find_Client(m_ClientID);
    const bool waiting = session && session->Queued_User_Bytes() > 0;
    const size_t received = m_User_Data.size();
    tTRS_Reply reply;
    bool sent =
        m_Server->On_Datagram(packet->Get_Buffer(), packet->Get_Size(), m_Endpoint, now_ms, &reply);
    fuzz::Check(sent, "the good client's control packet was not answered");
    sTP_View view;
    Check_Reply(reply, &view, &m_User_Data);
    fuzz::Check(view.type == eTP_Acknowledgment,
                "the good client got a window report (no packet was lost)");
    fuzz::Check(TP_Load32(reply.data() + kTP_Ack_Offset_ID) == id,
                "the good client's packet acknowledged with another ID");
    fuzz::Check(TP_Load16(reply.data() + kTP_Ack_Offset_Result) == 1,
                "the good client's packet was refused");
    if (hello) {
      m_ClientID = view.client_id;
      m_Listener->good_id = m_ClientID;
      m_Listener->good_greeted = true;
    } else {
      fuzz::Check(view.client_id == m_ClientID, "the good client's ID changed");
      fuzz::Check(!waiting || m_User_Data.size() > received,
                  "queued user data did not go with an acceptance");
    }
    fuzz::Check(m_Listener->good_stream == m_Expected,
                "the good client's rebuilt stream differs from what it sent");
  }

  CTRS_Server* m_Server;
  CListener* m_Listener;
  sTP_Endpoint m_Endpoint;
  bool m_Greeted = false;
  uint16_t m_ClientID = kTP_No_Client;
  uint32_t m_NextID = 1;
  uint32_t m_Planned = 0;
  uint32_t m_Sent = 0;
  uint32_t m_First = 0;
  uint32_t m_Last = 0;
  uint32_t m_Round = 0;
  uint32_t m_Body_Counter = 0;
  std::string m_Expected;
  std::string m_User_Data;  // whole chunks received in acknowledgements
};

// What the good client received of the user data queued for it: a prefix, the rest queued.
void Check_User_Data(const CTRS_Server& server, const CGood_Client& good,
                     const std::string& queued) {
  const std::string& received = good.User_Data();
  fuzz::Check(received.size() <= queued.size() && queued.compare(0, received.size(), received) == 0,
              "the good client received user data other than what was queued for it");
  const CTRS_Session* session = server.Find_Client(good.Client_ID());
  fuzz::Check(received.size() + session->Queued_User_Bytes() == queued.size(),
              "user data queued for the good client was lost or stuck");
}

void Check_Limits(const CTRS_Server& server, const CListener& listener) {
  fuzz::Check(server.Client_Count() <= kMax_Clients, "more sessions than the client limit");
  fuzz::Check(server.Client_Count() == listener.live.size(),
              "the server's sessions and the listener's clients differ");
  for (uint16_t id : listener.live) {
    const CTRS_Session* session = server.Find_Client(id);
    fuzz::Check(session != nullptr, "a live client without a session");
    fuzz::Check(session->Client_ID() == id, "a session under another client's ID");
    fuzz::Check(session->Held_Bytes() <= kClient_Buffer,
                "a session holds more than the client buffer");
    fuzz::Check(session->Queued_User_Bytes() <= CTRS_Session::kMax_Queued_Bytes,
                "a session queues too much user data");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sTRS_Limits limits;
  limits.max_clients = kMax_Clients;
  limits.client_buffer_bytes = kClient_Buffer;
  limits.max_window = kMax_Window;
  limits.max_clients_per_address = 1;
  CListener listener;
  CTRS_Server server(limits, &listener);
  listener.server = &server;
  CGood_Client good(&server, &listener);
  uint32_t now_ms = 1000;
  listener.now_ms = now_ms;
  good.Step(now_ms);

  std::vector<uint16_t> given{kTP_No_Client};
  std::string queued;  // user data accepted for the good client
  for (size_t offset = 0; offset + 2 <= size;) {
    const uint8_t kind = data[offset];
    uint32_t length = data[offset + 1];
    offset += 2;
    if (length > size - offset) length = static_cast<uint32_t>(size - offset);
    const uint8_t* record = data + offset;
    offset += length;

    if (kind & 0x30) {
      now_ms += (kind >> 4 & 3) * 300;  // under the idle limit: the good client stays
      listener.now_ms = now_ms;
      server.Drop_Idle(now_ms, kIdle_Ms);
    }
    if (kind & 0x40) {
      if (length >= 1 && (record[0] & 1)) {
        if (server.Queue_User_Data(good.Client_ID(), record + 1, length - 1)) {
          queued.append(reinterpret_cast<const char*>(record + 1), length - 1);
        }
      } else if (length >= 1) {
        const uint16_t id = given[record[0] / 4 % given.size()];
        if (id != good.Client_ID() && (record[0] & 2)) {
          server.Drop_Client(id, now_ms, 500);
        } else if (id != good.Client_ID()) {
          server.Queue_User_Data(id, record + 1, length - 1);
        }
      }
    } else {
      std::unique_ptr<uint8_t[]> block(new uint8_t[length ? length : 1]);
      uint8_t* bytes = block.get();
      if (length) memcpy(bytes, record, length);
      if (length >= kTP_Header_Size) {
        if (kind & 0x80)
          TP_Store16(bytes + kTP_Offset_Client, given[length >= 15 ? bytes[14] % given.size() : 0]);
        if (kind & 4) TP_Store16(bytes + kTP_Offset_Size, static_cast<uint16_t>(length));
        uint32_t covered = TP_Load16(bytes + kTP_Offset_Size);
        if ((kind & 8) && covered >= kTP_Header_Size && covered <= length) {
          TP_Store32(bytes + kTP_Offset_CRC, TP_Packet_CRC(bytes, covered));
        }
      }
      tTRS_Reply reply;
      const sTP_Endpoint source = Endpoint(kind & 3);
      if (server.On_Datagram(bytes, length, source, now_ms, &reply)) {
        const CTRS_Session* session = server.Find(source);
        if (!session || !session->Confirmed()) {
          fuzz::Check(reply.size() <= (length > 64 ? length : 64),
                      "a reply to an unconfirmed endpoint larger than what caused it");
        }
        sTP_View view;
        Check_Reply(reply, &view);
        if (view.client_id != kTP_No_Client &&
            std::find(given.begin(), given.end(), view.client_id) == given.end())
          given.push_back(view.client_id);
      } else {
        fuzz::Check(reply.empty(), "a reply left behind without being sent");
      }
    }
    Check_Limits(server, listener);
    fuzz::Check(listener.dropped.empty(), "a client dropped in a callback did not leave");
    good.Step(now_ms);
    Check_Limits(server, listener);
    Check_User_Data(server, good, queued);
  }
  good.Finish(now_ms);
  fuzz::Check(listener.good_stream == good.Expected(),
              "the good client's rebuilt stream differs from what it sent");
  return 0;
}
