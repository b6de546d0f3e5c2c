// CFSYS::Enumerate_Files: depth limits, case-insensitive masks, and what is not listed.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "trace/base/fsys.h"

namespace {

class FsysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.Valid());
    for (const char* sub : {"/a", "/a/b", "/a/b/c", "/logs.trc"}) {
      ASSERT_EQ(mkdir((dir.Path() + sub).c_str(), 0700), 0);
    }
    for (const char* file : {"/top.trc", "/TOP2.TRC", "/top.txt", "/a/one.trc", "/a/b/two.Trc",
                             "/a/b/c/three.trc", "/back\\slash.trc"}) {
      ASSERT_TRUE(mqw_test::Write_File(dir.Path() + file, "x"));
    }
    // A link to a directory and a link to a file are not entered or listed.
    ASSERT_EQ(symlink((dir.Path() + "/a").c_str(), (dir.Path() + "/link-dir").c_str()), 0);
    ASSERT_EQ(symlink((dir.Path() + "/top.trc").c_str(), (dir.Path() + "/link.trc").c_str()), 0);
  }

  std::vector<std::string> List(const char* mask, int depth) {
    CBList<CWString*> list;
    CFSYS::Enumerate_Files(&list, dir.Path().c_str(), mask, depth);
    std::vector<std::string> names;
    for (auto* cell = list.Get_First(); cell; cell = list.Get_Next(cell)) {
      std::string path = list.Get_Data(cell)->Get();
      EXPECT_EQ(path.compare(0, dir.Path().size() + 1, dir.Path() + "/"), 0) << path;
      names.push_back(path.substr(dir.Path().size()));
    }
    list.Clear(true);
    std::sort(names.begin(), names.end());
    return names;
  }

  mqw_test::TempDir dir;
};

TEST_F(FsysTest, DepthAndMask) {
  struct Case {
    const char* mask;
    int depth;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"*.trc", 0, {"/TOP2.TRC", "/back\\slash.trc", "/top.trc"}},
      {"*.trc", 1, {"/TOP2.TRC", "/a/one.trc", "/back\\slash.trc", "/top.trc"}},
      {"*.trc", 2, {"/TOP2.TRC", "/a/b/two.Trc", "/a/one.trc", "/back\\slash.trc", "/top.trc"}},
      {"*.TRC",
       9,
       {"/TOP2.TRC", "/a/b/c/three.trc", "/a/b/two.Trc", "/a/one.trc", "/back\\slash.trc",
        "/top.trc"}},
      {"top?.trc", 0, {"/TOP2.TRC"}},
      {"back\\slash.trc", 0, {"/back\\slash.trc"}},  // backslash is no escape
      {"*.log", 5, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mask) + " depth " + std::to_string(c.depth));
    EXPECT_EQ(List(c.mask, c.depth), c.expected);
  }
}

TEST_F(FsysTest, NothingForBadArguments) {
  CBList<CWString*> list;
  CFSYS::Enumerate_Files(&list, dir.Path().c_str(), nullptr, 1);
  CFSYS::Enumerate_Files(&list, (dir.Path() + "/absent").c_str(), "*", 1);
  CFSYS::Enumerate_Files(&list, nullptr, "*", 1);
  CFSYS::Enumerate_Files(nullptr, dir.Path().c_str(), "*", 1);
  EXPECT_EQ(list.Count(), 0u);
}

TEST_F(FsysTest, AppendsAfterWhatTheListHolds) {
  CBList<CWString*> list;
  list.Add_Last(new CWString("kept"));
  CFSYS::Enumerate_Files(&list, dir.Path().c_str(), "top.trc", 0);
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_STREQ(list.Get_Data(list.Get_First())->Get(), "kept");
  EXPECT_EQ(std::string(list.Get_Data(list.Get_Last())->Get()), dir.Path() + "/top.trc");
  list.Clear(true);
}

}  // namespace
