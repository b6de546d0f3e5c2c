// The staging ring: records of every size come back whole and in order across the ring's end
// (where a skip mark fills the rest), a full ring refuses instead of overwriting, and the space
// the consumer gives back is used again. A producer thread beside the consumer checks the
// publication order (run under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <string.h>

#include <thread>
#include <vector>

#include "trace/channel/staging_ring.h"

namespace {

auto* const kDesc = reinterpret_cast<CTRTrace_Desc*>(0x1234);

// Fills `size` bytes with a pattern of `number`.
void Fill(uint8_t* out, uint32_t size, uint32_t number) {
  for (uint32_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(number * 31 + i);
}
bool Matches(const uint8_t* data, uint32_t size, uint32_t number) {
  for (uint32_t i = 0; i < size; ++i)
    if (data[i] != static_cast<uint8_t>(number * 31 + i)) return false;
  return true;
}

// Reads every published record from the head, checks it is record `*next` of `sizes`, and gives
// the space back; returns how many it read.
uint32_t Consume(CStaging_Ring* ring, const std::vector<uint32_t>& sizes, uint32_t* next) {
  uint64_t position = ring->Head();
  const uint64_t end = ring->Snapshot();
  uint32_t read = 0;
  while (position != end) {
    CStaging_Ring::sEntry* entry = ring->Entry_At(&position);
    const uint32_t expected = sizes[*next % sizes.size()];
    EXPECT_EQ(entry->size, expected) << *next;
    EXPECT_EQ(entry->desc, kDesc);
    EXPECT_TRUE(Matches(reinterpret_cast<uint8_t*>(entry + 1), entry->size, *next)) << *next;
    position = CStaging_Ring::Next(position, entry);
    ++*next;
    ++read;
  }
  ring->Release_To(position);
  return read;
}

TEST(StagingRing, RecordsComeBackWholeAcrossTheEndAndAFullRingRefuses) {
  struct Case {
    const char* label;
    std::vector<uint32_t> sizes;
  } const cases[] = {
      {"small", {1, 7, 8, 9, 33}},
      {"odd sizes that leave odd room at the end", {4093, 61, 1000, 3}},
      {"the largest", {CStaging_Ring::kMax_Record}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    CStaging_Ring* ring = CStaging_Ring::Create(1);
    ASSERT_NE(ring, nullptr);
    uint32_t written = 0;
    uint32_t read = 0;
    // Several turns around the ring, consuming whenever it is full.
    while (written < 3 * CStaging_Ring::kBytes / c.sizes[0] + 50 && written < 20000) {
      const uint32_t size = c.sizes[written % c.sizes.size()];
      uint8_t* out = ring->Reserve(size);
      if (out == nullptr) {
        EXPECT_GT(ring->Snapshot() - ring->Head(), CStaging_Ring::kBytes - 2 * (size + 32));
        ASSERT_GT(Consume(ring, c.sizes, &read), 0u);
        continue;
      }
      Fill(out, size, written);
      ring->Commit(size, kDesc, 0);
      ++written;
    }
    Consume(ring, c.sizes, &read);
    EXPECT_EQ(read, written);
    EXPECT_TRUE(ring->Empty_For_Producer());
    ring->Destroy();
  }
}

TEST(StagingRing, AConsumerBesideTheProducerSeesOnlyWholeRecords) {
  CStaging_Ring* ring = CStaging_Ring::Create(1);
  ASSERT_NE(ring, nullptr);
  const std::vector<uint32_t> sizes = {40, 200, 17, 3000};
  constexpr uint32_t kRecords = 100000;
  std::thread producer([&] {
    for (uint32_t number = 0; number < kRecords;) {
      const uint32_t size = sizes[number % sizes.size()];
      uint8_t* out = ring->Reserve(size);
      if (out == nullptr) {
        std::this_thread::yield();
        continue;
      }
      Fill(out, size, number);
      ring->Commit(size, kDesc, 0);
      ++number;
    }
  });
  uint32_t read = 0;
  while (read < kRecords) {
    if (Consume(ring, sizes, &read) == 0) std::this_thread::yield();
  }
  producer.join();
  EXPECT_TRUE(ring->Empty_For_Producer());
  ring->Destroy();
}

}  // namespace
