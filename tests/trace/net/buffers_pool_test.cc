// The packet pool: sizing, growth up to the memory limit, reuse, wrong use and its reports, and
// concurrent pulls and pushes.
#include "trace/net/buffers_pool.h"

#include <gtest/gtest.h>
#include <string.h>

#include <set>
#include <thread>
#include <vector>

#include "recording_journal.h"

namespace {

using net_test::RecordingJournal;

TEST(BuffersPoolTest, SizingTable) {
  // Expected values worked out by hand from: slot = P + 40, step = (M / 10 / slot + 1) x slot,
  // maximal = M / slot.
  struct Case {
    uint32_t limit;
    uint32_t packet;
    uint32_t slot;
    uint32_t step;
    uint32_t maximal;
    bool initialised;
  } const cases[] = {
      {1305600, 65280, 65320, 130640, 19,
       true},  // local address, default pool raised to 20 packets
      {1048576, 1472, 1512, 105840, 693,
       true},                               // default pool, default packet: 69 + 1 slots a block
      {16384, 512, 552, 1656, 29, true},    // smallest pool, smallest packet
      {29440, 1472, 1512, 3024, 19, true},  // 20 packets of 1472 bytes, less than 20 slots
      {1000, 1472, 1512, 1512, 0, false},   // not even one slot
      {1048576, 0, 0, 0, 0, false},         // no packet size
      {1048576, 70000, 0, 0, 0, false},     // beyond a 16-bit size field
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "M=" << c.limit << " P=" << c.packet);
    CBuffers_Pool pool(c.limit, c.packet, nullptr);
    EXPECT_EQ(pool.Is_Initialized(), c.initialised);
    if (c.packet == 0 || c.packet > 0xFFFF) continue;
    EXPECT_EQ(pool.Slot_Size(), c.slot);
    EXPECT_EQ(pool.Step(), c.step);
    EXPECT_EQ(pool.Step() % pool.Slot_Size(), 0u);
    EXPECT_EQ(pool.Get_State().maximal_buffers, c.maximal);
    EXPECT_EQ(pool.Get_State().allocated_bytes, 0u);  // nothing before the first pull
  }
}

TEST(BuffersPoolTest, FreshPacketsAreZeroedPoolBuffersOfThePacketSize) {
  CBuffers_Pool pool(16384, 512, nullptr);
  CTPacket* packet = pool.Pull_Buffer();
  ASSERT_NE(packet, nullptr);
  EXPECT_TRUE(packet->Is_Valid());
  EXPECT_TRUE(packet->Is_External());
  EXPECT_EQ(packet->Get_Pool_ID(), 0u);
  EXPECT_EQ(packet->Get_Buffer_Size(), 512u);
  EXPECT_EQ(packet->Get_Buffer(),
            reinterpret_cast<uint8_t*>(packet) + CBuffers_Pool::kObject_Bytes);
  EXPECT_EQ(std::vector<uint8_t>(packet->Get_Buffer(), packet->Get_Buffer() + 512),
            std::vector<uint8_t>(512, 0));
  sBuffers_Pool_State state = pool.Get_State();
  EXPECT_EQ(state.allocated_bytes, 1656u);  // one block
  EXPECT_EQ(state.created_buffers, 3u);
  EXPECT_EQ(state.taken_buffers, 1u);

  // A packet handed out again keeps the bytes it had.
  memset(packet->Get_Buffer(), 0xAB, 512);
  pool.Push_Buffer(packet);
  std::vector<CTPacket*> all;
  for (int i = 0; i < 3; ++i) all.push_back(pool.Pull_Buffer());
  EXPECT_EQ(pool.Get_State().created_buffers, 3u);
  bool found = false;
  for (CTPacket* p : all) {
    if (p == packet) found = p->Get_Buffer()[0] == 0xAB && p->Get_Buffer()[511] == 0xAB;
  }
  EXPECT_TRUE(found);
  for (CTPacket* p : all) pool.Push_Buffer(p);
}

