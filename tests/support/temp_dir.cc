#include "support/temp_dir.h"

#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace mqw_test {

TempDir::TempDir(const std::string& prefix) {
  const char* base = getenv("TMPDIR");
  if (!base || !*base) base = "/tmp";
  std::string pattern = std::string(base) + "/" + prefix + ".XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back(0);
  if (mkdtemp(buffer.data())) m_Path = buffer.data();
}

TempDir::~TempDir() {
  if (!m_Path.empty()) Remove_Tree(m_Path);
}

bool Remove_Tree(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return true;
  if (S_ISDIR(info.st_mode)) {
    // Make sure the directory can be listed and emptied even when a test removed permissions.
    chmod(path.c_str(), 0700);
    if (DIR* dir = opendir(path.c_str())) {
      std::vector<std::string> names;
      while (dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") && strcmp(entry->d_name, ".."))
          names.push_back(entry->d_name);
      }
      closedir(dir);
      for (const std::string& name : names) Remove_Tree(path + "/" + name);
    }
    return rmdir(path.c_str()) == 0;
  }
  return unlink(path.c_str()) == 0;
}

bool Write_File(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

std::string Read_File(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace mqw_test
