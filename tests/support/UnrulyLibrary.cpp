// Stands in front of the image library's format detection (through
// LD_PRELOAD) and misbehaves as libraries do: it prints on standard output
// first, as some codecs do; for a file whose name holds "bucle" it never
// returns, spinning the processor, and for one whose name holds "lento" it
// spins two seconds and a half first, as a slow decoder of a large file would.
#include <dlfcn.h>
#include <time.h>

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
  if (std::strstr(name, "lento")) {
    timespec start{}, now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
    do {
      spins.fetch_add(1, std::memory_order_relaxed);
      clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    } while ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 < 2500);
  }
  return real(name, size);
}
