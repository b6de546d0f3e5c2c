#include "trace/base/wstring.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

CWString::~CWString() { free(m_Text); }

uint32_t CWString::Length() const { return m_Text ? static_cast<uint32_t>(strlen(m_Text)) : 0; }

bool CWString::Set(const char* text) {
  if (!text) {
    free(m_Text);
    m_Text = nullptr;
    m_Capacity = 0;
    return true;
  }
  size_t length = strlen(text);
  if (length >= UINT32_MAX) return false;
  if (length >= m_Capacity) {
    char* buffer = static_cast<char*>(malloc(length + 1));
    if (!buffer) return false;
    memcpy(buffer, text, length + 1);
    free(m_Text);
    m_Text = buffer;
    m_Capacity = static_cast<uint32_t>(length + 1);
    return true;
  }
  memmove(m_Text, text, length + 1);
  return true;
}

bool CWString::Append(uint32_t count, ...) {
  size_t current = Length();
  size_t total = current;
  bool aliased = false;
  va_list args;
  va_start(args, count);
  for (uint32_t i = 0; i < count; ++i) {
    const char* text = va_arg(args, const char*);
    if (!text) continue;
    total += strlen(text);
    if (m_Text && text >= m_Text && text < m_Text + m_Capacity) aliased = true;
  }
  va_end(args);
  if (total >= UINT32_MAX) return false;

  // A text that points into the current buffer must stay intact while it is copied, so the
  // result is then built in a new buffer and the old one freed only afterwards.
  char* target = m_Text;
  bool grow = total >= m_Capacity || aliased;
  if (grow) {
    target = static_cast<char*>(malloc(total + 1));
    if (!target) return false;
    if (current) memcpy(target, m_Text, current);
  }
  size_t position = current;
  va_start(args, count);
  for (uint32_t i = 0; i < count; ++i) {
    const char* text = va_arg(args, const char*);
    if (!text) continue;
    size_t length = strlen(text);
    memmove(target + position, text, length);
    position += length;
  }
  va_end(args);
  target[position] = 0;
  if (grow) {
    free(m_Text);
    m_Text = target;
    m_Capacity = static_cast<uint32_t>(total + 1);
  }
  return true;
}

void CWString::Truncate(uint32_t length) {
  if (m_Text && length < m_Capacity && length < Length()) m_Text[length] = 0;
}
