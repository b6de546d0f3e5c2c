#include "trace/core/client.h"

// Placeholder until the crash registry lands: the client is never registered.
uint32_t CClient::Init_Crash_Handler() { return 0; }

void CClient::Uninit_Crash_Handler() {}
