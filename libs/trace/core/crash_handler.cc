// The process-wide crash service: the fatal-signal handler, the exceptional flush that closes
// every registered client, and TR_Flush.
//
// Lock order (client.h): the "Crash" semaphore, then a client's locks (taken inside
// Unshare/Close/Flush).
// The exceptional flush may run from a signal handler on a thread that is already flushing; it
// then returns at once instead of waiting for a semaphore its own thread holds.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include <mqtt-wrapper/TR.h>

#include "trace/core/crash_registry.h"

namespace {

// Crash context: one per process.
struct sCrash_Context {
  std::atomic<uint32_t> installed{0};
  std::atomic<uint32_t> in_handler{0};
  uint64_t context = 0;
  std::atomic<void (*)(uint32_t code, const char* text, uint64_t context)> callback{nullptr};
};
sCrash_Context g_Crash;

// Kernel thread ID of the thread running TR_Exceptional_Flush, 0 when none.
std::atomic<long> g_Flushing_Thread{0};

long Thread_ID() { return syscall(SYS_gettid); }

void Engine_Callback(uint32_t, const char*, uint64_t) { TR_Exceptional_Flush(); }

void ChHandler(int signal, siginfo_t* info, void*) {
  if (g_Crash.in_handler.exchange(1) != 0) return;
  const int code = info != nullptr ? info->si_code : 0;
  const char* text = Crash_Signal_Text(signal, code);
  auto callback = g_Crash.callback.load();
  if (callback != nullptr) callback(static_cast<uint32_t>(signal + 4), text, g_Crash.context);
  printf("Process has been terminated by signal {%s}\n", text);
  fflush(stdout);
  // A fault repeats when the handler returns and then meets the default action restored by the
  // one-shot disposition. A signal sent by kill() or raise() does not repeat: send it again
  // (it stays blocked until the handler returns), so the process ends as the signal asked.
  if (code <= 0) raise(signal);
}

bool Install_Handlers() {
  signal(SIGPIPE, SIG_IGN);
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_sigaction = ChHandler;
  action.sa_flags = SA_SIGINFO | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  bool ok = true;
  for (int signal : {SIGILL, SIGABRT, SIGFPE, SIGBUS, SIGSEGV}) {
    if (sigaction(signal, &action, nullptr) != 0) ok = false;
  }
  if (!ok) printf("ERROR: can't initialize signal handler");
  return ok;
}

}  // namespace

const char* Crash_Signal_Text(int signal, int code) {
  switch (signal) {
    case SIGBUS: {
      static const char* const texts[] = {"SIGBUS::BUS_ADRALN", "SIGBUS::BUS_ADRERR",
                                          "SIGBUS::BUS_OBJERR"};
      return code >= 1 && code <= 3 ? texts[code - 1] : "SIGBUS::<unknown>";
    }
    case SIGFPE: {
      static const char* const texts[] = {
          "SIGFPE::FPE_INTDIV", "SIGFPE::FPE_INTOVF", "SIGFPE::FPE_FLTDIV", "SIGFPE::FPE_FLTOVF",
          "SIGFPE::FPE_FLTUND", "SIGFPE::FPE_FLTRES", "SIGFPE::FPE_FLTINV", "SIGFPE::FPE_FLTSUB"};
      return code >= 1 && code <= 8 ? texts[code - 1] : "SIGFPE::<unknown>";
    }
    case SIGILL: {
      static const char* const texts[] = {
          "SIGILL::ILL_ILLOPN", "SIGILL::ILL_ILLADR", "SIGILL::ILL_ILLTRP", "SIGILL::ILL_PRVOPC",
          "SIGILL::ILL_PRVREG", "SIGILL::ILL_COPROC", "SIGILL::ILL_BADSTK"};
      return code >= 2 && code <= 8 ? texts[code - 2] : "SIGILL::<unknown>";
    }
    case SIGSEGV:
      if (code == 1) return "SIGSEGV::SEGV_MAPERR";
      if (code == 2) return "SIGSEGV::SEGV_ACCERR";
      return "SIGSEGV::<unknown>";
    default:
      return "<unknown>::<unknown>";
  }
}

extern "C" {

MQW_EXPORT void TR_Set_Crash_Handler() {
  if (g_Crash.installed.load() == 0) {
    g_Crash.in_handler.store(0);
    g_Crash.context = 0;
    g_Crash.callback.store(nullptr);
    if (!Install_Handlers()) {
      printf("ERROR: can't initialize signal handler");
      return;
    }
    g_Crash.installed.store(1);
  }
  g_Crash.callback.store(Engine_Callback);
}

// Installed handlers stay for the life of the process.
MQW_EXPORT void TR_Clr_Crash_Handler() {}

MQW_EXPORT void TR_Exceptional_Flush() {
  const long self = Thread_ID();
  if (g_Flushing_Thread.load() == self) return;  // re-entered on the flushing thread

  const uint64_t stamp = CShared::Get_Stamp64();
  sem_t* semaphore = nullptr;
  if (CShared::Lock(kCrash_Entry, semaphore, kCrash_Attempts) != CShared::eLock_Ok) {
    CShared::Unlink_Published();
    return;
  }
  long expected = 0;
  const bool owner = g_Flushing_Thread.compare_exchange_strong(expected, self);

  sCrash_Registry registry{};
  uint32_t read = CShared::Read_Checked(kCrash_Entry, &registry, sizeof(registry));
  if (read != CShared::eRead_Ok || registry.stamp != stamp) {
    // Not ours: an earlier process's registry, or objects of another user.
    CShared::UnLink(kCrash_Entry);
  } else {
    for (ITR_Client* client : registry.clients) {
      if (client == nullptr) continue;
      client->Unshare();
      client->Close();
    }
    // Removing the registry makes a second flush a no-op and lets the clients, which stay
    // alive, leave it later without finding themselves in it.
    CShared::Destroy(registry.handle);
  }
  // What the process published and still holds (a channel shared by the logger, for one)
  // would otherwise outlive the process as named objects.
  CShared::Unlink_Published();
  CShared::UnLock(semaphore);
  if (owner) g_Flushing_Thread.store(0);
}

MQW_EXPORT void TR_Flush() {
  const uint64_t stamp = CShared::Get_Stamp64();
  sem_t* semaphore = nullptr;
  if (CShared::Lock(kCrash_Entry, semaphore, kCrash_Attempts) != CShared::eLock_Ok) return;
  sCrash_Registry registry{};
  if (CShared::Read_Checked(kCrash_Entry, &registry, sizeof(registry)) == CShared::eRead_Ok &&
      registry.stamp == stamp) {
    for (ITR_Client* client : registry.clients) {
      if (client != nullptr) client->Flush();
    }
  }
  CShared::UnLock(semaphore);
}

}  // extern "C"
