// CTrd_Indexer: copies every message of the server's stored files (.trd, one directory per
// client) into the index database, on a thread of its own beside the receiving loop. The files
// stay the journal; the database is an index of them that can always be rebuilt from them.
//
// Exactly once: per file, the database holds a checkpoint (how many of the file's messages are
// indexed, and the file offset they end at) written in the same transaction as the rows. A file
// decodes only from its start (it describes its channels there), so after a restart the indexer
// decodes a file again and skips the messages its checkpoint counts; a file whose checkpoint
// offset is its whole size is not read at all. Whatever kills the server (SIGKILL included), the
// database holds either a batch's rows and its checkpoint or neither: nothing is indexed twice
// and nothing the files hold is skipped.
//
// The database down or unreachable: receiving and storing are untouched (they never wait for the
// indexer); every failure closes the connection and forgets what was decoded but not committed;
// the indexer tries again every few seconds and goes on from the checkpoints. The lag (messages
// and seconds behind the files) is in Status().
//
// Names: every batch also records, in trace_names and in its transaction, which hosts, channels,
// modules and threads its rows have per day, so that the viewer's lists of names read a small
// table instead of a day of rows.
//
// --index-level: messages below it are counted in the checkpoint but not stored.
// Maintenance, on a thread and a connection of its own so that indexing never waits for it: once
// a minute, a day that is over gets its trigram index, and with --index-days whole day partitions
// older than that are dropped.
//
// Ownership: owns its connection and thread. Thread-safety: Prepare, Start and Stop from one
// thread; Status from any; Pass only while the thread is not running (tests).
#ifndef TOOLS_TRACE_SERVER_INDEX_TRD_INDEXER_H_
#define TOOLS_TRACE_SERVER_INDEX_TRD_INDEXER_H_

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>

#include "pg_connection.h"
#include "trace/base/lock.h"
#include "trace/base/thread_annotations.h"

class CTrd_Indexer {
 public:
  struct sConfig {
    std::string url;        // the database
    std::string server;     // this server's name in the rows and checkpoints
    std::string directory;  // the server's --dir
    uint32_t min_level = 0;
    uint32_t keep_days = 0;  // 0: keep everything
    size_t batch = 20000;    // rows per transaction at most
    std::chrono::milliseconds poll{250};
    std::chrono::milliseconds retry{2000};  // between attempts to reach the database
  };

  struct sStatus {
    bool connected = false;
    uint64_t rows = 0;          // stored since start
    uint64_t batches = 0;       // transactions committed since start
    uint64_t lag_messages = 0;  // decoded but not committed, and an estimate for unread bytes
    uint64_t lag_bytes = 0;     // of the files, not yet read into a committed batch
    double lag_seconds = 0;     // since the indexer last had everything in the database
    uint64_t failures = 0;      // database errors since start
    int dropped_partitions = 0;
    int closed_days = 0;  // day partitions given their trigram index
    std::string last_error;
  };

  explicit CTrd_Indexer(sConfig config);
  ~CTrd_Indexer();
  CTrd_Indexer(const CTrd_Indexer&) = delete;
  CTrd_Indexer& operator=(const CTrd_Indexer&) = delete;

  // Connects and creates or migrates the schema; false with a clear `error` (bad URL, refused
  // login, a newer schema): the server then refuses to start.
  bool Prepare(std::string* error);
  void Start();
  // Indexes what is in the files once more if the database is there, then ends the thread.
  void Stop();

  // One round: reads what the files gained and commits it in batches. True when the database
  // holds everything the files held at the round's start.
  bool Pass();
  // One round of maintenance on a connection of its own (closing days, retention); false with
  // `error`. Runs once a minute on the maintenance thread; tests call it directly.
  bool Maintain(std::string* error);

  sStatus Status() const;

 private:
  struct sFile;
  struct sBatch;

  void Run();
  bool Reconnect();
  bool Load_Checkpoints();
  // Reads `path`'s new bytes; commits full batches on the way. False on a database failure.
  bool Read_File(const std::string& relative, uint64_t size);
  bool Commit();
  void Lost(const std::string& error);

  const sConfig m_Config;
  CPg_Connection m_Connection;                              // the indexer thread's
  std::map<std::string, std::unique_ptr<sFile>> m_Files;    // by path relative to the directory
  std::map<std::string, std::pair<uint64_t, uint64_t>> m_Checkpoints;  // messages, offset
  std::unique_ptr<sBatch> m_Batch;
  std::set<int64_t> m_Days;  // partitions known to exist
  // (day, kind, name, client) committed to trace_names already: not sent again.
  std::set<std::tuple<int64_t, int, std::string, std::string>> m_Names_Known;
  std::chrono::steady_clock::time_point m_Next_Attempt{};
  std::chrono::steady_clock::time_point m_Caught_Up;
  double m_Bytes_Per_Message = 100;
  int64_t m_First_Kept_Day = 0;  // with --index-days: older messages are not stored

  mutable CLock m_Lock;
  sStatus m_Status TR_GUARDED_BY(m_Lock);

  std::mutex m_Wait_Lock;
  std::condition_variable m_Wake;
  bool m_Stop = false;  // under m_Wait_Lock
  std::thread m_Thread;
  std::thread m_Maintenance;
};

// The default name of a server in the index: "<host name>:<port of --listen>".
std::string Default_Index_Server_Name(const std::string& listen);

#endif  // TOOLS_TRACE_SERVER_INDEX_TRD_INDEXER_H_
