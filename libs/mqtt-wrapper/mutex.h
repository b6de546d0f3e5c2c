// Mutex / MutexLock: std::mutex and its scoped lock, carrying capability annotations so that
// clang's -Wthread-safety checks every field marked TR_GUARDED_BY(mutex) in the wrapper (the
// standard library's mutex carries none).
//
// A MutexLock holds its Mutex from construction to destruction, or until Unlock(). Its waits
// release the mutex while blocked and hold it again when they return, so for the analysis the
// mutex stays held across them; callers re-test their condition after every wait. Deadlines are
// steady-clock time points only: a wait bounded by the wall clock would stretch or shrink with
// every step of it.
//
// Thread-safety: a Mutex may be locked from any thread; a MutexLock lives on one thread's stack.
#ifndef LIBS_MQTT_WRAPPER_MUTEX_H_
#define LIBS_MQTT_WRAPPER_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "trace/base/thread_annotations.h"

namespace tarnvik::mosquitto {

class TR_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

 private:
  friend class MutexLock;
  std::mutex mutex;
};

class TR_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) TR_ACQUIRE(mutex) : lock(mutex.mutex) {}
  ~MutexLock() TR_RELEASE() {}

  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // Releases the mutex before the end of the scope (to notify or to call out without it).
  void Unlock() TR_RELEASE() { lock.unlock(); }

  // Blocks until notified (or woken spuriously).
  void Wait(std::condition_variable& condition) { condition.wait(lock); }

  // Blocks until notified (or woken spuriously) or until `deadline`; false once it has passed.
  bool WaitUntil(std::condition_variable& condition,
                 std::chrono::steady_clock::time_point deadline) {
    return condition.wait_until(lock, deadline) == std::cv_status::no_timeout;
  }

 private:
  std::unique_lock<std::mutex> lock;
};

}  // namespace tarnvik::mosquitto

#endif  // LIBS_MQTT_WRAPPER_MUTEX_H_
