// CListPool<T>: a CListBase whose cells come from segments of `pool size` cells (128 everywhere
// in the engine) and are recycled through a free list.
//
// Memory only grows: segments are freed when the list is destroyed, so steady-state insertion
// and removal allocate nothing. CUintList is a pooled list of 32-bit values whose Data_Release
// does nothing.
//
// Thread-safety: none; the owner serialises every access.
#ifndef TRACE_BASE_LIST_POOL_H_
#define TRACE_BASE_LIST_POOL_H_

#include "trace/base/list_base.h"

template <class T>
class CListPool : public CListBase<T> {
 public:
  using tCell = typename CListBase<T>::tCell;

  struct tPool_Segment {
    tCell* cells;
    uint32_t count;
    tPool_Segment* next;
  };

  explicit CListPool(uint32_t pool_size = 128) : m_Pool_Size(pool_size ? pool_size : 1) {}
  ~CListPool() override { Release_Storage(); }

  // Number of segments held (for diagnostics and tests).
  uint32_t Segments_Count() const {
    uint32_t count = 0;
    for (tPool_Segment* segment = m_Segments; segment; segment = segment->next) ++count;
    return count;
  }

 protected:
  tCell* Cell_Allocate() override {
    if (!m_Free && !Pool_Segment_Create()) return nullptr;
    tCell* cell = m_Free;
    m_Free = cell->next;
    cell->next = nullptr;
    return cell;
  }

  void Cell_Free(tCell* cell) override {
    if (!cell) return;
    cell->data = T{};
    cell->prev = nullptr;
    cell->next = m_Free;
    m_Free = cell;
  }

  // Unlinks every cell, then frees the index and all segments. Idempotent; derived classes that
  // override MemAlloc/MemFree call it from their destructor.
  void Release_Storage() {
    CListBase<T>::Release_Storage();
    while (m_Segments) {
      tPool_Segment* next = m_Segments->next;
      Free_Pool_Segment(m_Segments);
      m_Segments = next;
    }
    m_Free = nullptr;
  }

 private:
  bool Pool_Segment_Create() {
    void* descriptor = this->MemAlloc(sizeof(tPool_Segment));
    if (!descriptor) return false;
    void* cells = this->MemAlloc(static_cast<size_t>(m_Pool_Size) * sizeof(tCell));
    if (!cells) {
      this->MemFree(descriptor);
      return false;
    }
    memset(cells, 0, static_cast<size_t>(m_Pool_Size) * sizeof(tCell));
    tPool_Segment* segment = static_cast<tPool_Segment*>(descriptor);
    segment->cells = static_cast<tCell*>(cells);
    segment->count = m_Pool_Size;
    for (uint32_t i = 0; i + 1 < m_Pool_Size; ++i) segment->cells[i].next = &segment->cells[i + 1];
    segment->cells[m_Pool_Size - 1].next = m_Free;
    segment->next = m_Segments;
    m_Segments = segment;
    m_Free = segment->cells;
    return true;
  }

  void Free_Pool_Segment(tPool_Segment* segment) {
    this->MemFree(segment->cells);
    this->MemFree(segment);
  }

  tPool_Segment* m_Segments = nullptr;  // every segment ever created
  tCell* m_Free = nullptr;              // free cells, linked through `next`
  uint32_t m_Pool_Size;                 // cells per segment
};

class CUintList : public CListPool<unsigned int> {
 protected:
  bool Data_Release(unsigned int) override { return false; }
};

#endif  // TRACE_BASE_LIST_POOL_H_
