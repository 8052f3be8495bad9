// dimenzo-worker: converts pictures for the main program, one at a time,
// as asked on standard input, answering on standard output. A picture that
// crashes the image library, sends it into an endless loop or makes it ask
// for gigabytes takes only this process with it; the program starts another.
//
//   dimenzo-worker PARENT_PID [MEMORY_CAP_BYTES]

#include "convert/AllocationWatch.h"
#include "convert/ConvertPicture.h"
#include "convert/WorkerProtocol.h"

#include <csignal>
#include <cstdlib>
#include <new>

#include <fcntl.h>
#include <malloc.h>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// A damaged picture can make the library ask for many gigabytes; the cap
// turns that into a failed allocation in this process alone.
constexpr rlim_t DefaultMemoryCap = rlim_t(4) << 30;

// Where the replies go: the standard output the program reads, kept apart
// from descriptor 1, on which the libraries may print what they like.
int replies = -1;

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

void limitResources(rlim_t memoryCap) {
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  // A write past the file-size limit fails as a write (EFBIG) rather than
  // killing the process.
  std::signal(SIGXFSZ, SIG_IGN);
#if !defined(__SANITIZE_ADDRESS__)
  // (Under AddressSanitizer the shadow memory alone takes terabytes of
  // address space, so the cap would stop every picture.)
  const rlimit cap{memoryCap, memoryCap};
  setrlimit(RLIMIT_AS, &cap);
#else
  (void)memoryCap;
#endif
}

void takeStandardOutputForReplies() {
  replies = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (replies < 0 || nowhere < 0 || ::dup2(nowhere, STDOUT_FILENO) < 0) std::_Exit(1);
  ::close(nowhere);
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

bool writeAll(const QByteArray& bytes) {
  const char* data = bytes.constData();
  qsizetype left = bytes.size();
  while (left > 0) {
    const ssize_t written = ::write(replies, data, size_t(left));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    left -= written;
  }
  return true;
}

bool reply(const worker::Reply& message) { return writeAll(worker::encodeReply(message)); }

// `spent` is set when this process must hand over to a fresh one: memory
// ran out on the way (the picture is told as too large), or a decoder
// failed where the next one is to try, in a process the first cannot have
// left in pieces.
ConvertResult convert(const ConvertRequest& request, bool* spent) {
  const double start = processorSeconds();
  // The program allows as much from the start, by the same rule.
  int limitMs = request.timeLimitMs > 0 ? timeLimitMs(request.timeLimitMs, request.source) : 0;
  limitProcessorTime(start, limitMs);
  allocation::failedSinceLastAsked();
  const bool fallback = request.decoder == 0 && decodersFor(request.source).size() > 1;
  if (fallback) reply(worker::FallbackReport{});
  ConvertResult result;
  try {
    result = convertPicture(
        request,
        [&](std::optional<QSize> size) {
          if (limitMs <= 0 || !size) return;
          const int needed = timeLimitMs(request.timeLimitMs, *size);
          if (needed <= limitMs) return;
          limitMs = needed;
          limitProcessorTime(start, limitMs);
          reply(worker::LimitReport{limitMs});
        },
        [] { reply(worker::WritingReport{}); });
  } catch (const std::bad_alloc&) {
    result = ConvertResult::failed(ConvertResult::Outcome::NotRescaled, reasons::tooMuchMemory());
  }
  const bool outOfMemory = allocation::failedSinceLastAsked();
  if (outOfMemory && result.outcome == ConvertResult::Outcome::NotRescaled) result.reason = reasons::tooMuchMemory();
  result.retry = result.retry && !outOfMemory && result.reason != reasons::tooMuchMemory();
  *spent = outOfMemory || result.retry;
  return result;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc > 1) dieWithParent(pid_t(std::atol(argv[1])));
  const rlim_t memoryCap = argc > 2 ? rlim_t(std::atoll(argv[2])) : DefaultMemoryCap;
  takeStandardOutputForReplies();
  limitResources(memoryCap > 0 ? memoryCap : DefaultMemoryCap);
  keepLargeBuffers();
  QByteArray buffer;
  char chunk[65536];
  for (;;) {
    if (std::optional<ConvertRequest> request = worker::takeRequest(buffer)) {
      bool spent = false;
      const ConvertResult result = convert(*request, &spent);
      // Said before the result, so that the program never hands this
      // process another picture.
      if (spent && !reply(worker::RetiringReport{})) return 0;
      if (!reply(result) || spent) return 0;
      continue;
    }
    const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return 0;  // the program has gone, or is done with us
    buffer.append(chunk, got);
  }
}
