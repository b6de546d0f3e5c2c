// The rolling-files helper shared by the binary and text file sinks: exclusive creation that
// never opens, truncates or follows an existing entry, reports through the owner, and limits that
// do not wrap.
#include "trace/core/rolling_files.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/option_args.h"
#include "support/temp_dir.h"

namespace {

using mqw_test::TempDir;

struct RecordingReport final : CRolling_Files::IReport {
  std::vector<std::string> not_created;
  std::vector<std::string> not_deleted;
  void Cannot_Create(const char* path) override { not_created.push_back(path); }
  void Cannot_Delete(const char* path, bool) override { not_deleted.push_back(path); }
};

std::string Name_At(time_t when, const CRolling_Files::sNaming& naming, unsigned counter) {
  struct tm local;
  localtime_r(&when, &local);
  char name[64];
  snprintf(name, sizeof(name), "%04d%02d%02d-%02d%02d%02d%s%03u%s", local.tm_year + 1900,
           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
           naming.counter_separator, counter, naming.extension);
  return name;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Entries already holding the names the first file could take: a dangling link, a link to a
// file, a directory. None of them is opened, followed or truncated; the next counter is used.
TEST(RollingFiles, ExistingEntriesOfAnyTypeAreNeverOpened) {
  const CRolling_Files::sNaming namings[] = {{".", ".trd", "*.trd"}, {"", ".txt", "*.txt"}};
  for (const CRolling_Files::sNaming& naming : namings) {
    SCOPED_TRACE(naming.extension);
    TempDir dir;
    ASSERT_TRUE(mqw_test::Write_File(dir.File("victim"), "keep me"));
    const time_t now = time(nullptr);
    for (int s = 0; s < 10; ++s) {
      ASSERT_EQ(symlink(dir.File("target" + std::to_string(s)).c_str(),
                        dir.File(Name_At(now + s, naming, 0)).c_str()),
                0);
      ASSERT_EQ(symlink(dir.File("victim").c_str(), dir.File(Name_At(now + s, naming, 1)).c_str()),
                0);
      ASSERT_EQ(mkdir(dir.File(Name_At(now + s, naming, 2)).c_str(), 0755), 0);
    }
    RecordingReport report;
    {
      CRolling_Files files(naming, &report);
      ASSERT_TRUE(files.Set_Directory(dir.Path().c_str()));
      ASSERT_TRUE(files.Make_Directory());
      ASSERT_TRUE(files.Create_Next());
      EXPECT_EQ(files.Write("new", 3), 3u);
    }
    EXPECT_TRUE(report.not_created.empty());
    for (int s = 0; s < 10; ++s) EXPECT_FALSE(Exists(dir.File("target" + std::to_string(s)))) << s;
    EXPECT_EQ(mqw_test::Read_File(dir.File("victim")), "keep me");
    int created = 0;
    for (int s = 0; s < 10; ++s) {
      const std::string path = dir.File(Name_At(now + s, naming, 3));
      if (!Exists(path)) continue;
      ++created;
      EXPECT_EQ(mqw_test::Read_File(path), "new");
    }
    EXPECT_EQ(created, 1);
  }
}

// A file that cannot be created (here: a path longer than the system takes) is reported once,
// with its path, and leaves no file open.
TEST(RollingFiles, CreationFailureIsReported) {
  TempDir dir;
  std::string deep = dir.Path();
  while (deep.size() < PATH_MAX - 40) deep += "/" + std::string(200, 'd');
  deep.resize(PATH_MAX - 20);
  RecordingReport report;
  CRolling_Files files({"", ".txt", "*.txt"}, &report);
  ASSERT_TRUE(files.Set_Directory(deep.c_str()));
  ASSERT_TRUE(files.Make_Directory());
  EXPECT_FALSE(files.Create_Next());
  EXPECT_FALSE(files.Is_Open());
  ASSERT_EQ(report.not_created.size(), 1u);
  EXPECT_EQ(report.not_created[0].rfind(deep + "/", 0), 0u) << report.not_created[0];
  EXPECT_EQ(files.Write("x", 1), 0u);
}

// Limits read from the options: out-of-range counts mean no limit; a total size whose byte
// count would pass 64 bits is capped (keeps everything), never wrapped to a tiny limit.
TEST(RollingFiles, LimitsDoNotWrap) {
  struct Case {
    std::vector<std::string> options;
    uint32_t files;
    uint64_t bytes;
  };
  const uint64_t cap = UINT64_MAX / 1048576 * 1048576;
  const Case cases[] = {
      {{}, 0, 0},
      {{"/TR.Files=4096", "/TR.FSize=2"}, 4096, 2 * 1048576ULL},
      {{"/TR.Files=4097", "/TR.FSize=-1"}, 0, 0},
      {{"/TR.Files=-3", "/TR.FSize=17592186044416"}, 0, cap},
      {{"/TR.FSize=4294967297"}, 0, 4294967297ULL * 1048576},
  };
  for (const Case& c : cases) {
    RecordingReport report;
    CRolling_Files files({".", ".trd", "*.trd"}, &report);
    mqw_test::OptionArgs args(c.options);
    files.Read_Limits(args.Get(), args.Count());
    EXPECT_EQ(files.Max_Files(), c.files);
    EXPECT_EQ(files.Max_Bytes(), c.bytes);
  }
}

}  // namespace
