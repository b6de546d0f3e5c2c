// Helpers shared by the fuzz targets: an output that keeps rendered lines, a deterministic cutter
// that derives piece sizes from the input itself (so a finding replays exactly), and the check
// that stops the run with a message when a stated property does not hold.
#ifndef TESTS_FUZZ_FUZZ_SUPPORT_H_
#define TESTS_FUZZ_FUZZ_SUPPORT_H_

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <mqtt-wrapper/TRTextSink.h>

namespace fuzz {

// A property of the code under test does not hold: report it and abort, which libFuzzer records
// as a crash with the input that caused it.
[[noreturn]] inline void Fail(const std::string& what) {
  fprintf(stderr, "fuzz property violated: %s\n", what.c_str());
  fflush(stderr);
  abort();
}

inline void Check(bool holds, const std::string& what) {
  if (!holds) Fail(what);
}

// Keeps every line it is given (or only counts them).
class CLine_Collector : public CClTextSink {
 public:
  explicit CLine_Collector(bool keep = true) : m_Keep(keep) {}
  uint32_t Initialize(char**, int) override { return 0; }
  uint32_t Log(const sLog*, const char* line, uint64_t length) override {
    ++m_Count;
    if (m_Keep) m_Lines.emplace_back(line, length);
    return 0;
  }
  uint32_t DumpBuffers() override { return 0; }

  const std::vector<std::string>& Lines() const { return m_Lines; }
  uint64_t Count() const { return m_Count; }

 private:
  bool m_Keep;
  uint64_t m_Count = 0;
  std::vector<std::string> m_Lines;
};

// Piece sizes for cutting `size` bytes, chosen by a small generator seeded from the bytes: mostly
// short pieces (cuts inside headers), now and then long ones.
inline std::vector<uint64_t> Pieces(const uint8_t* data, uint64_t size) {
  uint64_t state = 0x9E3779B97F4A7C15ull ^ size;
  for (uint64_t i = 0; i < size; i += 1 + size / 64) state = (state ^ data[i]) * 0x100000001B3ull;
  std::vector<uint64_t> pieces;
  for (uint64_t left = size; left;) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    uint64_t piece = (state & 3) == 0 ? 1 + (state >> 8) % 4096 : 1 + (state >> 8) % 16;
    if (piece > left) piece = left;
    pieces.push_back(piece);
    left -= piece;
  }
  return pieces;
}

// The line template with every element, so that every field is rendered.
constexpr char kAll_Elements[] =
    "%cn|%id|%ix|%tf|%tm|%ts|%td|%tc|%lv|%ti|%tn|%cc|%mi|%mn|%ff|%fs|%fl|%fn|%ms";

}  // namespace fuzz

#endif  // TESTS_FUZZ_FUZZ_SUPPORT_H_
