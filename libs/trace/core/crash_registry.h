// The crash registry: the shared entry "Crash" of this process, listing up to 8 working clients
// that a fatal signal, an exceptional flush or TR_Flush must reach. The entry holds the handle
// of its creator so that whoever empties or removes it can delete the named objects.
//
// Thread-safety: the entry's named semaphore ("Crash" lock) serialises every access; it is taken
// with up to kCrashAttempts attempts of 1 ms.
#ifndef TRACE_CORE_CRASH_REGISTRY_H_
#define TRACE_CORE_CRASH_REGISTRY_H_

#include <stdint.h>

#include <mqtt-wrapper/TR.h>

#include "trace/core/shared.h"

struct sCrash_Registry {
  static constexpr uint32_t kSlots = 8;

  uint32_t count;               // registered clients
  uint32_t reserved;            // zero
  CShared::sShared* handle;     // the creator's handle of the entry
  uint64_t stamp;               // process start stamp (0 when unavailable)
  ITR_Client* clients[kSlots];  // null = free slot
};
static_assert(sizeof(sCrash_Registry) == 88, "the crash registry entry is 88 bytes");

constexpr char kCrash_Entry[] = "Crash";
constexpr uint32_t kCrash_Attempts = 300000;

// Signal text reported by the crash handler for `signal` and its si_code.
const char* Crash_Signal_Text(int signal, int code);

#endif  // TRACE_CORE_CRASH_REGISTRY_H_
