#include "trace/base/proc.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "trace/base/clocks.h"

namespace {

constexpr size_t kProcReadSize = 8192;

// Reads up to kProcReadSize - 1 bytes of `path` into `buffer` and terminates them.
bool Read_Proc_File(const char* path, char* buffer) {
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) return false;
  size_t done = 0;
  while (done + 1 < kProcReadSize) {
    ssize_t result = read(fd, buffer + done, kProcReadSize - 1 - done);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) break;
    done += static_cast<size_t>(result);
  }
  close(fd);
  buffer[done] = 0;
  return done > 0;
}

bool Parse_Unsigned(const char* text, unsigned long long* value) {
  char* end = nullptr;
  errno = 0;
  unsigned long long parsed = strtoull(text, &end, 10);
  if (end == text || errno != 0) return false;
  *value = parsed;
  return true;
}

}  // namespace

bool CProc::Get_Process_Time(uint32_t* high, uint32_t* low) {
  if (!high || !low) return false;
  *high = 0;
  *low = 0;
  char buffer[kProcReadSize];

  if (!Read_Proc_File("/proc/stat", buffer)) return false;
  const char* btime = strstr(buffer, "btime ");
  unsigned long long boot_seconds = 0;
  if (!btime || !Parse_Unsigned(btime + 6, &boot_seconds)) return false;

  // /proc/self/stat: "pid (comm) state ppid ...". The command name may itself contain blanks
  // and parentheses, so fields are counted after its last ')'. The start time is field 22,
  // which follows the 20th blank after that parenthesis.
  if (!Read_Proc_File("/proc/self/stat", buffer)) return false;
  const char* cursor = strrchr(buffer, ')');
  if (!cursor) return false;
  for (int blanks = 0; blanks < 20; ++blanks) {
    cursor = strchr(cursor, ' ');
    if (!cursor) return false;
    ++cursor;
  }
  unsigned long long start_ticks = 0;
  if (!Parse_Unsigned(cursor, &start_ticks)) return false;

  long ticks_per_second = sysconf(_SC_CLK_TCK);
  if (ticks_per_second <= 0) ticks_per_second = 100;
  uint64_t stamp = static_cast<uint64_t>(boot_seconds) * kPerformanceFrequency +
                   static_cast<uint64_t>(start_ticks) *
                       (kPerformanceFrequency / static_cast<uint64_t>(ticks_per_second)) +
                   kEpoch1601To1970_100ns;
  *high = static_cast<uint32_t>(stamp >> 32);
  *low = static_cast<uint32_t>(stamp);
  return true;
}

bool CProc::Get_Process_Path(char* buffer, size_t size) {
  if (!buffer) return false;
  if (size > 32) {
    ssize_t length = readlink("/proc/self/exe", buffer, size - 4);
    // A result that fills the whole room may be cut: then it is no reliable directory.
    if (length > 0 && static_cast<size_t>(length) < size - 4) {
      buffer[length] = 0;
      for (ssize_t i = length - 1; i >= 0; --i) {
        if (buffer[i] == '/' || buffer[i] == '\\') {
          buffer[i + 1] = 0;
          return true;
        }
      }
      // A link without any directory part: fall through to the default.
    }
  }
  if (size >= 3) {
    memcpy(buffer, "./", 3);
  } else if (size > 0) {
    buffer[0] = 0;
  }
  return false;
}

uint32_t CProc::Get_Thread_ID() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

uint32_t CProc::Get_CPU() {
  int cpu = sched_getcpu();
  return cpu < 0 ? 0 : static_cast<uint32_t>(cpu);
}
