// CDisk_Quota: the total size the trace server may store under its directory (--dir), kept by
// removing the oldest files of the largest client directories first.
//
// What counts: regular files named "*.trd" (case folded, as the per-client retention counts
// them) directly inside the client directories, the directories one level below the root.
// Nothing else is measured or ever removed: no file of another name, no file directly in the
// root or deeper than one level, and no symbolic link is followed, neither to a client directory
// nor to a file (a link named "*.trd" is not a regular file). Every directory and file is reached
// through a descriptor of the root opened once per pass, with O_NOFOLLOW below it, so a link put
// in place of a client directory between a listing and a removal is never passed through.
//
// Figures: the total and one figure per client directory, raised by Add after every write. They
// are exact after Rescan and may only run high between rescans (files deleted by the per-client
// retention or by an operator; Release lowers them for removals the owner knows of). Decisions
// are therefore never made on figures too low. When Enforce finds the total above the quota it
// first rescans, unless the last rescan is less than kRescan_Interval_ms old, so that figures
// gone stale cost at most one scan per interval; and every directory it lists is set to what the
// listing found.
//
// Order of removal: the directory with the largest figure loses its oldest removable file (least
// recently modified, the name breaking ties), then the largest is chosen again, until the total is
// within the quota less a slack of 1/kSlack_Divisor of it, or nothing removable is left. A file in
// `open_files` is never removed. Removal starts only when the total is above the quota itself; the
// slack then keeps a writer at the limit from costing a directory listing on every write (one
// listing per slack's worth of data instead).
//
// Cost (no timed test measures it; bench/ holds speed goals): the bookkeeping kept between calls
// is one entry per client directory, never one per file. Enforce keeps the directories in a heap
// by figure and lists a directory at most once per call, sorting its files once, so a call that
// removes R files from D directories holding F files costs O(F log F + R log D) and one
// unlink per file: with 10,000 files in one directory it is a sort and a walk, not a scan per
// removal. Add is one map look-up.
//
// Thread-safety: none for the operations; the server's receiving thread calls them all. Total,
// Removed_Files and Removed_Bytes may be read from any thread (relaxed atomics: each figure is
// whole, the three are not a consistent set).
#ifndef TOOLS_TRACE_SERVER_DISK_QUOTA_H_
#define TOOLS_TRACE_SERVER_DISK_QUOTA_H_

#include <stdint.h>

#include <atomic>
#include <functional>
#include <map>
#include <set>
#include <string>

class CDisk_Quota {
 public:
  static constexpr uint64_t kRescan_Interval_ms = 5000;
  static constexpr uint64_t kSlack_Divisor = 64;

  // Monotonic milliseconds; replaceable for tests.
  using tClock = std::function<uint64_t()>;

  // `root` is --dir; `max_total_bytes` 0: no quota (Enforce removes nothing, the figures are
  // still kept for the stats).
  CDisk_Quota(std::string root, uint64_t max_total_bytes);

  CDisk_Quota(const CDisk_Quota&) = delete;
  CDisk_Quota& operator=(const CDisk_Quota&) = delete;

  // Measures what the root holds now (the files that count, above), replacing every figure.
  // A root that cannot be read leaves no figures (total 0).
  void Rescan();
  // A client directory's files grew by `bytes` (after every write). `directory_name` is the
  // name of the client directory inside the root.
  void Add(const std::string& directory_name, uint64_t bytes);
  // A client directory's files shrank by `bytes` that its owner deleted (its retention); the
  // figure does not go below 0.
  void Release(const std::string& directory_name, uint64_t bytes);
  // Removes files when the total is above the quota, until it is within the quota less the slack
  // (order above). `open_files` names the files
  // that must stay, each by a path whose last two components are the client directory and the
  // file name: "client/20260101-000000.000.trd" relative to the root, or any path through the
  // root such as the one the rolling files build from --dir. Returns the bytes removed.
  uint64_t Enforce(const std::set<std::string>& open_files);

  uint64_t Total() const { return m_Total.load(std::memory_order_relaxed); }
  uint64_t Removed_Files() const { return m_RemovedFiles.load(std::memory_order_relaxed); }
  uint64_t Removed_Bytes() const { return m_RemovedBytes.load(std::memory_order_relaxed); }
  uint64_t Max_Total() const { return m_MaxTotal; }

  void Set_Clock(tClock clock) { m_Clock = std::move(clock); }

 private:
  // Sets the total from the directory figures.
  void Set_Total(uint64_t total) { m_Total.store(total, std::memory_order_relaxed); }

  const std::string m_Root;
  const uint64_t m_MaxTotal;
  tClock m_Clock;

  std::map<std::string, uint64_t> m_Directories;  // client directory name -> bytes
  bool m_Scanned = false;                         // Rescan has run once
  uint64_t m_LastRescan_ms = 0;

  // Sum of m_Directories; written only by the owning thread.
  std::atomic<uint64_t> m_Total{0};
  std::atomic<uint64_t> m_RemovedFiles{0};
  std::atomic<uint64_t> m_RemovedBytes{0};
};

#endif  // TOOLS_TRACE_SERVER_DISK_QUOTA_H_
