// CClTextConsole: writes every line to standard output followed by a line feed.
//
// Thread-safety: called by one text client's worker at a time; stdio serialises the writes of
// several clients.
#ifndef TRACE_TEXT_CL_TEXT_CONSOLE_H_
#define TRACE_TEXT_CL_TEXT_CONSOLE_H_

#include <mqtt-wrapper/TRTextSink.h>

class CClTextConsole : public CClTextSink {
 public:
  uint32_t Initialize(char** args, int count) override;
  uint32_t Log(const sLog* log, const char* line, uint64_t length) override;
  // Pushes what stdio holds to the terminal or pipe, so that lines show up within about a
  // second also when standard output is not a terminal.
  uint32_t DumpBuffers() override;
};

#endif  // TRACE_TEXT_CL_TEXT_CONSOLE_H_
