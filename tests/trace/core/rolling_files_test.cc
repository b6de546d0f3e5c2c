// The rolling-files helper shared by the binary and text file sinks: exclusive creation that
// never opens, truncates or follows an existing entry, reports through the owner, and limits that
// do not wrap.
#include "trace/core/rolling_files.h"

#include <dirent.h>
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
  std::vector<std::string> deleted;
  uint64_t deleted_bytes = 0;
  void Cannot_Create(const char* path) override { not_created.push_back(path); }
  void Cannot_Delete(const char* path, bool) override { not_deleted.push_back(path); }
  void Deleted(const char* path, uint64_t bytes) override {
    deleted.push_back(path);
    deleted_bytes += bytes;
  }
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

// What a directory holds: the matching files' count and total size.
struct Held {
  uint32_t files = 0;
  uint64_t bytes = 0;
};

Held Held_In(const std::string& directory) {
  Held held;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return held;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    struct stat st;
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".trd") != 0 ||
        lstat((directory + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      continue;
    ++held.files;
    held.bytes += static_cast<uint64_t>(st.st_size);
  }
  closedir(dir);
  return held;
}

// An owner that keeps the bound at every moment, as a store that buffers does: records of
// `record` bytes go into a buffer written out whenever it reaches kBuffer; before a record, a
// due roll (Roll_Due on the bytes put into the file, buffered ones included) creates the next
// file, which begins with a header; after each write Enforce_After_Write. The directory is
// measured after every write and every creation: the matching files never pass --files, nor the
// total size limit plus one buffer and one record; the open file is never deleted.
TEST(RollingFiles, RetentionHoldsAfterEveryWrite) {
  constexpr uint64_t kMB = 1048576;
  constexpr size_t kBuffer = 65536;
  constexpr size_t kHeader = 1044;
  struct Case {
    const char* roll;   // null: no rule
    uint32_t files;     // 0: no limit
    uint64_t fsize_mb;  // 0: no limit
    size_t record;
    uint64_t written;
  };
  const Case cases[] = {
      {nullptr, 1, 1, 100, 6 * kMB},     // one file kept, no rule: the size limit rolls
      {nullptr, 0, 1, 100, 6 * kMB},     // size limit alone
      {"1mb", 0, 2, 100, 8 * kMB},       // rolled files of 1 MB under 2 MB
      {"1mb", 0, 2, 40000, 8 * kMB},     // records near the buffer's size
      {"2mb", 0, 3, 100, 10 * kMB},      // one closed file kept at creation, gone as the next grows
      {"1mb", 0, 1, 3000, 5 * kMB},      // the rule's size equal to the limit
      {"3mb", 0, 1, 100, 5 * kMB},       // the rule's size above the limit
      {"1000hr", 2, 1, 777, 5 * kMB},    // a time rule never due here
      {"1mb", 3, 0, 100, 6 * kMB},       // the count alone
      {nullptr, 1, 2, 200000, 9 * kMB},  // records larger than the buffer
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.roll ? c.roll : "no roll") << " files " << c.files
                                    << " fsize " << c.fsize_mb << " record " << c.record);
    TempDir dir;
    RecordingReport report;
    CRolling_Files files({".", ".trd", "*.trd"}, &report);
    mqw_test::OptionArgs args(
        {"/TR.Files=" + std::to_string(c.files), "/TR.FSize=" + std::to_string(c.fsize_mb)});
    files.Read_Limits(args.Get(), args.Count());
    ASSERT_TRUE(files.Set_Directory(dir.Path().c_str()));
    ASSERT_TRUE(files.Make_Directory());
    files.Load_Existing();
    if (c.roll != nullptr) {
      char shown[64];
      ASSERT_EQ(files.Rule().Parse(c.roll, shown, sizeof(shown)), CRoll_Rule::eParse_Ok);
    }
    const uint64_t byte_bound =
        c.fsize_mb != 0 ? c.fsize_mb * kMB + kBuffer + c.record : UINT64_MAX;
    const uint32_t count_bound = c.files != 0 ? c.files : UINT32_MAX;
    std::vector<uint8_t> buffer;
    uint64_t file_bytes = 0;  // put into the open file, buffered bytes included
    uint64_t all_bytes = 0;   // put into every file
    uint64_t most = 0;
    uint32_t rolls = 0;
    auto check = [&](const char* when) {
      const Held held = Held_In(dir.Path());
      most = std::max(most, held.bytes);
      EXPECT_LE(held.bytes, byte_bound) << when;
      EXPECT_LE(held.files, count_bound) << when;
      const char* open = files.Open_Path();
      EXPECT_TRUE(open != nullptr && Exists(open)) << when;
      return !testing::Test::HasFailure();
    };
    auto write_out = [&]() {
      if (buffer.empty()) return;
      ASSERT_EQ(files.Write(buffer.data(), buffer.size()), buffer.size());
      buffer.clear();
      files.Enforce_After_Write();
    };
    const std::vector<uint8_t> record(c.record, 0x5A);
    const std::vector<uint8_t> header(kHeader, 0x11);
    for (uint64_t sent = 0; sent < c.written; sent += c.record) {
      if (!files.Is_Open() || files.Roll_Due(file_bytes)) {
        write_out();
        ASSERT_TRUE(files.Create_Next());
        ++rolls;
        file_bytes = 0;
        buffer = header;
        file_bytes += header.size();
        all_bytes += header.size();
        if (!check("after creation")) break;
      }
      buffer.insert(buffer.end(), record.begin(), record.end());
      file_bytes += record.size();
      all_bytes += record.size();
      if (buffer.size() >= kBuffer) {
        write_out();
        EXPECT_EQ(files.File_Bytes(), file_bytes);
        if (!check("after a write")) break;
      }
    }
    write_out();
    check("at the end");
    EXPECT_TRUE(report.not_deleted.empty());
    // Every deletion was reported with its size: what is held and what went add up.
    EXPECT_EQ(Held_In(dir.Path()).bytes + report.deleted_bytes, all_bytes);
    // Something was rolled and deleted, and what is kept is not needlessly small: a closed file
    // stays while it fits beside the open one.
    EXPECT_GT(rolls, 2u);
    if (c.fsize_mb != 0) {
      EXPECT_GE(most, c.fsize_mb * kMB / 2);
    }
  }
}

