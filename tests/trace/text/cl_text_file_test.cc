// Rolling UTF-8 text files: names, byte-order mark, line ends, rolling rules, limits that count
// every ".txt" file of the directory, and recovery when a file cannot be created.
#include "trace/text/cl_text_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/capture_sink.h"
#include "support/child_process.h"
#include "support/option_args.h"
#include "support/roll_clock.h"
#include "support/stream_builder.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "trace/text/cl_text.h"

namespace {

using namespace std::chrono_literals;

using mqw_test::OptionArgs;
using mqw_test::Read_File;

std::vector<std::string> List(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* entry = readdir(d)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

uint32_t Init(CClTextFile* file, std::vector<std::string> options) {
  OptionArgs args(std::move(options));
  return file->Initialize(args.Get(), args.Count());
}

void Log(CClTextFile* file, const std::string& line) {
  file->Log(nullptr, line.data(), line.size());
}

// "YYYYMMDD-hhmmss" of local time `t`.
std::string Stamp(time_t t) {
  struct tm local;
  localtime_r(&t, &local);
  char text[32];
  strftime(text, sizeof(text), "%Y%m%d-%H%M%S", &local);
  return text;
}

TEST(ClTextFile, NamesBomAndLineEnds) {
  mqw_test::TempDir dir;
  std::string sub = dir.Path() + "/a/b/logs";  // created with its parents
  // Names this second (and the next ones) with counter 000 are taken already.
  time_t now = time(nullptr);
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(mqw_test::Write_File(dir.File(Stamp(now + i) + "000.txt"), "x"));
  {
    CClTextFile file;
    ASSERT_EQ(Init(&file, {"/TR.Dir=" + dir.Path()}), 0u);
    Log(&file, "first line");
    Log(&file, "second \xc3\xa9");
  }
  std::vector<std::string> names = List(dir.Path());
  ASSERT_EQ(names.size(), 6u);
  std::string mine;
  for (const std::string& name : names) {
    if (Read_File(dir.File(name)) != "x") mine = name;
  }
  ASSERT_EQ(mine.size(), strlen("20260101-120000001.txt")) << mine;
  EXPECT_EQ(mine.substr(15), "001.txt");
  EXPECT_EQ(Read_File(dir.File(mine)),
            "\xEF\xBB\xBF"
            "first line\r\nsecond \xc3\xa9\r\n");

  CClTextFile nested;
  ASSERT_EQ(Init(&nested, {"/TR.Dir=" + sub}), 0u);
  EXPECT_EQ(List(sub).size(), 1u);
}

TEST(ClTextFile, RollsBySizeWithoutLosingLines) {
  mqw_test::TempDir dir;
  std::string line(999, 'y');
  const int kLines = 1500;  // 1.5 MB with line ends
  {
    CClTextFile file;
    ASSERT_EQ(Init(&file, {"/TR.Dir=" + dir.Path(), "/TR.Roll=1mb"}), 0u);
    EXPECT_EQ(file.Roll_Mode(), CClTextFile::eRoll_Size);
    EXPECT_EQ(file.Roll_Value(), 1048576u);
    for (int i = 0; i < kLines; ++i) Log(&file, std::to_string(100000 + i) + line);
  }
  std::vector<std::string> names = List(dir.Path());
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0].substr(15), "000.txt");
  EXPECT_EQ(names[1].substr(15), "001.txt");
  std::string first = Read_File(dir.File(names[0]));
  std::string second = Read_File(dir.File(names[1]));
  EXPECT_EQ(first.compare(0, 3, "\xEF\xBB\xBF"), 0);
  EXPECT_NE(second.compare(0, 3, "\xEF\xBB\xBF"), 0);  // only the first file has the mark
  EXPECT_GE(first.size(), 1048576u);
  EXPECT_LT(first.size(), 1048576u + 65536u);
  // Every line exactly once, in order, across both files.
  std::string all = first.substr(3) + second;
  EXPECT_EQ(all.size(), static_cast<size_t>(kLines) * (6 + 999 + 2));
  for (int i = 0; i < kLines; i += 97) {
    size_t at = static_cast<size_t>(i) * (6 + 999 + 2);
    EXPECT_EQ(all.substr(at, 6), std::to_string(100000 + i));
    EXPECT_EQ(all.substr(at + 6 + 999, 2), "\r\n");
  }
}

