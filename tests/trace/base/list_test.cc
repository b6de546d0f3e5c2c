// Lists: linking at both ends, removal fix-ups, the random-access index, and pooled cell reuse.
#include <gtest/gtest.h>

#include <vector>

#include "trace/base/alist.h"
#include "trace/base/blist.h"
#include "trace/base/list_pool.h"

namespace {

// A pooled list of ints that counts the memory it takes through the allocation hooks.
struct MemoryCounters {
  int allocations = 0;
  int frees = 0;
};

class CountingList : public CListPool<int> {
 public:
  explicit CountingList(MemoryCounters* counters = nullptr)
      : counters(counters ? counters : &own) {}
  ~CountingList() override { Release_Storage(); }
  MemoryCounters own;
  MemoryCounters* counters;
  int& allocations = counters->allocations;
  int& frees = counters->frees;
  std::vector<int> released;

 protected:
  bool Data_Release(int element) override {
    released.push_back(element);
    return true;
  }
  void* MemAlloc(size_t size) override {
    ++allocations;
    return CListPool<int>::MemAlloc(size);
  }
  void MemFree(void* memory) override {
    ++frees;
    CListPool<int>::MemFree(memory);
  }
};

// A heap-cell list whose allocations can be made to fail.
class FailingList : public CAList<int*> {
 public:
  bool fail = false;

