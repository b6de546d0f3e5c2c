#include "trace/server/client_id_source.h"

#include <errno.h>
#include <sys/random.h>

#include <random>

#include "trace/net/transport_format.h"

void CTRS_Client_ID_Source::Refill() {
  uint8_t* bytes = reinterpret_cast<uint8_t*>(m_Block);
  size_t filled = 0;
  while (filled < sizeof(m_Block)) {
    ssize_t got = getrandom(bytes + filled, sizeof(m_Block) - filled, 0);
    if (got > 0) {
      filled += static_cast<size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  if (filled < sizeof(m_Block)) {
    std::random_device device;
    for (uint32_t i = 0; i < kBlock; ++i) m_Block[i] = static_cast<uint16_t>(device());
  }
  m_Left = kBlock;
}

uint16_t CTRS_Client_ID_Source::Draw() {
  if (m_Left == 0) Refill();
  return m_Block[--m_Left];
}

bool CTRS_Client_ID_Source::Next(const std::function<bool(uint16_t)>& taken, uint16_t* id) {
  // With fewer than half the IDs taken, each draw is free with a chance above one half.
  for (uint32_t tries = 0; tries < 64; ++tries) {
    const uint16_t candidate = Draw();
    if (candidate != kTP_No_Client && !taken(candidate)) {
      *id = candidate;
      return true;
    }
  }
  const uint32_t start = Draw();
  for (uint32_t step = 0; step < kTP_No_Client; ++step) {
    const uint16_t candidate = static_cast<uint16_t>((start + step) % kTP_No_Client);
    if (!taken(candidate)) {
      *id = candidate;
      return true;
    }
  }
  return false;
}