// The sink takes its roll rule from /TR.Roll= and reports what the rule could not take; the
// forms themselves and the times-of-day checks are the rule's own table (file_rules_test.cc).
// One row per outcome: each kind of rule in force, cut, and refused (the shown part of the value,
// or the whole of a value shorter than 3 characters).
TEST(ClTextFile, RollOptions) {
  const struct {
    const char* value;
    uint32_t mode;
    uint64_t amount;
    const char* message;  // printed on standard output, or null
  } cases[] = {
      {"5MB", CClTextFile::eRoll_Size, 5242880, nullptr},
      {"24hr", CClTextFile::eRoll_Time, 86400000, nullptr},
      {"08:00,20:30tm", CClTextFile::eRoll_Times_Of_Day, 0, nullptr},
      {"1500hr", CClTextFile::eRoll_Time, 3600000000ull,
       "TR:Rolling value is more than 1000 hours, cutting\n"},
      {"8:00,,9:00tm", 0, 0, "TR:Rolling value is not correct = 8:00,,9:00\n"},
      {"mb", 0, 0, "TR:Rolling value is not correct = mb\n"},
  };
  mqw_test::TempDir dir;
  for (const auto& c : cases) {
    CClTextFile file;
    std::string out = mqw_test::Capture_Stdout([&] {
      ASSERT_EQ(Init(&file, {"/TR.Dir=" + dir.Path(), std::string("/TR.Roll=") + c.value}), 0u);
    });
    EXPECT_EQ(file.Roll_Mode(), c.mode) << c.value;
    EXPECT_EQ(file.Roll_Value(), c.amount) << c.value;
    EXPECT_EQ(out, c.message ? c.message : "") << c.value;
  }
}

// The output's own messages carry exactly their text: no line feed is added to those that have
// none.
TEST(ClTextFile, FailureMessagesAreExact) {
  mqw_test::TempDir dir;
  std::string deep = dir.Path();
  while (deep.size() < PATH_MAX - 40) deep += "/" + std::string(200, 'd');
  deep.resize(PATH_MAX - 20);  // exists once made, but no file name fits below it
  CClTextFile file;
  uint32_t result = 0;
  const std::string out =
      mqw_test::Capture_Stdout([&] { result = Init(&file, {"/TR.Dir=" + deep}); });
  EXPECT_EQ(result, 2u);
  EXPECT_EQ(TR_Last_Error(), 7u);
  const std::string head = "TR:Can't create file: " + deep + "/";
  const std::string tail =
      ".txt"
      "TR:File creation failed";
  ASSERT_GT(out.size(), head.size() + tail.size()) << out;
  EXPECT_EQ(out.substr(0, head.size()), head);
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_EQ(out.find('\n'), std::string::npos);

  mqw_test::TempDir other;
  ASSERT_TRUE(mqw_test::Write_File(other.File("plain"), "x"));
  CClTextFile blocked;
  const std::string dir_out = mqw_test::Capture_Stdout(
      [&] { result = Init(&blocked, {"/TR.Dir=" + other.File("plain/sub")}); });
  EXPECT_EQ(result, 5u);
  EXPECT_EQ(dir_out, "TR:Can't create directory: " + other.File("plain/sub") + "\n");
}

// "0:00tm": the local clock (a time zone chosen so that midnight is two seconds ahead of the
// sink's start) passes midnight while lines are written, and a new file begins.
TEST(ClTextFile, RollsAtMidnight) {
  mqw_test::TempDir dir;
  const mqw_test::ChildResult child = mqw_test::Run_In_Child(
      [&]() -> int {
        std::unique_ptr<CClTextFile> file;
        for (int attempt = 0;; ++attempt) {
          mqw_test::Set_Zone_Before(0, 2);
          file = std::make_unique<CClTextFile>();  // its first look at the clock
          if (Init(file.get(), {"/TR.Dir=" + dir.Path(), "/TR.Roll=0:00tm"}) != 0) return 20;
          if (mqw_test::Roll_Still_Ahead(0, 2)) break;
          // A start slower than two seconds: its first look may have been after midnight.
          file.reset();
          for (const std::string& name : List(dir.Path()))
            unlink((dir.Path() + "/" + name).c_str());
          if (attempt == 20) return 22;
        }
        const auto backstop = std::chrono::steady_clock::now() + mqw_test::kEvent_Backstop;
        for (int i = 0; List(dir.Path()).size() < 2 && std::chrono::steady_clock::now() < backstop;
             ++i) {
          Log(file.get(), "line " + std::to_string(i));
          std::this_thread::sleep_for(1100ms);  // every line then writes out and checks the roll
        }
        return List(dir.Path()).size() == 2 ? 0 : 21;
      },
      300000);
  ASSERT_TRUE(child.exited) << child.output;
  EXPECT_EQ(child.exit_code, 0) << child.output;
}

