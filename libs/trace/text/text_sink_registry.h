// CTextSinkRegistry: the outputs an embedding program registered for "/TR.Sink=ExternalSinc".
// A handle is a number the registry gave out (never reused within the process), not an address:
// "/TR.ExtAddr=" can only ever select an object the program registered.
//
// Thread-safety: all operations are static and serialised by one process-wide lock.
#ifndef TRACE_TEXT_TEXT_SINK_REGISTRY_H_
#define TRACE_TEXT_TEXT_SINK_REGISTRY_H_

#include <stdint.h>

#include <mqtt-wrapper/TRTextSink.h>

class CTextSinkRegistry {
 public:
  // A new handle for `sink` (its existing one when registered already); 0 for null.
  static uint64_t Register(CClTextSink* sink);
  static bool Unregister(uint64_t handle);
  // The registered output of `handle`, or null.
  static CClTextSink* Find(uint64_t handle);
  // Reads "/TR.ExtAddr=" text: hexadecimal digits only, optionally after "0x"; false otherwise.
  static bool Parse_Handle(const char* text, uint64_t* handle);
};

#endif  // TRACE_TEXT_TEXT_SINK_REGISTRY_H_
