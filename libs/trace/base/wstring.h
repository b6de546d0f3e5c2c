// CWString: a growable, NUL-terminated string of 8-bit units (bytes, despite the W in its name).
//
// The buffer is owned, may be null (empty string, capacity 0) and grows to exactly what is
// needed; Get() never returns null. Texts passed in may point into the string's own buffer.
//
// Thread-safety: none; one owner at a time.
#ifndef TRACE_BASE_WSTRING_H_
#define TRACE_BASE_WSTRING_H_

#include <stdint.h>

class CWString {
 public:
  CWString() = default;
  explicit CWString(const char* text) { Set(text); }
  ~CWString();

  CWString(const CWString&) = delete;
  CWString& operator=(const CWString&) = delete;

  // Replaces the content; null frees the buffer. False only when memory runs out (content kept).
  bool Set(const char* text);
  // Appends `count` const char* texts in order, null ones skipped. False only when memory runs
  // out (content kept).
  bool Append(uint32_t count, ...);
  // Shortens the text to `length` bytes (no effect when it is not longer).
  void Truncate(uint32_t length);
  const char* Get() const { return m_Text ? m_Text : ""; }
  uint32_t Length() const;
  // Bytes of the buffer including the terminator; 0 when there is none.
  uint32_t Capacity() const { return m_Capacity; }

 private:
  char* m_Text = nullptr;  // owned; NUL-terminated when not null
  uint32_t m_Capacity = 0;
};

#endif  // TRACE_BASE_WSTRING_H_
