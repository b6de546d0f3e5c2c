#include "answer_feed.h"

#include <microhttpd.h>
#include <string.h>

#include <algorithm>

ssize_t CAnswer_Feed::Read(char* buffer, size_t max, bool stopping) {
  CLockGuard guard(&m_Lock);
  if (m_Offset == m_Pending.size()) {
    m_Pending.clear();
    m_Offset = 0;
    if (stopping) return MHD_CONTENT_READER_END_OF_STREAM;
    if (!m_Done && m_Produce && !m_Produce(&m_Pending)) m_Done = true;
  }
  if (m_Offset < m_Pending.size()) {
    const size_t count = std::min(max, m_Pending.size() - m_Offset);
    memcpy(buffer, m_Pending.data() + m_Offset, count);
    m_Offset += count;
    return static_cast<ssize_t>(count);
  }
  if (m_Done) return MHD_CONTENT_READER_END_OF_STREAM;
  // Nothing now: the connection waits without a thread until woken.
  m_Suspended = true;
  MHD_suspend_connection(m_Connection);
  return 0;
}

void CAnswer_Feed::Wake() {
  bool resume = false;
  {
    CLockGuard guard(&m_Lock);
    resume = m_Suspended;
    m_Suspended = false;
  }
  if (resume) MHD_resume_connection(m_Connection);
}

bool CAnswer_Feed::Push(const std::string& text) {
  {
    CLockGuard guard(&m_Lock);
    if (m_Released) return false;
    m_Pending += text;
  }
  Wake();
  return true;
}

void CAnswer_Feed::Finish() {
  {
    CLockGuard guard(&m_Lock);
    m_Done = true;
  }
  Wake();
}

size_t CAnswer_Feed::Backlog() {
  CLockGuard guard(&m_Lock);
  return m_Released ? 0 : m_Pending.size() - m_Offset;
}

void CAnswer_Feed::Release() {
  CLockGuard guard(&m_Lock);
  m_Released = true;
}

bool CAnswer_Feed::Released() {
  CLockGuard guard(&m_Lock);
  return m_Released;
}
