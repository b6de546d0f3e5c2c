// The allocation counter (allocation_count.h); this file replaces the process's malloc, calloc,
// realloc and aligned_alloc.
#include "allocation_count.h"

#include <stdio.h>
#include <stdlib.h>

// The C library's own allocator entry points, to which the replacements below forward.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* __libc_memalign(size_t, size_t);

namespace {
thread_local uint64_t t_Allocations = 0;
}  // namespace

extern "C" void* malloc(size_t size) {
  ++t_Allocations;
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
  ++t_Allocations;
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, size_t size) {
  ++t_Allocations;
  return __libc_realloc(pointer, size);
}
extern "C" void* aligned_alloc(size_t alignment, size_t size) {
  ++t_Allocations;
  return __libc_memalign(alignment, size);
}

namespace mqw_bench {

uint64_t Allocations() { return t_Allocations; }

bool Allocation_Counter_Active() {
  uint64_t before = t_Allocations;
  void* volatile probe = malloc(16);
  free(probe);
  if (t_Allocations - before == 1) return true;
  fprintf(stderr, "allocation counter inactive\n");
  return false;
}

}  // namespace mqw_bench
