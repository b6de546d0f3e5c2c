#include "watched_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

CWatched_Connection::CWatched_Connection(int fd, int64_t deadline_ns)
    : m_Fd(fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1), m_Deadline(deadline_ns) {}

CWatched_Connection::~CWatched_Connection() {
  if (m_Fd >= 0) close(m_Fd);
}

void CWatched_Connection::Limit_Deadline(int64_t deadline_ns) {
  int64_t current = m_Deadline.load(std::memory_order_relaxed);
  while (deadline_ns < current &&
         !m_Deadline.compare_exchange_weak(current, deadline_ns, std::memory_order_relaxed)) {
  }
}

void CWatched_Connection::Cut_If_Overdue(int64_t now_ns) {
  int64_t current = m_Deadline.load(std::memory_order_relaxed);
  if (current > now_ns) return;
  if (!m_Deadline.compare_exchange_strong(current, kNo_Deadline, std::memory_order_relaxed)) return;
  if (m_Fd >= 0) shutdown(m_Fd, SHUT_RDWR);
}

bool CWatched_Connection::Gone() const {
  if (m_Fd < 0) return false;  // without a duplicate nothing is known: assume the peer waits
  pollfd entry{m_Fd, POLLRDHUP, 0};
  return poll(&entry, 1, 0) == 1 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}
