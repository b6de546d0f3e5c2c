// sNet_Plan: the sizing rules of the network sink, pulled out of the sink so that they can be
// checked by tables: packet size, pool memory, transmission window and exit time-out, from the
// "/TR." options and the socket's send buffer.
//
//   packet size P  "/TR.PSize=" (default 1472) clamped to 512 .. 65280; 65280 whenever the server
//                  address is local ("127.0.0.1" or "::1", any case; a missing address is local)
//   memory M       "/TR.Pool=" kilobytes x 1024 (default 1048576), at least 16384, then at least
//                  20 packets (raised_to_20 tells the sink to warn)
//   window W       min(M / P / 2, 3952), then min(W, send buffer / P - 1), then min(W,
//                  "/TR.Window=" with 0 as 1); all unsigned, so a send buffer below one packet
//                  imposes no limit. A given "/TR.Window=" fixes the window for the sink's life.
//   exit time-out  "/TR.Eto=" seconds (default 5), above 15 (unsigned compare) becomes 15; in ms
//
// Thread-safety: pure functions.
#ifndef TRACE_NET_NET_PLAN_H_
#define TRACE_NET_NET_PLAN_H_

#include <stdint.h>

struct sNet_Plan {
  static constexpr uint32_t kMin_Packet = 512;
  static constexpr uint32_t kMax_Packet = 65280;
  static constexpr uint32_t kDefault_Packet = 1472;
  static constexpr uint32_t kMin_Memory = 16384;
  static constexpr uint32_t kMin_Packets = 20;
  static constexpr uint32_t kMax_Window = 3952;

  bool local = true;
  uint32_t packet_size = 0;
  uint32_t memory = 0;
  bool raised_to_20 = false;
  uint32_t window = 0;
  bool window_fixed = false;
  uint32_t exit_timeout_ms = 0;
};

// The option values as found (null when absent).
struct sNet_Options {
  const char* addr = nullptr;
  const char* psize = nullptr;
  const char* pool = nullptr;
  const char* window = nullptr;
  const char* eto = nullptr;
};

bool Net_Is_Local(const char* addr);
// Everything but the window's send-buffer limit, which needs the socket.
sNet_Plan Net_Plan(const sNet_Options& options);
// Applies the window rules of the plan's memory and packet size, the socket's send buffer and
// the window option.
void Net_Plan_Window(sNet_Plan* plan, uint32_t send_buffer, const char* window_option);

#endif  // TRACE_NET_NET_PLAN_H_
