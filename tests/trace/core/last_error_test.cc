// Per-thread last-error codes: fetch once, overwrite before fetch, isolation between threads,
// and use from static initialisation.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "trace/core/last_error.h"

namespace {

// Runs during this binary's static initialisation, possibly before the engine's own.
const uint32_t g_Static_Fetch = [] {
  TR_Set_Last_Error(eLastError_Pool);
  return TR_Last_Error();
}();

TEST(LastErrorTest, UsableFromStaticInitialisation) { EXPECT_EQ(g_Static_Fetch, 5u); }

TEST(LastErrorTest, FetchedOnceAndOverwrittenBeforeFetch) {
  std::thread([] {
    EXPECT_EQ(TR_Last_Error(), 0u);  // a thread that never had an error
    TR_Set_Last_Error(eLastError_No_Memory);
    EXPECT_EQ(TR_Last_Error(), 2u);
    EXPECT_EQ(TR_Last_Error(), 0u);

    TR_Set_Last_Error(eLastError_Thread);
    TR_Set_Last_Error(eLastError_Refused);
    EXPECT_EQ(TR_Last_Error(), 9u);
    EXPECT_EQ(TR_Last_Error(), 0u);
  }).join();
}

TEST(LastErrorTest, EachThreadSeesOnlyItsOwnCode) {
  TR_Set_Last_Error(eLastError_Socket);
  std::thread([] { EXPECT_EQ(TR_Last_Error(), 0u); }).join();
  EXPECT_EQ(TR_Last_Error(), 3u);

  constexpr int kThreads = 8;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &mismatches] {
      for (uint32_t i = 0; i < 2000; ++i) {
        uint32_t code = 1 + (static_cast<uint32_t>(t) + i) % 9;
        TR_Set_Last_Error(code);
        if (TR_Last_Error() != code) ++mismatches;
        if (TR_Last_Error() != 0) ++mismatches;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
