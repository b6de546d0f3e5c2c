// Trace levels as people type them: the level numbers of the stream (0 trace .. 5 critical) or
// their names, one rule for every tool that takes a level on its command line.
//
// Thread-safety: no shared state.
#ifndef TRACE_FORMAT_TRACE_LEVEL_H_
#define TRACE_FORMAT_TRACE_LEVEL_H_

#include <stdint.h>

// "trace", "debug", "info", "warning", "error", "critical" (any case) or one digit 0..5.
// False, with `level` untouched, for anything else.
bool TRTrace_Parse_Level(const char* text, uint32_t* level);

#endif  // TRACE_FORMAT_TRACE_LEVEL_H_
