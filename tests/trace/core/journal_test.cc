// Engine journal: entry layout, level texts, threshold from "/TR.Verb=", literal message text,
// counters, truncation, and entries from many threads never interleaving.
#include <gtest/gtest.h>

#include <time.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "trace/core/journal.h"

namespace {

struct JournalRef {
  explicit JournalRef(IJournal* journal) : journal(journal) {}
  ~JournalRef() {
    if (journal) journal->Release();
  }
  JournalRef(const JournalRef&) = delete;
  JournalRef& operator=(const JournalRef&) = delete;
  IJournal* journal;
};

IJournal* From_Option(const char* option) {
  char program[] = "program";
  std::string copy = option ? option : "";
  std::vector<char*> args = {program};
  if (option) args.push_back(copy.data());
  return CJournal::Create_From_Args(args.data(), static_cast<int>(args.size()));
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(JournalTest, EntryIsTwoLinesWithExactLayout) {
  JournalRef ref(From_Option("/TR.Verb=0"));
  ASSERT_NE(ref.journal, nullptr);
  time_t before = time(nullptr);
  std::string out = mqw_test::Capture_Stdout([&] {
    EXPECT_TRUE(ref.journal->Log(IJournal::eError, nullptr, "/src/file.cc", "Open_File", 42,
                                 "Can't write to file %s, code %d", "a.trc", 28));
  });
  std::smatch match;
  ASSERT_TRUE(std::regex_match(
      out, match,
      std::regex(
          R"(\[Open_File\] : \[42\]\n(\d{4})\.(\d{2})\.(\d{2}) (\d{2}):(\d{2}):(\d{2})\.\d{3}: ERROR: : Can't write to file a\.trc, code 28\n)")))
      << out;
  EXPECT_EQ(out.find("/src/file.cc"), std::string::npos);  // the source path is not printed

  // The date is today's local date (allowing for a change of day during the call).
  tm local{};
  localtime_r(&before, &local);
  EXPECT_EQ(std::stoi(match[1]), local.tm_year + 1900);
  EXPECT_NEAR(std::stoi(match[3]), local.tm_mday, 31);
}

TEST(JournalTest, LevelTextsAndThreshold) {
  const char* texts[] = {"TRACE: ", "DEBUG: ", "INFO : ", "WARN.: ", "ERROR: ", "CRIT.: "};
  struct Case {
    const char* option;
    bool journal;
    int lowest_printed;  // levels below are filtered
  };
  const Case cases[] = {
      {"/TR.Verb=-1", true, 0}, {"/TR.Verb=0", true, 0},   {"/TR.Verb=3", true, 3},
      {"/TR.Verb=5", true, 5},  {"/TR.Verb=x", true, 0},   {"/TR.Verb=-100", true, 0},
      {"/TR.Verb=6", false, 0}, {"/TR.Verb=99", false, 0}, {"/TR.Trc.Verb=4", false, 0},
      {nullptr, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option ? c.option : "(absent)");
    JournalRef ref(From_Option(c.option));
    ASSERT_EQ(ref.journal != nullptr, c.journal);
    if (!c.journal) continue;
    for (int level = 0; level <= 6; ++level) {
      SCOPED_TRACE(level);
      bool printed = false;
      std::string out = mqw_test::Capture_Stdout([&] {
        printed =
            ref.journal->Log(static_cast<IJournal::eLevel>(level), nullptr, "f.cc", "F", 1, "m");
      });
      bool expected = level <= 5 && level >= c.lowest_printed;
      EXPECT_EQ(printed, expected);
      if (expected) {
        EXPECT_NE(out.find(std::string(texts[level]) + ": m\n"), std::string::npos) << out;
      } else {
        EXPECT_EQ(out, "");
      }
    }
  }
}

TEST(JournalTest, VerbosityCanBeChanged) {
  JournalRef ref(From_Option("/TR.Verb=5"));
  ASSERT_NE(ref.journal, nullptr);
  EXPECT_EQ(ref.journal->Get_Verbosity(), IJournal::eCritical);
  ref.journal->Set_Verbosity(IJournal::eDebug);
  EXPECT_EQ(ref.journal->Get_Verbosity(), IJournal::eDebug);
  std::string out = mqw_test::Capture_Stdout(
      [&] { EXPECT_TRUE(ref.journal->Log(IJournal::eDebug, nullptr, "f", "F", 1, "now shown")); });
  EXPECT_NE(out.find("DEBUG: : now shown"), std::string::npos);
}

TEST(JournalTest, MessageTextIsPrintedLiterally) {
  JournalRef ref(From_Option("/TR.Verb=0"));
  ASSERT_NE(ref.journal, nullptr);
  std::string out = mqw_test::Capture_Stdout(
      [&] { ref.journal->Log(IJournal::eInfo, nullptr, "f", "F", 7, "%s", "100% done %d %s %n"); });
  EXPECT_NE(out.find("INFO : : 100% done %d %s %n\n"), std::string::npos) << out;
}

TEST(JournalTest, CountsPrintedEntriesPerLevel) {
  JournalRef ref(From_Option("/TR.Verb=2"));
  ASSERT_NE(ref.journal, nullptr);
  mqw_test::Capture_Stdout([&] {
    for (int i = 0; i < 3; ++i) ref.journal->Log(IJournal::eInfo, nullptr, "f", "F", 1, "info");
    for (int i = 0; i < 2; ++i) ref.journal->Log(IJournal::eDebug, nullptr, "f", "F", 1, "debug");
  });
  EXPECT_EQ(ref.journal->Get_Count(IJournal::eInfo), 3u);
  EXPECT_EQ(ref.journal->Get_Count(IJournal::eDebug), 0u);
  EXPECT_EQ(ref.journal->Get_Count(static_cast<IJournal::eLevel>(6)), 0u);
  EXPECT_EQ(ref.journal->Get_Count(static_cast<IJournal::eLevel>(-1)), 0u);
}

TEST(JournalTest, LongMessageIsCutToTheBuffer) {
  JournalRef ref(From_Option("/TR.Verb=0"));
  ASSERT_NE(ref.journal, nullptr);
  std::string message(20000, 'x');
  std::string out = mqw_test::Capture_Stdout([&] {
    EXPECT_TRUE(ref.journal->Log(IJournal::eWarning, nullptr, "f", "F", 1, "%s", message.c_str()));
  });
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.size(), CJournal::kBufferSize);  // 8191 composed characters and the newline
  EXPECT_EQ(out.back(), '\n');
  EXPECT_EQ(out[out.size() - 2], 'x');
}

TEST(JournalTest, EntriesFromManyThreadsDoNotInterleave) {
  JournalRef ref(From_Option("/TR.Verb=0"));
  ASSERT_NE(ref.journal, nullptr);
  constexpr int kThreads = 4;
  constexpr int kEntries = 200;
  std::string out = mqw_test::Capture_Stdout([&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        std::string function = "Thread" + std::to_string(t);
        for (int i = 0; i < kEntries; ++i) {
          ref.journal->Log(IJournal::eInfo, nullptr, "f", function.c_str(),
                           static_cast<uint32_t>(i), "thread %d entry %d", t, i);
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  });
  std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(lines.size(), static_cast<size_t>(2 * kThreads * kEntries));
  std::regex head(R"(\[Thread(\d)\] : \[(\d+)\])");
  for (size_t i = 0; i < lines.size(); i += 2) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[i], match, head)) << lines[i];
    std::string tail = "thread " + match[1].str() + " entry " + match[2].str();
    ASSERT_GE(lines[i + 1].size(), tail.size());
    EXPECT_EQ(lines[i + 1].substr(lines[i + 1].size() - tail.size()), tail);
  }
  EXPECT_EQ(ref.journal->Get_Count(IJournal::eInfo), static_cast<uint64_t>(kThreads * kEntries));
}

