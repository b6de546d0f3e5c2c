#include "trace/base/mevent.h"

#include <errno.h>
#include <stdarg.h>
#include <time.h>

#include <new>

#include "trace/base/clocks.h"

CMEvent::~CMEvent() {
  if (m_Initialized) sem_destroy(&m_Semaphore);
  delete[] m_Entries;
}

bool CMEvent::Init(unsigned count, ...) {
  if (m_Initialized || m_Error || count == 0 || count > UINT8_MAX) return false;
  if (sem_init(&m_Semaphore, 0, 0) != 0) {
    m_Error = true;
    return false;
  }
  CLockGuard guard(&m_Lock);
  m_Entries = new (std::nothrow) sEntry[count]();
  if (!m_Entries) {
    m_Error = true;
    sem_destroy(&m_Semaphore);
    return false;
  }
  va_list args;
  va_start(args, count);
  for (uint32_t i = 0; i < count; ++i) {
    m_Entries[i].type = va_arg(args, int);
    m_Entries[i].index = i;
    m_Entries[i].count = 0;
    m_Entries[i].next = &m_Entries[(i + 1) % count];
  }
  va_end(args);
  m_Count = static_cast<uint8_t>(count);
  m_Current = &m_Entries[0];
  m_Total = 0;
  m_Initialized = true;
  return true;
}

bool CMEvent::Set(uint32_t index) {
  if (!m_Initialized || index >= m_Count) return false;
  CLockGuard guard(&m_Lock);
  ++m_Total;
  ++m_Entries[index].count;
  sem_post(&m_Semaphore);
  return true;
}

bool CMEvent::Clr(uint32_t index) {
  if (!m_Initialized || index >= m_Count) return false;
  CLockGuard guard(&m_Lock);
  sEntry& entry = m_Entries[index];
  if (entry.type != kManualReset || entry.count <= 0) return false;
  --entry.count;
  --m_Total;
  sem_trywait(&m_Semaphore);
  return true;
}

uint32_t CMEvent::Select_Locked() {
  if (m_Total <= 0) return MEVENT_NONE;
  sEntry* entry = m_Current->next;
  for (uint32_t i = 0; i < m_Count; ++i, entry = entry->next) {
    if (entry->count > 0) {
      m_Current = entry;
      if (entry->type == kManualReset) {
        // Stays signalled: give back the unit this wait took.
        sem_post(&m_Semaphore);
      } else {
        --entry->count;
        --m_Total;
      }
      return entry->index;
    }
  }
  --m_Total;
  return MEVENT_NONE;
}

uint32_t CMEvent::Select() {
  CLockGuard guard(&m_Lock);
  return Select_Locked();
}

uint32_t CMEvent::Wait() {
  if (!m_Initialized) return MEVENT_NONE;
  int rc;
  do {
    rc = sem_wait(&m_Semaphore);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return MEVENT_NONE;
  return Select();
}

uint32_t CMEvent::Wait(uint32_t timeout_ms) {
  if (!m_Initialized) return MEVENT_NONE;
  int rc;
  if (timeout_ms == 0) {
    rc = sem_trywait(&m_Semaphore);
  } else {
    const timespec deadline = Monotonic_Deadline(timeout_ms);
    // A signal handler interrupting the wait does not shorten or end it.
    do {
      rc = sem_clockwait(&m_Semaphore, CLOCK_MONOTONIC, &deadline);
    } while (rc != 0 && errno == EINTR);
  }
  if (rc != 0) return MEVENT_NONE;
  return Select();
}

uint32_t CMEvent::Get_Signal() {
  if (!m_Initialized) return MEVENT_NONE;
  CLockGuard guard(&m_Lock);
  if (m_Total <= 0) return MEVENT_NONE;
  // Same selection as a wait, but without a semaphore unit in hand: a manual-reset event must
  // not post an extra unit, so undo the post Select_Locked makes for it.
  uint32_t result = Select_Locked();
  if (result != MEVENT_NONE && m_Entries[result].type == kManualReset) sem_trywait(&m_Semaphore);
  return result;
}
