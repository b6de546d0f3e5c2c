// Red-black tree: the structural invariants under different insertion orders, duplicate keys,
// lookups, and node recycling through Clear.
#include <gtest/gtest.h>

#include <math.h>

#include <algorithm>
#include <random>
#include <vector>

#include "trace/base/rb_tree.h"

namespace {

struct Item {
  unsigned key;
  int* deleted;
  ~Item() {
    if (deleted) ++*deleted;
  }
};

class ItemTree : public CRBTree<Item*, unsigned> {
 public:
  explicit ItemTree(uint32_t pool = 128) : CRBTree(pool) {}
  ~ItemTree() override {
    Clear();
    Release_Storage();
  }
  int allocations = 0;

 protected:
  bool Is_Key_Less(unsigned key, Item* item) override { return key < item->key; }
  bool Is_Qual(unsigned key, Item* item) override { return key == item->key; }
  void* MemAlloc(size_t size) override {
    ++allocations;
    return CRBTree::MemAlloc(size);
  }
};

using Node = ItemTree::sNode;

struct Shape {
  bool valid = true;
  int black_height = 0;
  int height = 0;
  int count = 0;
};

// Checks order, parent links, colours and black heights below `node`.
Shape Inspect(const ItemTree& tree, const Node* node, const Node* parent, unsigned low,
              unsigned high) {
  Shape shape;
  if (node == tree.Get_Nil()) {
    shape.black_height = 1;
    return shape;
  }
  if (node->parent != parent || node->data->key < low || node->data->key > high)
    shape.valid = false;
  if (node->colour == ItemTree::kRed &&
      (node->left->colour == ItemTree::kRed || node->right->colour == ItemTree::kRed)) {
    shape.valid = false;
  }
  unsigned key = node->data->key;
  Shape left = Inspect(tree, node->left, node, low, key ? key - 1 : 0);
  Shape right = Inspect(tree, node->right, node, key + 1, high);
  if (node->left != tree.Get_Nil() && key == 0) shape.valid = false;
  shape.valid = shape.valid && left.valid && right.valid && left.black_height == right.black_height;
  shape.black_height = left.black_height + (node->colour == ItemTree::kBlack ? 1 : 0);
  shape.height = 1 + std::max(left.height, right.height);
  shape.count = 1 + left.count + right.count;
  return shape;
}

void Expect_Red_Black(const ItemTree& tree, int expected_count) {
  const Node* root = tree.Get_Root();
  const Node* nil = tree.Get_Nil();
  EXPECT_EQ(nil->colour, ItemTree::kBlack);
  if (root == nil) {
    EXPECT_EQ(expected_count, 0);
    return;
  }
  EXPECT_EQ(root->colour, ItemTree::kBlack);
  Shape shape = Inspect(tree, root, nullptr, 0, UINT32_MAX);
  EXPECT_TRUE(shape.valid);
  EXPECT_EQ(shape.count, expected_count);
  EXPECT_LE(shape.height, 2 * log2(expected_count + 1.0));
}

TEST(RBTreeTest, InvariantsHoldForEveryInsertionOrder) {
  struct Case {
    const char* name;
    std::vector<unsigned> keys;
  };
  std::vector<unsigned> ascending(1000), descending(1000), random_keys(2000), zigzag;
  for (unsigned i = 0; i < 1000; ++i) ascending[i] = descending[999 - i] = i;
  std::mt19937 random(12345);
  for (unsigned& key : random_keys) key = random() % 100000;
  std::sort(random_keys.begin(), random_keys.end());
  random_keys.erase(std::unique(random_keys.begin(), random_keys.end()), random_keys.end());
  std::shuffle(random_keys.begin(), random_keys.end(), random);
  for (unsigned i = 0; i < 500; ++i) {
    zigzag.push_back(i);
    zigzag.push_back(100000 - i);
  }
  const Case cases[] = {{"ascending", ascending},
                        {"descending", descending},
                        {"seeded random", random_keys},
                        {"zigzag", zigzag},
                        {"single", {42}}};

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ItemTree tree;
    int inserted = 0;
    for (unsigned key : c.keys) {
      Item* item = new Item{key, nullptr};
      ASSERT_EQ(tree.Push(item, key), item);
      ++inserted;
      if (inserted % 97 == 0) Expect_Red_Black(tree, inserted);
    }
    Expect_Red_Black(tree, inserted);
    for (unsigned key : c.keys) {
      Item* found = tree.Find(key);
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->key, key);
    }
    EXPECT_EQ(tree.Find(100001), nullptr);
  }
}

TEST(RBTreeTest, PushOfPresentKeyReturnsStoredElementAndChangesNothing) {
  int deleted = 0;
  ItemTree tree;
  Item* first = new Item{7, &deleted};
  tree.Push(first, 7);
  for (unsigned key : {3u, 11u, 1u}) tree.Push(new Item{key, &deleted}, key);
  const Node* root = tree.Get_Root();

  Item duplicate{7, nullptr};
  EXPECT_EQ(tree.Push(&duplicate, 7), first);
  EXPECT_EQ(tree.Find(7), first);
  EXPECT_EQ(tree.Get_Root(), root);
  Expect_Red_Black(tree, 4);
  EXPECT_EQ(deleted, 0);
}

TEST(RBTreeTest, ClearReleasesElementsAndRecyclesNodes) {
  int deleted = 0;
  ItemTree tree;
  EXPECT_EQ(tree.Find(1), nullptr);  // empty tree
  for (unsigned key = 0; key < 200; ++key) tree.Push(new Item{key, &deleted}, key);
  int allocations = tree.allocations;
  EXPECT_EQ(allocations, 4);  // two segments: descriptor and node array each

  tree.Clear();
  EXPECT_EQ(deleted, 200);
  EXPECT_EQ(tree.Get_Root(), tree.Get_Nil());
  EXPECT_EQ(tree.Find(5), nullptr);

  for (unsigned key = 0; key < 256; ++key) tree.Push(new Item{key, &deleted}, key);
  EXPECT_EQ(tree.allocations, allocations);
  Expect_Red_Black(tree, 256);

  tree.Set_Release(false);
  std::vector<Item*> kept;
  for (unsigned key = 0; key < 256; ++key) kept.push_back(tree.Find(key));
  tree.Clear();
  EXPECT_EQ(deleted, 200);
  for (Item* item : kept) delete item;
  EXPECT_EQ(deleted, 456);
}

TEST(RBTreeTest, DestructionReleasesElements) {
  int deleted = 0;
  {
    ItemTree tree(16);
    for (unsigned key = 0; key < 40; ++key) tree.Push(new Item{key, &deleted}, key);
  }
  EXPECT_EQ(deleted, 40);
}

}  // namespace
