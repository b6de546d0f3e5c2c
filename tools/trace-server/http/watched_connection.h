// CWatched_Connection: one TCP connection of the viewer's HTTP library as the server's timer and
// scans see it: the time by which its current request's headers must be complete, and whether
// its peer has gone.
//
// The descriptor is a duplicate of the library's, owned here until the last reference goes:
// shutting it down ends the library's connection (the socket is shared), and since nothing else
// closes it, its number can never have been reused for another file when the timer acts on it.
//
// Thread-safety: Deadline/Set_Deadline/Cut_If_Overdue/Gone from any thread; First_Request and
// its setter on the library's polling thread only.
#ifndef TOOLS_TRACE_SERVER_HTTP_WATCHED_CONNECTION_H_
#define TOOLS_TRACE_SERVER_HTTP_WATCHED_CONNECTION_H_

#include <stdint.h>

#include <atomic>

class CWatched_Connection {
 public:
  static constexpr int64_t kNo_Deadline = INT64_MAX;

  // Duplicates `fd` (the library keeps its own); `deadline_ns` on the steady clock.
  CWatched_Connection(int fd, int64_t deadline_ns);
  ~CWatched_Connection();

  CWatched_Connection(const CWatched_Connection&) = delete;
  CWatched_Connection& operator=(const CWatched_Connection&) = delete;

  int64_t Deadline() const { return m_Deadline.load(std::memory_order_relaxed); }
  // kNo_Deadline while a request is being answered.
  void Set_Deadline(int64_t deadline_ns) {
    m_Deadline.store(deadline_ns, std::memory_order_relaxed);
  }
  // Lowers the deadline to `deadline_ns` when that is sooner.
  void Limit_Deadline(int64_t deadline_ns);
  // Shuts the socket down when its deadline is past `now_ns` (once); the library then closes it.
  void Cut_If_Overdue(int64_t now_ns);
  // Whether the peer has closed its side: work for it would be wasted.
  bool Gone() const;

  bool First_Request() const { return m_First_Request; }
  void Mark_Answered() { m_First_Request = false; }

 private:
  const int m_Fd;
  std::atomic<int64_t> m_Deadline;
  bool m_First_Request = true;
};

#endif  // TOOLS_TRACE_SERVER_HTTP_WATCHED_CONNECTION_H_
