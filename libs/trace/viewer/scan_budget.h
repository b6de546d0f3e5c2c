// sScan_Budget: how much one request may spend reading stored files or the live ring for the
// page: a deadline, and a way to learn that the requester has gone (its connection closed), so
// that no scan runs on for a client that left or past what one request is allowed.
//
// A scan checks the budget between messages (at least every kCheck_Every messages and between
// files) and stops when it is spent; the result then says so (sScan::cut), and where to go on.
//
// Thread-safety: `gone` is called from the scanning thread only; it must be cheap (it is polled)
// and must not block.
#ifndef TRACE_VIEWER_SCAN_BUDGET_H_
#define TRACE_VIEWER_SCAN_BUDGET_H_

#include <chrono>
#include <functional>

struct sScan_Budget {
  using tClock = std::chrono::steady_clock;
  static constexpr unsigned kCheck_Every = 1024;

  // No limit: for tools that read their own files.
  static sScan_Budget Unlimited() { return sScan_Budget{}; }
  // Ends `after` from now.
  static sScan_Budget For(tClock::duration after, std::function<bool()> gone = {}) {
    return sScan_Budget{tClock::now() + after, std::move(gone)};
  }

  tClock::time_point deadline = tClock::time_point::max();
  std::function<bool()> gone;  // true once the requester has gone; empty: never

  bool Past_Deadline() const { return tClock::now() >= deadline; }
  bool Gone() const { return gone && gone(); }
  // Whether the scan must stop now.
  bool Spent() const { return Past_Deadline() || Gone(); }
};

#endif  // TRACE_VIEWER_SCAN_BUDGET_H_