TEST(JournalTest, StubsAndReferenceCounting) {
  CJournal* journal = static_cast<CJournal*>(From_Option("/TR.Verb=1"));
  ASSERT_NE(journal, nullptr);
  void* module = &module;
  EXPECT_EQ(journal->Register_Module("m", &module), 0u);
  EXPECT_EQ(module, nullptr);
  EXPECT_EQ(journal->Register_Module("m", nullptr), 0u);
  EXPECT_EQ(journal->Register_Thread("t", 1), 0u);
  EXPECT_EQ(journal->Unregister_Thread(1), 0u);
  EXPECT_TRUE(journal->Initialize("ignored"));
  EXPECT_EQ(journal->Add_Ref(), 2);
  EXPECT_EQ(journal->Release(), 1);
  EXPECT_EQ(journal->Release(), 0);

  // The reporting macro skips a null journal without evaluating anything else.
  IJournal* none = nullptr;
  std::string out =
      mqw_test::Capture_Stdout([&] { TR_JOURNAL(none, IJournal::eCritical, "x %d", 1); });
  EXPECT_EQ(out, "");
  JournalRef ref(From_Option("/TR.Verb=0"));
  uint32_t line = 0;
  out = mqw_test::Capture_Stdout([&] {
    line = __LINE__ + 1;
    TR_JOURNAL(ref.journal, IJournal::eCritical, "value %d", 5);
  });
  EXPECT_NE(out.find("CRIT.: : value 5\n"), std::string::npos);
  // The macro reports the calling function (here the lambda's operator()) and line.
  EXPECT_EQ(out.find("[operator()] : [" + std::to_string(line) + "]\n"), 0u) << out;
}

}  // namespace
