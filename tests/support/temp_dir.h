// TempDir: a private temporary directory for one test, removed with everything in it when the
// object is destroyed.
//
// Created with mkdtemp under $TMPDIR (or /tmp when unset). Path() is empty when creation failed
// (Valid() is false). Symbolic links inside are removed, never followed.
//
// Thread-safety: one owner; the directory itself may be used by any thread or process.
#ifndef TESTS_SUPPORT_TEMP_DIR_H_
#define TESTS_SUPPORT_TEMP_DIR_H_

#include <string>

namespace mqw_test {

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "mqw-test");
  ~TempDir();

  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool Valid() const { return !m_Path.empty(); }
  const std::string& Path() const { return m_Path; }
  // Path() + "/" + name.
  std::string File(const std::string& name) const { return m_Path + "/" + name; }

 private:
  std::string m_Path;
};

// Removes `path` and, for a directory, everything below it (links not followed). True when
// nothing is left.
bool Remove_Tree(const std::string& path);

// Writes `content` to `path` (created or truncated); true on success.
bool Write_File(const std::string& path, const std::string& content);

// The whole content of `path`, bytes unchanged; empty when it cannot be read.
std::string Read_File(const std::string& path);

}  // namespace mqw_test

#endif  // TESTS_SUPPORT_TEMP_DIR_H_
