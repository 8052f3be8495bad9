// dimenzo-worker: converts pictures for the main program, one at a time,
// as asked on standard input, answering on standard output. A picture that
// crashes the image library, sends it into an endless loop or makes it ask
// for gigabytes takes only this process with it; the program starts another.
//
//   dimenzo-worker PARENT_PID [MEMORY_CEILING_BYTES]

#include "convert/AllocationWatch.h"
#include "convert/ConvertPicture.h"
#include "convert/WorkerProtocol.h"

#include <QFile>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <new>

#include <fcntl.h>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Where the replies go: the standard output the program reads, kept apart
// from descriptor 1, on which the libraries may print what they like.
int replies = -1;
// What the program has said and this process has not yet taken.
QByteArray inbox;
// The most address space a picture may take, whatever it is granted: a
// ceiling the program may set, for its tests.
rlim_t ceiling = RLIM_INFINITY;

// However the program ends (killed, crashed, the session logging out), its
// workers end with it, and none spins on alone.
void dieWithParent(pid_t parent) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) std::_Exit(1);  // it was gone before we asked
}

void limitResources() {
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  // A write past the file-size limit fails as a write (EFBIG) rather than
  // killing the process.
  std::signal(SIGXFSZ, SIG_IGN);
}

// The address space this process may reach: what it holds now and `more`,
// within the ceiling. A damaged picture can make a library ask for many
// gigabytes; the cap turns that into a failed allocation in this process
// alone. (Under AddressSanitizer the shadow memory alone takes terabytes of
// address space, so no cap is set.)
void allowMemory(qint64 more) {
#if !defined(__SANITIZE_ADDRESS__)
  QFile statm(QStringLiteral("/proc/self/statm"));
  const qint64 held = statm.open(QIODevice::ReadOnly) ? statm.readAll().split(' ').value(0).toLongLong() * ::getpagesize() : 0;
  const rlimit cap{std::min(rlim_t(held + std::max<qint64>(more, 0)), ceiling), RLIM_INFINITY};
  setrlimit(RLIMIT_AS, &cap);
#else
  (void)more;
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

// The program's next message; nullopt once it has gone.
std::optional<worker::Message> receive() {
  char chunk[65536];
  for (;;) {
    if (std::optional<worker::Message> message = worker::takeMessage(inbox)) return message;
    const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    inbox.append(chunk, got);
  }
}

// Says what the picture will need and waits for the program's leave.
// `refused` is set when the program says no.
Result<> askForMemory(qint64 need, bool sizeKnown, bool* refused) {
  if (!reply(worker::NeedReport{need, sizeKnown})) std::_Exit(0);
  for (;;) {
    const std::optional<worker::Message> message = receive();
    if (!message) std::_Exit(0);  // the program has gone
    if (const auto* grant = std::get_if<worker::Grant>(&*message)) {
      *refused = !grant->refusal.isEmpty();
      if (*refused) return Failure{grant->refusal};
      allowMemory(grant->bytes);
      return {};
    }
  }
}

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
  bool asked = false, refused = false;
  try {
    result = convertPicture(
        request,
        [&](std::optional<QSize> size, int bytesPerPixel) -> Result<> {
          if (limitMs > 0 && size) {
            if (const int needed = timeLimitMs(request.timeLimitMs, *size); needed > limitMs) {
              limitMs = needed;
              limitProcessorTime(start, limitMs);
              reply(worker::LimitReport{limitMs});
            }
          }
          if (std::exchange(asked, true)) return {};
          return askForMemory(memoryNeed(size, bytesPerPixel, request.source, request.size), size.has_value(),
                              &refused);
        },
        [] { reply(worker::WritingReport{}); });
  } catch (const std::bad_alloc&) {
    result = ConvertResult::failed(ConvertResult::Outcome::NotRescaled, reasons::tooMuchMemory());
  }
  const bool outOfMemory = allocation::failedSinceLastAsked();
  if (outOfMemory && result.outcome == ConvertResult::Outcome::NotRescaled) result.reason = reasons::tooMuchMemory();
  // Another decoder would need no less memory.
  result.retry = result.retry && !outOfMemory && !refused && result.reason != reasons::tooMuchMemory();
  *spent = outOfMemory || result.retry;
  return result;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc > 1) dieWithParent(pid_t(std::atol(argv[1])));
  if (argc > 2 && std::atoll(argv[2]) > 0) ceiling = rlim_t(std::atoll(argv[2]));
  takeStandardOutputForReplies();
  limitResources();
  keepLargeBuffersBetweenPictures();
  for (;;) {
    const std::optional<worker::Message> message = receive();
    if (!message) return 0;  // the program has gone, or is done with us
    const auto* request = std::get_if<ConvertRequest>(&*message);
    if (!request) continue;
    // Until the picture's header is read and its memory granted, enough
    // to read a header.
    allowMemory(qint64(256) << 20);
    bool spent = false;
    const ConvertResult result = convert(*request, &spent);
    // Said before the result, so that the program never hands this
    // process another picture.
    if (spent && !reply(worker::RetiringReport{})) return 0;
    if (!reply(result) || spent) return 0;
  }
}
