// CServed_Directory: the one directory whose binary trace files (".trd") the viewer may read, and
// the rule that keeps every request inside it.
//
// A request names a source by a path relative to the directory: "" or "." for the directory
// itself, a subdirectory (a client's directory of the trace server, or any folder of files), or
// one file. Refused before touching the file system: an absolute path, a ".." component, a NUL
// byte, a path longer than kMax_Path. Then the path is resolved with every symbolic link followed
// and must still lie inside the directory (itself resolved once at Open): a link that points out
// is refused like "..", so a link inside cannot be used to read the rest of the machine.
//
// Thread-safety: const after Open; may be used by several threads at once.
#ifndef TRACE_VIEWER_SERVED_DIRECTORY_H_
#define TRACE_VIEWER_SERVED_DIRECTORY_H_

#include <stdint.h>

#include <string>
#include <vector>

class CServed_Directory {
 public:
  static constexpr size_t kMax_Path = 1024;

  enum class eResolve {
    Ok,
    Bad_Path,  // malformed: absolute, "..", NUL, too long
    Outside,   // resolves outside the directory (a symbolic link out)
    Missing,   // does not exist, or is neither a directory nor a ".trd" file
  };

  struct sFile {
    std::string path;  // relative to the served directory
    std::string absolute;
    uint64_t bytes = 0;
    int64_t modified_ns = 0;
  };

  struct sSource {
    std::string path;  // "." or a subdirectory, relative
    std::vector<sFile> files;
  };

  // Resolves `directory`; false when it is not a readable directory.
  bool Open(const std::string& directory);
  const std::string& Root() const { return m_Root; }

  // The ".trd" files of `relative` (a file: itself; a directory: its files in name order, which is
  // the order the writers create them in).
  eResolve Files(const std::string& relative, std::vector<sFile>* files) const;

  // The served directory and each of its subdirectories that hold ".trd" files, with their files.
  std::vector<sSource> Sources() const;

 private:
  eResolve Resolve(const std::string& relative, std::string* absolute) const;
  bool Inside(const std::string& absolute) const;
  void Directory_Files(const std::string& absolute, const std::string& relative,
                       std::vector<sFile>* files) const;

  std::string m_Root;  // resolved, without a trailing '/'
};

#endif  // TRACE_VIEWER_SERVED_DIRECTORY_H_
