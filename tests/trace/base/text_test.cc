// Text utilities: UTF conversions at buffer limits, CWString growth and aliasing, PSPrint.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "trace/base/psprint.h"
#include "trace/base/utf.h"
#include "trace/base/wstring.h"

namespace {

std::u16string To16(const uint16_t* units, int32_t count) {
  return std::u16string(reinterpret_cast<const char16_t*>(units), static_cast<size_t>(count));
}

TEST(UtfTest, Utf8ToUtf16) {
  struct Case {
    const char* name;
    const char* source;
    uint32_t room;  // target units including the terminator
    std::u16string expected;
  };
  const Case cases[] = {
      {"ascii", "abc", 16, u"abc"},
      {"two-byte", "\xC3\xA9t\xC3\xA9", 16, u"\u00E9t\u00E9"},
      {"three-byte", "\xE2\x82\xAC!", 16, u"\u20AC!"},
      {"four-byte becomes one star",
       "a\xF0\x9F\x98\x80"
       "b",
       16, u"a*b"},
      {"five- and six-byte leads skip their length",
       "\xF8\x88\x80\x80\x80x\xFC\x84\x80\x80\x80\x80y", 16, u"*x*y"},
      {"room for 4 keeps 3", "abcdef", 4, u"abc"},
      {"room for 1 keeps only the terminator", "abc", 1, u""},
      {"sequence cut by the terminator", "ab\xE2\x82", 16, u"ab"},
      {"four-byte lead cut by the terminator", "a\xF0\x9F", 16, u"a*"},
      {"empty", "", 4, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint16_t> target(c.room + 4, 0xAAAA);
    int32_t written = Convert_UTF8_To_UTF16(c.source, target.data(), c.room);
    EXPECT_EQ(To16(target.data(), written), c.expected);
    EXPECT_EQ(target[static_cast<size_t>(written)], 0);
    EXPECT_EQ(target[c.room], 0xAAAA);  // nothing written past the room
  }
  // Units the conversion writes without a limit: what a caller sizes its buffer by.
  for (const char* source : {"abc", "\xC3\xA9t",
                             "a\xF0\x9F\x98\x80"
                             "b",
                             "ab\xE2\x82", ""}) {
    SCOPED_TRACE(source);
    std::vector<uint16_t> target(64);
    EXPECT_EQ(UTF8_Code_Points(source),
              static_cast<uint32_t>(Convert_UTF8_To_UTF16(source, target.data(), 64)));
  }
  uint16_t unit[2];
  EXPECT_EQ(Convert_UTF8_To_UTF16(nullptr, unit, 2), 0);
  EXPECT_EQ(Convert_UTF8_To_UTF16("a", nullptr, 2), 0);
  EXPECT_EQ(Convert_UTF8_To_UTF16("a", unit, 0), 0);
  EXPECT_EQ(UTF8_Code_Points(nullptr), 0u);
}

TEST(UtfTest, Utf16ToUtf8) {
  struct Case {
    const char* name;
    std::u16string source;
    uint32_t room;  // target bytes including the terminator
    std::string expected;
  };
  const Case cases[] = {
      {"ascii", u"abc", 16, "abc"},
      {"two and three bytes", u"\u00E9\u20AC", 16, "\xC3\xA9\xE2\x82\xAC"},
      {"surrogate pair", u"\U0001F600", 16, "\xF0\x9F\x98\x80"},
      {"high surrogate then ordinary character",
       std::u16string(u"\xD83D"
                      u"A"),
       16, "?A"},
      {"high surrogate at the end", std::u16string(u"x\xD83D"), 16, "x?"},
      {"lone low surrogate",
       std::u16string(u"\xDE00"
                      u"b"),
       16, "?b"},
      {"two low surrogates do not pair", std::u16string(u"\xDC00\xDC01"), 16, "??"},
      {"two-byte needs 3 bytes of room", u"a\u00E9", 3, "a"},
      {"three-byte needs 4 bytes of room", u"a\u20AC", 4, "a"},
      {"four-byte needs 5 bytes of room", u"a\U0001F600", 5, "a"},
      {"exact room for four bytes", u"\U0001F600", 5, "\xF0\x9F\x98\x80"},
      {"room for the terminator only", u"abc", 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<char> target(c.room + 4, '#');
    int32_t written = Convert_UTF16_To_UTF8(reinterpret_cast<const uint16_t*>(c.source.c_str()),
                                            target.data(), c.room);
    ASSERT_GE(written, 0);
    EXPECT_EQ(std::string(target.data(), static_cast<size_t>(written)), c.expected);
    EXPECT_EQ(target[static_cast<size_t>(written)], 0);
    EXPECT_EQ(target[c.room], '#');
  }
  char byte[2];
  const uint16_t empty[1] = {0};
  EXPECT_EQ(Convert_UTF16_To_UTF8(nullptr, byte, 2), -1);
  EXPECT_EQ(Convert_UTF16_To_UTF8(empty, nullptr, 2), -1);
  EXPECT_EQ(Convert_UTF16_To_UTF8(empty, byte, 0), -1);
}

TEST(UtfTest, Utf32ToUtf8) {
  struct Case {
    const char* name;
    std::vector<uint32_t> source;
    uint32_t room;
    std::string expected;
  };
  const Case cases[] = {
      {"one to four bytes",
       {0x41, 0xE9, 0x20AC, 0x1F600},
       16,
       "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"largest four-byte value", {0x1FFFFF}, 16, "\xF7\xBF\xBF\xBF"},
      {"above 0x1FFFFF", {0x200000, 0x42}, 16, "?B"},
      {"surrogate value encoded as three bytes", {0xD800}, 16, "\xED\xA0\x80"},
      {"stops when the character does not fit", {0x41, 0x1F600}, 5, "A"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint32_t> source = c.source;
    source.push_back(0);
    std::vector<char> target(c.room + 4, '#');
    int32_t written = Convert_UTF32_To_UTF8(source.data(), target.data(), c.room);
    ASSERT_GE(written, 0);
    EXPECT_EQ(std::string(target.data(), static_cast<size_t>(written)), c.expected);
    EXPECT_EQ(target[c.room], '#');
  }
  char byte[2];
  EXPECT_EQ(Convert_UTF32_To_UTF8(nullptr, byte, 2), -1);
}

TEST(WStringTest, SetAndAppendGrowToExactSize) {
  CWString text;
  EXPECT_STREQ(text.Get(), "");
  EXPECT_EQ(text.Capacity(), 0u);

  EXPECT_TRUE(text.Append(2, "/", "file.trc"));
  EXPECT_STREQ(text.Get(), "/file.trc");
  EXPECT_EQ(text.Capacity(), strlen("/file.trc") + 1);

  EXPECT_TRUE(text.Append(3, "-", nullptr, "1"));  // null texts skipped
  EXPECT_STREQ(text.Get(), "/file.trc-1");

  EXPECT_TRUE(text.Set("ab"));  // shorter: buffer kept
  EXPECT_STREQ(text.Get(), "ab");
  EXPECT_EQ(text.Capacity(), strlen("/file.trc-1") + 1);
  EXPECT_EQ(text.Length(), 2u);

  EXPECT_TRUE(text.Set(nullptr));
  EXPECT_EQ(text.Capacity(), 0u);
  EXPECT_STREQ(text.Get(), "");
}

TEST(WStringTest, TextsFromItsOwnBuffer) {
  CWString text("abc");
  EXPECT_TRUE(text.Append(2, text.Get(), text.Get()));
  EXPECT_STREQ(text.Get(), "abcabcabc");
  EXPECT_TRUE(text.Set(text.Get() + 3));
  EXPECT_STREQ(text.Get(), "abcabc");
  EXPECT_TRUE(text.Append(1, text.Get() + 4));  // room enough, still aliased
  EXPECT_STREQ(text.Get(), "abcabcbc");
  text.Truncate(3);
  EXPECT_STREQ(text.Get(), "abc");
}

TEST(PSPrintTest, BoundedLikeSnprintf) {
  char buffer[8];
  memset(buffer, '#', sizeof(buffer));
  EXPECT_EQ(PSPrint(buffer, 5, "%s-%d", "abc", 42), 6);
  EXPECT_STREQ(buffer, "abc-");
  EXPECT_EQ(buffer[5], '#');
  EXPECT_EQ(PSPrint(nullptr, 100, "%d", 12345), 5);  // null buffer: nothing written
  EXPECT_EQ(PSPrint(buffer, sizeof(buffer), "%%%c", 'x'), 2);
  EXPECT_STREQ(buffer, "%x");
}

}  // namespace
