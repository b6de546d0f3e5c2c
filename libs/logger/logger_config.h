// Internal settings of the logger set-up that tests replace: the path of the configuration file
// and the function that creates the trace client. Neither is exported; production code never
// changes them, so LoggerInit reads "/etc/tr.cfg" and calls TR_Create_Client.
//
// Thread-safety: the values are atomics; a test sets them before calling LoggerInit.
#ifndef LOGGER_LOGGER_CONFIG_H_
#define LOGGER_LOGGER_CONFIG_H_

#include <mqtt-wrapper/TR.h>

namespace TR::detail {

inline constexpr const char kConfig_Path[] = "/etc/tr.cfg";
inline constexpr const char kVersion[] = "brackwater-v0.1-171-gbbf55d6";
inline constexpr const char kChannel_Name[] = "Trace channel 1";
inline constexpr const char kThread_Name[] = "Application";

using Client_Factory = ITR_Client* (*)(const char* args);

// The configuration file LoggerInit reads.
const char* Config_Path();
// `path` must outlive its use; null restores "/etc/tr.cfg".
void Set_Config_Path_For_Testing(const char* path);

// The function LoggerInit creates its client with.
Client_Factory Get_Client_Factory();
// Null restores TR_Create_Client.
void Set_Client_Factory_For_Testing(Client_Factory factory);

}  // namespace TR::detail

#endif  // LOGGER_LOGGER_CONFIG_H_
