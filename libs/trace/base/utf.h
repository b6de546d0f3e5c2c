// UTF conversions used by the text and file sinks.
//
// All conversions stop at the source terminator, never read past it (a sequence cut by the
// terminator ends the conversion), never write past the target size, and always terminate the
// target when they write anything.
//
// UTF-8 -> UTF-16 produces no surrogate pairs: a UTF-8 sequence of 4 or more bytes (a code point
// above U+FFFF) becomes one '*'. Lead bytes are classified by value alone (so every sequence
// gives exactly one unit); a 2- or 3-byte sequence that is not well-formed (a stray continuation
// byte, a missing continuation byte, an overlong form, a surrogate) becomes one U+FFFD. So the
// conversion never writes a 0 unit before the terminator, and every unit it writes is a BMP
// character that UTF-16 -> UTF-8 gives back unchanged.
// UTF-16 -> UTF-8: a valid surrogate pair becomes one 4-byte sequence; a lone surrogate becomes
// one '?' and the unit after it is converted normally.
// UTF-32 -> UTF-8: code points up to 0x1FFFFF are encoded (surrogate values like any other);
// larger values become one '?'.
//
// Thread-safety: no shared state.
#ifndef TRACE_BASE_UTF_H_
#define TRACE_BASE_UTF_H_

#include <stdint.h>

// Units written without the terminator; 0 when an argument is null or `target_units` is 0.
int32_t Convert_UTF8_To_UTF16(const char* source, uint16_t* target, uint32_t target_units);
// Bytes written without the terminator; -1 when a pointer is null or `target_bytes` is 0.
int32_t Convert_UTF16_To_UTF8(const uint16_t* source, char* target, uint32_t target_bytes);
int32_t Convert_UTF32_To_UTF8(const uint32_t* source, char* target, uint32_t target_bytes);
// UTF-16 units Convert_UTF8_To_UTF16 writes for `source` without a size limit, terminator
// excluded (0 for null).
uint32_t UTF8_Code_Points(const char* source);

#endif  // TRACE_BASE_UTF_H_
