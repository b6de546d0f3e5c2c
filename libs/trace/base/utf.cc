#include "trace/base/utf.h"

namespace {

constexpr uint16_t kReplacement = 0xFFFD;

bool Is_Continuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Decodes one UTF-8 sequence at `source`. Sets *unit to the UTF-16 unit to write ('*' for a
// sequence of 4 or more bytes) and returns the bytes consumed, or 0 when the sequence is cut by
// the terminator (the conversion ends there).
//
// The length of a sequence follows from its lead byte alone. A sequence that is not well-formed
// for that length (a continuation byte as lead, a lead followed by a byte that is no
// continuation, an overlong form, a surrogate) yields U+FFFD: decoding it bit by bit could give
// the unit 0, which would end the UTF-16 text early and shift everything a record stores after it.
uint32_t Decode_UTF8(const uint8_t* source, uint16_t* unit) {
  uint8_t lead = source[0];
  if (lead < 0x80) {
    *unit = lead;
    return 1;
  }
  if (lead <= 0xDF) {
    if (!source[1]) return 0;
    bool valid = lead >= 0xC2 && Is_Continuation(source[1]);
    *unit = valid ? static_cast<uint16_t>(((lead & 0x1F) << 6) | (source[1] & 0x3F)) : kReplacement;
    return 2;
  }
  if (lead <= 0xEF) {
    if (!source[1] || !source[2]) return 0;
    uint16_t code = static_cast<uint16_t>(((lead & 0x0F) << 12) | ((source[1] & 0x3F) << 6) |
                                          (source[2] & 0x3F));
    bool valid = Is_Continuation(source[1]) && Is_Continuation(source[2]) && code >= 0x800 &&
                 (code < 0xD800 || code > 0xDFFF);
    *unit = valid ? code : kReplacement;
    return 3;
  }
  // Not representable without surrogates: one '*' for the whole sequence. The sequence is
  // skipped up to the terminator at most.
  uint32_t length = lead <= 0xF7 ? 4 : (lead <= 0xFB ? 5 : 6);
  uint32_t consumed = 1;
  while (consumed < length && source[consumed]) ++consumed;
  *unit = '*';
  return consumed;
}

// Appends the UTF-8 form of `code` when it fits with a terminator; false when it does not.
bool Put_UTF8(uint32_t code, char* target, uint32_t target_bytes, uint32_t* position) {
  uint32_t room = target_bytes - *position;  // bytes left, terminator included
  uint8_t* out = reinterpret_cast<uint8_t*>(target) + *position;
  if (code < 0x80) {
    if (room < 2) return false;
    out[0] = static_cast<uint8_t>(code);
    *position += 1;
  } else if (code < 0x800) {
    if (room < 3) return false;
    out[0] = static_cast<uint8_t>(0xC0 | (code >> 6));
    out[1] = static_cast<uint8_t>(0x80 | (code & 0x3F));
    *position += 2;
  } else if (code <= 0xFFFF) {
    if (room < 4) return false;
    out[0] = static_cast<uint8_t>(0xE0 | (code >> 12));
    out[1] = static_cast<uint8_t>(0x80 | ((code >> 6) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | (code & 0x3F));
    *position += 3;
  } else {
    if (room < 5) return false;
    out[0] = static_cast<uint8_t>(0xF0 | (code >> 18));
    out[1] = static_cast<uint8_t>(0x80 | ((code >> 12) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | ((code >> 6) & 0x3F));
    out[3] = static_cast<uint8_t>(0x80 | (code & 0x3F));
    *position += 4;
  }
  return true;
}

}  // namespace

int32_t Convert_UTF8_To_UTF16(const char* source, uint16_t* target, uint32_t target_units) {
  if (!source || !target || target_units == 0) return 0;
  const uint8_t* in = reinterpret_cast<const uint8_t*>(source);
  uint32_t written = 0;
  while (*in && written + 1 < target_units) {
    uint16_t unit = 0;
    uint32_t consumed = Decode_UTF8(in, &unit);
    if (!consumed) break;
    target[written++] = unit;
    in += consumed;
  }
  target[written] = 0;
  return static_cast<int32_t>(written);
}

uint32_t UTF8_Code_Points(const char* source) {
  if (!source) return 0;
  const uint8_t* in = reinterpret_cast<const uint8_t*>(source);
  uint32_t units = 0;
  while (*in) {
    uint16_t unit = 0;
    uint32_t consumed = Decode_UTF8(in, &unit);
    if (!consumed) break;
    ++units;
    in += consumed;
  }
  return units;
}

int32_t Convert_UTF16_To_UTF8(const uint16_t* source, char* target, uint32_t target_bytes) {
  if (!source || !target || target_bytes == 0) return -1;
  uint32_t position = 0;
  while (*source) {
    uint32_t unit = *source;
    uint32_t code = unit;
    uint32_t consumed = 1;
    if (unit >= 0xD800 && unit <= 0xDFFF) {
      if (unit <= 0xDBFF && source[1] >= 0xDC00 && source[1] <= 0xDFFF) {
        code = (((unit & 0x3FF) << 10) | (source[1] & 0x3FF)) + 0x10000;
        consumed = 2;
      } else {
        code = '?';  // lone surrogate; the next unit is converted on its own
      }
    }
    if (!Put_UTF8(code, target, target_bytes, &position)) break;
    source += consumed;
  }
  target[position] = 0;
  return static_cast<int32_t>(position);
}

int32_t Convert_UTF32_To_UTF8(const uint32_t* source, char* target, uint32_t target_bytes) {
  if (!source || !target || target_bytes == 0) return -1;
  uint32_t position = 0;
  for (; *source; ++source) {
    uint32_t code = *source > 0x1FFFFF ? '?' : *source;
    if (!Put_UTF8(code, target, target_bytes, &position)) break;
  }
  target[position] = 0;
  return static_cast<int32_t>(position);
}
