#include "trace/base/fsys.h"

#include <dirent.h>
#include <fnmatch.h>
#include <string.h>
#include <sys/stat.h>

#include <new>

namespace {

// Entry type from readdir, or from lstat when the file system does not report it (symbolic links
// are not followed, so a link is never taken for a file or a directory).
unsigned char Entry_Type(const CWString& parent, const dirent* entry) {
  if (entry->d_type != DT_UNKNOWN) return entry->d_type;
  CWString path;
  if (!path.Set(parent.Get()) || !path.Append(2, "/", entry->d_name)) return DT_UNKNOWN;
  struct stat info {};
  if (lstat(path.Get(), &info) != 0) return DT_UNKNOWN;
  if (S_ISREG(info.st_mode)) return DT_REG;
  if (S_ISDIR(info.st_mode)) return DT_DIR;
  return DT_UNKNOWN;
}

void Enumerate(CBList<CWString*>* list, CWString* directory, const char* mask, int depth) {
  DIR* dir = opendir(directory->Get());
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    unsigned char type = Entry_Type(*directory, entry);
    if (type == DT_REG) {
      if (fnmatch(mask, entry->d_name, FNM_CASEFOLD | FNM_NOESCAPE) != 0) continue;
      CWString* path = new (std::nothrow) CWString();
      if (!path) continue;
      if (!path->Set(directory->Get()) || !path->Append(2, "/", entry->d_name) ||
          !list->Add_Last(path)) {
        delete path;
      }
    } else if (type == DT_DIR && depth > 0) {
      if (!strcmp(entry->d_name, ".") || !strcmp(entry->d_name, "..")) continue;
      uint32_t length = directory->Length();
      if (directory->Append(2, "/", entry->d_name)) {
        Enumerate(list, directory, mask, depth - 1);
        directory->Truncate(length);
      }
    }
  }
  closedir(dir);
}

}  // namespace

void CFSYS::Enumerate_Files(CBList<CWString*>* list, const char* directory, const char* mask,
                            int depth) {
  if (!list || !directory || !mask) return;
  CWString path;
  if (!path.Set(directory)) return;
  Enumerate(list, &path, mask, depth);
}
