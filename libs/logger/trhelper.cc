// Logger facade: the process-wide trace channel globals and the backtrace stamp, which doubles as
// the handler of fatal and termination signals.
//
// Signal safety: the stamp formats, allocates and logs, which is only sound when the signal did
// not interrupt the same work on the same thread. So a fatal signal that arrives while this
// thread is already stamping ends the process at once with _exit(signal); a fatal signal on a
// second thread while another is stamping for one waits for that thread to end the process. A
// watchdog (SIGALRM) ends the process with the first signal's number should the stamp or the
// final flush ever block, so a fatal signal always ends the process with its number.
#include <mqtt-wrapper/trhelper.h>

#include <execinfo.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <iterator>
#include <string>

#include <fmt/format.h>

#include "trace/channel/trace.h"

namespace TR {

ITR_Trace* l_pTrace = nullptr;
ITR_Client* l_pClient = nullptr;
bool l_bTID1 = false;
const char* const MainTrace = "MainTrace";

ITR_Trace* getTrace() { return l_pTrace; }

uint64_t getLostCalls() {
  // The channel is the engine's own whenever LoggerInit created it; anything else counts nothing.
  const CTRTrace* channel = dynamic_cast<const CTRTrace*>(l_pTrace);
  return channel != nullptr ? channel->Lost_Calls() : 0;
}

namespace {

constexpr int kMaxFrames = 100;
// Seconds a fatal stamp, its flush and exit() may take before the watchdog ends the process.
constexpr unsigned kWatchdogSeconds = 20;

thread_local bool t_stamping = false;  // this thread is inside pushBacktraceStamp
std::atomic<int> g_fatalSignal{0};     // the signal that is ending the process, 0 while none

class StampScope {
 public:
  StampScope() { t_stamping = true; }
  ~StampScope() { t_stamping = false; }
  StampScope(const StampScope&) = delete;
  StampScope& operator=(const StampScope&) = delete;
};

void WatchdogExpired(int) { _exit(g_fatalSignal.load()); }

void ArmWatchdog() {
  struct sigaction action = {};
  action.sa_handler = &WatchdogExpired;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, nullptr);
  alarm(kWatchdogSeconds);
}

// Closes every registered trace client so that what was logged, the stamp included, reaches its
// destination; then ends the process with the signal number as its status.
[[noreturn]] void EndProcess(int signal) {
  TR_Exceptional_Flush();
  exit(signal);
}

eTRTrace_Level StampLevel(int signal) {
  switch (signal) {
    case 0:
      return TRL_INFO;
    case SIGSEGV:
    case SIGFPE:
    case SIGILL:
    case SIGABRT:
      return TRL_CRITICAL;
    default:
      return TRL_WARNING;
  }
}

}  // namespace

void pushBacktraceStamp(int signal) {
  if (signal != 0) {
    // Interrupted stamp on this thread: its heap and lock state cannot be trusted any more.
    if (t_stamping) _exit(signal);
    int none = 0;
    if (!g_fatalSignal.compare_exchange_strong(none, signal)) {
      // Another thread is already ending the process (its watchdog bounds the wait).
      for (;;) pause();
    }
    ArmWatchdog();
  }
  StampScope scope;

  void* frames[kMaxFrames];
  const int count = backtrace(frames, kMaxFrames);
  char** symbols = backtrace_symbols(frames, count);
  if (symbols == nullptr) {
    TR_LOG(TRL_CRITICAL, "%s", "Get backtrace error");
    if (signal != 0) EndProcess(signal);
    // For 0 the stamp is still logged, without frame lines.
  }

  // Innermost frame first, one per line: "SIGCODE <n>" or nothing, then "\n<frame>" per frame.
  std::string text = signal != 0 ? fmt::format("SIGCODE {}", signal) : std::string();
  if (symbols != nullptr) {
    for (int i = 0; i < count; ++i) fmt::format_to(std::back_inserter(text), "\n{}", symbols[i]);
    free(symbols);
  }

  TR_LOG(StampLevel(signal), "%s", text.c_str());
  if (signal != 0) EndProcess(signal);
}

}  // namespace TR
