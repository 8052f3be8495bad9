// Stands in front of the image library's format detection (through
// LD_PRELOAD) and misbehaves as libraries do: it prints on standard output
// first, as some codecs do, and for a file whose name holds "bucle" it
// never returns, spinning the processor.
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstring>

extern "C" int FreeImage_GetFileType(const char* name, int size) {
  using Detect = int (*)(const char*, int);
  static const Detect real = reinterpret_cast<Detect>(dlsym(RTLD_NEXT, "FreeImage_GetFileType"));
  std::printf("FreeImage dice algo\n");
  std::fflush(stdout);
  static std::atomic<unsigned> spins{0};
  if (std::strstr(name, "bucle"))
    for (;;) spins.fetch_add(1, std::memory_order_relaxed);
  return real(name, size);
}
