#include "trace/core/sink_base.h"

#include <signal.h>

#include "trace/core/journal.h"

uint32_t CSink_Base::Check_Sent_Args(uint32_t id, const sTRC_Data_Chunk* chunks, uint32_t count,
                                     uint32_t size) {
  uint32_t code = m_Status;
  if (code == eCode_Ok && !Record_Args_Valid(id, chunks, count, size)) code = eCode_Bad_Args;
  if (code != eCode_Ok) m_Rejects.error.fetch_add(1, std::memory_order_relaxed);
  return code;
}

uint32_t CSink_Base::Check_Sent(uint32_t id, const sTRC_Data_Chunk* chunks, uint32_t count,
                                uint32_t size) {
  const uint32_t code = Check_Sent_Args(id, chunks, count, size);
  if (code != eCode_Ok) return code;
  if (!Chunks_Add_Up(chunks, count, size)) {
    m_Rejects.error.fetch_add(1, std::memory_order_relaxed);
    return eCode_Bad_Args;
  }
  return eCode_Ok;
}

bool CSink_Base::Start_Thread(pthread_t* thread, void* (*routine)(void*), void* arg) {
  sigset_t all, previous;
  sigfillset(&all);
  for (int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS})
    sigdelset(&all, fault);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const int created = pthread_create(thread, nullptr, routine, arg);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return created == 0;
}

bool CSink_Base::Join_Thread(pthread_t thread, const char* what) {
  void* result = nullptr;
  if (pthread_equal(thread, pthread_self()) != 0 || pthread_join(thread, &result) != 0 ||
      result != nullptr) {
    TR_JOURNAL_AT(m_Journal, IJournal::eCritical, "Close", "Can't close %s thread !", what);
    return false;
  }
  return true;
}

void CSink_Base::Close_Once() {
  if (m_Closed.load()) return;
  Close_Sink();
  m_Closed.store(true);
}

bool CSink_Base::Close() {
  const pthread_t self = pthread_self();
  // Re-entered on the closing thread (a signal handler during Close).
  if (pthread_equal(m_Closer.load(), self) != 0) return true;
  if (On_Sink_Thread()) {
    if (!m_SinkThreadClosing.exchange(true)) Close_Once();
    return true;
  }
  CLockGuard guard(&m_CloseLock);
  if (m_Closed.load()) {
    After_Closed();
    return true;
  }
  m_Closer.store(self);
  Close_Once();
  m_Closer.store(0);
  return true;
}
