#include "trace/core/options.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

const char* Get_Argument_Text_Value(char** args, int count, const char* prefix) {
  if (!args || !prefix || count <= 0) return nullptr;
  size_t length = strlen(prefix);
  for (int i = 0; i < count; ++i) {
    if (args[i] && strncmp(args[i], prefix, length) == 0) return args[i] + length;
  }
  return nullptr;
}

long Get_Argument_Long(char** args, int count, const char* prefix, long fallback) {
  const char* value = Get_Argument_Text_Value(args, count, prefix);
  if (!value) return fallback;
  char* end = nullptr;
  long parsed = strtol(value, &end, 10);
  return end == value ? 0 : parsed;
}

CArguments::~CArguments() { Clear(); }

void CArguments::Clear() {
  for (int i = 0; i < m_Count; ++i) free(m_Args[i]);
  free(m_Args);
  m_Args = nullptr;
  m_Count = 0;
  m_Capacity = 0;
}

bool CArguments::Append_Owned(char* text) {
  if (!text) return false;
  if (m_Count == m_Capacity) {
    int capacity = m_Capacity ? m_Capacity * 2 : 8;
    char** grown =
        static_cast<char**>(realloc(m_Args, sizeof(char*) * (static_cast<size_t>(capacity) + 1)));
    if (!grown) {
      free(text);
      return false;
    }
    m_Args = grown;
    m_Capacity = capacity;
  }
  m_Args[m_Count++] = text;
  m_Args[m_Count] = nullptr;
  return true;
}

bool CArguments::Append(const char* text) {
  if (!text) return false;
  return Append_Owned(strdup(text));
}

bool CArguments::Append(const CArguments& other) {
  if (&other == this) {
    int count = m_Count;
    for (int i = 0; i < count; ++i) {
      if (!Append(m_Args[i])) return false;
    }
    return true;
  }
  for (int i = 0; i < other.m_Count; ++i) {
    if (!Append(other.m_Args[i])) return false;
  }
  return true;
}

bool CArguments::Split(const char* text, CArguments* out) {
  if (!out) return false;
  out->Clear();
  if (!text) return true;
  size_t length = strlen(text);
  char* current = static_cast<char*>(malloc(length + 1));
  if (!current) return false;
  size_t used = 0;
  bool quoted = false;
  for (size_t i = 0; i <= length; ++i) {
    char c = text[i];
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (c == 0 || (c == ' ' && !quoted)) {
      current[used] = 0;
      if (!out->Append(current)) {
        free(current);
        out->Clear();
        return false;
      }
      used = 0;
      continue;
    }
    current[used++] = c;
  }
  free(current);
  return true;
}

bool CArguments::From_Command_Line(CArguments* out) {
  if (!out) return false;
  out->Clear();
  int fd;
  do {
    fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) return true;
  char buffer[kCommandLineLimit + 1];
  size_t done = 0;
  while (done < kCommandLineLimit) {
    ssize_t result = read(fd, buffer + done, kCommandLineLimit - done);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) break;
    done += static_cast<size_t>(result);
  }
  close(fd);
  buffer[done] = 0;  // terminates a last argument cut by the size limit
  size_t start = 0;
  while (start < done) {
    if (!out->Append(buffer + start)) {
      out->Clear();
      return false;
    }
    start += strlen(buffer + start) + 1;
  }
  return true;
}
