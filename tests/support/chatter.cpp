// Stands in front of the image library's format detection (through
// LD_PRELOAD) and prints on standard output first, as some codecs do.
#include <dlfcn.h>

#include <cstdio>

extern "C" int FreeImage_GetFileType(const char* name, int size) {
  using Detect = int (*)(const char*, int);
  static const Detect real = reinterpret_cast<Detect>(dlsym(RTLD_NEXT, "FreeImage_GetFileType"));
  std::printf("FreeImage dice algo\n");
  std::fflush(stdout);
  return real(name, size);
}
