// Call sites built by a channel read back by the stream reader: argument table, file, function and
// format survive, also for format texts that are not valid UTF-8.
#include <gtest/gtest.h>

#include "descriptor_round_trip.h"

namespace {

TEST(DescriptorRoundTrip, SameArgumentsFileAndFunction) {
  const struct {
    const char* name;
    const char* format;
    const char* reader_format;  // the format the reader gives back
  } cases[] = {
      {"plain", "n=%d s=%s %5.2f %ls", "n=%d s=%s %5.2f %ls"},
      {"two- and three-byte text", "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC%d",
       "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC%d"},
      {"emoji becomes a star", "a\xF0\x9F\x98\x80%d", "a*%d"},
      // Sequences that decode to 0 bit by bit once cut the format there, and the reader then took
      // the rest of the format for the file and function names.
      {"overlong NUL", "a\xC0\x80%d|%s", "a\xEF\xBF\xBD%d|%s"},
      {"three-byte overlong NUL", "\xE0\x80\x80%d", "\xEF\xBF\xBD%d"},
      {"continuation bytes as lead", "\x80\x80%x", "\xEF\xBF\xBD%x"},
      {"surrogate", "\xED\xB0\x80%d", "\xEF\xBF\xBD%d"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string read;
    EXPECT_EQ(round_trip::Problem(c.format, "src/dir/file.cc", "Func", &read), "");
    EXPECT_EQ(read, c.reader_format);
  }
  EXPECT_EQ(round_trip::Problem("%d", nullptr, nullptr), "");
}

}  // namespace
