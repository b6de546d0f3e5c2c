// Per-thread last-error codes of the trace engine (internal side).
//
// TR_Set_Last_Error stores a reason code for the calling kernel thread; the exported
// TR_Last_Error (mqtt-wrapper/TR.h) returns it once and resets it to 0. Codes:
// 1 stale shared entry, 2 out of memory, 3 socket/address set-up, 4 worker thread or event
// set-up, 5 buffer pool set-up, 6 and 7 output directory or file set-up, 8 no client given,
// 9 the client refused the channel.
//
// Thread-safety: any thread; a process-wide recursive lock serialises the record tree, which
// exists from static initialisation until the process ends (usable from other static
// initialisers and at exit).
#ifndef TRACE_CORE_LAST_ERROR_H_
#define TRACE_CORE_LAST_ERROR_H_

#include <stdint.h>

#include <mqtt-wrapper/TR.h>

enum eTR_Last_Error : uint32_t {
  eLastError_None = 0,
  eLastError_Stale_Shared = 1,
  eLastError_No_Memory = 2,
  eLastError_Socket = 3,
  eLastError_Thread = 4,
  eLastError_Pool = 5,
  eLastError_Directory = 6,
  eLastError_File = 7,
  eLastError_No_Client = 8,
  eLastError_Refused = 9,
};

void TR_Set_Last_Error(uint32_t code);

#endif  // TRACE_CORE_LAST_ERROR_H_
