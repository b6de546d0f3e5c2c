// CTRS_Client_ID_Source: the client IDs a trace server hands out, drawn from the kernel's random
// source so that a sender cannot predict the ID of another client's session (the ID is what
// proves that a packet's sender receives our replies, see client_session.h).
//
// Values come from getrandom (the kernel's /dev/urandom pool), read a block at a time; if the
// kernel refuses, from std::random_device. The source never hands out kTP_No_Client, and never
// an ID that the caller reports as taken.
//
// Thread-safety: none; one owner.
#ifndef TRACE_SERVER_CLIENT_ID_SOURCE_H_
#define TRACE_SERVER_CLIENT_ID_SOURCE_H_

#include <stdint.h>

#include <functional>

class CTRS_Client_ID_Source {
 public:
  // A free ID (one for which `taken` is false), or false when every ID is taken. Random draws
  // first; when the ID space is nearly full, the first free ID after a random start.
  bool Next(const std::function<bool(uint16_t)>& taken, uint16_t* id);

 private:
  uint16_t Draw();
  void Refill();

  static constexpr uint32_t kBlock = 32;
  uint16_t m_Block[kBlock] = {};
  uint32_t m_Left = 0;  // unused values at the start of m_Block
};

#endif  // TRACE_SERVER_CLIENT_ID_SOURCE_H_
