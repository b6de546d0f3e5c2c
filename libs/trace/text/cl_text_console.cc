#include "trace/text/cl_text_console.h"

#include <stdio.h>

uint32_t CClTextConsole::Initialize(char**, int) { return 0; }

uint32_t CClTextConsole::Log(const sLog*, const char* line, uint64_t length) {
  fwrite(line, 1, length, stdout);
  fputc('\n', stdout);
  return 0;
}

uint32_t CClTextConsole::DumpBuffers() {
  fflush(stdout);
  return 0;
}
