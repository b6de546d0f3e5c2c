// The two engine locks, the sleeping CLock and the spinning CHot_Lock: both are recursive and
// exclusive and Try_Lock never waits; the hot lock also hands over correctly once its waiters have
// gone to sleep in the kernel (more threads than processors, a holder that loses its processor),
// where a lost wake-up shows as a waiter that never returns.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/program.h"
#include "trace/base/hot_lock.h"
#include "trace/base/lock.h"

namespace {

using namespace std::chrono_literals;

template <typename Lock>
class LockTest : public ::testing::Test {};
using Lock_Types = ::testing::Types<CLock, CHot_Lock>;
TYPED_TEST_SUITE(LockTest, Lock_Types);

// Takes `lock` twice on one thread. The capability analysis has no notion of a recursive lock
// and would report the second acquisition; re-entering is exactly what is tested here.
template <typename Lock>
void Lock_Twice_And_Count(Lock* lock, std::atomic<int>* inside,
                          int* counter) TR_NO_THREAD_SAFETY_ANALYSIS {
  CLockGuard guard(lock);
  CLockGuard nested(lock);  // recursive: must not deadlock
  if (inside->fetch_add(1) != 0) ADD_FAILURE() << "two threads inside the lock";
  ++*counter;
  inside->fetch_sub(1);
}

TYPED_TEST(LockTest, RecursiveAndGuarded) {
  TypeParam lock;
  std::atomic<int> inside{0};
  int counter = 0;
  Lock_Twice_And_Count(&lock, &inside, &counter);

  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) Lock_Twice_And_Count(&lock, &inside, &counter);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, 40001);
}

// Try_Lock never waits: it fails while another thread holds the lock and succeeds for the holder.
template <typename Lock>
bool Try_And_Release(Lock* lock) TR_NO_THREAD_SAFETY_ANALYSIS {
  if (!lock->Try_Lock()) return false;
  lock->Unlock();
  return true;
}

TYPED_TEST(LockTest, TryLockFailsOnlyWhileAnotherThreadHolds) {
  TypeParam lock;
  EXPECT_TRUE(Try_And_Release(&lock));
  std::atomic<int> stage{0};
  std::thread holder([&] {
    CLockGuard guard(&lock);
    EXPECT_TRUE(Try_And_Release(&lock));  // the holder's own: nested
    stage = 1;
    while (stage != 2) std::this_thread::yield();
  });
  while (stage != 1) std::this_thread::yield();
  EXPECT_FALSE(Try_And_Release(&lock));
  stage = 2;
  holder.join();
  EXPECT_TRUE(Try_And_Release(&lock));
}

// Many more threads than processors on one lock, and every 16th holder sleeps inside its section
// (a holder preempted there): the others spin out and sleep in the kernel, so most hand-overs go
// through the wake-up path. Every increment must survive and every thread must finish; a lost
// wake-up where sleepers wait without a time-out hangs the test.
TYPED_TEST(LockTest, ManyThreadsOnOneLockWithSleepingHolders) {
  TypeParam lock;
  const unsigned threads = std::max(8u, 4 * std::thread::hardware_concurrency());
  const uint32_t rounds = mqw_test::Scaled(2000);
  uint64_t counter = 0;
  std::atomic<int> inside{0};
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (uint32_t i = 0; i < rounds; ++i) {
        CLockGuard guard(&lock);
        if (inside.fetch_add(1, std::memory_order_relaxed) != 0) ADD_FAILURE() << "not exclusive";
        ++counter;
        if ((i + t) % 16 == 0) std::this_thread::sleep_for(50us);
        inside.fetch_sub(1, std::memory_order_relaxed);
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(counter, uint64_t{threads} * rounds);
}

// One waiter asleep in the kernel (the holder keeps the lock far longer than any spin) must be
// woken by the unlock; repeated so that the unlock meets the waiter at every stage of going to
// sleep.
TYPED_TEST(LockTest, UnlockWakesASleepingWaiter) {
  TypeParam lock;
  for (int round = 0; round < 200; ++round) {
    std::atomic<bool> started{false};
    std::atomic<bool> entered{false};
    lock.Lock();
    std::thread waiter([&] {
      started = true;
      CLockGuard guard(&lock);
      entered = true;
    });
    while (!started) std::this_thread::yield();
    // From a long sleep down to none: the unlock lands before, during and after the waiter's
    // spin and its futex wait.
    std::this_thread::sleep_for(std::chrono::microseconds(round % 10 == 0 ? 2000 : round % 7));
    EXPECT_FALSE(entered.load());
    lock.Unlock();
    waiter.join();
    EXPECT_TRUE(entered.load());
  }
}

}  // namespace
