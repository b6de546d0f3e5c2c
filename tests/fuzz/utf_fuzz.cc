// The UTF conversions on arbitrary bytes, each into a target of exactly the size it is given (so
// a write past it is caught):
// - UTF-8 -> UTF-16 writes one unit per sequence (as many as UTF8_Code_Points counts, when room
//   allows), never a 0 unit before the terminator, and what it writes converts to UTF-8 and back
//   unchanged;
// - UTF-16 -> UTF-8 and UTF-32 -> UTF-8 stay within their targets and terminate them, and their
//   output is text UTF-8 -> UTF-16 reads without a 0 unit.
//
// Input: one byte choosing the target size, then the text.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "trace/base/utf.h"

namespace {

std::vector<uint16_t> To_UTF16(const char* text, uint32_t room) {
  std::vector<uint16_t> units(room);
  int32_t n = Convert_UTF8_To_UTF16(text, units.data(), room);
  fuzz::Check(n >= 0 && static_cast<uint32_t>(n) < room && units[static_cast<size_t>(n)] == 0,
              "UTF-16 result not terminated inside its target");
  units.resize(static_cast<size_t>(n));
  return units;
}

void Check_UTF8_Output(const std::vector<char>& out, int32_t n) {
  fuzz::Check(n >= 0 && static_cast<size_t>(n) < out.size() && out[static_cast<size_t>(n)] == 0 &&
                  strlen(out.data()) == static_cast<size_t>(n),
              "UTF-8 result not terminated inside its target");
  std::vector<uint16_t> units = To_UTF16(out.data(), static_cast<uint32_t>(n) + 1);
  for (uint16_t unit : units) fuzz::Check(unit != 0, "UTF-8 output reads back with a 0 unit");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint32_t room = 1 + data[0] % 64;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const char* source = text.c_str();  // ends at the first NUL of the input

  const uint32_t all = UTF8_Code_Points(source);
  std::vector<uint16_t> full = To_UTF16(source, all + 1);
  fuzz::Check(full.size() == all, "units written differ from UTF8_Code_Points");
  for (uint16_t unit : full) fuzz::Check(unit != 0, "a 0 unit inside the text");
  std::vector<uint16_t> limited = To_UTF16(source, room);
  fuzz::Check(limited.size() == (all < room - 1 ? all : room - 1),
              "a limited conversion kept the wrong count");
  fuzz::Check(std::equal(limited.begin(), limited.end(), full.begin()),
              "a limited conversion is no prefix");

  // Units back to UTF-8 and again to UTF-16: the same units.
  std::vector<uint16_t> terminated = full;
  terminated.push_back(0);
  std::vector<char> utf8(full.size() * 3 + 1);
  int32_t bytes =
      Convert_UTF16_To_UTF8(terminated.data(), utf8.data(), static_cast<uint32_t>(utf8.size()));
  Check_UTF8_Output(utf8, bytes);
  fuzz::Check(To_UTF16(utf8.data(), static_cast<uint32_t>(full.size()) + 1) == full,
              "UTF-8 -> UTF-16 -> UTF-8 -> UTF-16 is not stable");

  // The raw bytes as UTF-16 and as UTF-32 units (any values, lone surrogates included).
  std::vector<uint16_t> wide((size - 1) / 2 + 1, 0);
  memcpy(wide.data(), data + 1, (size - 1) / 2 * 2);
  std::vector<char> out16(room);
  Check_UTF8_Output(out16, Convert_UTF16_To_UTF8(wide.data(), out16.data(), room));
  std::vector<uint32_t> wider((size - 1) / 4 + 1, 0);
  memcpy(wider.data(), data + 1, (size - 1) / 4 * 4);
  std::vector<char> out32(room);
  Check_UTF8_Output(out32, Convert_UTF32_To_UTF8(wider.data(), out32.data(), room));
  return 0;
}
