#include "trace/core/roll_rule.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

namespace {

// Copies the first `length` bytes of `text` into `shown` (cut to its size).
void Show(char* shown, size_t shown_size, const char* text, size_t length) {
  if (shown == nullptr || shown_size == 0) return;
  if (length >= shown_size) length = shown_size - 1;
  memcpy(shown, text, length);
  shown[length] = '\0';
}

bool Is_Digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

uint32_t CRoll_Rule::Time_Of_Day() {
  const time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) return 0;
  return static_cast<uint32_t>(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
}

bool CRoll_Rule::Parse_Rolling_Time(const char* text, size_t length) {
  m_Times.Clear(false);
  size_t i = 0;
  while (i < length) {
    uint32_t hours = 0, minutes = 0;
    size_t start = i;
    while (i < length && Is_Digit(text[i])) {
      if (hours > 99) return false;
      hours = hours * 10 + static_cast<uint32_t>(text[i++] - '0');
    }
    if (i == start || i >= length || text[i] != ':') return false;
    start = ++i;
    while (i < length && Is_Digit(text[i])) {
      if (minutes > 99) return false;
      minutes = minutes * 10 + static_cast<uint32_t>(text[i++] - '0');
    }
    if (i == start) return false;
    // A time that never occurs on a clock would silently never roll.
    if (hours > 23 || minutes > 59) return false;
    if (m_Times.Add_Last(hours * 3600 + minutes * 60) == nullptr) return false;
    if (i < length) {
      if (text[i] != ',') return false;
      ++i;
      if (i == length) return false;  // a trailing comma
    }
  }
  return m_Times.Count() > 0;
}

CRoll_Rule::eParse CRoll_Rule::Parse(const char* text, char* shown, size_t shown_size) {
  m_Kind = eNone;
  m_Value = 0;
  m_Times.Clear(false);
  if (shown != nullptr && shown_size > 0) shown[0] = '\0';
  if (text == nullptr) return eParse_Ok;

  const size_t length = strlen(text);
  if (length < 3) {
    Show(shown, shown_size, text, length);
    return eParse_Invalid;
  }
  const size_t body = length - 2;
  const char* suffix = text + body;

  if (strcasecmp(suffix, "tm") == 0) {
    if (!Parse_Rolling_Time(text, body)) {
      m_Times.Clear(false);
      Show(shown, shown_size, text, body);
      return eParse_Invalid;
    }
    m_Kind = eTimes;
    return eParse_Ok;
  }

  const bool megabytes = strcasecmp(suffix, "mb") == 0;
  const bool hours = strcasecmp(suffix, "hr") == 0;
  if (!megabytes && !hours) {
    Show(shown, shown_size, text, body);
    return eParse_Invalid;
  }
  char number[32];
  Show(number, sizeof(number), text, body);
  errno = 0;
  const long value = strtol(number, nullptr, 10);
  const bool out_of_range = errno == ERANGE || body >= sizeof(number);
  if (megabytes) {
    // A size of zero or below would mean a new file before every write, and so would one whose
    // byte count wraps to a small number.
    if (value <= 0 || out_of_range || static_cast<uint64_t>(value) > UINT64_MAX / kMegabyte) {
      Show(shown, shown_size, text, body);
      return eParse_Invalid;
    }
    m_Kind = eMegabytes;
    m_Value = static_cast<uint64_t>(value) * kMegabyte;
    return eParse_Ok;
  }
  if (value == 0 && !out_of_range) {
    Show(shown, shown_size, text, body);
    return eParse_Invalid;
  }
  m_Kind = eHours;
  // Compared unsigned, so a negative number is cut as well; so is one too long to read.
  if (out_of_range || static_cast<uint32_t>(value) > kMaxHours ||
      static_cast<unsigned long>(value) > kMaxHours) {
    m_Value = static_cast<uint64_t>(kMaxHours) * kHour_ms;
    return eParse_Cut;
  }
  m_Value = static_cast<uint64_t>(value) * kHour_ms;
  return eParse_Ok;
}

bool CRoll_Rule::Age_Due(uint32_t created_ms, uint32_t now_ms) const {
  if (m_Kind != eHours) return false;
  const uint32_t elapsed =
      now_ms >= created_ms ? now_ms - created_ms : 0xFFFFFFFFu - created_ms + now_ms;
  return elapsed > m_Value;
}

bool CRoll_Rule::Time_Passed(uint32_t previous, uint32_t now) const {
  if (m_Kind != eTimes || previous == now) return false;
  for (auto* cell = m_Times.Get_First(); cell != nullptr; cell = m_Times.Get_Next(cell)) {
    const uint32_t time = m_Times.Get_Data(cell);
    if (previous < now) {
      if (previous <= time && time < now) return true;
    } else if (time >= previous || time < now) {
      return true;
    }
  }
  return false;
}

bool CRoll_Rule::Check_Times(uint32_t now) {
  const bool due = Time_Passed(m_LastCheck, now);
  m_LastCheck = now;
  return due;
}
