// CListBase<T>: doubly linked list of pointer elements (or 32-bit values) with an optional
// random-access index built on demand.
//
// Ownership: the list owns its cells, never its elements; elements are released only through
// Data_Release when a caller asks for it (Remove(cell, true), Clear(true)). Destroying a list
// frees its cells and index but never releases elements: owners clear with release first.
// Memory comes from the virtual hooks MemAlloc/MemFree (default new[]/delete[]). A derived class
// that overrides the hooks or the cell allocation must call Release_Storage() in its own
// destructor, because virtual overrides are no longer reachable from the base destructor.
//
// Invariants: m_Count equals the number of linked cells; first/last are null exactly when the
// list is empty; m_Reindex is true whenever the index does not mirror the list.
//
// Thread-safety: none; the owner serialises every access.
#ifndef TRACE_BASE_LIST_BASE_H_
#define TRACE_BASE_LIST_BASE_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <new>

template <class T>
class CListBase {
 public:
  struct tCell {
    T data;
    tCell* next;
    tCell* prev;
  };

  CListBase() = default;
  virtual ~CListBase() { Release_Storage(); }

  CListBase(const CListBase&) = delete;
  CListBase& operator=(const CListBase&) = delete;

  // Links a new cell holding `element` after `cell` (at the head when `cell` is null).
  // Returns the new cell, or null (list unchanged) when no cell can be had.
  tCell* Add_After(tCell* cell, T element) {
    tCell* added = Cell_Allocate();
    if (!added) return nullptr;
    added->data = element;
    if (cell) {
      added->prev = cell;
      added->next = cell->next;
      if (cell->next) {
        cell->next->prev = added;
      } else {
        m_Last = added;
      }
      cell->next = added;
    } else {
      added->prev = nullptr;
      added->next = m_First;
      if (m_First) {
        m_First->prev = added;
      } else {
        m_Last = added;
      }
      m_First = added;
    }
    ++m_Count;
    m_Reindex = true;
    return added;
  }

  tCell* Add_Last(T element) { return Add_After(m_Last, element); }
  tCell* Add_First(T element) { return Add_After(nullptr, element); }

  // Unlinks `cell` (which must belong to this list), optionally releasing its element, and
  // gives the cell back to the allocator. A null cell is ignored.
  void Remove(tCell* cell, bool release) {
    if (!cell) return;
    if (cell->prev) {
      cell->prev->next = cell->next;
    } else {
      m_First = cell->next;
    }
    if (cell->next) {
      cell->next->prev = cell->prev;
    } else {
      m_Last = cell->prev;
    }
    if (release) Data_Release(cell->data);
    Cell_Free(cell);
    --m_Count;
    m_Reindex = true;
  }

  tCell* Get_First() const { return m_First; }
  tCell* Get_Last() const { return m_Last; }
  tCell* Get_Next(tCell* cell) const { return cell ? cell->next : nullptr; }
  tCell* Get_Prev(tCell* cell) const { return cell ? cell->prev : nullptr; }
  // The cell's element; a null cell yields a value-initialised T.
  T Get_Data(tCell* cell) const { return cell ? cell->data : T{}; }
  uint32_t Count() const { return m_Count; }

  void Clear(bool release) {
    while (m_First) Remove(m_First, release);
  }

  // Rebuilds the index (reusing the array while it is large enough, else count + 128 slots).
  bool Index_Build() {
    if (!m_Index || m_Index_Capacity < m_Count) {
      if (m_Index) MemFree(m_Index);
      m_Index = nullptr;
      m_Index_Capacity = 0;
      uint32_t capacity = m_Count + 128;
      void* memory = MemAlloc(static_cast<size_t>(capacity) * sizeof(tCell*));
      if (!memory) return false;
      m_Index = static_cast<tCell**>(memory);
      m_Index_Capacity = capacity;
    }
    memset(m_Index, 0, static_cast<size_t>(m_Index_Capacity) * sizeof(tCell*));
    uint32_t i = 0;
    for (tCell* cell = m_First; cell && i < m_Index_Capacity; cell = cell->next)
      m_Index[i++] = cell;
    m_Reindex = false;
    return true;
  }

  // The i-th cell from 0, or null when i >= Count(). O(1) once the index is current; falls back
  // to walking the list when the index cannot be built.
  tCell* Get_ByIndex(uint32_t i) {
    if (m_Reindex) Index_Build();
    if (i >= m_Count) return nullptr;
    if (m_Index && !m_Reindex) return m_Index[i];
    tCell* cell = m_First;
    while (cell && i--) cell = cell->next;
    return cell;
  }

 protected:
  // Releases one element; true when there was one to release.
  virtual bool Data_Release(T element) = 0;
  virtual void* MemAlloc(size_t size) { return new (std::nothrow) uint8_t[size]; }
  virtual void MemFree(void* memory) { delete[] static_cast<uint8_t*>(memory); }
  virtual tCell* Cell_Allocate() {
    void* memory = MemAlloc(sizeof(tCell));
    if (!memory) return nullptr;
    memset(memory, 0, sizeof(tCell));
    return static_cast<tCell*>(memory);
  }
  virtual void Cell_Free(tCell* cell) { MemFree(cell); }

  // Unlinks every cell without releasing elements and frees the index. Idempotent.
  void Release_Storage() {
    Clear(false);
    if (m_Index) MemFree(m_Index);
    m_Index = nullptr;
    m_Index_Capacity = 0;
    m_Reindex = true;
  }

  tCell* m_First = nullptr;
  tCell* m_Last = nullptr;
  uint32_t m_Count = 0;
  tCell** m_Index = nullptr;
  bool m_Reindex = true;
  uint32_t m_Index_Capacity = 0;
};

#endif  // TRACE_BASE_LIST_BASE_H_
