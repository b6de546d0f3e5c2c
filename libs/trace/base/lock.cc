#include "trace/base/lock.h"

CLock::CLock() : m_Mutex(), m_Guarded(nullptr) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&m_Mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

CLock::CLock(CLock* guarded) : m_Mutex(), m_Guarded(guarded) {
  if (m_Guarded) m_Guarded->Lock();
}

CLock::~CLock() {
  if (m_Guarded) {
    m_Guarded->Unlock();
  } else {
    pthread_mutex_destroy(&m_Mutex);
  }
}

void CLock::Lock() {
  if (m_Guarded) {
    m_Guarded->Lock();
  } else {
    pthread_mutex_lock(&m_Mutex);
  }
}

void CLock::Unlock() {
  if (m_Guarded) {
    m_Guarded->Unlock();
  } else {
    pthread_mutex_unlock(&m_Mutex);
  }
}
