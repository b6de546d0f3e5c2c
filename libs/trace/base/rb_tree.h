// CRBTree<T, K>: red-black tree of pointer elements ordered by a key type K; the ordering is
// supplied by the derived class (Is_Key_Less, Is_Qual). Nodes come from segments of `pool_size`
// nodes and are recycled through a free list linked by the nodes' right field; segments are
// freed only by the destructor.
//
// Ownership: with the release flag set (the default), Clear() and destruction release every
// element through Data_Release (default: delete). A derived class that overrides Data_Release or
// the memory hooks must call Clear() and Release_Storage() in its own destructor, because
// virtual overrides are no longer reachable from the base destructor.
//
// Invariants: the root is black; no red node has a red child; every path from a node down to
// the nil sentinel holds the same number of black nodes; every absent child and the empty root
// point to the sentinel m_Nil, which stays black with null parent and data.
//
// Thread-safety: none; the owner serialises every access.
#ifndef TRACE_BASE_RB_TREE_H_
#define TRACE_BASE_RB_TREE_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <new>
#include <type_traits>

template <class T, class K>
class CRBTree {
 public:
  struct sNode {
    sNode* left;
    sNode* right;
    sNode* parent;
    T data;
    uint8_t colour;  // 1 red, 0 black
  };

  static constexpr uint8_t kRed = 1;
  static constexpr uint8_t kBlack = 0;

  explicit CRBTree(uint32_t pool_size = 128) : m_Pool_Size(pool_size ? pool_size : 1) {
    m_Sentinel.left = &m_Sentinel;
    m_Sentinel.right = &m_Sentinel;
    m_Sentinel.parent = nullptr;
    m_Sentinel.data = nullptr;
    m_Sentinel.colour = kBlack;
    m_Root = &m_Sentinel;
    m_Nil = &m_Sentinel;
  }

  virtual ~CRBTree() {
    Clear();
    Release_Storage();
  }

  CRBTree(const CRBTree&) = delete;
  CRBTree& operator=(const CRBTree&) = delete;

  // Inserts `element` under `key` unless an equal key is present. Returns the stored element
  // (the existing one when the key was present), or null when no node can be had.
  T Push(T element, K key) {
    sNode* parent = nullptr;
    sNode* node = m_Root;
    while (node != m_Nil) {
      if (Is_Qual(key, node->data)) return node->data;
      parent = node;
      node = Is_Key_Less(key, node->data) ? node->left : node->right;
    }
    sNode* added = Node_Allocate();
    if (!added) return nullptr;
    added->left = m_Nil;
    added->right = m_Nil;
    added->parent = parent;
    added->data = element;
    added->colour = kRed;
    if (!parent) {
      m_Root = added;
    } else if (Is_Key_Less(key, parent->data)) {
      parent->left = added;
    } else {
      parent->right = added;
    }
    Insert_Fixup(added);
    m_Root->colour = kBlack;
    return added->data;
  }

  // The element whose key equals `key`, or null.
  T Find(K key) {
    sNode* node = m_Root;
    while (node != m_Nil) {
      if (Is_Qual(key, node->data)) return node->data;
      node = Is_Key_Less(key, node->data) ? node->left : node->right;
    }
    return nullptr;
  }

  // Frees every node (releasing the elements when the release flag is set); the tree is empty
  // afterwards. The node memory stays in the pool.
  void Clear() {
    if (m_Root != m_Nil) Clear(m_Root);
    m_Root = m_Nil;
  }

  void Set_Release(bool release) { m_Release = release; }

  // Read-only access for owners that walk the tree (and for invariant checks).
  const sNode* Get_Root() const { return m_Root; }
  const sNode* Get_Nil() const { return m_Nil; }

 protected:
  virtual bool Data_Release(T element) {
    if constexpr (std::is_pointer_v<T>) {
      if (!element) return false;
      delete element;
      return true;
    } else {
      return false;
    }
  }
  virtual void* MemAlloc(size_t size) { return new (std::nothrow) uint8_t[size]; }
  virtual void MemFree(void* memory) { delete[] static_cast<uint8_t*>(memory); }
  virtual sNode* Node_Allocate() {
    if (!m_Free && !Pool_Segment_Create()) return nullptr;
    sNode* node = m_Free;
    m_Free = node->right;
    node->right = nullptr;
    return node;
  }
  virtual void Node_Free(sNode* node) {
    memset(static_cast<void*>(node), 0, sizeof(sNode));
    node->right = m_Free;
    m_Free = node;
  }
  // True when `key` orders before the key of `element`.
  virtual bool Is_Key_Less(K key, T element) = 0;
  // True when `key` equals the key of `element`.
  virtual bool Is_Qual(K key, T element) = 0;