// The open file is never deleted, even when it alone is above the total size limit (the owner
// has not rolled yet): every closed file goes, the open one stays whole.
TEST(RollingFiles, AfterWriteRetentionKeepsTheOpenFile) {
  TempDir dir;
  for (const char* old : {"20000101-000000.000.trd", "20000101-000001.000.TRD"})
    ASSERT_TRUE(mqw_test::Write_File(dir.File(old), std::string(300000, 'o')));
  ASSERT_TRUE(mqw_test::Write_File(dir.File("keep.txt"), std::string(300000, 'k')));
  RecordingReport report;
  CRolling_Files files({".", ".trd", "*.trd"}, &report);
  mqw_test::OptionArgs args({"/TR.FSize=1"});
  files.Read_Limits(args.Get(), args.Count());
  ASSERT_TRUE(files.Set_Directory(dir.Path().c_str()));
  files.Load_Existing();
  ASSERT_TRUE(files.Create_Next());
  const std::string big(700000, 'n');
  ASSERT_EQ(files.Write(big.data(), big.size()), big.size());
  files.Enforce_After_Write();  // 600,000 closed + 700,000 open: the oldest goes
  EXPECT_FALSE(Exists(dir.File("20000101-000000.000.trd")));
  EXPECT_TRUE(Exists(dir.File("20000101-000001.000.TRD")));
  EXPECT_FALSE(files.Roll_Due(files.File_Bytes()));
  ASSERT_EQ(files.Write(big.data(), big.size()), big.size());
  files.Enforce_After_Write();
  EXPECT_FALSE(Exists(dir.File("20000101-000001.000.TRD")));
  EXPECT_TRUE(files.Roll_Due(files.File_Bytes()));
  ASSERT_NE(files.Open_Path(), nullptr);
  EXPECT_EQ(mqw_test::Read_File(files.Open_Path()).size(), 2 * big.size());
  EXPECT_TRUE(Exists(dir.File("keep.txt")));
  EXPECT_TRUE(report.not_deleted.empty());
}

// A closed file removed by someone else between two writes: its size is no longer counted, so
// the files that fit stay (a kept figure that still counted it would delete them all).
TEST(RollingFiles, AfterWriteRetentionForgetsFilesRemovedElsewhere) {
  TempDir dir;
  RecordingReport report;
  CRolling_Files files({".", ".trd", "*.trd"}, &report);
  mqw_test::OptionArgs args({"/TR.FSize=1"});
  files.Read_Limits(args.Get(), args.Count());
  ASSERT_TRUE(files.Set_Directory(dir.Path().c_str()));
  const std::string third(300000, 't');
  std::vector<std::string> paths;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(files.Create_Next());
    paths.push_back(files.Open_Path());
    ASSERT_EQ(files.Write(third.data(), third.size()), third.size());
    files.Enforce_After_Write();
  }
  ASSERT_EQ(unlink(paths[0].c_str()), 0);
  ASSERT_EQ(files.Write(third.data(), third.size()), third.size());
  files.Enforce_After_Write();  // 300,000 closed + 600,000 open: within the limit
  EXPECT_TRUE(Exists(paths[1]));
  EXPECT_TRUE(report.not_deleted.empty());
  EXPECT_TRUE(report.deleted.empty());
  ASSERT_EQ(files.Write(third.data(), third.size()), third.size());
  files.Enforce_After_Write();  // 300,000 + 900,000: the second goes, reported
  EXPECT_FALSE(Exists(paths[1]));
  EXPECT_EQ(report.deleted, std::vector<std::string>{paths[1]});
  EXPECT_EQ(report.deleted_bytes, third.size());
  EXPECT_TRUE(Exists(paths[2]));
}

}  // namespace
