// Option lists: splitting a caller's string, prefix lookups, numeric options, and reading the
// process command line (in a re-executed child with a controlled command line).
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/child_process.h"
#include "trace/core/options.h"

namespace {

std::vector<std::string> Split(const char* text) {
  CArguments arguments;
  EXPECT_TRUE(CArguments::Split(text, &arguments));
  std::vector<std::string> result;
  for (int i = 0; i < arguments.Count(); ++i) result.push_back(arguments.Args()[i]);
  if (arguments.Count()) {
    EXPECT_EQ(arguments.Args()[arguments.Count()], nullptr);
  }
  return result;
}

TEST(OptionsTest, SplitQuotesAndBlanks) {
  struct Case {
    const char* text;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"/TR.Name=\"My Client\" /TR.Sink=Null", {"/TR.Name=My Client", "/TR.Sink=Null"}},
      {"a  b", {"a", "", "b"}},   // two blanks: an empty argument between
      {"a\tb c", {"a\tb", "c"}},  // tabs do not separate
      {"x\"y z\"w", {"xy zw"}},   // quotes anywhere toggle and vanish
      {"\"open quote to the end", {"open quote to the end"}},
      {"a ", {"a", ""}},
      {"", {""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Split(c.text), c.expected);
  }
  EXPECT_TRUE(Split(nullptr).empty());
  EXPECT_FALSE(CArguments::Split("a", nullptr));
}

TEST(OptionsTest, LookupTakesTheFirstArgumentWithThePrefix) {
  CArguments arguments;
  for (const char* text : {"/usr/bin/host", "/TR.Trc.Verb=4", "/TR.Helpme", "/TR.Sink=FileBin",
                           "/TR.Sink=Null", "/TR.Help=1", "/tr.Port=1"}) {
    ASSERT_TRUE(arguments.Append(text));
  }
  struct Case {
    const char* prefix;
    const char* expected;  // null: no match
  };
  const Case cases[] = {
      {"/TR.Verb=", nullptr},    // does not match /TR.Trc.Verb=4
      {"/TR.Help", "me"},        // matches /TR.Helpme first
      {"/TR.Sink=", "FileBin"},  // first wins
      {"/TR.Port=", nullptr},    // case-sensitive
      {"/TR.Trc.Verb=", "4"},   {"/usr/bin/host", ""}, {"/usr/bin/host/longer", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prefix);
    const char* value = arguments.Get(c.prefix);
    if (c.expected) {
      ASSERT_NE(value, nullptr);
      EXPECT_STREQ(value, c.expected);
    } else {
      EXPECT_EQ(value, nullptr);
    }
  }
  EXPECT_EQ(Get_Argument_Text_Value(arguments.Args(), arguments.Count(), nullptr), nullptr);
  EXPECT_EQ(Get_Argument_Text_Value(nullptr, 3, "/TR."), nullptr);
  char* with_null[] = {nullptr, const_cast<char*>("/TR.On=0")};
  EXPECT_STREQ(Get_Argument_Text_Value(with_null, 2, "/TR.On="), "0");
}

TEST(OptionsTest, NumericOptions) {
  char a[] = "/TR.Pool=1024", b[] = "/TR.Port=abc", c[] = "/TR.Files=-3", d[] = "/TR.PSize=12kb",
       e[] = "/TR.Window=";
  char* args[] = {a, b, c, d, e};
  struct Case {
    const char* prefix;
    long expected;
  };
  const Case cases[] = {{"/TR.Pool=", 1024}, {"/TR.Port=", 0},   {"/TR.Files=", -3},
                        {"/TR.PSize=", 12},  {"/TR.Window=", 0}, {"/TR.Eto=", 77}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prefix);
    EXPECT_EQ(Get_Argument_Long(args, 5, c.prefix, 77), c.expected);
  }
}

TEST(OptionsTest, MergeKeepsOrder) {
  CArguments command_line, caller, merged;
  ASSERT_TRUE(command_line.Append("/TR.Sink=FileBin"));
  ASSERT_TRUE(CArguments::Split("/TR.Sink=Null /TR.Name=x", &caller));
  ASSERT_TRUE(merged.Append(command_line));
  ASSERT_TRUE(merged.Append(caller));
  ASSERT_EQ(merged.Count(), 3);
  EXPECT_STREQ(merged.Get("/TR.Sink="), "FileBin");
  EXPECT_STREQ(merged.Get("/TR.Name="), "x");
  ASSERT_TRUE(merged.Append(merged));  // appending to itself doubles the list
  EXPECT_EQ(merged.Count(), 6);
  EXPECT_STREQ(merged.Args()[5], "/TR.Name=x");
}

// Re-executes this binary with a chosen command line; the child prints what
// From_Command_Line read as "ARG <length> <text>" lines.
std::vector<std::string> Command_Line_Of_Child(const std::vector<std::string>& extra) {
  mqw_test::ChildResult result = mqw_test::Run_In_Child(
      [&] {
        std::vector<std::string> strings = {"child-program",
                                            "--gtest_filter=OptionsChild.PrintCommandLine"};
        strings.insert(strings.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& s : strings) argv.push_back(s.data());
        argv.push_back(nullptr);
        setenv("MQW_OPTIONS_CHILD", "1", 1);
        execv("/proc/self/exe", argv.data());
        return 126;
      },
      120000);
  EXPECT_TRUE(result.exited && result.exit_code == 0) << result.output;
  std::vector<std::string> lines;
  size_t position = 0;
  while ((position = result.output.find("ARG ", position)) != std::string::npos) {
    size_t blank = result.output.find(' ', position + 4);
    size_t length = std::stoul(result.output.substr(position + 4, blank - position - 4));
    lines.push_back(result.output.substr(blank + 1, length));
    position = blank + 1 + length;
  }
  return lines;
}

TEST(OptionsChild, PrintCommandLine) {
  if (!getenv("MQW_OPTIONS_CHILD")) GTEST_SKIP() << "runs only in the re-executed child";
  CArguments arguments;
  ASSERT_TRUE(CArguments::From_Command_Line(&arguments));
  for (int i = 0; i < arguments.Count(); ++i) {
    printf("ARG %zu %s\n", strlen(arguments.Args()[i]), arguments.Args()[i]);
  }
}

TEST(OptionsTest, CommandLineArgumentsInOrder) {
  if (getenv("MQW_EMULATOR") && *getenv("MQW_EMULATOR")) {
    GTEST_SKIP() << "the emulator adds its own command line";
  }
  std::vector<std::string> lines = Command_Line_Of_Child({"/TR.Sink=Null", "with blank", ""});
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "child-program");
  EXPECT_EQ(lines[2], "/TR.Sink=Null");
  EXPECT_EQ(lines[3], "with blank");
  EXPECT_EQ(lines[4], "");
}

TEST(OptionsTest, CommandLineIsCutAt4096BytesAndTerminated) {
  if (getenv("MQW_EMULATOR") && *getenv("MQW_EMULATOR")) {
    GTEST_SKIP() << "the emulator adds its own command line";
  }
  std::string first = "child-program";
  std::string filter = "--gtest_filter=OptionsChild.PrintCommandLine";
  std::string big(3000, 'a');
  std::string cut = "/TR.Name=" + std::string(3000, 'b');
  std::vector<std::string> lines = Command_Line_Of_Child({big, cut, "/TR.Sink=Null"});
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], big);
  size_t used = first.size() + 1 + filter.size() + 1 + big.size() + 1;
  EXPECT_EQ(lines[3], cut.substr(0, CArguments::kCommandLineLimit - used));
}

}  // namespace
