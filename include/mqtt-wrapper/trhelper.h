// Logger facade: the process-wide trace channel and the backtrace stamp.
//
// TR::LoggerInit sets the trace engine up once per process; afterwards TR::getTrace() hands the
// channel to every caller on any thread. Before a successful LoggerInit getTrace() is null, and
// TR_LOG drops its message.
#ifndef MQTT_WRAPPER_TRHELPER_H_
#define MQTT_WRAPPER_TRHELPER_H_

#include <stdint.h>

#include <string>

#include <mqtt-wrapper/TR.h>
#include <mqtt-wrapper/export.h>

namespace TR {

MQW_EXPORT extern ITR_Trace* l_pTrace;    // the process's channel; null until LoggerInit succeeds
MQW_EXPORT extern ITR_Client* l_pClient;  // the client carrying it
MQW_EXPORT extern bool l_bTID1;           // reset by LoggerInit; nothing else uses it
MQW_EXPORT extern const char* const MainTrace;  // "MainTrace"

// The process's trace channel, or null. A plain read; no reference is added.
MQW_EXPORT ITR_Trace* getTrace();

// Logs the current call stack. With a nonzero signal number (it doubles as the handler of
// SIGTERM, SIGSEGV, SIGINT, SIGILL, SIGABRT and SIGFPE) it then ends the process with that status.
MQW_EXPORT void pushBacktraceStamp(int signal);

// Sets logging up for the process: the first line of "/etc/tr.cfg" or `defaultArguments` as
// client options, channel "Trace channel 1", thread "Application", module `moduleName`.
// Returns the channel, or null when set-up failed.
MQW_EXPORT ITR_Trace* LoggerInit(const std::string& moduleName,
                                 const std::string&& defaultArguments);

// Trace calls of the process's channel that never reached the sink's output, since LoggerInit:
// calls the sink refused (no room in its buffers, sink off or disconnected) and records it
// discarded after accepting them (a lost connection). 0 when there is no channel. Any thread,
// no lock. Where the calls went missing is also visible in the stream itself: the channel
// precedes the next record it delivers with a warning of the engine's own giving the counts.
MQW_EXPORT uint64_t getLostCalls();

// Notification callbacks that print to standard output; `context` is ignored.
MQW_EXPORT void Connect(void* context, unsigned int connected);
MQW_EXPORT void Telemetry_Enable(void* context, unsigned short id, unsigned int enable);

}  // namespace TR

// Logs one printf-style line on the process's channel (dropped when there is none). A call the
// sink refuses is counted by the channel and reported in the stream (see getLostCalls).
#define TR_LOG(level, ...)                                                                    \
  do {                                                                                        \
    if (ITR_Trace* tr_log_channel_ = ::TR::getTrace())                                        \
      tr_log_channel_->Trace(0, (level), nullptr, __LINE__, __FILE__, __func__, __VA_ARGS__); \
  } while (0)

#endif  // MQTT_WRAPPER_TRHELPER_H_
