#include "disk_quota.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <queue>
#include <utility>
#include <vector>

namespace {

constexpr const char* kPattern = "*.trd";

uint64_t Steady_ms() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// One name inside a directory: not empty, no '/', not "." or "..".
bool Is_Component(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

uint64_t Saturating_Add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// "client/file" from the last two components of `path` ("" when it has fewer than two).
std::string Last_Two(const std::string& path) {
  size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  const size_t slash = path.rfind('/', end == 0 ? 0 : end - 1);
  if (end == 0 || slash == std::string::npos || slash == 0) return {};
  const std::string file = path.substr(slash + 1, end - slash - 1);
  size_t dir_end = slash;
  while (dir_end > 0 && path[dir_end - 1] == '/') --dir_end;
  if (dir_end == 0) return {};
  const size_t dir_slash = path.rfind('/', dir_end - 1);
  const size_t dir_begin = dir_slash == std::string::npos ? 0 : dir_slash + 1;
  return path.substr(dir_begin, dir_end - dir_begin) + "/" + file;
}

// A directory descriptor; closed by the destructor.
class CDir_Fd {
 public:
  explicit CDir_Fd(int fd = -1) : m_Fd(fd) {}
  ~CDir_Fd() { Reset(-1); }
  CDir_Fd(const CDir_Fd&) = delete;
  CDir_Fd& operator=(const CDir_Fd&) = delete;
  void Reset(int fd) {
    if (m_Fd != -1) close(m_Fd);
    m_Fd = fd;
  }
  int Get() const { return m_Fd; }

 private:
  int m_Fd;
};

int Open_Root(const std::string& root) {
  return open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
}

// A client directory below `root_fd`, never through a symbolic link; -1 when it is none. The
// entry's type is looked at first, so nothing else (a FIFO, a device) is ever opened.
int Open_Client(int root_fd, const std::string& name) {
  if (!Is_Component(name)) return -1;
  struct stat st;
  if (fstatat(root_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))
    return -1;
  return openat(root_fd, name.c_str(),
                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

struct sFile {
  std::string name;
  uint64_t bytes;
  int64_t mtime_s;
  int64_t mtime_ns;
};

// Calls `each(name, stat)` for every regular file of the pattern in the directory `dir_fd`
// (borrowed, left open). False when it cannot be read.
template <typename F>
bool For_Each_File(int dir_fd, F each) {
  const int own = dup(dir_fd);  // fdopendir takes the descriptor it is given
  if (own == -1) return false;
  DIR* dir = fdopendir(own);
  if (dir == nullptr) {
    close(own);
    return false;
  }
  while (const dirent* entry = readdir(dir)) {
    if (fnmatch(kPattern, entry->d_name, FNM_CASEFOLD) != 0) continue;
    struct stat st;
    if (fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      continue;
    each(entry->d_name, st);
  }
  closedir(dir);
  return true;
}

// Calls `each(name, dir_fd)` for every directory one level below `root_fd`.
template <typename F>
void For_Each_Client(int root_fd, F each) {
  const int own = dup(root_fd);
  if (own == -1) return;
  DIR* dir = fdopendir(own);
  if (dir == nullptr) {
    close(own);
    return;
  }
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (!Is_Component(name)) continue;
    CDir_Fd client(Open_Client(root_fd, name));
    if (client.Get() == -1) continue;  // not a directory, or a link
    each(name, client.Get());
  }
  closedir(dir);
}

}  // namespace

CDisk_Quota::CDisk_Quota(std::string root, uint64_t max_total_bytes)
    : m_Root(std::move(root)), m_MaxTotal(max_total_bytes), m_Clock(Steady_ms) {}

void CDisk_Quota::Rescan() {
  m_Scanned = true;
  m_LastRescan_ms = m_Clock();
  m_Directories.clear();
  uint64_t total = 0;
  CDir_Fd root(Open_Root(m_Root));
  if (root.Get() != -1) {
    For_Each_Client(root.Get(), [&](const std::string& name, int dir_fd) {
      uint64_t bytes = 0;
      For_Each_File(dir_fd, [&](const char*, const struct stat& st) {
        bytes = Saturating_Add(bytes, static_cast<uint64_t>(st.st_size));
      });
      if (bytes == 0) return;  // figures for directories that hold something only
      m_Directories[name] = bytes;
      total = Saturating_Add(total, bytes);
    });
  }
  Set_Total(total);
}

void CDisk_Quota::Add(const std::string& directory_name, uint64_t bytes) {
  if (bytes == 0) return;
  uint64_t& figure = m_Directories[directory_name];
  figure = Saturating_Add(figure, bytes);
  Set_Total(Saturating_Add(Total(), bytes));
}

void CDisk_Quota::Release(const std::string& directory_name, uint64_t bytes) {
  const auto found = m_Directories.find(directory_name);
  if (found == m_Directories.end()) return;
  const uint64_t lowered = std::min(bytes, found->second);
  found->second -= lowered;
  Set_Total(Total() - std::min(lowered, Total()));
  if (found->second == 0) m_Directories.erase(found);
}

uint64_t CDisk_Quota::Enforce(const std::set<std::string>& open_files) {
  if (m_MaxTotal == 0 || Total() <= m_MaxTotal) return 0;
  if (!m_Scanned || m_Clock() - m_LastRescan_ms >= kRescan_Interval_ms) Rescan();
  if (Total() <= m_MaxTotal) return 0;

  CDir_Fd root(Open_Root(m_Root));
  if (root.Get() == -1) return 0;

  std::set<std::string> keep;
  for (const std::string& path : open_files) {
    std::string key = Last_Two(path);
    if (!key.empty()) keep.insert(std::move(key));
  }

  // Largest figure first; equal figures by name, so the order does not depend on the map.
  std::priority_queue<std::pair<uint64_t, std::string>> largest;
  for (const auto& [name, bytes] : m_Directories) largest.emplace(bytes, name);

  // Per call only: the listings of the directories chosen so far, each sorted once.
  struct sListing {
    std::vector<sFile> files;  // oldest first
    size_t next = 0;           // first file not yet removed or passed over
  };
  std::map<std::string, sListing> listed;
  CDir_Fd current;  // the descriptor of `current_name`, kept while it stays the largest
  std::string current_name;
  uint64_t removed_bytes = 0;
  // Until the first removal the quota itself decides: figures corrected by a listing may already
  // be within it.
  const uint64_t low_water = m_MaxTotal - m_MaxTotal / kSlack_Divisor;
  bool removing = false;

  while (Total() > (removing ? low_water : m_MaxTotal) && !largest.empty()) {
    const std::string name = largest.top().second;
    const uint64_t queued = largest.top().first;
    largest.pop();
    const auto figure = m_Directories.find(name);
    if (figure == m_Directories.end()) continue;
    if (figure->second != queued) {  // lowered since it was queued: queue it again as it is
      if (figure->second != 0) largest.emplace(figure->second, name);
      continue;
    }
    if (name != current_name) {
      current.Reset(Open_Client(root.Get(), name));
      current_name = name;
    }

    auto listing = listed.find(name);
    if (listing == listed.end()) {
      listing = listed.emplace(name, sListing{}).first;
      uint64_t bytes = 0;
      if (current.Get() != -1) {
        For_Each_File(current.Get(), [&](const char* file, const struct stat& st) {
          listing->second.files.push_back({file, static_cast<uint64_t>(st.st_size),
                                           static_cast<int64_t>(st.st_mtim.tv_sec),
                                           static_cast<int64_t>(st.st_mtim.tv_nsec)});
          bytes = Saturating_Add(bytes, static_cast<uint64_t>(st.st_size));
        });
      }
      std::sort(listing->second.files.begin(), listing->second.files.end(),
                [](const sFile& a, const sFile& b) {
                  if (a.mtime_s != b.mtime_s) return a.mtime_s < b.mtime_s;
                  if (a.mtime_ns != b.mtime_ns) return a.mtime_ns < b.mtime_ns;
                  return a.name < b.name;
                });
      if (bytes != figure->second) {
        // The figure was off (files deleted by someone else, or more added than written): the
        // listing is the truth; choose the largest again with it.
        Set_Total(Saturating_Add(Total() - std::min(figure->second, Total()), bytes));
        figure->second = bytes;
        if (bytes == 0) {
          m_Directories.erase(figure);
        } else {
          largest.emplace(bytes, name);
        }
        continue;
      }
    }

    std::vector<sFile>& files = listing->second.files;
    size_t& next = listing->second.next;
    while (next < files.size() && keep.count(name + "/" + files[next].name) != 0) ++next;
    if (next == files.size() || current.Get() == -1) continue;  // nothing removable left here
    const sFile& oldest = files[next++];
    removing = true;

    uint64_t gone = 0;
    struct stat st;
    if (fstatat(current.Get(), oldest.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISREG(st.st_mode) && unlinkat(current.Get(), oldest.name.c_str(), 0) == 0) {
        gone = static_cast<uint64_t>(st.st_size);
        m_RemovedFiles.fetch_add(1, std::memory_order_relaxed);
        m_RemovedBytes.fetch_add(gone, std::memory_order_relaxed);
        removed_bytes += gone;
      }
    } else if (errno == ENOENT) {
      gone = oldest.bytes;  // removed by someone else since the listing: no longer held
    }
    const uint64_t lowered = std::min(gone, figure->second);
    figure->second -= lowered;
    Set_Total(Total() - std::min(lowered, Total()));
    if (figure->second == 0) {
      m_Directories.erase(figure);
    } else if (next < files.size()) {
      largest.emplace(figure->second, name);
    }
  }
  return removed_bytes;
}
