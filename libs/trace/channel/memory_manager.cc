#include "trace/channel/memory_manager.h"

#include <stdlib.h>
#include <string.h>

namespace {
constexpr size_t kHeader = 16;  // page header, keeps the usable part 8-byte (16-byte) aligned
static_assert(kHeader >= sizeof(void*));

size_t Round_Up(size_t value, size_t unit) { return (value + unit - 1) / unit * unit; }
}  // namespace

CMemoryManager::CMemoryManager(uint64_t limit) : m_Limit(limit) {}

CMemoryManager::~CMemoryManager() {
  while (m_Pages) {
    sPage* next = m_Pages->next;
    free(m_Pages);
    m_Pages = next;
  }
  for (sScratch& scratch : m_Buffers) free(scratch.data);
}

bool CMemoryManager::Init() { return m_Current || New_Page(kPage_Size); }

bool CMemoryManager::New_Page(size_t usable) {
  uint64_t page_bytes = uint64_t{usable} + kHeader;
  if (m_Total + page_bytes > m_Limit) return false;
  void* memory = calloc(1, page_bytes);
  if (!memory) return false;
  sPage* page = static_cast<sPage*>(memory);
  page->next = m_Pages;
  m_Pages = page;
  m_Total += page_bytes;
  m_Current = static_cast<uint8_t*>(memory) + kHeader;
  m_Current_Size = usable;
  m_Used = 0;
  return true;
}

void* CMemoryManager::Alloc(size_t size) {
  if (size > m_Limit) return nullptr;
  size = Round_Up(size, 8);
  if (!m_Current || m_Current_Size - m_Used < size) {
    if (!New_Page(size > kPage_Size ? size : kPage_Size)) return nullptr;
  }
  void* block = m_Current + m_Used;
  m_Used += size;
  return block;
}

void* CMemoryManager::Reuse(eBuffer buffer, size_t size) {
  sScratch& scratch = m_Buffers[buffer];
  if (scratch.capacity >= size && scratch.data) return scratch.data;
  size_t capacity = Round_Up(size ? size : 1, 256);
  void* grown = realloc(scratch.data, capacity);
  if (!grown) return nullptr;
  scratch.data = grown;
  scratch.capacity = capacity;
  return grown;
}
