// Waiting for an event a test can observe, instead of sleeping for a time that stands in for it.
//
// The time-out is a backstop against a broken build hanging the suite, never the measure of
// success: it is generous (a loaded 2-core machine, an emulator, a sanitizer), and a test that
// needs the event asserts on the result.
//
// Thread-safety: `done` is called from the calling thread only; what it reads must be safe to
// read while other threads change it (atomics, or a locked accessor).
#ifndef TESTS_SUPPORT_WAIT_UNTIL_H_
#define TESTS_SUPPORT_WAIT_UNTIL_H_

#include <chrono>
#include <thread>

namespace mqw_test {

// The backstop for events that come within a second or two on an idle machine.
inline constexpr std::chrono::seconds kEvent_Backstop{60};

// Polls `done` every `step` until it holds (true) or `backstop` has passed (false, after one
// last look).
template <typename Done>
bool Wait_Until(Done&& done, std::chrono::milliseconds backstop = kEvent_Backstop,
                std::chrono::milliseconds step = std::chrono::milliseconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + backstop;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(step);
  }
  return true;
}

}  // namespace mqw_test

#endif  // TESTS_SUPPORT_WAIT_UNTIL_H_
