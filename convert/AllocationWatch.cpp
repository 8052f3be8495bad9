#include "convert/AllocationWatch.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

// The C library's own allocator, under the names it exports for programs
// that stand in front of it.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {
std::atomic<bool> failed{false};
}  // namespace

namespace allocation {
bool failedSinceLastAsked() { return failed.exchange(false, std::memory_order_relaxed); }
}  // namespace allocation

#if !defined(__SANITIZE_ADDRESS__)
namespace {
void* noted(void* pointer, size_t size) {
  if (!pointer && size != 0) failed.store(true, std::memory_order_relaxed);
  return pointer;
}
}  // namespace

// Every allocation of the process, the image libraries' included, passes
// through these: a definition in the program comes before the C library's.
// free() needs no watching and stays the library's.
extern "C" {
void* malloc(size_t size) { return noted(__libc_malloc(size), size); }
void* calloc(size_t count, size_t size) { return noted(__libc_calloc(count, size), count * size); }
void* realloc(void* pointer, size_t size) { return noted(__libc_realloc(pointer, size), size); }
void* memalign(size_t alignment, size_t size) { return noted(__libc_memalign(alignment, size), size); }
void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }
int posix_memalign(void** result, size_t alignment, size_t size) {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* pointer = memalign(alignment, size);
  if (!pointer && size != 0) return ENOMEM;
  *result = pointer;
  return 0;
}
}
#endif
