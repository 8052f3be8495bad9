// dimenzo-worker: converts pictures for the main program, one at a time,
// as asked on standard input, answering on standard output. A picture that
// crashes the image library, or sends it into an endless loop, takes only
// this process with it; the program starts another.

#include "convert/ConvertPicture.h"
#include "convert/WorkerProtocol.h"

#include <cstdio>

#include <malloc.h>

#include <sys/resource.h>
#include <unistd.h>

namespace {

// A damaged picture can make the library ask for many gigabytes; the cap
// turns that into a failed allocation in this process alone.
constexpr rlim_t MemoryCap = rlim_t(4) << 30;

// Every picture needs buffers of tens of megabytes. Kept in the heap
// rather than handed back to the system after each picture, they are not
// faulted in and zeroed again for the next one.
void keepLargeBuffers() {
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
}

void limitResources() {
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
#if !defined(__SANITIZE_ADDRESS__)
  // (Under AddressSanitizer the shadow memory alone takes terabytes of
  // address space, so the cap would stop every picture.)
  const rlimit cap{MemoryCap, MemoryCap};
  setrlimit(RLIMIT_AS, &cap);
#endif
}

bool writeAll(const QByteArray& bytes) {
  const char* data = bytes.constData();
  qsizetype left = bytes.size();
  while (left > 0) {
    const ssize_t written = ::write(STDOUT_FILENO, data, size_t(left));
    if (written <= 0) return false;
    data += written;
    left -= written;
  }
  return true;
}

}  // namespace

int main() {
  limitResources();
  keepLargeBuffers();
  QByteArray buffer;
  char chunk[65536];
  for (;;) {
    if (std::optional<ConvertRequest> request = worker::takeRequest(buffer)) {
      const ConvertResult result = convertPicture(*request, [](QSize size) {
        writeAll(worker::encodeReply(worker::SizeReport{size}));
      });
      if (!writeAll(worker::encodeReply(result))) return 1;
      continue;
    }
    const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (got <= 0) return 0;  // the program has gone, or is done with us
    buffer.append(chunk, got);
  }
}
