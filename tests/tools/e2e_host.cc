// A host process for the end-to-end tests: sets logging up with TR::LoggerInit exactly as an
// application does and traces numbered messages, so that what a trace server stores can be
// compared with what this process was told was accepted.
//
// Usage: e2e_host CONFIG MODE COUNT... [/TR.option ...]
//   CONFIG   the configuration file LoggerInit reads in place of "/etc/tr.cfg" (the tests name a
//            file that does not exist, so a configuration of the machine never leaks in)
//   burst THREADS CALLS   THREADS threads make CALLS calls each as fast as they can
//   paced STOPFILE        one thread makes a call every millisecond until the file STOPFILE
//                         exists (looked for every 10 calls; at most 10 minutes)
//   crash CALLS           one thread makes CALLS calls as fast as it can, reports them, then
//                         raises SIGSEGV with what the sink has not yet delivered still pending
//   debug MILLISECONDS    debug-level calls every 10 ms until 5 were accepted or the time is up
//   viewer MILLISECONDS   for the viewer's tests: first a warning whose text is markup, then every
//                         20 ms an info call (module "net"), a debug call ("viewer debug i=N",
//                         shown only once the channel's level allows it) and every tenth time a
//                         warning, every 25th time an error of three lines (module "net"), until
//                         the time is up
// The /TR. options are the LoggerInit default arguments (they also stand on the command line,
// where the engine reads them too); none at all means the engine's defaults.
//
// Every message is "e2e t=THREAD s=ACCEPTED i=CALL": CALL counts every call of the thread and
// ACCEPTED only the calls the channel accepted before this one, so the accepted calls of a thread
// carry s = 0, 1, 2, ... without a hole. Standard output gets "accepted t=THREAD n=COUNT" per
// thread. Exit status 0; 2 for wrong usage or a failed set-up; 3 when debug mode saw no accepted
// call. The process ends by returning from main: the facade's exit flush delivers the rest; in
// crash mode by the signal (the facade's handler exits with the signal's number), the crash
// flush delivering it.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include <mqtt-wrapper/trhelper.h>

#include "logger/logger_config.h"

namespace {

constexpr int kDebug_Wanted = 5;

uint32_t Burst(ITR_Trace* channel, int thread, uint32_t calls) {
  uint32_t accepted = 0;
  for (uint32_t i = 0; i < calls; ++i) {
    if (channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "e2e t=%d s=%u i=%u",
                       thread, accepted, i))
      ++accepted;
  }
  return accepted;
}

uint32_t Paced(ITR_Trace* channel, const char* stop_file) {
  constexpr uint32_t kMost_ms = 600000;
  const auto start = std::chrono::steady_clock::now();
  uint32_t accepted = 0;
  for (uint32_t i = 0; i < kMost_ms; ++i) {
    if (i % 10 == 0 && access(stop_file, F_OK) == 0) break;
    if (channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "e2e t=%d s=%u i=%u", 0,
                       accepted, i))
      ++accepted;
    std::this_thread::sleep_until(start + std::chrono::milliseconds(i + 1));
  }
  return accepted;
}

uint32_t Debug(ITR_Trace* channel, uint32_t milliseconds) {
  uint32_t accepted = 0;
  for (uint32_t i = 0; i * 10 < milliseconds && accepted < kDebug_Wanted; ++i) {
    if (channel->Trace(0, TRL_DEBUG, nullptr, __LINE__, __FILE__, __func__, "e2e t=%d s=%u i=%u", 0,
                       accepted, i))
      ++accepted;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return accepted;
}

uint32_t Viewer(ITR_Trace* channel, uint32_t milliseconds) {
  void* net = nullptr;
  if (!channel->Register_Module("net", &net)) net = nullptr;
  uint32_t accepted = 0;
  accepted += channel->Trace(0, TRL_WARNING, nullptr, __LINE__, __FILE__, __func__, "%s",
                             "markup <img src=x onerror=alert(1)> <b>bold</b>");
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t i = 0; i * 20 < milliseconds; ++i) {
    accepted +=
        channel->Trace(0, TRL_INFO, net, __LINE__, __FILE__, __func__, "viewer info i=%u", i);
    accepted +=
        channel->Trace(0, TRL_DEBUG, nullptr, __LINE__, __FILE__, __func__, "viewer debug i=%u", i);
    if (i % 10 == 0)
      accepted += channel->Trace(0, TRL_WARNING, nullptr, __LINE__, __FILE__, __func__,
                                 "viewer warning i=%u", i);
    if (i % 25 == 5)
      accepted += channel->Trace(0, TRL_ERROR, net, __LINE__, __FILE__, __func__,
                                 "viewer error i=%u\n  at connect (net.cc:42)\n  at main (main.cc:7)",
                                 i);
    std::this_thread::sleep_until(start + std::chrono::milliseconds(20 * (i + 1)));
  }
  return accepted;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr,
            "usage: e2e_host CONFIG burst THREADS CALLS | paced STOPFILE | crash CALLS | debug MS "
            "| viewer MS "
            "[/TR.option ...]\n");
    return 2;
  }
  const std::string mode = argv[2];
  const int counts = mode == "burst" ? 2 : 1;
  if (argc < 3 + counts) return 2;
  std::string options;
  for (int i = 3 + counts; i < argc; ++i) {
    if (!options.empty()) options += ' ';
    options += argv[i];
  }
  // Kept alive for the whole run: LoggerInit reads it through the pointer.
  static std::string config = argv[1];
  TR::detail::Set_Config_Path_For_Testing(config.c_str());
  ITR_Trace* channel = TR::LoggerInit("e2e", std::move(options));
  if (channel == nullptr) {
    fprintf(stderr, "LoggerInit failed\n");
    return 2;
  }

  std::vector<uint32_t> accepted;
  if (mode == "burst") {
    const int threads = atoi(argv[3]);
    const uint32_t calls = static_cast<uint32_t>(strtoul(argv[4], nullptr, 10));
    accepted.resize(static_cast<size_t>(threads));
    // The threads start together, so that they compete for the sink's buffers from the first
    // call on rather than one of them meeting only full buffers.
    std::latch start(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        start.arrive_and_wait();
        accepted[static_cast<size_t>(t)] = Burst(channel, t, calls);
      });
    }
    for (std::thread& worker : workers) worker.join();
  } else if (mode == "paced") {
    accepted.push_back(Paced(channel, argv[3]));
  } else if (mode == "crash") {
    const uint32_t accepted_calls =
        Burst(channel, 0, static_cast<uint32_t>(strtoul(argv[3], nullptr, 10)));
    printf("accepted t=0 n=%u\n", accepted_calls);
    fflush(stdout);
    raise(SIGSEGV);
    return 4;  // not reached: the handler ends the process with the signal
  } else if (mode == "viewer") {
    accepted.push_back(Viewer(channel, static_cast<uint32_t>(strtoul(argv[3], nullptr, 10))));
  } else if (mode == "debug") {
    accepted.push_back(Debug(channel, static_cast<uint32_t>(strtoul(argv[3], nullptr, 10))));
  } else {
    return 2;
  }
  for (size_t t = 0; t < accepted.size(); ++t) printf("accepted t=%zu n=%u\n", t, accepted[t]);
  fflush(stdout);
  if (mode == "debug" && accepted[0] == 0) return 3;
  return 0;
}
