// CServer_App: the trace server tool's loop. One thread waits on the UDP socket and a wake-up
// descriptor (the signal handler's self-pipe), feeds every datagram to CTRS_Server, sends the
// replies, and keeps one CClient_Store per client (ITRS_Listener). Once a second it writes out
// the stores' buffers, rolls files by time, forgets idle clients and, with --stats, prints the
// statistics.
//
// The receiving thread only acknowledges and stores: decoding for --print and the viewer runs on
// the decoding worker (decode_worker.h) behind a bounded queue, so that one client's costly
// records never delay another client's acknowledgements.
//
// A client is one session of the protocol server (one source endpoint). A hello again from the
// same endpoint with the same process ID and start time is a restart of that client (same
// directory, new file); with another process behind the endpoint it is a new client. Two live
// clients never share a directory: a hello that claims the name and process ID of a live client
// from another endpoint gets a directory of its own (a "-2" suffix, and so on).
//
// Memory: a client that goes over its --client-memory is ended at once (its files closed),
// counted, and named on standard error, in the statistics and in the viewer's host table.
//
// Viewer (Set_Hub): each client's decoder copies its messages into the hub's live ring; once a
// second every client's row of the hub's host table is refreshed (and at once when a client
// comes or goes); every round of the loop takes the page's verbosity requests and turns them into
// the same commands as --verbosity, followed by a note in the live stream.
//
// Ownership: owns the socket, the protocol server, the decoding worker and the stores; the hub
// is borrowed. Thread-safety: none; all work but decoding happens on the thread that calls Run
// (the hub is thread-safe).
#ifndef TOOLS_TRACE_SERVER_SERVER_APP_H_
#define TOOLS_TRACE_SERVER_SERVER_APP_H_

#include <stdint.h>
#include <sys/socket.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "client_store.h"
#include "decode_worker.h"
#include "disk_quota.h"
#include "server_options.h"
#include "server_socket.h"
#include "trace/server/trace_server.h"

class CServer_App final : private ITRS_Listener {
 public:
  static constexpr uint32_t kMax_Summaries = 1000;
  // How long the endpoint of a client ended for going over its budget is refused.
  static constexpr uint32_t kDropped_Refuse_ms = 60000;

  // `options` must outlive the app.
  explicit CServer_App(const sServer_Options& options);
  ~CServer_App() override;

  CServer_App(const CServer_App&) = delete;
  CServer_App& operator=(const CServer_App&) = delete;

  // Binds the socket and prepares the directory; false with a message in `error`.
  bool Start(std::string* error);
  const CServer_Socket& Socket() const { return m_Socket; }
  // Feeds `hub` (must outlive the app); call before Start.
  void Set_Hub(CViewer_Hub* hub) { m_Hub = hub; }
  // With --index: the indexer whose lag the statistics show (must outlive the app).
  void Set_Indexer(class CTrd_Indexer* indexer) { m_Indexer = indexer; }
  // Serves until `wake_fd` becomes readable (a byte is written there to stop).
  void Run(int wake_fd);
  // Writes out and closes every client's files and prints the statistics.
  void Finish();

 private:
  void Receive_All(uint32_t now_ms);
  void Every_Second(uint32_t now_ms);
  void Print_Stats(const char* title);
  std::string Describe(uint16_t client_id, const CClient_Store& store) const;
  std::string Unique_Directory(const std::string& base) const;
  void End_Client(uint16_t client_id, const char* why);
  // Ends a client that went over its memory budget.
  void Drop_Over_Budget(uint16_t client_id);
  // Ends client `client_id`'s session at the protocol server.
  void Drop(uint16_t client_id);
  // `left`: why a client that is gone left (shown in its row).
  void Publish(uint16_t client_id, const CClient_Store& store, bool connected,
               const char* left = nullptr);
  // Tells the quota what `store`'s files wrote and its retention deleted since the last call.
  void Account_Disk(CClient_Store& store);
  // Keeps --dir within --max-total, never touching a file being written.
  void Enforce_Quota();
  void Take_Requests();

  // ITRS_Listener
  void On_Client(uint16_t client_id, const sTRS_Hello& hello, bool restart) override;
  void On_Stream(uint16_t client_id, const uint8_t* bytes, uint32_t size) override;
  void On_Leave(uint16_t client_id, eTRS_Leave reason) override;

  const sServer_Options& m_Options;
  CServer_Socket m_Socket;
  std::unique_ptr<CTRS_Server> m_Server;  // made by Start, sized by the socket
  CDecode_Worker m_Worker;
  std::map<uint16_t, std::unique_ptr<CClient_Store>> m_Stores;
  std::vector<std::string> m_Summaries;  // statistics of the clients that left
  uint64_t m_Left_Uncounted = 0;         // clients that left beyond kMax_Summaries
  sTP_Endpoint m_Source;                 // source of the datagram being handled
  std::minstd_rand m_Random;
  std::vector<uint8_t> m_Buffer;
  uint32_t m_Stats_Seconds = 0;
  CViewer_Hub* m_Hub = nullptr;                  // not owned; null: no viewer
  std::map<uint16_t, uint64_t> m_Last_Messages;  // per client, for the messages per second
  uint64_t m_Over_Budget = 0;                    // clients ended for going over their budget
  std::unique_ptr<CDisk_Quota> m_Quota;          // with storing; made by Start
  class CTrd_Indexer* m_Indexer = nullptr;       // not owned; null: no index
};

#endif  // TOOLS_TRACE_SERVER_SERVER_APP_H_
