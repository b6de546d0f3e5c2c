// The "/TR.Help" text: printed whenever an option begins with /TR.Help, whether or not a client
// is created, and the same every time; what it lists is what the engine reads: every option it
// names is one the engine takes, every sink it names is made by that value, and the options the
// engine takes beyond the text are named here one by one, so that a new option must be decided on.
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <mqtt-wrapper/TR.h>

#include "support/child_process.h"
#include "support/program.h"
#include "support/temp_dir.h"

namespace {

struct Outcome {
  std::string output;
  bool created;
  ITR_Client::eType type;
};

Outcome Create_Capturing(const char* args) {
  ITR_Client* client = nullptr;
  Outcome outcome{mqw_test::Capture_Stdout([&] { client = TR_Create_Client(args); }), false,
                  ITR_Client::eNetwork};
  if (client != nullptr) {
    outcome.created = true;
    outcome.type = client->Get_Type();
    client->Release();
  }
  return outcome;
}

TEST(HelpText, PrintedTheSameWheneverAnOptionBeginsWithHelp) {
  struct Case {
    const char* args;
    bool help;
    bool created;  // a null sink is expected when created
  } cases[] = {
      {"/TR.Help /TR.Sink=Null", true, true},
      {"/TR.Help=1 /TR.Sink=Null", true, true},
      {"/TR.Sink=Null /TR.Helpme", true, true},
      {"/TR.On=0 /TR.Help", true, false},  // printed although nothing is created
      {"/TR.Help /TR.Addr=no-such-host.invalid", true,
       false},  // a network sink that cannot be made
      {"/TR.help /TR.Sink=Null", false, true},
      {"/TR.Sink=Null x/TR.Help", false, true},
      {"/TR.Sink=Null", false, true},
  };
  const std::string help = Create_Capturing("/TR.Help /TR.Sink=Null").output;
  ASSERT_EQ(help.rfind("TR arguments:\n", 0), 0u) << help;
  for (const auto& c : cases) {
    Outcome outcome = Create_Capturing(c.args);
    if (c.help) {
      EXPECT_EQ(outcome.output, help) << c.args;
    } else {
      EXPECT_EQ(outcome.output, "") << c.args;
    }
    EXPECT_EQ(outcome.created, c.created) << c.args;
    if (c.created) {
      EXPECT_EQ(outcome.type, ITR_Client::eNull) << c.args;
    }
  }
}

std::string Help() { return Create_Capturing("/TR.Help /TR.Sink=Null").output; }

// The names of the lines "   /TR.Name   - ..." that introduce an option.
std::set<std::string> Listed_Options(const std::string& help) {
  std::set<std::string> options;
  const std::regex line(R"(^   (/TR\.[A-Za-z.]+)\s*-)");
  for (const std::string& text : mqw_test::Split_Lines(help)) {
    std::smatch match;
    if (std::regex_search(text, match, line)) options.insert(match[1]);
  }
  return options;
}

TEST(HelpText, ListsTheOptionsTheEngineReads) {
  // Every option the engine reads, by name.
  const std::set<std::string> read = {
      "/TR.Sink",  "/TR.Name",     "/TR.On",      "/TR.Verb",          "/TR.Trc.Verb",
      "/TR.Pool",  "/TR.Addr",     "/TR.Port",    "/TR.PSize",         "/TR.Dir",
      "/TR.Files", "/TR.Roll",     "/TR.Format",  "/TR.FSize",         "/TR.Window",
      "/TR.Eto",   "/TR.Facility", "/TR.ExtAddr", "/TR.FlashChannels", "/TR.Help"};
  // Read, but left out of the text, whose wording is fixed: each is documented with its sink.
  const std::set<std::string> unlisted = {"/TR.FSize",    "/TR.Window",  "/TR.Eto",
                                          "/TR.Facility", "/TR.ExtAddr", "/TR.FlashChannels",
                                          "/TR.Help"};
  const std::set<std::string> listed = Listed_Options(Help());
  ASSERT_FALSE(listed.empty());
  for (const std::string& option : listed) {
    EXPECT_EQ(read.count(option), 1u) << option << " is listed but not read";
    EXPECT_EQ(unlisted.count(option), 0u) << option << " is listed after all";
  }
  for (const std::string& option : read) {
    EXPECT_TRUE(listed.count(option) == 1 || unlisted.count(option) == 1)
        << option << " is read but neither listed nor named as left out";
  }
}

// Each sink the text names under /TR.Sink is the sink that value makes.
TEST(HelpText, EverySinkListedIsMadeByItsValue) {
  const std::string help = Help();
  const std::regex entry(R"(^                \* ([A-Za-z]+) +- )");
  std::vector<std::string> names;
  for (const std::string& text : mqw_test::Split_Lines(help)) {
    std::smatch match;
    if (text.find("/TR.Name") != std::string::npos) break;  // the /TR.Sink section ends here
    if (std::regex_search(text, match, entry)) names.push_back(match[1]);
  }
  ASSERT_FALSE(names.empty()) << help;
  mqw_test::TempDir dir;
  // Syslog and Auto need no server: a syslog output sends without answers, Auto without one takes
  // the binary file sink (a port nothing listens on answers nothing).
  const struct {
    const char* name;
    ITR_Client::eType type;
  } expected[] = {
      {"Network", ITR_Client::eNetwork}, {"FileBin", ITR_Client::eFileBin},
      {"FileTxt", ITR_Client::eText},    {"Syslog", ITR_Client::eText},
      {"Console", ITR_Client::eText},    {"Auto", ITR_Client::eFileBin},
      {"Null", ITR_Client::eNull},
  };
  std::vector<std::string> known;
  for (const auto& e : expected) known.push_back(e.name);
  EXPECT_EQ(names, known) << "a sink listed without a row here, or a row no longer listed";
  for (const auto& e : expected) {
    SCOPED_TRACE(e.name);
    const std::string args = std::string("/TR.Sink=") + e.name + " /TR.Dir=" + dir.Path() +
                             " /TR.Addr=127.0.0.1 /TR.Port=9";
    Outcome outcome = Create_Capturing(args.c_str());
    ASSERT_TRUE(outcome.created);
    EXPECT_EQ(outcome.type, e.type);
  }
}

}  // namespace
