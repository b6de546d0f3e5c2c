// The total quota over the trace server's directory: which files go for a given layout (the
// oldest of the largest client directories first), what is never touched (open files, other
// names, other depths, anything behind a symbolic link), and figures that went off.
#include "disk_quota.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

using mqw_test::TempDir;

struct sEntry {
  std::string path;  // relative to the root
  size_t bytes;
  int age_s;  // modified this many seconds ago
};

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void Make(const TempDir& root, const std::vector<sEntry>& entries) {
  const time_t now = time(nullptr);
  for (const sEntry& entry : entries) {
    for (size_t slash = entry.path.find('/'); slash != std::string::npos;
         slash = entry.path.find('/', slash + 1))
      mkdir(root.File(entry.path.substr(0, slash)).c_str(), 0755);
    ASSERT_TRUE(mqw_test::Write_File(root.File(entry.path), std::string(entry.bytes, 'x')));
    const struct timespec times[2] = {{now - entry.age_s, 0}, {now - entry.age_s, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, root.File(entry.path).c_str(), times, 0), 0) << entry.path;
  }
}

// Which files go, for a table of layouts and quotas. Every file not expected to go must stay.
TEST(DiskQuota, RemovesTheOldestFilesOfTheLargestDirectoriesFirst) {
  struct Case {
    const char* label;
    std::vector<sEntry> layout;
    uint64_t quota;
    std::set<std::string> open;
    std::set<std::string> removed;
    uint64_t total_before;
  };
  const Case cases[] = {
      {"within the quota", {{"a/1.trd", 100, 30}, {"b/1.trd", 100, 20}}, 200, {}, {}, 200},
      {"no quota", {{"a/1.trd", 5000, 30}}, 0, {}, {}, 5000},
      {"oldest of one directory, by age not name",
       {{"a/20260101-000000.000.trd", 100, 10},
        {"a/20260101-000001.000.trd", 100, 30},
        {"a/20260101-000002.000.trd", 100, 20}},
       150,
       {},
       {"a/20260101-000001.000.trd", "a/20260101-000002.000.trd"},
       300},
      {"largest first, though another holds older files",
       {{"a/1.trd", 100, 10},
        {"a/2.trd", 100, 9},
        {"a/3.trd", 100, 8},
        {"a/4.trd", 100, 7},
        {"b/1.trd", 100, 90},
        {"b/2.trd", 100, 80}},
       450,
       {},
       {"a/1.trd", "a/2.trd"},
       600},
      {"the largest changes as files go",
       {{"a/1.trd", 250, 50},
        {"a/2.trd", 100, 5},
        {"b/1.trd", 200, 60},
        {"b/2.trd", 100, 6},
        {"c/1.trd", 50, 99}},
       300,
       {},
       {"a/1.trd", "b/1.trd"},
       700},
      {"equal age: name order",
       {{"a/b.trd", 100, 10}, {"a/a.trd", 100, 10}, {"a/c.trd", 100, 10}},
       210,
       {},
       {"a/a.trd"},
       300},
      {"open files stay, the next oldest goes",
       {{"a/1.trd", 100, 30}, {"a/2.trd", 100, 20}, {"a/3.trd", 100, 10}},
       210,
       {"a/1.trd"},
       {"a/2.trd"},
       300},
      {"a directory of open files only: the next largest gives",
       {{"a/1.trd", 300, 30}, {"b/1.trd", 100, 20}, {"b/2.trd", 100, 10}},
       410,
       {"a/1.trd"},
       {"b/1.trd"},
       500},
      {"once over the quota, down to 1/64 below it",
       {{"a/1.trd", 100, 30}, {"a/2.trd", 100, 20}, {"a/3.trd", 6300, 10}},
       6400,
       {},
       {"a/1.trd", "a/2.trd"},
       6500},
      {"quota out of reach: everything removable goes, no more",
       {{"a/1.trd", 300, 30}, {"b/1.trd", 100, 20}},
       100,
       {"a/1.trd"},
       {"b/1.trd"},
       400},
      {"only the trace files of client directories count or go",
       {{"a/1.trd", 100, 30},
        {"a/2.TRD", 100, 20},
        {"a/notes.txt", 900, 90},
        {"a/x.trd.bak", 900, 90},
        {"stray.trd", 900, 90},
        {"a/deep/1.trd", 900, 90},
        {"b/3.trd", 50, 10}},
       100,
       {},
       {"a/1.trd", "a/2.TRD"},
       250},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir root;
    Make(root, c.layout);
    CDisk_Quota quota(root.Path(), c.quota);
    quota.Rescan();
    EXPECT_EQ(quota.Total(), c.total_before);
    uint64_t removed_bytes = 0;
    for (const sEntry& entry : c.layout)
      if (c.removed.count(entry.path) != 0) removed_bytes += entry.bytes;
    EXPECT_EQ(quota.Enforce(c.open), removed_bytes);
    for (const sEntry& entry : c.layout)
      EXPECT_EQ(Exists(root.File(entry.path)), c.removed.count(entry.path) == 0) << entry.path;
    EXPECT_EQ(quota.Removed_Files(), c.removed.size());
    EXPECT_EQ(quota.Removed_Bytes(), removed_bytes);
    EXPECT_EQ(quota.Total(), c.total_before - removed_bytes);
    // The figures kept are what a fresh scan finds.
    const uint64_t kept = quota.Total();
    quota.Rescan();
    EXPECT_EQ(quota.Total(), kept);
  }
}

