// CViewer_Hub: what the trace server's receiving thread shares with the viewer's HTTP threads:
// the ring of recent live messages, the table of hosts (connected or not, with their counters
// and the channels and modules they described), and the verbosity requests the page made, which
// the receiving thread takes and sends as commands.
//
// The receiving thread only ever copies into the hub and never waits for an HTTP thread: the
// ring overwrites, the host table is replaced row by row, requests are taken in one swap.
//
// Lock order: m_Lock (host table and requests) and the ring's own lock are never held together.
//
// Ownership: the trace server's main owns the hub; it must outlive the HTTP server and the
// receiving loop. Thread-safety: every method may be called from any thread.
#ifndef TRACE_VIEWER_VIEWER_HUB_H_
#define TRACE_VIEWER_VIEWER_HUB_H_

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "trace/base/lock.h"
#include "trace/base/thread_annotations.h"
#include "trace/viewer/live_ring.h"

// Levels as the server knows them: reported by the channel (its module records and verbosity
// records) or commanded by the server since; kUnknown_Level when neither happened.
constexpr uint32_t kUnknown_Level = UINT32_MAX;

struct sViewer_Module {
  uint32_t id = 0;
  std::string name;
  uint32_t level = kUnknown_Level;
};

struct sViewer_Channel {
  uint32_t id = 0;
  std::string name;
  // The channel's own level: its calls without a module, and the level its modules registered
  // later start with. A module keeps its own level whatever the channel's becomes.
  uint32_t level = kUnknown_Level;
  std::vector<sViewer_Module> modules;
  uint64_t modules_omitted = 0;  // modules described but not listed (see Bounded_Host_Status)
};

struct sHost_Status {
  std::string name;     // the client's directory name: unique among the server's clients
  std::string client;   // the name the client gave in its hello
  std::string address;  // "ADDR:PORT"
  uint32_t process_id = 0;
  bool connected = false;
  std::string left;  // why a host that is gone left ("said bye", "went over its memory budget ...")
  uint64_t records = 0;
  uint64_t messages = 0;
  uint64_t lost = 0;     // packets reported lost
  uint64_t resent = 0;   // reported packets that then arrived
  uint32_t rate = 0;     // messages in the last second
  uint64_t skipped = 0;  // data records stored but not decoded for the viewer (the server busy)
  std::vector<sViewer_Channel> channels;
};

// What a row may hold once bounded: a host chooses how many channels and modules it describes
// and how long their names are, so the hub's table and the /api/hosts answer keep at most this
// much of each, whatever a host sent.
struct sHost_Bounds {
  static constexpr size_t kMax_Channels = 32;  // as many as a client can register
  static constexpr size_t kMax_Modules = 256;  // per channel; the rest only counted
  static constexpr size_t kMax_Name = 128;     // bytes of any name or address, cut on a character
};

// `status` within sHost_Bounds: the first kMax_Channels channels, each with its first
// kMax_Modules modules and the number left out added to modules_omitted, every text but the
// row's key cut to kMax_Name bytes without splitting a UTF-8 sequence. The key (`name`, which
// verbosity requests name) is kept whole: the server derives it with a bounded length. Its cost
// grows with what it keeps, not with what it leaves out.
sHost_Status Bounded_Host_Status(const sHost_Status& status);

struct sVerbosity_Request {
  std::string host;     // sHost_Status::name
  std::string channel;  // name or ID, as the server's verbosity rules take them
  std::string module;   // empty: the whole channel
  uint32_t level = 0;
};

class CViewer_Hub {
 public:
  // Rows kept at most. When a new host would exceed it, the host that left longest ago is
  // forgotten; when every row is a connected host, the new host is not shown (connected hosts
  // are bounded by the server's session limits long before this).
  static constexpr size_t kMax_Hosts = 1024;
  // Requests waiting for the receiving thread (it takes them several times a second).
  static constexpr size_t kMax_Requests = 1000;

  explicit CViewer_Hub(uint32_t ring_capacity = CLive_Ring::kDefault_Capacity)
      : m_Ring(ring_capacity) {}

  CViewer_Hub(const CViewer_Hub&) = delete;
  CViewer_Hub& operator=(const CViewer_Hub&) = delete;

  CLive_Ring& Ring() { return m_Ring; }

  // Replaces the row of `status.name` (adds it when new, within kMax_Hosts), bounded by
  // Bounded_Host_Status: the table holds at most kMax_Hosts bounded rows.
  void Update_Host(const sHost_Status& status);
  std::vector<sHost_Status> Hosts() const;

  // Queues a request for the receiving thread; false when no connected host has that name or
  // kMax_Requests are waiting.
  bool Post_Verbosity(const sVerbosity_Request& request);
  // Takes every queued request.
  std::vector<sVerbosity_Request> Take_Requests();

 private:
  CLive_Ring m_Ring;
  mutable CLock m_Lock;
  std::map<std::string, sHost_Status> m_Hosts TR_GUARDED_BY(m_Lock);
  uint64_t m_Update_Count TR_GUARDED_BY(m_Lock) = 0;
  std::map<std::string, uint64_t> m_Last_Update TR_GUARDED_BY(m_Lock);  // for dropping the oldest
  std::vector<sVerbosity_Request> m_Requests TR_GUARDED_BY(m_Lock);
};

#endif  // TRACE_VIEWER_VIEWER_HUB_H_
