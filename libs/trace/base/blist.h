// CBList<T>: a pooled list (CListPool) of heap objects; releasing an element deletes it.
//
// Thread-safety: none; the owner serialises every access.
#ifndef TRACE_BASE_BLIST_H_
#define TRACE_BASE_BLIST_H_

#include "trace/base/list_pool.h"

template <class T>
class CBList : public CListPool<T> {
 protected:
  bool Data_Release(T element) override {
    if (!element) return false;
    delete element;
    return true;
  }
};

#endif  // TRACE_BASE_BLIST_H_
