// Message formatter: packed arguments rendered by printf-style format strings.
#include "trace/decode/formatter.h"

#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

namespace {

// Builds an argument table and the packed values of one data record, as a channel writes them.
struct Packed {
  std::vector<uint8_t> table;
  std::vector<uint8_t> values;

  Packed& Num(uint8_t type, uint64_t value) {
    table.push_back(type);
    table.push_back(8);
    for (int i = 0; i < 8; ++i) values.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
  }
  Packed& Int(int64_t value) { return Num(eTRArg_Int32, static_cast<uint64_t>(value)); }
  Packed& Dbl(double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof(bits));
    return Num(eTRArg_Double, bits);
  }
  Packed& Str(const std::string& text) {
    table.push_back(eTRArg_String);
    table.push_back(0);
    values.insert(values.end(), text.begin(), text.end());
    values.push_back(0);
    return *this;
  }
  // A wide text: its units little-endian, then one unit of zeros.
  template <class Text>
  Packed& Wide(uint8_t type, const Text& text) {
    constexpr int kUnitBytes = sizeof(typename Text::value_type);
    table.push_back(type);
    table.push_back(0);
    for (auto unit : text)
      for (int i = 0; i < kUnitBytes; ++i) values.push_back(static_cast<uint8_t>(unit >> (8 * i)));
    values.insert(values.end(), kUnitBytes, 0);
    return *this;
  }
  Packed& WStr(const std::u32string& text) { return Wide(eTRArg_WString, text); }
  Packed& Str16(const std::u16string& text) { return Wide(eTRArg_UTF16_String, text); }
  uint32_t Count() const { return static_cast<uint32_t>(table.size() / 2); }
};

std::string Render(const char* format, const Packed& packed, uint32_t capacity = 4096) {
  CFormatter formatter(format, packed.table.data(), packed.Count(), nullptr);
  std::vector<char> out(capacity);
  int32_t n = formatter.Format(out.data(), capacity, packed.values.data(),
                               static_cast<uint32_t>(packed.values.size()));
  if (n < 0) return "<-1>";
  EXPECT_EQ(strlen(out.data()), static_cast<size_t>(n));
  return std::string(out.data(), static_cast<size_t>(n));
}

struct Case {
  const char* name;
  const char* format;
  std::function<Packed()> args;
  std::string expected;
};

