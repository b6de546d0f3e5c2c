#include "trace/net/net_plan.h"

#include <stdlib.h>
#include <strings.h>

namespace {

uint32_t Number(const char* text) { return static_cast<uint32_t>(strtol(text, nullptr, 10)); }

}  // namespace

bool Net_Is_Local(const char* addr) {
  return addr == nullptr || strcasecmp(addr, "127.0.0.1") == 0 || strcasecmp(addr, "::1") == 0;
}

sNet_Plan Net_Plan(const sNet_Options& options) {
  sNet_Plan plan;
  plan.local = Net_Is_Local(options.addr);

  // The clamp is done on the signed value: a negative size is below the minimum.
  long psize = options.psize ? strtol(options.psize, nullptr, 10) : sNet_Plan::kDefault_Packet;
  if (psize < static_cast<long>(sNet_Plan::kMin_Packet)) psize = sNet_Plan::kMin_Packet;
  if (psize > static_cast<long>(sNet_Plan::kMax_Packet)) psize = sNet_Plan::kMax_Packet;
  plan.packet_size = plan.local ? sNet_Plan::kMax_Packet : static_cast<uint32_t>(psize);

  uint64_t memory = 1048576;
  if (options.pool) {
    const long kilobytes = strtol(options.pool, nullptr, 10);
    memory = kilobytes > 0 ? static_cast<uint64_t>(kilobytes) * 1024 : 0;
    if (memory > 0xFFFFFFFFull) memory = 0xFFFFFFFFull;
  }
  if (memory < sNet_Plan::kMin_Memory) memory = sNet_Plan::kMin_Memory;
  if (memory < uint64_t{sNet_Plan::kMin_Packets} * plan.packet_size) {
    memory = uint64_t{sNet_Plan::kMin_Packets} * plan.packet_size;
    plan.raised_to_20 = true;
  }
  plan.memory = static_cast<uint32_t>(memory);

  uint32_t eto = options.eto ? Number(options.eto) : 5;
  if (eto > 15) eto = 15;
  plan.exit_timeout_ms = eto * 1000;
  return plan;
}

void Net_Plan_Window(sNet_Plan* plan, uint32_t send_buffer, const char* window_option) {
  uint32_t window = plan->memory / plan->packet_size / 2;
  if (window > sNet_Plan::kMax_Window) window = sNet_Plan::kMax_Window;
  const uint32_t by_socket = send_buffer / plan->packet_size - 1;  // wraps: no limit
  if (by_socket < window) window = by_socket;
  plan->window_fixed = window_option != nullptr;
  if (window_option) {
    uint32_t given = Number(window_option);
    if (given == 0) given = 1;
    if (given < window) window = given;
  }
  if (window == 0) window = 1;
  plan->window = window;
}
