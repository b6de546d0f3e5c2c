// CFSYS: file-system queries of the engine.
//
// Thread-safety: static functions without shared state; the caller owns the list it passes.
#ifndef TRACE_BASE_FSYS_H_
#define TRACE_BASE_FSYS_H_

#include "trace/base/blist.h"
#include "trace/base/wstring.h"

class CFSYS {
 public:
  // Appends to `list` (new CWString objects owned by the list's elements: clear it with release)
  // the paths directory + "/" + name of the regular files whose name matches `mask` (shell
  // wildcards, case-insensitive, backslash not an escape), in directory order. Subdirectories
  // (not symbolic links) are searched down to `depth` levels; depth 0 lists `directory` only.
  // Nothing happens when `list`, `directory` or `mask` is null or the directory cannot be read.
  static void Enumerate_Files(CBList<CWString*>* list, const char* directory, const char* mask,
                              int depth);
};

#endif  // TRACE_BASE_FSYS_H_
