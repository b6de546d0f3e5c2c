// The argument contract of Sent that every sink keeps alike (the sink base checks it before a
// sink sees the call): wrong arguments are refused with eCode_Bad_Args and counted as errors in
// Get_Info, never as another kind of refusal. One table, run against each sink; each sink's test
// checks in its own terms that nothing of them was taken.
//
// Thread-safety: call from one thread; the sink may run its own threads meanwhile.
#ifndef TESTS_SUPPORT_SENT_CONTRACT_H_
#define TESTS_SUPPORT_SENT_CONTRACT_H_

#include <gtest/gtest.h>
#include <stdint.h>

#include <iterator>

#include <mqtt-wrapper/TR.h>

namespace mqw_test {

// Runs every wrong call against `client` and checks that each is refused and counted once.
// Returns the number of calls made (what rejects_error grew by).
inline uint32_t Expect_Sent_Refuses_Wrong_Arguments(ITR_Client* client) {
  const char bytes[] = "abcd";
  sTRC_Data_Chunk chunk{bytes, 4};
  sTRC_Data_Chunk null_data[2] = {{bytes, 2}, {nullptr, 2}};
  struct Case {
    const char* label;
    uint32_t id;
    sTRC_Data_Chunk* chunks;
    uint32_t count;
    uint32_t size;
  };
  const Case cases[] = {
      {"no chunks", 0, nullptr, 1, 4},
      {"count 0", 0, &chunk, 0, 4},
      {"channel 32", 32, &chunk, 1, 4},
      {"channel far beyond 31", 0xFFFFFFFFu, &chunk, 1, 4},
      {"too long for a record header", 0, &chunk, 1, 0x7FFFFFC},
      {"chunks short of size", 0, &chunk, 1, 5},
      {"chunks beyond size", 0, &chunk, 1, 3},
      {"a chunk without bytes", 0, null_data, 2, 4},
  };
  sTRC_Info before{};
  EXPECT_TRUE(client->Get_Info(&before));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(client->Sent(c.id, c.chunks, c.count, c.size), static_cast<uint32_t>(eCode_Bad_Args));
  }
  sTRC_Info after{};
  EXPECT_TRUE(client->Get_Info(&after));
  EXPECT_EQ(after.rejects_error - before.rejects_error, std::size(cases));
  EXPECT_EQ(after.rejects_no_room, before.rejects_no_room);
  return static_cast<uint32_t>(std::size(cases));
}

}  // namespace mqw_test

#endif  // TESTS_SUPPORT_SENT_CONTRACT_H_
