// BenchDir: a private temporary directory for files a benchmark writes during a run. Needs no
// benchmark library, so a bench built without one (the facade bench's smoke run on the target)
// can use it.
//
// Thread-safety: a BenchDir has one owner.
#ifndef BENCH_BENCH_DIR_H_
#define BENCH_BENCH_DIR_H_

#include <stdint.h>

#include <string>

namespace mqw_bench {

// A private temporary directory under $TMPDIR (or /tmp), removed with everything in it by the
// destructor. Path() is empty when it could not be created.
class BenchDir {
 public:
  explicit BenchDir(const char* prefix);
  ~BenchDir();
  BenchDir(const BenchDir&) = delete;
  BenchDir& operator=(const BenchDir&) = delete;

  const std::string& Path() const { return m_Path; }
  // Removes the files in the directory (one level), keeping the directory.
  void Clear() const;
  // Total size of the files in the directory (one level).
  uint64_t Bytes() const;

 private:
  std::string m_Path;
};

}  // namespace mqw_bench

#endif  // BENCH_BENCH_DIR_H_
