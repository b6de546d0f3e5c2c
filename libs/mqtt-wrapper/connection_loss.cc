#include "mqtt-wrapper/connection_loss.h"

#include <atomic>

namespace tarnvik::mosquitto {

namespace {
std::atomic<bool> g_exitInProgress{false};
}  // namespace

bool ConnectionLoss::BeginExit() {
  return !g_exitInProgress.exchange(true, std::memory_order_acq_rel);
}

bool ConnectionLoss::ExitInProgress() { return g_exitInProgress.load(std::memory_order_acquire); }

}  // namespace tarnvik::mosquitto
