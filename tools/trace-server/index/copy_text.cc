#include "copy_text.h"

#include <stdint.h>

#include <nlohmann/json.hpp>

namespace {

// Whether `text` is valid UTF-8 (shortest forms, no surrogates, at most U+10FFFF) without NUL.
bool Clean(std::string_view text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const uint8_t c = *p;
    if (c == 0) return false;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int more;
    uint32_t point;
    if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
      point = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      point = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      point = c & 0x07;
    } else {
      return false;
    }
    if (end - p <= more) return false;
    for (int i = 1; i <= more; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      point = (point << 6) | (p[i] & 0x3F);
    }
    if ((more == 2 && (point < 0x800 || (point >= 0xD800 && point <= 0xDFFF))) ||
        (more == 3 && (point < 0x10000 || point > 0x10FFFF)))
      return false;
    p += more + 1;
  }
  return true;
}

}  // namespace

std::string Index_Text(std::string_view text) {
  if (Clean(text)) return std::string(text);
  // The viewer's own replacement (its JSON writer's), so that both show the same characters.
  const std::string json = nlohmann::json(std::string(text)).dump(
      -1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string replaced = nlohmann::json::parse(json).get<std::string>();
  std::string out;
  out.reserve(replaced.size());
  for (char c : replaced) {
    if (c == '\0')
      out += "\xEF\xBF\xBD";
    else
      out += c;
  }
  return out;
}

void Append_Copy_Field(std::string_view text, std::string* out) {
  for (char c : text) {
    switch (c) {
      case '\\': *out += "\\\\"; break;
      case '\t': *out += "\\t"; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      default: *out += c;
    }
  }
}
