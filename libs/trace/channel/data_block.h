// sData_Block<T>: a fixed block of kRecords zero-filled records of one kind (thread start,
// thread stop, module) and the number in use. Blocks never move or shrink while they hold
// records, so pointers to records (module handles, pending chunks) stay valid.
// CData_Blocks<T>: the list of such blocks; releasing an element frees its buffer and the block.
//
// Thread-safety: none; the owning channel serialises every access under its lock.
#ifndef TRACE_CHANNEL_DATA_BLOCK_H_
#define TRACE_CHANNEL_DATA_BLOCK_H_

#include <stdint.h>
#include <stdlib.h>

#include <new>

#include "trace/base/alist.h"

template <class T>
struct sData_Block {
  static constexpr uint32_t kRecords = 32;

  T* records = nullptr;  // calloc'ed, kRecords entries
  uint32_t count = 0;    // records in use, packed at the front

  // A new empty block, or null when memory is short.
  static sData_Block* Create() {
    sData_Block* block = new (std::nothrow) sData_Block;
    if (!block) return nullptr;
    block->records = static_cast<T*>(calloc(kRecords, sizeof(T)));
    if (!block->records) {
      delete block;
      return nullptr;
    }
    return block;
  }
};

template <class T>
class CData_Blocks : public CAList<sData_Block<T>*> {
 public:
  ~CData_Blocks() override { this->Clear(true); }

 protected:
  bool Data_Release(sData_Block<T>* block) override {
    if (!block) return false;
    free(block->records);
    delete block;
    return true;
  }
};

#endif  // TRACE_CHANNEL_DATA_BLOCK_H_
