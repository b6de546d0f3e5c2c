// Call-site descriptors: format parsing, transmission plans, record layout, keys, arena.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trace/channel/memory_manager.h"
#include "trace/channel/stream_reader.h"
#include "trace/channel/trace_desc.h"

namespace {

struct ArgCase {
  const char* format;
  std::vector<std::pair<int, int>> args;  // {type, size}
  std::vector<int32_t> blocks;
};

std::vector<std::pair<int, int>> Args_Of(const CTRTrace_Desc& desc) {
  std::vector<std::pair<int, int>> out;
  for (uint32_t i = 0; i < desc.Get_Arguments_Count(); ++i) {
    out.emplace_back(desc.Get_Arguments()[i].type, desc.Get_Arguments()[i].size);
  }
  return out;
}

std::vector<int32_t> Blocks_Of(const CTRTrace_Desc& desc) {
  uint32_t count;
  const int32_t* blocks = desc.Get_Blocks(&count);
  return std::vector<int32_t>(blocks, blocks + count);
}

const uint64_t kKey[2] = {1, 2};

TEST(TraceDescTest, ParsesConversionsIntoArgumentsAndPlan) {
  const ArgCase cases[] = {
      {"%%d", {}, {}},
      {"%5.2f", {{6, 8}}, {8}},
      {"%lld", {{5, 8}}, {8}},
      {"%hhu", {{1, 8}}, {8}},
      {"%I64x", {{5, 8}}, {8}},
      {"%I32d", {{4, 8}}, {8}},
      {"%jd", {{13, 8}}, {8}},
      {"%zu %td %Id %ld", {{5, 8}, {5, 8}, {5, 8}, {5, 8}}, {32}},
      {"%hd %wd", {{3, 8}, {4, 8}}, {16}},
      {"%ls", {{11, 0}}, {-4}},
      {"%S", {{11, 0}}, {-4}},
      {"%hs", {{9, 0}}, {-1}},
      {"%hS", {{9, 0}}, {-1}},
      {"%lc", {{12, 8}}, {8}},
      {"%c %C %hc", {{1, 8}, {1, 8}, {1, 8}}, {24}},
      {"%*d", {{4, 8}, {4, 8}}, {16}},
      {"%Fd", {{4, 8}}, {8}},  // F is not a conversion: the 'd' after it decides
      {"%Lf %p %b", {{6, 8}, {7, 8}, {4, 8}}, {24}},
      {"%d %s", {{4, 8}, {10, 0}}, {8, -1}},
      {"%10s", {{10, 0}}, {-5}},
      {"%.*s", {{4, 8}, {10, 0}}, {8, -5}},
      {"%5ls", {{11, 0}}, {-6}},
      {"%d%d%s%ls%x", {{4, 8}, {4, 8}, {10, 0}, {11, 0}, {4, 8}}, {16, -1, -4, 8}},
      {"100%", {}, {}},
  };
  for (const ArgCase& c : cases) {
    SCOPED_TRACE(c.format);
    CMemoryManager arena;
    ASSERT_TRUE(arena.Init());
    const char* format = c.format;
    CTRTrace_Desc desc(&arena, 1025, 1, 0, "f.c", "fn", &format, kKey);
    ASSERT_TRUE(desc.Is_Initialized());
    EXPECT_EQ(Args_Of(desc), c.args);
    EXPECT_EQ(Blocks_Of(desc), c.blocks);
  }
}

TEST(TraceDescTest, BuildsTheFormatRecordByteForByte) {
  CMemoryManager arena;
  ASSERT_TRUE(arena.Init());
  const char* format = "%d %s";
  CTRTrace_Desc desc(&arena, 1025, 7, 3, "f.c", "fn", &format, kKey);
  uint32_t size;
  const uint8_t* record = static_cast<const uint8_t*>(desc.Get_Buffer(&size));
  // 12 fixed + 2 args * 2 + 6 UTF-16 units * 2 + "f.c\0" + "fn\0"
  ASSERT_EQ(size, 12u + 4 + 12 + 4 + 3);
  std::vector<uint8_t> expected = {0x20, 0x8C, 0,   0,  // header: 35 * 1024 + 32
                                   0x01, 0x04,          // id 1025
                                   7,    0,             // line
                                   3,    0,             // module
                                   2,    0,             // args_count
                                   4,    8,    10,  0,  // {4,8} {10,0}
                                   '%',  0,    'd', 0,   ' ', 0, '%', 0,   's', 0,
                                   0,    0,    'f', '.', 'c', 0, 'f', 'n', 0};
  EXPECT_EQ(std::vector<uint8_t>(record, record + size), expected);
}

TEST(TraceDescTest, AbsentNamesAndFourByteCharacters) {
  CMemoryManager arena;
  ASSERT_TRUE(arena.Init());
  const char* format =
      "a\xF0\x9F\x98\x80"
      "b";  // an emoji between two letters
  CTRTrace_Desc desc(&arena, 1025, 1, 0, nullptr, nullptr, &format, kKey);
  uint32_t size;
  const uint8_t* record = static_cast<const uint8_t*>(desc.Get_Buffer(&size));
  ASSERT_EQ(size, 12u + 4 * 2 + 1 + 1);  // "a*b" + NUL unit, single NUL file and function
  const uint16_t* text = reinterpret_cast<const uint16_t*>(record + 12);
  EXPECT_EQ(text[0], 'a');
  EXPECT_EQ(text[1], '*');
  EXPECT_EQ(text[2], 'b');
  EXPECT_EQ(text[3], 0);
  EXPECT_EQ(record[size - 2], 0);
  EXPECT_EQ(record[size - 1], 0);
}

TEST(TraceDescTest, NullFormatAndOversizedFormatsAreNotInitialized) {
  CMemoryManager arena;
  ASSERT_TRUE(arena.Init());
  const char* null_format = nullptr;
  EXPECT_FALSE(CTRTrace_Desc(&arena, 1, 1, 0, "f", "g", &null_format, kKey).Is_Initialized());
  EXPECT_FALSE(CTRTrace_Desc(&arena, 1, 1, 0, "f", "g", nullptr, kKey).Is_Initialized());

  // A format whose record cannot be expressed by a record header.
  std::string huge(kTRTrace_Max_Record / 2, 'x');
  const char* format = huge.c_str();
  EXPECT_FALSE(CTRTrace_Desc(&arena, 1, 1, 0, "f", "g", &format, kKey).Is_Initialized());
}

TEST(TraceDescTest, HundredsOfConversionsGrowTheArgumentList) {
  CMemoryManager arena;
  ASSERT_TRUE(arena.Init());
  std::string text;
  for (int i = 0; i < 300; ++i) text += (i % 100 == 99) ? "%s" : "%d";
  const char* format = text.c_str();
  CTRTrace_Desc desc(&arena, 1025, 1, 0, "f", "g", &format, kKey);
  ASSERT_TRUE(desc.Is_Initialized());
  EXPECT_EQ(desc.Get_Arguments_Count(), 300u);
  EXPECT_EQ(Blocks_Of(desc), (std::vector<int32_t>{99 * 8, -1, 99 * 8, -1, 99 * 8, -1}));
}

TEST(TraceDescTest, ManagedSitesUseLengthLineAndFileHash) {
  uint64_t key[2];
  CTRTrace_Desc::Make_Managed_Key("a.cpp", 10, key);
  EXPECT_EQ(key[0], 327690u);
  uint64_t hash = 0x811C9DC5ULL;
  for (unsigned char c : std::string("a.cpp")) hash = (hash ^ c) * 0x01000193ULL;
  EXPECT_EQ(key[1], hash);

  CTRTrace_Desc::Make_Managed_Key("", 42, key);
  EXPECT_EQ(key[0], 42u);
  EXPECT_EQ(key[1], 0x811C9DC5ULL);

  // Bytes above 0x7F hash as unsigned values.
  CTRTrace_Desc::Make_Managed_Key("\xE9", 0, key);
  EXPECT_EQ(key[1], (0x811C9DC5ULL ^ 0xE9) * 0x01000193ULL);

  CMemoryManager arena;
  ASSERT_TRUE(arena.Init());
  CTRTrace_Desc desc(&arena, 1025, 10, 0, "a.cpp", "fn", key);
  ASSERT_TRUE(desc.Is_Initialized());
  EXPECT_EQ(Args_Of(desc), (std::vector<std::pair<int, int>>{{10, 0}}));
  EXPECT_EQ(Blocks_Of(desc), (std::vector<int32_t>{-1}));
}

TEST(TraceDescTest, KeysOrderAsPairs) {
  CMemoryManager arena;
  ASSERT_TRUE(arena.Init());
  const uint64_t key[2] = {5, 5};
  CTRTrace_Desc desc(&arena, 1025, 1, 0, "f", "g", key);
  const uint64_t lower[2] = {4, 9}, same_first[2] = {5, 4}, equal[2] = {5, 5}, higher[2] = {5, 6};
  EXPECT_TRUE(desc.Is_Greater(lower));
  EXPECT_TRUE(desc.Is_Greater(same_first));
  EXPECT_FALSE(desc.Is_Greater(equal));
  EXPECT_TRUE(desc.Is_Equal(equal));
  EXPECT_FALSE(desc.Is_Greater(higher));
}

TEST(MemoryManagerTest, AlignsGrowsPagesAndStopsAtTheLimit) {
  CMemoryManager arena(2 * 10240 + 100);
  ASSERT_TRUE(arena.Init());
  uint8_t* a = static_cast<uint8_t*>(arena.Alloc(3));
  uint8_t* b = static_cast<uint8_t*>(arena.Alloc(5));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 8, 0u);
  EXPECT_EQ(b - a, 8);
  EXPECT_EQ(b[0], 0);
  EXPECT_NE(arena.Alloc(10000), nullptr);  // still the first page
  EXPECT_NE(arena.Alloc(10000), nullptr);  // second page
  EXPECT_EQ(arena.Alloc(10000), nullptr);  // a third page would pass the limit
  EXPECT_NE(arena.Alloc(8), nullptr);      // what fits in the current page still works
  EXPECT_LE(arena.Get_Total(), 2u * 10240 + 100);

  void* scratch = arena.Reuse(CMemoryManager::eBuffer_Values, 10);
  ASSERT_NE(scratch, nullptr);
  EXPECT_EQ(arena.Get_Capacity(CMemoryManager::eBuffer_Values), 256u);
  EXPECT_EQ(arena.Reuse(CMemoryManager::eBuffer_Values, 200), scratch);
  ASSERT_NE(arena.Reuse(CMemoryManager::eBuffer_Values, 257), nullptr);
  EXPECT_EQ(arena.Get_Capacity(CMemoryManager::eBuffer_Values), 512u);
}

}  // namespace
