// PSPrint: bounded formatted print.
//
// Writes at most `size` bytes including the terminating NUL and returns what vsnprintf returns
// (the length the full text would have, or a negative value on an encoding error). A null
// buffer is treated as a zero size, so nothing is written.
//
// Thread-safety: no shared state.
#ifndef TRACE_BASE_PSPRINT_H_
#define TRACE_BASE_PSPRINT_H_

#include <stdarg.h>
#include <stddef.h>

int PSPrint(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int PSPrintV(char* buffer, size_t size, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));

#endif  // TRACE_BASE_PSPRINT_H_