  // Frees all segments; the tree must be empty. Idempotent.
  void Release_Storage() {
    while (m_Segments) {
      sSegment* next = m_Segments->next;
      MemFree(m_Segments->nodes);
      MemFree(m_Segments);
      m_Segments = next;
    }
    m_Free = nullptr;
  }

 private:
  struct sSegment {
    sNode* nodes;
    uint32_t count;
    sSegment* next;
  };

  bool Pool_Segment_Create() {
    void* descriptor = MemAlloc(sizeof(sSegment));
    if (!descriptor) return false;
    void* nodes = MemAlloc(static_cast<size_t>(m_Pool_Size) * sizeof(sNode));
    if (!nodes) {
      MemFree(descriptor);
      return false;
    }
    memset(nodes, 0, static_cast<size_t>(m_Pool_Size) * sizeof(sNode));
    sSegment* segment = static_cast<sSegment*>(descriptor);
    segment->nodes = static_cast<sNode*>(nodes);
    segment->count = m_Pool_Size;
    for (uint32_t i = 0; i + 1 < m_Pool_Size; ++i) segment->nodes[i].right = &segment->nodes[i + 1];
    segment->nodes[m_Pool_Size - 1].right = m_Free;
    segment->next = m_Segments;
    m_Segments = segment;
    m_Free = segment->nodes;
    return true;
  }

  // Post-order: children first, then the node itself. Depth is bounded by the tree height.
  void Clear(sNode* node) {
    if (node->left != m_Nil) Clear(node->left);
    if (node->right != m_Nil) Clear(node->right);
    if (m_Release) Data_Release(node->data);
    if (node->parent) {
      if (node->parent->left == node) node->parent->left = m_Nil;
      if (node->parent->right == node) node->parent->right = m_Nil;
    }
    Node_Free(node);
  }

  // The two sides of a node, as member pointers, so that every operation is written once for
  // one side and runs mirrored by swapping them.
  using Side = sNode* sNode::*;

  // Rotation towards `down`: x's child on the `up` side takes x's place and x becomes that
  // child's `down` child; the in-order sequence is unchanged. REQUIRES: x->*up != m_Nil.
  void Rotate(sNode* x, Side down, Side up) {
    sNode* y = x->*up;
    x->*up = y->*down;
    if (y->*down != m_Nil) (y->*down)->parent = x;
    y->parent = x->parent;
    if (!x->parent) {
      m_Root = y;
    } else if (x == x->parent->left) {
      x->parent->left = y;
    } else {
      x->parent->right = y;
    }
    y->*down = x;
    x->parent = y;
  }

  // Restores the invariants after `z` was linked in red. `parent_side` is the side of the
  // grandparent that holds z's parent, `uncle_side` the other one; the cases for a parent on the
  // right are the mirror image of those for a parent on the left.
  void Insert_Fixup(sNode* z) {
    while (z->parent && z->parent->colour == kRed) {
      sNode* grand = z->parent->parent;  // exists: a red parent is never the root
      const bool parent_left = z->parent == grand->left;
      const Side parent_side = parent_left ? &sNode::left : &sNode::right;
      const Side uncle_side = parent_left ? &sNode::right : &sNode::left;
      sNode* uncle = grand->*uncle_side;
      if (uncle != m_Nil && uncle->colour == kRed) {
        z->parent->colour = kBlack;
        uncle->colour = kBlack;
        grand->colour = kRed;
        z = grand;
      } else {
        if (z == z->parent->*uncle_side) {
          z = z->parent;
          Rotate(z, parent_side, uncle_side);
        }
        z->parent->colour = kBlack;
        grand->colour = kRed;
        Rotate(grand, uncle_side, parent_side);
      }
    }
  }

  sSegment* m_Segments = nullptr;  // every node segment ever created
  sNode* m_Free = nullptr;         // free nodes, linked through `right`
  uint32_t m_Pool_Size;            // nodes per segment
  bool m_Release = true;           // Clear() releases elements
  sNode m_Sentinel;                // shared nil: black, children point to itself
  sNode* m_Root;                   // m_Nil when empty
  sNode* m_Nil;                    // always &m_Sentinel
};

#endif  // TRACE_BASE_RB_TREE_H_
