#include "trace/viewer/served_directory.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

namespace {

bool Ends_With_Trd(const std::string& name) {
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".trd") == 0;
}

bool Real_Path(const std::string& path, std::string* out) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  if (!resolved) return false;
  *out = resolved.get();
  return true;
}

}  // namespace

bool CServed_Directory::Open(const std::string& directory) {
  std::string resolved;
  struct stat info;
  if (!Real_Path(directory, &resolved) || stat(resolved.c_str(), &info) != 0 ||
      !S_ISDIR(info.st_mode))
    return false;
  while (resolved.size() > 1 && resolved.back() == '/') resolved.pop_back();
  m_Root = resolved;
  return true;
}

bool CServed_Directory::Inside(const std::string& absolute) const {
  if (absolute == m_Root) return true;
  const std::string prefix = m_Root == "/" ? m_Root : m_Root + "/";
  return absolute.compare(0, prefix.size(), prefix) == 0;
}

CServed_Directory::eResolve CServed_Directory::Resolve(const std::string& relative,
                                                       std::string* absolute) const {
  if (m_Root.empty()) return eResolve::Missing;
  if (relative.size() > kMax_Path || relative.find('\0') != std::string::npos ||
      (!relative.empty() && relative[0] == '/'))
    return eResolve::Bad_Path;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    if (relative.compare(start, end - start, "..") == 0 && end - start == 2)
      return eResolve::Bad_Path;
    start = end + 1;
  }
  const std::string joined = relative.empty() ? m_Root : m_Root + "/" + relative;
  std::string resolved;
  if (!Real_Path(joined, &resolved)) return eResolve::Missing;
  if (!Inside(resolved)) return eResolve::Outside;
  *absolute = resolved;
  return eResolve::Ok;
}

void CServed_Directory::Directory_Files(const std::string& absolute, const std::string& relative,
                                        std::vector<sFile>* files) const {
  DIR* dir = opendir(absolute.c_str());
  if (!dir) return;
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    if (Ends_With_Trd(entry->d_name)) names.push_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string resolved;
    struct stat info;
    // A file that is a link out of the directory is left out, never read.
    if (!Real_Path(absolute + "/" + name, &resolved) || !Inside(resolved) ||
        stat(resolved.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
      continue;
    sFile file;
    file.path = relative == "." ? name : relative + "/" + name;
    file.absolute = resolved;
    file.bytes = static_cast<uint64_t>(info.st_size);
    file.modified_ns = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    files->push_back(std::move(file));
  }
}

CServed_Directory::eResolve CServed_Directory::Files(const std::string& relative,
                                                     std::vector<sFile>* files) const {
  std::string absolute;
  const eResolve resolved = Resolve(relative, &absolute);
  if (resolved != eResolve::Ok) return resolved;
  struct stat info;
  if (stat(absolute.c_str(), &info) != 0) return eResolve::Missing;
  std::string shown = relative.empty() ? "." : relative;
  while (shown.size() > 1 && shown.back() == '/') shown.pop_back();
  if (S_ISDIR(info.st_mode)) {
    Directory_Files(absolute, shown, files);
    return eResolve::Ok;
  }
  if (!S_ISREG(info.st_mode) || !Ends_With_Trd(absolute)) return eResolve::Missing;
  sFile file;
  file.path = shown;
  file.absolute = absolute;
  file.bytes = static_cast<uint64_t>(info.st_size);
  file.modified_ns = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  files->push_back(std::move(file));
  return eResolve::Ok;
}

std::vector<CServed_Directory::sSource> CServed_Directory::Sources() const {
  std::vector<sSource> sources;
  if (m_Root.empty()) return sources;
  sSource top;
  top.path = ".";
  Directory_Files(m_Root, ".", &top.files);
  if (!top.files.empty()) sources.push_back(std::move(top));
  DIR* dir = opendir(m_Root.c_str());
  if (!dir) return sources;
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string absolute;
    struct stat info;
    if (Resolve(name, &absolute) != eResolve::Ok || stat(absolute.c_str(), &info) != 0 ||
        !S_ISDIR(info.st_mode))
      continue;
    sSource source;
    source.path = name;
    Directory_Files(absolute, name, &source.files);
    if (!source.files.empty()) sources.push_back(std::move(source));
  }
  return sources;
}