TEST(BuffersPoolTest, GrowsByBlocksUntilTheLimitThenRefusesUntilAPacketComesBack) {
  RecordingJournal journal;
  {
    CBuffers_Pool pool(16384, 512, &journal);
    // Blocks of 3 slots (1656 bytes) are cut while fewer than 16384 bytes are allocated: ten
    // blocks, 30 packets (one more than the limit's 29 slots).
    std::set<CTPacket*> taken;
    for (int i = 0; i < 30; ++i) {
      CTPacket* packet = pool.Pull_Buffer();
      ASSERT_NE(packet, nullptr) << i;
      EXPECT_TRUE(taken.insert(packet).second);
    }
    EXPECT_TRUE(journal.Entries().empty());
    EXPECT_EQ(pool.Pull_Buffer(), nullptr);
    EXPECT_TRUE(journal.Has(
        IJournal::eError, "Allocate",
        "Failed, Memory limit is reached, ID = 0 Count = 30, Max = 29. Buffer Size = 512, "
        "Memory limit = 16384"));
    sBuffers_Pool_State state = pool.Get_State();
    EXPECT_EQ(state.allocated_bytes, 16560u);
    EXPECT_EQ(state.taken_buffers, 30u);

    CTPacket* back = *taken.begin();
    pool.Push_Buffer(back);
    EXPECT_EQ(pool.Pull_Buffer(), back);
    for (CTPacket* packet : taken) pool.Push_Buffer(packet);
    EXPECT_EQ(pool.Get_State().taken_buffers, 0u);
  }
  EXPECT_EQ(journal.Entries().size(), 1u);  // nothing missed at destruction
  EXPECT_EQ(journal.References(), 0);
}

TEST(BuffersPoolTest, WrongUseIsReportedAndChangesNothing) {
  RecordingJournal journal;
  {
    CBuffers_Pool pool(16384, 512, &journal);
    EXPECT_EQ(journal.References(), 1);
    CTPacket* packet = pool.Pull_Buffer();
    pool.Push_Buffer(packet);
    pool.Push_Buffer(packet);  // nothing taken any more
    pool.Push_Buffer(nullptr);
    EXPECT_EQ(journal.Get_Count(IJournal::eError), 2u);
    EXPECT_TRUE(journal.Has(IJournal::eError, "Push_Buffer", "Wrong parameters."));
    sBuffers_Pool_State state = pool.Get_State();
    EXPECT_EQ(state.taken_buffers, 0u);
    EXPECT_EQ(state.created_buffers, 3u);

    pool.Pull_Buffer();  // never returned
    pool.Pull_Buffer();
    pool.Add_Ref();
  }
  EXPECT_TRUE(journal.Has(IJournal::eError, "~CBuffers_Pool", "2 buffers are missed !."));
  EXPECT_TRUE(
      journal.Has(IJournal::eError, "~CBuffers_Pool", "Reference count is greater than 0 !"));
  EXPECT_EQ(journal.References(), 0);
}

// Packet sizes that are not a multiple of 8 still give aligned packet objects, and a packet
// written to its full size does not damage its neighbours.
TEST(BuffersPoolTest, SlotsOfOddPacketSizesDoNotOverlap) {
  const uint32_t kPacket = 1473;
  CBuffers_Pool pool(40 * (kPacket + 40), kPacket, nullptr);
  std::vector<CTPacket*> packets;
  for (CTPacket* packet = pool.Pull_Buffer(); packet; packet = pool.Pull_Buffer())
    packets.push_back(packet);
  ASSERT_GE(packets.size(), 40u);
  for (size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(packets[i]) % alignof(CTPacket), 0u);
    memset(packets[i]->Get_Buffer(), static_cast<int>(i), kPacket);
  }
  for (size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i]->Get_Buffer_Size(), kPacket);
    EXPECT_EQ(packets[i]->Get_Buffer()[0], static_cast<uint8_t>(i));
    EXPECT_EQ(packets[i]->Get_Buffer()[kPacket - 1], static_cast<uint8_t>(i));
    pool.Push_Buffer(packets[i]);
  }
}

TEST(BuffersPoolTest, ConcurrentPullsAndPushesKeepTheCountsRight) {
  CBuffers_Pool pool(64 * 552, 512, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&pool, t] {
      for (int i = 0; i < 2000; ++i) {
        CTPacket* a = pool.Pull_Buffer();
        CTPacket* b = pool.Pull_Buffer();
        if (a) a->Get_Buffer()[0] = static_cast<uint8_t>(t);
        if (b) pool.Push_Buffer(b);
        if (a) pool.Push_Buffer(a);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  sBuffers_Pool_State state = pool.Get_State();
  EXPECT_EQ(state.taken_buffers, 0u);
  // At most eight packets were out at once, so at most two blocks of seven slots were cut.
  EXPECT_LE(state.created_buffers, 14u);
}

}  // namespace
