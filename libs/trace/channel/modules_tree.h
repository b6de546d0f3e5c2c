// CModules_Tree: a channel's modules by name. Each entry (sModuleMap) owns a copy of the full
// name it was registered with and points at the module's record, which the channel owns.
//
// Thread-safety: none; the owning channel serialises every access under its lock.
#ifndef TRACE_CHANNEL_MODULES_TREE_H_
#define TRACE_CHANNEL_MODULES_TREE_H_

#include <stdlib.h>
#include <string.h>

#include "trace/base/rb_tree.h"
#include "trace/format/trace_format.h"

struct sModuleMap {
  sTRTrace_Module* record;  // owned by the channel's module blocks
  char* name;               // owned, malloc'ed

  sModuleMap(sTRTrace_Module* module_record, char* owned_name)
      : record(module_record), name(owned_name) {}
  ~sModuleMap() { free(name); }
  sModuleMap(const sModuleMap&) = delete;
  sModuleMap& operator=(const sModuleMap&) = delete;
};

class CModules_Tree : public CRBTree<sModuleMap*, const char*> {
 public:
  CModules_Tree() : CRBTree(16) {}
  ~CModules_Tree() override = default;  // the base deletes the entries (default Data_Release)

 protected:
  bool Is_Key_Less(const char* key, sModuleMap* element) override {
    return strcmp(key, element->name) < 0;
  }
  bool Is_Qual(const char* key, sModuleMap* element) override {
    return strcmp(key, element->name) == 0;
  }
};

#endif  // TRACE_CHANNEL_MODULES_TREE_H_
