// CMemoryManager: a trace channel's private arena and its two growable scratch buffers.
//
// The arena hands out 8-byte aligned blocks from pages of at least kPage_Size bytes; nothing is
// freed before the manager is destroyed, which frees every page. The total of all pages never
// exceeds the limit given at construction (kDefault_Limit for channels), so a channel with a
// runaway number of call sites stops describing new ones instead of exhausting the process.
// The scratch buffers only grow (to multiples of 256 bytes) and keep their old contents when
// growing fails.
//
// Thread-safety: none; the owning channel serialises every access under its lock.
#ifndef TRACE_CHANNEL_MEMORY_MANAGER_H_
#define TRACE_CHANNEL_MEMORY_MANAGER_H_

#include <stddef.h>
#include <stdint.h>

class CMemoryManager {
 public:
  enum eBuffer : uint32_t {
    eBuffer_Arguments = 0,  // argument list while a format is parsed
    eBuffer_Values = 1,     // argument values staged during a call
    eBuffer_Count = 2,
  };

  static constexpr uint64_t kDefault_Limit = 0xFFFFFFF;
  static constexpr uint32_t kPage_Size = 10240;

  explicit CMemoryManager(uint64_t limit = kDefault_Limit);
  ~CMemoryManager();

  CMemoryManager(const CMemoryManager&) = delete;
  CMemoryManager& operator=(const CMemoryManager&) = delete;

  // Allocates the first page; false when it cannot be had (or exceeds the limit).
  bool Init();

  // `size` bytes, 8-byte aligned, zero-filled; null when the limit or the heap is exhausted.
  void* Alloc(size_t size);

  // The scratch buffer `buffer` with at least `size` bytes; null (old buffer kept) when it cannot
  // grow.
  void* Reuse(eBuffer buffer, size_t size);
  void* Get(eBuffer buffer) const { return m_Buffers[buffer].data; }
  size_t Get_Capacity(eBuffer buffer) const { return m_Buffers[buffer].capacity; }

  uint64_t Get_Total() const { return m_Total; }

 private:
  // Makes a zero-filled page with `usable` bytes the current one; false over the limit or when
  // the heap refuses.
  bool New_Page(size_t usable);

  struct sPage {
    sPage* next;  // older pages
  };
  struct sScratch {
    void* data = nullptr;
    size_t capacity = 0;
  };

  uint64_t m_Limit;              // cap on m_Total
  uint64_t m_Total = 0;          // bytes in all pages (page headers included)
  uint8_t* m_Current = nullptr;  // usable bytes of the current page
  size_t m_Current_Size = 0;     // usable size of the current page
  size_t m_Used = 0;             // bytes of the current page handed out
  sPage* m_Pages = nullptr;      // every page, newest first (the current one included)
  sScratch m_Buffers[eBuffer_Count];
};

#endif  // TRACE_CHANNEL_MEMORY_MANAGER_H_
