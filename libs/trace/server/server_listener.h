// ITRS_Listener: what the trace server's protocol logic tells its owner about clients.
//
// Calls are made synchronously from inside CTRS_Server::On_Datagram, Drop_Idle and Drop_Client,
// on the thread that called them. From On_Client and On_Stream a listener may call the server's
// Queue_User_Data and Drop_Client (and its const accessors); nothing else of the same server may
// be called from a callback.
#ifndef TRACE_SERVER_SERVER_LISTENER_H_
#define TRACE_SERVER_SERVER_LISTENER_H_

#include <stdint.h>

#include <string>

// What a client's hello says about it, converted to host values.
struct sTRS_Hello {
  uint16_t version = 0;
  uint16_t packet_size = 0;  // the size of every packet the client sends
  uint32_t process_id = 0;
  uint64_t start_time = 0;  // 100-ns units since 1601-01-01 UTC; 0 when the client did not know
  std::string name;         // UTF-8
};

enum class eTRS_Leave : uint32_t {
  Bye = 0,      // the client said bye
  Idle = 1,     // nothing heard for longer than the idle limit
  Silent = 2,   // no stream data within the first-data limit after its hello, or (never
                // confirmed) it made room for another client's hello
  Dropped = 3,  // ended by the server's owner (CTRS_Server::Drop_Client)
};

class ITRS_Listener {
 public:
  virtual ~ITRS_Listener() = default;

  // A client said hello. `restart` is true when a client already known at that address started
  // over (it discarded its queued data, so a record cut by the restart never completes); its
  // stream continues through the same client ID.
  virtual void On_Client(uint16_t client_id, const sTRS_Hello& hello, bool restart) = 0;
  // The next bytes of a client's user-data stream, in packet-ID order, each data packet's body
  // exactly once.
  virtual void On_Stream(uint16_t client_id, const uint8_t* bytes, uint32_t size) = 0;
  // The client is gone; its ID may be given to another client later.
  virtual void On_Leave(uint16_t client_id, eTRS_Leave reason) = 0;
};

#endif  // TRACE_SERVER_SERVER_LISTENER_H_
