#include "bench_dir.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace mqw_bench {

BenchDir::BenchDir(const char* prefix) {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) m_Path = pattern;
}

BenchDir::~BenchDir() {
  std::error_code ignored;
  if (!m_Path.empty()) std::filesystem::remove_all(m_Path, ignored);
}

void BenchDir::Clear() const {
  if (DIR* dir = opendir(m_Path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') unlink((m_Path + "/" + entry->d_name).c_str());
    }
    closedir(dir);
  }
}

uint64_t BenchDir::Bytes() const {
  uint64_t total = 0;
  if (DIR* dir = opendir(m_Path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      struct stat st;
      if (entry->d_name[0] != '.' && stat((m_Path + "/" + entry->d_name).c_str(), &st) == 0) {
        total += static_cast<uint64_t>(st.st_size);
      }
    }
    closedir(dir);
  }
  return total;
}

}  // namespace mqw_bench
