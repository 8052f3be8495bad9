// dimenzo-worker: converts pictures for the main program, one at a time,
// as asked on standard input, answering on standard output. A picture that
// crashes the image library, sends it into an endless loop or makes it ask
// for gigabytes takes only this process with it; the program starts another.
//
//   dimenzo-worker PARENT_PID

#include "convert/ConvertPicture.h"
#include "convert/WorkerProtocol.h"

#include <QFile>

#include <csignal>
#include <cstdlib>
#include <new>

#include <malloc.h>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// A damaged picture can make the library ask for many gigabytes; the cap
// turns that into a failed allocation in this process alone.
constexpr rlim_t MemoryCap = rlim_t(4) << 30;

// However the program ends (killed, crashed, the session logging out), its
// workers end with it, and none spins on alone.
void dieWithParent(pid_t parent) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) std::_Exit(1);  // it was gone before we asked
}

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
  // A write past the file-size limit fails as a write (EFBIG) rather than
  // killing the process.
  std::signal(SIGXFSZ, SIG_IGN);
#if !defined(__SANITIZE_ADDRESS__)
  // (Under AddressSanitizer the shadow memory alone takes terabytes of
  // address space, so the cap would stop every picture.)
  const rlimit cap{MemoryCap, MemoryCap};
  setrlimit(RLIMIT_AS, &cap);
#endif
}

double processorSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The kernel ends this process (SIGXCPU) once the picture in hand has used
// `limitMs` of processor time from `start`: time spent waiting for the
// processor on a busy machine does not count.
void limitProcessorTime(double start, int limitMs) {
  if (limitMs <= 0) return;
  const rlimit limit{rlim_t(start + (limitMs + 999) / 1000 + 1), RLIM_INFINITY};
  setrlimit(RLIMIT_CPU, &limit);
}

// Whether this process came close to its memory cap: a failed allocation
// in the library then reads as a damaged file, but the cause was the size.
bool nearMemoryCap() {
#if defined(__SANITIZE_ADDRESS__)
  return false;
#else
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return false;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("VmPeak:")) return line.mid(7).trimmed().split(' ').value(0).toLongLong() * 1024 > qint64(MemoryCap) * 9 / 10;
  return false;
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

ConvertResult convert(const ConvertRequest& request, bool* spent) {
  const double start = processorSeconds();
  limitProcessorTime(start, request.timeLimitMs);
  try {
    ConvertResult result = convertPicture(
        request,
        [&](QSize size) {
          limitProcessorTime(start, timeLimitMs(request.timeLimitMs, size));
          writeAll(worker::encodeReply(worker::SizeReport{size}));
        },
        [] { writeAll(worker::encodeReply(worker::WritingReport{})); });
    if (result.outcome == ConvertResult::Outcome::NotRescaled && nearMemoryCap()) {
      result.reason = reasons::tooMuchMemory();
      *spent = true;
    }
    return result;
  } catch (const std::bad_alloc&) {
    *spent = true;
    return ConvertResult::failed(ConvertResult::Outcome::NotRescaled, reasons::tooMuchMemory());
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc > 1) dieWithParent(pid_t(std::atol(argv[1])));
  limitResources();
  keepLargeBuffers();
  QByteArray buffer;
  char chunk[65536];
  for (;;) {
    if (std::optional<ConvertRequest> request = worker::takeRequest(buffer)) {
      // A worker that came near its memory cap leaves its heap, and its
      // peak, to a fresh one.
      bool spent = false;
      if (!writeAll(worker::encodeReply(convert(*request, &spent))) || spent) return 0;
      continue;
    }
    const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (got <= 0) return 0;  // the program has gone, or is done with us
    buffer.append(chunk, got);
  }
}