 protected:
  void* MemAlloc(size_t size) override { return fail ? nullptr : CAList<int*>::MemAlloc(size); }
};

template <class List>
std::vector<int> Forward(List& list) {
  std::vector<int> values;
  for (auto* cell = list.Get_First(); cell; cell = list.Get_Next(cell))
    values.push_back(list.Get_Data(cell));
  return values;
}

template <class List>
std::vector<int> Backward(List& list) {
  std::vector<int> values;
  for (auto* cell = list.Get_Last(); cell; cell = list.Get_Prev(cell))
    values.insert(values.begin(), list.Get_Data(cell));
  return values;
}

TEST(ListTest, LinksAtHeadTailAndAfterCells) {
  CountingList list;
  auto* only = list.Add_After(nullptr, 2);
  ASSERT_NE(only, nullptr);
  EXPECT_EQ(list.Get_First(), only);
  EXPECT_EQ(list.Get_Last(), only);

  list.Add_After(nullptr, 1);  // becomes the new first
  list.Add_Last(4);
  list.Add_After(only, 3);  // between 2 and 4
  list.Add_First(0);
  EXPECT_EQ(Forward(list), (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(Backward(list), Forward(list));
  EXPECT_EQ(list.Count(), 5u);
}

TEST(ListTest, RemoveFixesNeighboursAndEnds) {
  struct Case {
    const char* name;
    int remove_position;  // 0-based, -1 = last
    std::vector<int> expected;
  };
  const Case cases[] = {
      {"first", 0, {1, 2, 3}},
      {"middle", 2, {0, 1, 3}},
      {"last", -1, {0, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CountingList list;
    for (int i = 0; i < 4; ++i) list.Add_Last(i);
    auto* cell = c.remove_position < 0 ? list.Get_Last()
                                       : list.Get_ByIndex(static_cast<uint32_t>(c.remove_position));
    list.Remove(cell, true);
    EXPECT_EQ(Forward(list), c.expected);
    EXPECT_EQ(Backward(list), c.expected);
    EXPECT_EQ(list.Count(), 3u);
    EXPECT_EQ(list.released.size(), 1u);
  }

  CountingList single;
  single.Add_Last(7);
  single.Remove(single.Get_First(), false);
  EXPECT_EQ(single.Get_First(), nullptr);
  EXPECT_EQ(single.Get_Last(), nullptr);
  EXPECT_TRUE(single.released.empty());
}

TEST(ListTest, IndexFollowsEveryChange) {
  CountingList list;
  for (int i = 0; i < 10; ++i) list.Add_Last(i);
  EXPECT_EQ(list.Get_Data(list.Get_ByIndex(9)), 9);
  EXPECT_EQ(list.Get_ByIndex(10), nullptr);  // Get_ByIndex(count)
  EXPECT_EQ(list.Get_ByIndex(UINT32_MAX), nullptr);

  list.Add_First(-1);
  EXPECT_EQ(list.Get_Data(list.Get_ByIndex(0)), -1);
  EXPECT_EQ(list.Get_Data(list.Get_ByIndex(10)), 9);
  list.Remove(list.Get_ByIndex(5), false);  // removes value 4
  EXPECT_EQ(list.Get_Data(list.Get_ByIndex(5)), 5);
  EXPECT_EQ(list.Get_ByIndex(10), nullptr);

  // Growth past the spare slots of the index forces a new, larger array.
  for (int i = 0; i < 300; ++i) list.Add_Last(100 + i);
  EXPECT_EQ(list.Get_Data(list.Get_ByIndex(list.Count() - 1)), 399);
  list.Clear(false);
  EXPECT_EQ(list.Get_ByIndex(0), nullptr);
}

TEST(ListTest, IndexFallsBackToWalkingWhenItCannotBeBuilt) {
  FailingList list;
  int values[3] = {10, 11, 12};
  for (int& value : values) list.Add_Last(&value);
  list.fail = true;
  EXPECT_FALSE(list.Index_Build());
  EXPECT_EQ(list.Get_Data(list.Get_ByIndex(2)), &values[2]);
  EXPECT_EQ(list.Add_Last(&values[0]), nullptr);  // no cell: list unchanged
  EXPECT_EQ(list.Count(), 3u);
  list.fail = false;
  list.Clear(false);
}

TEST(ListTest, PoolHoldsWholeSegmentsAndRefillAllocatesNothing) {
  CountingList list;
  for (int i = 0; i < 129; ++i) ASSERT_NE(list.Add_Last(i), nullptr);
  EXPECT_EQ(list.Segments_Count(), 2u);
  EXPECT_EQ(list.allocations, 4);  // two descriptors and two cell arrays

  list.Clear(true);
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(list.released.size(), 129u);
  EXPECT_EQ(list.Segments_Count(), 2u);

  int before = list.allocations;
  for (int i = 0; i < 256; ++i) ASSERT_NE(list.Add_First(i), nullptr);
  EXPECT_EQ(list.allocations, before);
  EXPECT_EQ(list.frees, 0);

  // A recycled cell comes back clean.
  auto* cell = list.Get_First();
  list.Remove(cell, false);
  auto* again = list.Add_Last(5);
  EXPECT_EQ(again, cell);
  EXPECT_EQ(list.Get_Next(again), nullptr);
  EXPECT_EQ(list.Get_Prev(again), list.Get_ByIndex(list.Count() - 2));
}

TEST(ListTest, DestroyingAPoolFreesEverythingItAllocated) {
  MemoryCounters counters;
  {
    CountingList list(&counters);
    for (int i = 0; i < 200; ++i) list.Add_Last(i);
    list.Get_ByIndex(3);  // builds the index array
  }
  EXPECT_EQ(counters.allocations, 5);  // two segments (descriptor + cells each) and the index
  EXPECT_EQ(counters.frees, counters.allocations);
}

TEST(ListTest, ElementReleasePolicies) {
  struct Tracked {
    explicit Tracked(int* counter) : deleted(counter) {}
    ~Tracked() { ++*deleted; }
    int* deleted;
  };
  int deleted = 0;
  {
    CBList<Tracked*> pooled;
    CAList<Tracked*> heap;
    pooled.Add_Last(new Tracked(&deleted));
    pooled.Add_Last(nullptr);  // nothing to release
    heap.Add_Last(new Tracked(&deleted));
    pooled.Clear(true);
    heap.Clear(true);
    EXPECT_EQ(deleted, 2);

    // Removing without release leaves the element to its owner; destroying never releases.
    Tracked kept(&deleted);
    pooled.Add_Last(&kept);
    heap.Add_Last(&kept);
    pooled.Remove(pooled.Get_First(), false);
    EXPECT_EQ(deleted, 2);
    heap.Clear(false);
  }
  EXPECT_EQ(deleted, 3);  // only `kept` itself, at the end of its scope

  CUintList times;
  times.Add_Last(3600);
  times.Add_Last(7200);
  times.Clear(true);
  EXPECT_EQ(times.Count(), 0u);
}

}  // namespace
