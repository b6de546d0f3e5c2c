// CPFile: open flags and the modes of new files, positions and sizes, reads and writes, and
// reference counting.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/temp_dir.h"
#include "trace/base/pfile.h"

namespace {

mode_t Mode_Of(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return 07777;
  return info.st_mode & 07777;
}

mode_t Current_Umask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

TEST(PFileTest, ModesOfNewFilesFollowFlagsAndUmask) {
  mqw_test::TempDir dir;
  ASSERT_TRUE(dir.Valid());
  const mode_t mask = Current_Umask();
  struct Case {
    const char* name;
    uint32_t flags;
    mode_t mode;
  };
  const Case cases[] = {
      {"create read-write", IFile::OPEN_CREATE | IFile::OPEN_MODE_RW, 0666},
      {"create read-only", IFile::OPEN_CREATE | IFile::OPEN_MODE_RO, 0444},
      {"read-write wins over read-only",
       IFile::OPEN_CREATE | IFile::OPEN_MODE_RW | IFile::OPEN_MODE_RO, 0666},
      {"create without a mode", IFile::OPEN_CREATE, 0},
      {"open of an absent file", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.File(c.name);
    CPFile file;
    ASSERT_TRUE(file.Open(path.c_str(), c.flags));
    EXPECT_TRUE(file.IsOpened());
    EXPECT_GE(file.Get_Handle(), 0);
    EXPECT_EQ(Mode_Of(path), c.mode & ~mask);
    // The descriptor is read-write whatever the mode of the new file.
    EXPECT_EQ(file.Write("xy", 2, false), 2u);
    EXPECT_TRUE(file.Close(true));
    EXPECT_FALSE(file.IsOpened());
  }
}

TEST(PFileTest, CreateTruncatesAndPlainOpenKeepsContent) {
  mqw_test::TempDir dir;
  std::string path = dir.File("data.bin");
  ASSERT_TRUE(mqw_test::Write_File(path, "0123456789"));

  CPFile file;
  ASSERT_TRUE(file.Open(path.c_str(), 0));
  EXPECT_EQ(file.Get_Size(), 10u);
  EXPECT_EQ(file.Get_Position(), 0u);  // Get_Size does not move the position
  char buffer[16] = {};
  EXPECT_EQ(file.Read(buffer, 4), 4u);
  EXPECT_EQ(std::string(buffer, 4), "0123");
  EXPECT_EQ(file.Get_Size(), 10u);
  EXPECT_EQ(file.Get_Position(), 4u);

  EXPECT_TRUE(file.Set_Position(8));
  EXPECT_EQ(file.Read(buffer, sizeof(buffer)), 2u);  // short read at the end
  EXPECT_TRUE(file.Set_Position(20));                // past the end is a valid offset
  EXPECT_EQ(file.Write("Z", 1, true), 1u);
  EXPECT_EQ(file.Get_Size(), 21u);

  // Opening again closes the current descriptor first; OPEN_CREATE truncates.
  ASSERT_TRUE(file.Open(path.c_str(), IFile::OPEN_CREATE | IFile::OPEN_MODE_RW));
  EXPECT_EQ(file.Get_Size(), 0u);
}

TEST(PFileTest, ClosedFileAndBadArguments) {
  CPFile file;
  char buffer[4];
  EXPECT_FALSE(file.IsOpened());
  EXPECT_TRUE(file.Close(true));  // nothing open
  EXPECT_EQ(file.Write("a", 1, false), 0u);
  EXPECT_EQ(file.Read(buffer, sizeof(buffer)), 0u);
  EXPECT_EQ(file.Get_Size(), 0u);
  EXPECT_EQ(file.Get_Position(), 0u);
  EXPECT_FALSE(file.Set_Position(0));
  EXPECT_FALSE(file.Open(nullptr, IFile::OPEN_CREATE));

  mqw_test::TempDir dir;
  ASSERT_TRUE(file.Open(dir.File("f").c_str(), IFile::OPEN_CREATE | IFile::OPEN_MODE_RW));
  EXPECT_EQ(file.Write(nullptr, 1, false), 0u);
  EXPECT_EQ(file.Write("a", 0, true), 0u);
  EXPECT_EQ(file.Read(nullptr, 4), 0u);
  EXPECT_FALSE(file.Open(dir.File("missing/f").c_str(), IFile::OPEN_CREATE));
  EXPECT_FALSE(file.IsOpened());
}

TEST(PFileTest, LargeWriteReadsBackWhole) {
  mqw_test::TempDir dir;
  std::string data(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + 7);
  CPFile file;
  ASSERT_TRUE(file.Open(dir.File("big").c_str(), IFile::OPEN_CREATE | IFile::OPEN_MODE_RW));
  EXPECT_EQ(file.Write(data.data(), data.size(), true), data.size());
  EXPECT_EQ(file.Get_Size(), data.size());
  ASSERT_TRUE(file.Set_Position(0));
  std::string back(data.size(), '\0');
  EXPECT_EQ(file.Read(back.data(), back.size()), data.size());
  EXPECT_EQ(back, data);
}

TEST(PFileTest, ReleaseDeletesAtZero) {
  mqw_test::TempDir dir;
  CPFile* file = new CPFile();
  ASSERT_TRUE(file->Open(dir.File("ref").c_str(), IFile::OPEN_CREATE | IFile::OPEN_MODE_RW));
  EXPECT_EQ(file->Add_Ref(), 2);
  EXPECT_EQ(file->Release(), 1);
  EXPECT_EQ(file->Release(), 0);  // deleted; its descriptor closed (checked by the sanitizers)
}

}  // namespace
