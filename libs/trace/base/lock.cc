#include "trace/base/lock.h"

CLock::CLock() : m_Mutex(), m_Guarded(nullptr) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&m_Mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

void CLock::Destroy() { pthread_mutex_destroy(&m_Mutex); }
