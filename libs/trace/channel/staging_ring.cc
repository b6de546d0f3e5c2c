#include "trace/channel/staging_ring.h"

#include <new>

CStaging_Ring* CStaging_Ring::Create(uint32_t owner) {
  void* data = aligned_alloc(64, kBytes);
  if (data == nullptr) return nullptr;
  CStaging_Ring* ring = new (std::nothrow) CStaging_Ring(owner, static_cast<uint8_t*>(data));
  if (ring == nullptr) free(data);
  return ring;
}

void CStaging_Ring::Destroy() {
  free(m_Data);
  delete this;
}
