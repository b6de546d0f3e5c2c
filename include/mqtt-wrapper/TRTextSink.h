// Text outputs of the TR trace engine, and how an embedding program supplies its own.
//
// A text client ("/TR.Sink=Console", "FileTxt", "Syslog" or "ExternalSinc") parses the trace
// stream of its channels back on a worker thread of its own, renders each trace call as one text
// line by the line format ("/TR.Format=") and hands the line, together with the fields it was
// built from (CClTextSink::sLog), to one output object derived from CClTextSink.
//
// Supplying an output ("/TR.Sink=ExternalSinc"):
//   1. Derive from CClTextSink and create the object.
//   2. Register it: uint64_t handle = TR_Register_Text_Sink(&sink); 0 means refused.
//   3. Create the client with the handle in hexadecimal, for example
//        snprintf(options, sizeof options, "/TR.Sink=ExternalSinc /TR.ExtAddr=%llX",
//                 (unsigned long long)handle);
//        ITR_Client* client = TR_Create_Client(options);
//   4. After the last client using it has been released, TR_Unregister_Text_Sink(handle), then
//      destroy the object. The engine never deletes a registered output.
// "/TR.ExtAddr=" is only ever looked up among registered handles: a value that is not a live
// handle (an address, a stale or mistyped handle) never reaches an object; the client then
// writes to the console instead and says so in its journal ("/TR.Verb=").
//
// Thread-safety: the output's operations are called by one thread at a time (the client's
// worker, or the thread that closes the client), never concurrently for one client. An output
// used by several clients is called from several worker threads and must guard its own state.
// An output must not trace into a channel of the client that feeds it: the worker it would wait
// for is the caller.
// TR_Register_Text_Sink and TR_Unregister_Text_Sink may be called from any thread.
#ifndef MQTT_WRAPPER_TRTEXTSINK_H_
#define MQTT_WRAPPER_TRTEXTSINK_H_

#include <stdint.h>

#include <mqtt-wrapper/TR.h>
#include <mqtt-wrapper/export.h>

// What an output may read of a call site: source line, module, file and function (UTF-8, as the
// channel sent them, zero-terminated; lengths in bytes without the terminator).
struct sTraceDescEx {
  uint16_t line;
  uint16_t module_id;
  const char* file_path;
  uint64_t file_path_length;
  const char* file_name;  // file_path without its directories
  uint64_t file_name_length;
  const char* function;
  uint64_t function_length;
};

class CClTextSink {
 public:
  // One trace message. Texts are UTF-8, zero-terminated, valid only during the Log call.
  struct sLog {
    const char* channel_name;
    uint64_t channel_name_length;
    uint64_t sequence;                                // the call's sequence number on its channel
    uint32_t format_id;                               // the call site's trace ID
    uint32_t year, month, day, hour, minute, second;  // local time; month 1..12
    uint32_t millisecond, microsecond, hundred_ns;    // 0..999, 0..999, 0..9
    uint64_t absolute_time;                           // 100-ns units since 1601-01-01 UTC
    uint64_t since_start;                             // 100-ns units since the channel's creation
    uint32_t level;           // eTRTrace_Level, 0..5 (higher values are shown as 5)
    uint32_t module_id;       // 0 = none
    const char* module_name;  // "Unkn." when unknown
    uint64_t module_name_length;
    uint32_t cpu;
    uint32_t thread_id;
    const char* thread_name;  // "Unkn." when no registration covers the call's time
    uint64_t thread_name_length;
    const sTraceDescEx* descriptor;
    const char* message;  // the formatted message
    uint64_t message_length;
  };

  virtual ~CClTextSink() = default;
  // Called once with the client's options before any line; 0 on success, else the client's
  // creation fails with this code.
  virtual uint32_t Initialize(char** args, int count) = 0;
  // One rendered line (`length` bytes, zero-terminated, without line end). Returns 0.
  virtual uint32_t Log(const sLog* log, const char* line, uint64_t length) = 0;
  // Called at least once a minute; an output that rolls its files does it here. Returns 0.
  virtual uint32_t TryRoll() { return 0; }
  // Write out whatever is buffered. Returns 0.
  virtual uint32_t DumpBuffers() = 0;
};

extern "C" {
// Registers `sink` for "/TR.Sink=ExternalSinc /TR.ExtAddr=<handle in hex>". Returns a nonzero
// handle, or 0 for a null sink or when memory runs out. Registering an object twice returns its
// existing handle.
MQW_EXPORT uint64_t TR_Register_Text_Sink(CClTextSink* sink);
// Withdraws a handle; true when it was registered. Clients already writing to the output keep
// using it: release them first.
MQW_EXPORT bool TR_Unregister_Text_Sink(uint64_t handle);
}

#endif  // MQTT_WRAPPER_TRTEXTSINK_H_