// Open files may be named relative to the root, through the root's path (absolute, or with
// doubled slashes as built from a --dir ending in '/'): all name the same file.
TEST(DiskQuota, OpenFilesInEveryPathForm) {
  for (const char* form : {"rel", "abs", "doubled"}) {
    SCOPED_TRACE(form);
    TempDir root;
    Make(root, {{"c/old.trd", 100, 30}, {"c/new.trd", 100, 10}});
    const std::string open = std::string(form) == "rel"   ? "c/old.trd"
                             : std::string(form) == "abs" ? root.File("c/old.trd")
                                                          : root.Path() + "//c//old.trd";
    CDisk_Quota quota(root.Path(), 100);
    quota.Rescan();
    EXPECT_EQ(quota.Enforce({open}), 100u);
    EXPECT_TRUE(Exists(root.File("c/old.trd")));
    EXPECT_FALSE(Exists(root.File("c/new.trd")));
  }
}

// Symbolic links are never followed: one in place of a client directory, one named like a trace
// file pointing at a file outside, one in place of the root's client directory after the scan.
// What they point at neither counts nor goes; the links themselves stay.
TEST(DiskQuota, LinksAreNeverFollowed) {
  TempDir outside;
  TempDir root;
  Make(outside, {{"victim/1.trd", 1000, 90}, {"victim/2.trd", 1000, 80}, {"file.trd", 1000, 70}});
  Make(root, {{"a/1.trd", 100, 30}, {"a/2.trd", 100, 20}});
  ASSERT_EQ(symlink(outside.File("victim").c_str(), root.File("linked").c_str()), 0);
  ASSERT_EQ(symlink(outside.File("file.trd").c_str(), root.File("a/0.trd").c_str()), 0);
  // Entries that are neither directories nor regular files are never opened (a FIFO would block).
  ASSERT_EQ(mkfifo(root.File("pipe").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(root.File("a/pipe.trd").c_str(), 0600), 0);

  CDisk_Quota quota(root.Path(), 50);
  quota.Rescan();
  EXPECT_EQ(quota.Total(), 200u);
  quota.Add("linked", 5000);  // figures claiming a link is a client directory
  quota.Add("pipe", 5000);
  EXPECT_EQ(quota.Enforce({}), 200u);
  EXPECT_FALSE(Exists(root.File("a/1.trd")));
  EXPECT_FALSE(Exists(root.File("a/2.trd")));
  EXPECT_TRUE(Exists(root.File("a/0.trd")));
  EXPECT_TRUE(Exists(root.File("linked")));
  EXPECT_TRUE(Exists(root.File("a/pipe.trd")));
  for (const char* kept : {"victim/1.trd", "victim/2.trd", "file.trd"})
    EXPECT_EQ(mqw_test::Read_File(outside.File(kept)).size(), 1000u) << kept;
  EXPECT_EQ(quota.Total(), 0u);

  // A client directory replaced by a link after the figures were taken.
  Make(root, {{"b/1.trd", 100, 30}});
  quota.Rescan();
  ASSERT_TRUE(mqw_test::Remove_Tree(root.File("b")));
  ASSERT_EQ(symlink(outside.File("victim").c_str(), root.File("b").c_str()), 0);
  quota.Enforce({});
  EXPECT_TRUE(Exists(outside.File("victim/1.trd")));
  EXPECT_TRUE(Exists(outside.File("victim/2.trd")));

  // Names that are not one component of the root are never opened.
  quota.Add("../" + outside.Path().substr(outside.Path().rfind('/') + 1) + "/victim", 5000);
  quota.Add("a/../../victim", 5000);
  quota.Enforce({});
  EXPECT_TRUE(Exists(outside.File("victim/1.trd")));
  EXPECT_TRUE(Exists(outside.File("victim/2.trd")));
}

// Figures that run high (files deleted by an operator or a retention) never make the quota
// remove more than needed: a directory's figure is corrected by its listing, the others by a
// rescan once the interval has passed; Release lowers a figure at once. Add raises them.
TEST(DiskQuota, FiguresThatWentOff) {
  uint64_t now_ms = 1000000;
  {
    SCOPED_TRACE("the largest directory lost files");
    TempDir root;
    Make(root,
         {{"a/1.trd", 100, 40}, {"a/2.trd", 100, 30}, {"a/3.trd", 100, 20}, {"b/1.trd", 100, 10}});
    CDisk_Quota quota(root.Path(), 300);
    quota.Set_Clock([&] { return now_ms; });
    quota.Rescan();
    ASSERT_EQ(unlink(root.File("a/1.trd").c_str()), 0);
    now_ms += 10;  // no rescan due
    EXPECT_EQ(quota.Total(), 400u);
    EXPECT_EQ(quota.Enforce({}), 0u);
    EXPECT_EQ(quota.Total(), 300u);
    EXPECT_TRUE(Exists(root.File("a/2.trd")));
  }
  {
    SCOPED_TRACE("a smaller directory lost files: the rescan once due");
    TempDir root;
    Make(root, {{"a/1.trd", 100, 40},
                {"a/2.trd", 100, 30},
                {"a/3.trd", 100, 20},
                {"b/1.trd", 100, 10},
                {"b/2.trd", 100, 5}});
    CDisk_Quota quota(root.Path(), 400);
    quota.Set_Clock([&] { return now_ms; });
    quota.Rescan();
    ASSERT_EQ(unlink(root.File("b/1.trd").c_str()), 0);
    now_ms += CDisk_Quota::kRescan_Interval_ms;
    EXPECT_EQ(quota.Enforce({}), 0u);
    EXPECT_EQ(quota.Total(), 400u);
    EXPECT_TRUE(Exists(root.File("a/1.trd")));
  }
  {
    SCOPED_TRACE("Release and Add");
    TempDir root;
    Make(root, {{"a/1.trd", 100, 40}, {"a/2.trd", 100, 30}, {"b/1.trd", 100, 10}});
    CDisk_Quota quota(root.Path(), 200);
    quota.Set_Clock([&] { return now_ms; });
    quota.Rescan();
    ASSERT_EQ(unlink(root.File("a/1.trd").c_str()), 0);  // a retention's deletion
    quota.Release("a", 100);
    quota.Release("unknown", 5);
    EXPECT_EQ(quota.Total(), 200u);
    now_ms += 10;
    EXPECT_EQ(quota.Enforce({}), 0u);
    EXPECT_TRUE(Exists(root.File("a/2.trd")));
    // b's open file grew past the quota: it stays, a's oldest goes.
    quota.Add("b", 150);
    ASSERT_TRUE(mqw_test::Write_File(root.File("b/1.trd"), std::string(250, 'x')));
    EXPECT_EQ(quota.Total(), 350u);
    EXPECT_EQ(quota.Enforce({"b/1.trd"}), 100u);
    EXPECT_FALSE(Exists(root.File("a/2.trd")));
    EXPECT_TRUE(Exists(root.File("b/1.trd")));
    quota.Release("b", 1000);  // never below 0
    EXPECT_EQ(quota.Total(), 0u);
  }
}

// A root that does not exist: no figures, nothing removed, no failure.
TEST(DiskQuota, MissingRoot) {
  TempDir parent;
  CDisk_Quota quota(parent.File("absent"), 10);
  quota.Rescan();
  EXPECT_EQ(quota.Total(), 0u);
  quota.Add("a", 100);
  EXPECT_EQ(quota.Enforce({}), 0u);
  EXPECT_EQ(quota.Removed_Files(), 0u);
}

}  // namespace