TEST(ClTextFile, LimitsCountForeignTextFiles) {
  mqw_test::TempDir dir;
  for (const char* name :
       {"20200101-000000000.txt", "20200102-000000000.TXT", "20200103-000000000.txt"})
    ASSERT_TRUE(mqw_test::Write_File(dir.File(name), std::string(600000, 'f')));
  ASSERT_TRUE(mqw_test::Write_File(dir.File("notes.log"), "kept"));
  {
    CClTextFile file;
    ASSERT_EQ(Init(&file, {"/TR.Dir=" + dir.Path(), "/TR.Files=3"}), 0u);
  }
  std::vector<std::string> names = List(dir.Path());
  ASSERT_EQ(names.size(), 4u);
  EXPECT_EQ(names[0], "20200102-000000000.TXT");
  EXPECT_EQ(names[1], "20200103-000000000.txt");
  EXPECT_EQ(names[3], "notes.log");
  {
    // 1 MB in all: the oldest foreign file goes; the newest one, the 3-byte file of the first
    // output and the new one fit.
    CClTextFile file;
    ASSERT_EQ(Init(&file, {"/TR.Dir=" + dir.Path(), "/TR.FSize=1"}), 0u);
  }
  names = List(dir.Path());
  ASSERT_EQ(names.size(), 4u);
  EXPECT_EQ(names[0], "20200103-000000000.txt");
  EXPECT_EQ(names[3], "notes.log");
}

TEST(ClTextFile, FileCreationFailureIsRetried) {
  mqw_test::TempDir dir;
  std::string logs = dir.Path() + "/logs";
  CClTextFile file;
  ASSERT_EQ(Init(&file, {"/TR.Dir=" + logs}), 0u);
  Log(&file, "before");
  ASSERT_TRUE(mqw_test::Remove_Tree(logs));
  std::string out = mqw_test::Capture_Stdout([&] {
    file.DumpBuffers();  // the open file still takes it (unlinked)
    Log(&file, "lost while no file can be made");
    ASSERT_EQ(rmdir(logs.c_str()), -1);
    // Roll by hand through a size rule: the new file cannot be created.
    ASSERT_TRUE(file.Parse_Roll("1mb"));
    std::string big(1100000, 'z');
    Log(&file, big);
  });
  EXPECT_NE(out.find("TR:Can't create file: "), std::string::npos) << out;
  ASSERT_EQ(mkdir(logs.c_str(), 0775), 0);
  Log(&file, "after");
  file.DumpBuffers();
  std::vector<std::string> names = List(logs);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_NE(Read_File(logs + "/" + names[0]).find("after\r\n"), std::string::npos);
}

TEST(ClTextFile, QuietClientWritesItsLinesOut) {
  mqw_test::TempDir dir;
  OptionArgs args({"/TR.Sink=FileTxt", "/TR.Dir=" + dir.Path(), "/TR.Format=%ms"});
  CClText* client = new CClText(args.Get(), args.Count());
  ASSERT_EQ(client->Get_Status(), 0u);
  using namespace text_test;
  Bytes payload = Cat({Info("C"), Format(1, "quiet line"), Data(1, kTimer0)});
  sTRC_Data_Chunk chunk{payload.data(), static_cast<uint32_t>(payload.size())};
  ASSERT_EQ(client->Sent(0, &chunk, 1, static_cast<uint32_t>(payload.size())), 0u);
  // No more lines, no flush, no close: the line still reaches the file (about 1 s by design).
  std::string content;
  mqw_test::Wait_Until(
      [&] {
        std::vector<std::string> names = List(dir.Path());
        if (!names.empty()) content = Read_File(dir.File(names[0]));
        return content.find("quiet line") != std::string::npos;
      },
      mqw_test::kEvent_Backstop, 100ms);
  EXPECT_EQ(content,
            "\xEF\xBB\xBF"
            "quiet line\r\n");
  client->Release();
}

}  // namespace
