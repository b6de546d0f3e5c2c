#include "trace/channel/staging_drainer.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <vector>

#include "trace/base/mutex.h"

namespace {

// Passes follow each other by 1 ms while they find records; each pass that finds none doubles
// the wait, and past the longest one the thread sleeps until woken.
constexpr long kFirst_Interval_ns = 1000000;     // 1 ms
constexpr long kLongest_Interval_ns = 64000000;  // 64 ms

// The drainer's state. Never destroyed: static destruction must not pull it from under a
// channel that dies later.
struct sDrainer {
  // Serialises starting and stopping the thread; taken before `registry`.
  CMutex control;
  pthread_t thread TR_GUARDED_BY(control){};
  bool thread_live TR_GUARDED_BY(control) = false;

  CMutex registry TR_ACQUIRED_AFTER(control);
  std::vector<IStaged_Source*>* sources TR_GUARDED_BY(registry) = nullptr;
  // The source a pass is merging, without the registry mutex; Remove waits until it is another.
  IStaged_Source* merging TR_GUARDED_BY(registry) = nullptr;

  // 1 while a thread runs or is being started; read by Wake without a lock.
  std::atomic<uint32_t> running{0};
  // Set while the thread sleeps without a time-out; Wake clears it and bumps `wake_word`.
  std::atomic<bool> sleeping{false};
  // Every wait of the thread is on this word, so bumping it ends any of them.
  std::atomic<uint32_t> wake_word{0};
  std::atomic<bool> stop{false};
};

sDrainer& Drainer() {
  static sDrainer* drainer = new sDrainer;
  return *drainer;
}

// Waits while `word` holds `value`, at most `timeout_ns` (forever when 0).
void Futex_Wait(std::atomic<uint32_t>* word, uint32_t value, long timeout_ns) {
  const timespec timeout{timeout_ns / 1000000000, timeout_ns % 1000000000};
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, value,
          timeout_ns != 0 ? &timeout : nullptr, nullptr, 0);
}

void Bump(sDrainer& drainer) {
  drainer.wake_word.fetch_add(1, std::memory_order_release);
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&drainer.wake_word), FUTEX_WAKE_PRIVATE, 1,
          nullptr, nullptr, 0);
}

// One pass over the listed sources; true when one of them had staged records. Each merge runs
// without the registry mutex (a sink waiting for room must not hold up other channels' listing
// and removal); `merging` keeps its source from being removed meanwhile. A source listed or
// removed during the pass may be skipped by it: the next pass finds it.
bool Pass(sDrainer& drainer) {
  bool found = false;
  for (size_t index = 0;; ++index) {
    IStaged_Source* source;
    {
      CMutexGuard guard(&drainer.registry);
      drainer.merging = nullptr;
      if (drainer.sources == nullptr || index >= drainer.sources->size()) break;
      source = (*drainer.sources)[index];
      if (!source->Has_Staged()) continue;
      drainer.merging = source;
    }
    found = true;
    source->Try_Merge_Staged();
  }
  return found;
}

void* Run(void*) {
  sDrainer& drainer = Drainer();
  long interval_ns = kFirst_Interval_ns;
  while (!drainer.stop.load(std::memory_order_acquire)) {
    interval_ns = Pass(drainer) ? kFirst_Interval_ns : interval_ns * 2;
    uint32_t seen = drainer.wake_word.load(std::memory_order_acquire);
    if (interval_ns <= kLongest_Interval_ns) {
      Futex_Wait(&drainer.wake_word, seen, interval_ns);
      continue;
    }
    // Going to sleep: a source staging from now on sees `sleeping` and wakes the thread; one
    // that staged before is found by the last pass below (both sides order with a full fence).
    drainer.sleeping.store(true, std::memory_order_seq_cst);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (Pass(drainer)) {
      drainer.sleeping.store(false, std::memory_order_relaxed);
      interval_ns = kFirst_Interval_ns;
      continue;
    }
    if (!drainer.stop.load(std::memory_order_acquire)) Futex_Wait(&drainer.wake_word, seen, 0);
    drainer.sleeping.store(false, std::memory_order_relaxed);
    // Woken by a new record: the first pass comes after the shortest wait, so that records
    // staged together go in one merge.
    interval_ns = kFirst_Interval_ns / 2;
    seen = drainer.wake_word.load(std::memory_order_acquire);
    Futex_Wait(&drainer.wake_word, seen, kFirst_Interval_ns);
  }
  return nullptr;
}

