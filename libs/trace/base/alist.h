// CAList<T>: an unpooled list (cells from the heap one by one). Releasing an element deletes it
// by default; element types that need another release (for example a block whose buffer comes
// from malloc) derive and override Data_Release.
//
// Thread-safety: none; the owner serialises every access.
#ifndef TRACE_BASE_ALIST_H_
#define TRACE_BASE_ALIST_H_

#include "trace/base/list_base.h"

template <class T>
class CAList : public CListBase<T> {
 protected:
  bool Data_Release(T element) override {
    if (!element) return false;
    delete element;
    return true;
  }
};

#endif  // TRACE_BASE_ALIST_H_
