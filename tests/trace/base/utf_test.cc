// UTF-8 -> UTF-16 on malformed input: every sequence gives exactly one unit, never the unit 0
// (which would end the text early inside a record), and what it gives converts back unchanged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trace/base/utf.h"

namespace {

std::u16string To_UTF16(const char* source) {
  std::vector<uint16_t> units(256, 0xAAAA);
  int32_t written =
      Convert_UTF8_To_UTF16(source, units.data(), static_cast<uint32_t>(units.size()));
  return std::u16string(reinterpret_cast<const char16_t*>(units.data()),
                        static_cast<size_t>(written));
}

TEST(UtfMalformed, InvalidSequencesBecomeOneReplacementEach) {
  struct Case {
    const char* name;
    const char* source;
    std::u16string expected;
  };
  const Case cases[] = {
      {"overlong NUL, two bytes",
       "a\xC0\x80"
       "b",
       u"a\uFFFDb"},
      {"overlong NUL, three bytes",
       "a\xE0\x80\x80"
       "b",
       u"a\uFFFDb"},
      {"continuation bytes as lead",
       "a\x80\x80"
       "b",
       u"a\uFFFDb"},
      {"overlong slash", "\xC1\xAF/", u"\uFFFD/"},
      {"overlong three-byte form of U+07FF", "\xE0\x9F\xBF.", u"\uFFFD."},
      {"surrogate encoded in three bytes", "\xED\xA0\x80x", u"\uFFFDx"},
      {"lead followed by ASCII", "\xC3t\xE2\x82z!", u"\uFFFD\uFFFD!"},
      {"valid two- and three-byte forms stay", "\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBD",
       u"\u0080\u07FF\u0800\uFFFD"},
      {"last BMP character before the surrogates", "\xED\x9F\xBF", u"\uD7FF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::u16string units = To_UTF16(c.source);
    EXPECT_EQ(units, c.expected);
    EXPECT_EQ(units.find(u'\0'), std::u16string::npos);
    // The unit count is what a record's size is computed from.
    EXPECT_EQ(UTF8_Code_Points(c.source), units.size());
  }
}

// Every byte pair and triple after a lead: no unit 0, and UTF-16 -> UTF-8 -> UTF-16 is stable.
TEST(UtfMalformed, NoZeroUnitAndStableRoundTripForEveryShortSequence) {
  std::vector<std::string> sources;
  for (int lead = 0x80; lead <= 0xEF; ++lead) {
    for (int second = 1; second <= 0xFF; ++second) {
      sources.push_back({static_cast<char>(lead), static_cast<char>(second), 'x'});
      if (lead >= 0xE0)
        sources.push_back({static_cast<char>(lead), static_cast<char>(second), '\x80', 'x'});
    }
  }
  for (const std::string& source : sources) {
    std::u16string units = To_UTF16(source.c_str());
    ASSERT_EQ(units.find(u'\0'), std::u16string::npos)
        << std::hex << int(uint8_t(source[0])) << " " << int(uint8_t(source[1]));
    std::vector<char> back(units.size() * 3 + 1);
    std::u16string terminated = units + u'\0';
    int32_t bytes = Convert_UTF16_To_UTF8(reinterpret_cast<const uint16_t*>(terminated.c_str()),
                                          back.data(), static_cast<uint32_t>(back.size()));
    ASSERT_GE(bytes, 0);
    EXPECT_EQ(To_UTF16(back.data()), units)
        << std::hex << int(uint8_t(source[0])) << " " << int(uint8_t(source[1]));
  }
}

}  // namespace