void Start_Locked(sDrainer& drainer) TR_REQUIRES(drainer.control) {
  if (drainer.thread_live) return;
  drainer.running.store(1);
  drainer.stop.store(false);
  drainer.sleeping.store(false);
  // Without the thread, staged records are still merged by their channel's callers, its
  // flushes and its closing; a later Wake tries again.
  if (pthread_create(&drainer.thread, nullptr, Run, nullptr) != 0) {
    drainer.running.store(0);
    return;
  }
  drainer.thread_live = true;
}

void Start(sDrainer& drainer) {
  CMutexGuard guard(&drainer.control);
  Start_Locked(drainer);
}

// Ends and joins the thread when no source is listed, so that a process whose channels are gone
// runs no thread of ours.
void Stop_If_Unused(sDrainer& drainer) {
  CMutexGuard guard(&drainer.control);
  {
    CMutexGuard list(&drainer.registry);
    if (drainer.sources != nullptr && !drainer.sources->empty()) return;
  }
  if (!drainer.thread_live) return;
  drainer.stop.store(true, std::memory_order_release);
  Bump(drainer);
  pthread_join(drainer.thread, nullptr);
  drainer.thread_live = false;
  drainer.running.store(0);
  // A source listed meanwhile may have found the thread still running and not woken it.
  bool listed;
  {
    CMutexGuard list(&drainer.registry);
    listed = drainer.sources != nullptr && !drainer.sources->empty();
  }
  if (listed) Start_Locked(drainer);
}

// A forked child has no drainer thread, and the mutexes may have been held by the parent's
// threads: the parent holds both across fork, and the child starts over.
void Before_Fork() TR_NO_THREAD_SAFETY_ANALYSIS {
  Drainer().control.Lock();
  Drainer().registry.Lock();
}
void After_Fork_Parent() TR_NO_THREAD_SAFETY_ANALYSIS {
  Drainer().registry.Unlock();
  Drainer().control.Unlock();
}
void After_Fork_Child() TR_NO_THREAD_SAFETY_ANALYSIS {
  sDrainer& drainer = Drainer();
  drainer.thread_live = false;
  drainer.running.store(0);
  drainer.sleeping.store(false);
  drainer.stop.store(false);
  drainer.registry.Unlock();
  drainer.control.Unlock();
}

[[maybe_unused]] const int kAtFork_Registered =
    pthread_atfork(Before_Fork, After_Fork_Parent, After_Fork_Child);

}  // namespace

namespace staging_drainer {

bool Add(IStaged_Source* source) {
  sDrainer& drainer = Drainer();
  {
    CMutexGuard guard(&drainer.registry);
    if (drainer.sources == nullptr) {
      drainer.sources = new (std::nothrow) std::vector<IStaged_Source*>;
      if (drainer.sources == nullptr) return false;
    }
    try {
      drainer.sources->push_back(source);
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  Start(drainer);
  return true;
}

void Remove(IStaged_Source* source) {
  sDrainer& drainer = Drainer();
  for (;;) {
    {
      CMutexGuard guard(&drainer.registry);
      if (drainer.sources == nullptr) return;
      if (drainer.merging != source) {
        auto& sources = *drainer.sources;
        sources.erase(std::remove(sources.begin(), sources.end(), source), sources.end());
        if (!sources.empty()) return;
        break;
      }
    }
    // A pass is merging this source; its merge ends without waiting for anything the caller
    // holds (file comment).
    sched_yield();
  }
  Stop_If_Unused(drainer);
}

void Ensure_Running() {
  sDrainer& drainer = Drainer();
  if (__builtin_expect(drainer.running.load(std::memory_order_relaxed) != 0, 1)) return;
  bool listed;
  {
    CMutexGuard guard(&drainer.registry);
    listed = drainer.sources != nullptr && !drainer.sources->empty();
  }
  if (listed) Start(drainer);
}

void Wake() {
  sDrainer& drainer = Drainer();
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (!drainer.sleeping.load(std::memory_order_relaxed)) return;
  if (!drainer.sleeping.exchange(false)) return;
  Bump(drainer);
}

}  // namespace staging_drainer
