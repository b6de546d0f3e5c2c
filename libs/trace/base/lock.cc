#include "trace/base/lock.h"

CLock::CLock() : m_Mutex() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&m_Mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

CLock::~CLock() { pthread_mutex_destroy(&m_Mutex); }
