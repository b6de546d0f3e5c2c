// CProc: queries about the running process and thread.
//
// Thread-safety: static functions without shared state.
#ifndef TRACE_BASE_PROC_H_
#define TRACE_BASE_PROC_H_

#include <stddef.h>
#include <stdint.h>

class CProc {
 public:
  // Process start time in 100-ns units since 1601-01-01 UTC, split into 32-bit halves. False
  // (nothing written) when a pointer is null; false with both halves 0 when /proc cannot be read.
  static bool Get_Process_Time(uint32_t* high, uint32_t* low);
  // Directory of the executable with its trailing '/'. Needs `size` > 32; otherwise, or when the
  // link cannot be read, stores "./" (as far as it fits) and returns false.
  static bool Get_Process_Path(char* buffer, size_t size);
  // Kernel thread ID of the calling thread.
  static uint32_t Get_Thread_ID();
  // Processor the calling thread runs on; 0 when unknown.
  static uint32_t Get_CPU();
};

#endif  // TRACE_BASE_PROC_H_
