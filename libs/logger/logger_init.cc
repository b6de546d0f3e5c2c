// Logger set-up: creates the process's trace client and channel, registers the calling thread and
// the host's module, shares the channel under the module's name, installs the backtrace-stamp
// signal handlers and logs the library version.
//
// Everything accepted by the channel before a normal exit reaches its destination: the first
// successful set-up registers an exit hook that flushes every client of the crash registry.
// A repeated set-up overwrites the globals without releasing the earlier client and channel:
// callers may still hold the earlier channel, which getTrace() hands out without a reference.
//
// Thread-safety: LoggerInit may be called from any thread; g_Init_Mutex serialises set-ups. The
// exported globals are written under it but read without it (getTrace() takes no lock, and a
// host reads TR::l_pTrace directly), so they carry no guard annotation: a host must finish
// LoggerInit before other threads log. Lock order: g_Init_Mutex is the outermost lock; the
// engine's own locks are taken inside it (client and channel creation), never the other way
// round.
#include <execinfo.h>
#include <signal.h>
#include <stdio.h>

#include <mutex>
#include <string>

#include <mqtt-wrapper/TR.h>
#include <mqtt-wrapper/trhelper.h>

#include "logger/logger_config.h"
#include "trace/base/mutex.h"

namespace TR {
namespace {

// The first line of `path` without its line feed; false when the file cannot be opened. Only
// that line is read.
bool Read_First_Line(const char* path, std::string* line) {
  FILE* file = fopen(path, "re");
  if (!file) return false;
  int c;
  while ((c = getc(file)) != EOF && c != '\n') line->push_back(static_cast<char>(c));
  fclose(file);
  return true;
}

void Flush_At_Exit() { TR_Exceptional_Flush(); }

// Serialises set-ups: the globals are written as a group, never interleaved by two callers.
CMutex g_Init_Mutex;

void Install_Exit_Flush() {
  static std::once_flag once;
  std::call_once(once, [] { atexit(&Flush_At_Exit); });
}

}  // namespace

ITR_Trace* LoggerInit(const std::string& moduleName, const std::string&& defaultArguments) {
  CMutexGuard serialised(&g_Init_Mutex);
  l_pClient = nullptr;
  l_bTID1 = false;
  l_pTrace = nullptr;

  TR_Set_Crash_Handler();

  std::string line;
  bool configured = Read_First_Line(detail::Config_Path(), &line);
  l_pClient = detail::Get_Client_Factory()(configured ? line.c_str() : defaultArguments.c_str());
  if (!l_pClient) return nullptr;

  l_pTrace = TR_Create_Trace(l_pClient, detail::kChannel_Name, nullptr);
  if (!l_pTrace) {
    l_pClient->Release();
    l_pClient = nullptr;
    return nullptr;
  }

  l_pTrace->Register_Thread(detail::kThread_Name, 0);
  void* module = nullptr;
  l_pTrace->Register_Module(moduleName.c_str(), &module);
  l_pTrace->Share(moduleName.c_str());
  Install_Exit_Flush();

  // The first backtrace() of a process loads the unwinder through the dynamic loader, which
  // allocates and takes the loader's lock; made here, the handlers' call finds it done.
  void* frame = nullptr;
  backtrace(&frame, 1);
  signal(SIGTERM, &pushBacktraceStamp);
  signal(SIGSEGV, &pushBacktraceStamp);
  signal(SIGINT, &pushBacktraceStamp);
  signal(SIGILL, &pushBacktraceStamp);
  signal(SIGABRT, &pushBacktraceStamp);
  signal(SIGFPE, &pushBacktraceStamp);

  l_pTrace->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__,
                  "Logger initialised! VERSION %s", detail::kVersion);
  return l_pTrace;
}

void Connect(void*, unsigned int connected) { printf("Connect=%d\n", connected); }

void Telemetry_Enable(void*, unsigned short id, unsigned int enable) {
  printf("Id=%d, Enable=%d\n", id, enable);
}

}  // namespace TR