TEST(Formatter, RendersLikePrintfWithItsOwnRules) {
  const Case cases[] = {
      {"percent escape", "a%%b", [] { return Packed(); }, "a%b"},
      {"lone percent at end", "100%", [] { return Packed(); }, "100%"},
      {"%F stays literal", "x%Fy", [] { return Packed(); }, "x%Fy"},
      {"%n stays literal", "x%ny", [] { return Packed(); }, "x%ny"},
      {"one-byte -1 is 255", "%d", [] { return Packed().Num(eTRArg_Char, 0xFFFFFFFFFFFFFFFFull); },
       "255"},
      {"16-bit sign", "%d", [] { return Packed().Num(eTRArg_Int16, 0xFFFE); }, "-2"},
      {"32-bit sign", "%d %u", [] { return Packed().Int(-5).Int(-1); }, "-5 4294967295"},
      {"64-bit", "%lld", [] { return Packed().Num(eTRArg_Int64, 0x8000000000000000ull); },
       "-9223372036854775808"},
      {"%x of a pointer reads nothing", "%x", [] { return Packed().Num(eTRArg_Pointer, 0xABCDEF); },
       "0"},
      {"%p upper hex with prefix", "%p", [] { return Packed().Num(eTRArg_Pointer, 0xabcdef); },
       "0xABCDEF"},
      {"null pointer", "%p", [] { return Packed().Num(eTRArg_Pointer, 0); }, "0x0"},
      {"%#o of 0", "%#o", [] { return Packed().Int(0); }, "00"},
      {"%#b of 5", "%#b", [] { return Packed().Int(5); }, "b101"},
      {"%#x of 255", "%#x", [] { return Packed().Int(255); }, "0xff"},
      {"%#X of 255", "%#X", [] { return Packed().Int(255); }, "0xFF"},
      {"%-05d pads with zeros", "%-05d", [] { return Packed().Int(42); }, "00042"},
      {"%08.3d", "%08.3d", [] { return Packed().Int(5); }, "00000005"},
      {"%+5d of -3", "%+5d", [] { return Packed().Int(-3); }, "   -3"},
      {"%+d of 3", "%+d", [] { return Packed().Int(3); }, "+3"},
      {"%-5d|", "%-5d|", [] { return Packed().Int(7); }, "7    |"},
      {"%.3x", "%.3x", [] { return Packed().Int(10); }, "00a"},
      {"%08x with prefix", "%#08x", [] { return Packed().Int(255); }, "0x0000ff"},
      {"star width -7 pads nothing", "[%*d]", [] { return Packed().Int(-7).Int(3); }, "[3]"},
      {"star precision", "%.*d", [] { return Packed().Int(4).Int(7); }, "0007"},
      {"%5s does not pad", "[%5s]", [] { return Packed().Str("ab"); }, "[ab]"},
      {"strings", "%s=%s", [] { return Packed().Str("key").Str(""); }, "key="},
      {"wide string", "%S", [] { return Packed().WStr(U"Gr\u00fc\u00dfe \U0001F600"); },
       "Gr\xc3\xbc\xc3\x9f"
       "e \xf0\x9f\x98\x80"},
      {"utf-16 string", "%s", [] { return Packed().Str16(u"\u00e9\U0001F600"); },
       "\xc3\xa9\xf0\x9f\x98\x80"},
      {"characters", "%c%c%lc",
       [] {
         return Packed()
             .Num(eTRArg_Char, 'A')
             .Num(eTRArg_UTF16_Char, 0x00e9)
             .Num(eTRArg_WChar, 0x20AC);
       },
       "A\xc3\xa9\xe2\x82\xac"},
      {"float through printf", "%.2f|%e", [] { return Packed().Dbl(3.14159).Dbl(1.5); },
       "3.14|1.500000e+00"},
      {"float with star width and precision", "[%*.*f]",
       [] { return Packed().Int(8).Int(3).Dbl(2.5); }, "[   2.500]"},
      {"long double modifier read as double", "%Lf", [] { return Packed().Dbl(1.25); }, "1.250000"},
      {"modifiers ignored", "%I64d %hhd %zu",
       [] { return Packed().Num(eTRArg_Int64, 9).Num(eTRArg_Char, 200).Num(eTRArg_Int64, 3); },
       "9 200 3"},
      {"apostrophe flag accepted", "%'d", [] { return Packed().Int(1234); }, "1234"},
      {"too many conversions", "%d %d %d", [] { return Packed().Int(1).Int(2); },
       "Format string error"},
      {"too few conversions", "%d", [] { return Packed().Int(1).Int(2); }, "Format string error"},
      {"star counts an argument", "%*d", [] { return Packed().Int(1); }, "Format string error"},
      {"empty format", "", [] { return Packed(); }, ""},
      {"no conversions", "plain text", [] { return Packed(); }, "plain text"},
      {"string conversion of a number fails", "%s", [] { return Packed().Int(1); }, "<-1>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Render(c.format, c.args()), c.expected) << c.name << ": " << c.format;
  }
}

TEST(Formatter, StarWidthIsClampedTo1024) {
  std::string text = Render("%*d", Packed().Int(5000).Int(1), 8192);
  EXPECT_EQ(text.size(), 1024u);
  EXPECT_EQ(text.back(), '1');
  EXPECT_EQ(text.find_first_not_of(' '), 1023u);
}

// A width or precision written in the format is cut to kMaxLiteralWidth for floating point as
// for integers: a crafted record asking for two billion characters renders a bounded message
// instead of keeping the platform formatter busy for minutes.
TEST(Formatter, FloatWidthAndPrecisionAreCutLikeIntegers) {
  const size_t cap = static_cast<size_t>(CFormatter::kMaxLiteralWidth);
  struct Width_Case {
    const char* format;
    size_t length;
  };
  const Width_Case cases[] = {
      {"%2000000000e", cap},  // padded to the cut width
      {"%-2000000000.1f", cap},
      {"%.2000000000e", cap + 6},         // "1." + cap digits + "e+00"
      {"%99999999999999999999.3f", cap},  // digits beyond any integer type
      {"%d|%2000000000d", 2 + cap},       // integers, for comparison
      {"%.65536f", 2 + cap},              // "1." + cap digits: a record's cost stays small
      {"%65536.65536f", 2 + cap},
  };
  for (const Width_Case& c : cases) {
    SCOPED_TRACE(c.format);
    Packed packed = strncmp(c.format, "%d", 2) == 0 ? Packed().Int(1).Int(2) : Packed().Dbl(1.0);
    std::string text = Render(c.format, packed, 4 * CFormatter::kMaxLiteralWidth);
    EXPECT_EQ(text.size(), c.length);
  }
  // Precision given as ".", ".0" or not at all keeps its printf meaning.
  EXPECT_EQ(Render("%.f|%.0f|%f|%08.2f", Packed().Dbl(3.75).Dbl(3.75).Dbl(3.75).Dbl(-3.75)),
            "4|4|3.750000|-0003.75");
}

TEST(Formatter, SmallBufferAsksForMoreAndStaysTerminated) {
  Packed packed = Packed().Str(std::string(100, 'x')).Int(123456);
  CFormatter formatter("msg %s %d", packed.table.data(), packed.Count(), nullptr);
  std::vector<char> out(64, '#');
  EXPECT_EQ(formatter.Format(out.data(), 64, packed.values.data(),
                             static_cast<uint32_t>(packed.values.size())),
            -1);
  EXPECT_LT(strlen(out.data()), 64u);
  // What fitted is there, so that a caller at its largest buffer can cut the message.
  EXPECT_EQ(std::string(out.data()), "msg " + std::string(51, 'x'));
  std::vector<char> big(256);
  EXPECT_EQ(formatter.Format(big.data(), 256, packed.values.data(),
                             static_cast<uint32_t>(packed.values.size())),
            4 + 100 + 1 + 6);
}

TEST(Formatter, TruncatedValuesAreReadWithinTheirBounds) {
  // A string without terminator and a number cut short: rendered from the bytes present only.
  Packed packed = Packed().Int(0x41).Str("abc");
  std::vector<uint8_t> cut(packed.values.begin(), packed.values.begin() + 3);
  CFormatter formatter("%d %s", packed.table.data(), packed.Count(), nullptr);
  char out[64];
  ASSERT_GE(formatter.Format(out, sizeof(out), cut.data(), static_cast<uint32_t>(cut.size())), 0);
  EXPECT_STREQ(out, "65 ");
  Packed text = Packed().Str("abc");
  CFormatter unterminated("<%s>", text.table.data(), text.Count(), nullptr);
  ASSERT_GE(unterminated.Format(out, sizeof(out), text.values.data(), 2), 0);
  EXPECT_STREQ(out, "<ab>");
}

TEST(Formatter, SharesTheDigitsBufferOfItsChannel) {
  auto* digits = new CFormatter::sBuffer();
  Packed packed = Packed().Int(12);
  {
    CFormatter a("%d", packed.table.data(), 1, digits);
    CFormatter b("%x", packed.table.data(), 1, digits);
    char out[32];
    EXPECT_EQ(a.Format(out, sizeof(out), packed.values.data(), 8), 2);
    EXPECT_EQ(b.Format(out, sizeof(out), packed.values.data(), 8), 1);
    EXPECT_STREQ(out, "c");
    EXPECT_EQ(digits->Add_Ref(), 4u);
    digits->Release();
  }
  EXPECT_EQ(digits->Release(), 0u);
}

}  // namespace
