// CDesc_Tree: a channel's call-site descriptors ordered by their two-word key.
//
// Descriptors live in the channel's arena, so the tree never releases them: clearing or
// destroying it frees only its nodes.
//
// Thread-safety: none; the owning channel serialises every access under its lock.
#ifndef TRACE_CHANNEL_DESC_TREE_H_
#define TRACE_CHANNEL_DESC_TREE_H_

#include <stdint.h>

#include "trace/base/rb_tree.h"
#include "trace/channel/trace_desc.h"

class CDesc_Tree : public CRBTree<CTRTrace_Desc*, const uint64_t*> {
 public:
  CDesc_Tree() : CRBTree(128) {}
  ~CDesc_Tree() override {
    Clear();
    Release_Storage();
  }

 protected:
  bool Data_Release(CTRTrace_Desc* element) override { return element != nullptr; }
  bool Is_Key_Less(const uint64_t* key, CTRTrace_Desc* element) override {
    return element->Is_Greater(key);
  }
  bool Is_Qual(const uint64_t* key, CTRTrace_Desc* element) override {
    return element->Is_Equal(key);
  }
};

#endif  // TRACE_CHANNEL_DESC_TREE_H_
