#include "trace/base/psprint.h"

#include <stdio.h>

int PSPrintV(char* buffer, size_t size, const char* format, va_list args) {
  if (!format) {
    if (buffer && size) buffer[0] = 0;
    return -1;
  }
  if (!buffer) size = 0;
  return vsnprintf(buffer, size, format, args);
}

int PSPrint(char* buffer, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = PSPrintV(buffer, size, format, args);
  va_end(args);
  return result;
}
