#include "trace/format/trace_level.h"

#include <strings.h>

bool TRTrace_Parse_Level(const char* text, uint32_t* level) {
  static const char* const kNames[] = {"trace", "debug", "info", "warning", "error", "critical"};
  for (uint32_t i = 0; i < 6; ++i) {
    if (strcasecmp(text, kNames[i]) == 0) {
      *level = i;
      return true;
    }
  }
  if (text[0] >= '0' && text[0] <= '5' && text[1] == '\0') {
    *level = static_cast<uint32_t>(text[0] - '0');
    return true;
  }
  return false;
}
