// Converts a folder of pictures with the window's own engine (BatchRun),
// without the window, and reports the wall time, the peak memory of all
// Dimenzo processes together against the run's memory budget (and fails
// when the run took more than the budget), and the longest pause of the
// event loop.
//
//   convert_bench SOURCE_FOLDER DESTINATION_FOLDER [WIDTHxHEIGHT] [--psnr | --resampler | --floor | --phases]
//                 [--workers N]
//
// --workers N runs the engine with N workers rather than one per core.
// With --floor it only decodes every picture, as the run's decoders do
// (reduced-size JPEGs included), and reports the processor time that took
// and that time shared over the machine's cores: the floor no run built on
// these decoders can go below. With --psnr it instead compares, for every JPEG, the picture rescaled from
// a reduced-size decode with the one rescaled from the full decode. With
// --resampler it times our B-spline rescale against the library's on every
// picture, reports the largest difference in each channel and the count of
// bytes that differ, and fails when any differs by more than one level.
// With --phases it converts every picture in this process, one step after
// another, and reports the time each step took a picture on average.
//
// Each mode exits 1, saying why on one line, when it did not do the work it
// reports: no picture converted or compared, a picture neither written nor
// reported as failed, a reported output missing from the destination.

#include "convert/BatchRun.h"
#include "convert/ConvertPicture.h"
#include "convert/MemoryBudget.h"
#include "convert/Metadata.h"
#include "convert/OutputFile.h"
#include "convert/Pixels.h"
#include "convert/Resample.h"
#include "convert/RunMath.h"
#include "queue/mod_code.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

namespace {

int fail(const char* why) {
  std::fprintf(stderr, "convert_bench: %s\n", why);
  return 1;
}

// A process's resident memory, as what it holds alone (its heap, its
// stacks) and what it maps from files (the program and its libraries).
struct Resident {
  qint64 ownKb = 0, fileKb = 0;
};
Resident residentOf(qint64 pid) {
  // Pages resident, of which shared (from files): cheap to read, unlike
  // the smaps.
  QFile statm(QStringLiteral("/proc/%1/statm").arg(pid));
  if (!statm.open(QIODevice::ReadOnly)) return {};
  const QList<QByteArray> pages = statm.readAll().split(' ');
  const qint64 pageKb = ::getpagesize() / 1024, resident = pages.value(1).toLongLong(), shared = pages.value(2).toLongLong();
  return {(resident - shared) * pageKb, shared * pageKb};
}

// This process and its children, the workers, which the main thread
// starts. They map the same libraries, whose pages are in memory once:
// those are counted once, as the largest set any of them maps, rather than
// once for every process. `summedKb`, where given, hears the plain sum of
// their resident sizes, which counts them again for every process.
qint64 residentKbOfAll(qint64* summedKb = nullptr) {
  const qint64 self = QCoreApplication::applicationPid();
  const Resident main = residentOf(self);
  qint64 own = main.ownKb, files = main.fileKb, summed = main.ownKb + main.fileKb;
  QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(self));
  if (children.open(QIODevice::ReadOnly))
    for (const QByteArray& pid : children.readAll().split(' '))
      if (!pid.trimmed().isEmpty()) {
        const Resident worker = residentOf(pid.trimmed().toLongLong());
        own += worker.ownKb;
        files = std::max(files, worker.fileKb);
        summed += worker.ownKb + worker.fileKb;
      }
  if (summedKb) *summedKb = summed;
  return own + files;
}

double psnr(FIBITMAP* a, FIBITMAP* b) {
  const unsigned w = FreeImage_GetWidth(a), h = FreeImage_GetHeight(a);
  double squared = 0;
  for (unsigned y = 0; y < h; ++y) {
    const BYTE* p = FreeImage_GetScanLine(a, int(y));
    const BYTE* q = FreeImage_GetScanLine(b, int(y));
    for (unsigned x = 0; x < w * 3; ++x) squared += double(p[x] - q[x]) * (p[x] - q[x]);
  }
  const double mse = squared / (double(w) * h * 3);
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

int comparePsnr(const QStringList& files, QSize size) {
  double worst = 1e9;
  int compared = 0;
  for (const QString& file : files) {
    if (freeimage::GetFileType(QFile::encodeName(file)) != FIF_JPEG) continue;
    Result<freeimage::Bitmap> reduced = rescalePicture(QFile::encodeName(file), size, true);
    Result<freeimage::Bitmap> full = rescalePicture(QFile::encodeName(file), size, false);
    if (!reduced || !full) continue;
    const double value = psnr(reduced->get(), full->get());
    worst = std::min(worst, value);
    ++compared;
    std::printf("%6.2f dB  %s\n", value, qPrintable(QFileInfo(file).fileName()));
  }
  std::printf("JPEGs compared: %d, lowest PSNR: %.2f dB\n", compared, worst);
  if (compared == 0) return fail("no JPEG could be compared");
  return worst > 40 ? 0 : fail("a reduced-size decode lost too much (40 dB at the least)");
}

int compareResampler(const QStringList& files, QSize size) {
  qint64 ours = 0, theirs = 0, differing = 0;
  int compared = 0;
  // The largest difference in each channel: blue, green, red, and grey for
  // the pictures that stay grey.
  int largest[4] = {};
  for (const QString& file : files) {
    const QByteArray path = QFile::encodeName(file);
    freeimage::Bitmap dib = freeimage::Load(freeimage::GetFileType(path), path);
    if (dib && FreeImage_GetBPP(dib.get()) != 24 && FreeImage_GetBPP(dib.get()) != 8)
      dib = freeimage::ToRgb24(dib.get());
    if (!dib) continue;
    QElapsedTimer clock;
    clock.start();
    freeimage::Bitmap a = freeimage::RescaleBSpline(dib.get(), size.width(), size.height());
    ours += clock.nsecsElapsed();
    clock.restart();
    freeimage::Bitmap b = freeimage::Rescale(dib.get(), size.width(), size.height());
    theirs += clock.nsecsElapsed();
    if (!a || !b) continue;
    ++compared;
    const int channels = int(FreeImage_GetBPP(a.get()) / 8), first = channels == 1 ? 3 : 0;
    const unsigned line = FreeImage_GetLine(a.get());
    for (int y = 0; y < size.height(); ++y) {
      const BYTE* p = FreeImage_GetScanLine(a.get(), y);
      const BYTE* q = FreeImage_GetScanLine(b.get(), y);
      for (unsigned x = 0; x < line; ++x) {
        const int difference = std::abs(p[x] - q[x]);
        differing += difference != 0;
        int& channel = largest[first + int(x) % channels];
        channel = std::max(channel, difference);
      }
    }
  }
  std::printf("pictures: %d, ours: %.2f s, library: %.2f s\n", compared, ours / 1e9, theirs / 1e9);
  std::printf("largest difference per channel: blue %d, green %d, red %d, grey %d; differing bytes: %lld\n",
              largest[0], largest[1], largest[2], largest[3], differing);
  if (compared == 0) return fail("no picture could be rescaled both ways");
  return *std::max_element(largest, largest + 4) <= 1 ? 0
                                                     : fail("our rescale is more than one level from the library's");
}

}  // namespace

double processorSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int decodeFloor(const QStringList& files, QSize size) {
  int decoded = 0;
  const double start = processorSeconds();
  for (const QString& file : files) decoded += bool(decodePicture(DecodeRequest{QFile::encodeName(file), size, true, {}, {}}));
  const double spent = processorSeconds() - start;
  const int cores = std::max(1, QThread::idealThreadCount());
  std::printf("pictures decoded: %d of %d\n", decoded, int(files.size()));
  std::printf("decode floor: %.2f s of processor time, %.2f s on %d cores\n", spent, spent / cores, cores);
  return decoded > 0 ? 0 : fail("no picture could be decoded");
}

// Each step of one picture's conversion, as a worker takes them, timed over
// every picture in this process: where a picture's time goes.
int phases(const QStringList& files, QSize size, const QDir& destination) {
  enum { MetadataRead, Decode, Rescale, Encode, MetadataWrite, Write, Count };
  const char* names[Count] = {"metadata read", "decode", "to 24 bits and rescale", "JPEG encode", "metadata write",
                              "temporary, write, sync, rename"};
  qint64 spent[Count] = {};
  int done = 0;
  for (const QString& file : files) {
    const QByteArray path = QFile::encodeName(file);
    qint64 picture[Count] = {};
    QElapsedTimer clock;
    clock.start();
    auto lap = [&](int phase) { picture[phase] = clock.nsecsElapsed(), clock.restart(); };
    const Metadata metadata = Metadata::read(path);
    lap(MetadataRead);
    const DecodeRequest request{path, size, true, metadata.iccProfile(), {}};
    if (!decodePicture(request)) continue;
    lap(Decode);
    std::optional<int> orientation;
    Result<freeimage::Bitmap> rescaled = rescalePicture(request, 0, &orientation);
    if (!rescaled) continue;
    lap(Rescale);
    picture[Rescale] -= picture[Decode];  // it decodes again: its own share is the rest
    QByteArray jpeg = freeimage::EncodeJpeg(rescaled->get(), jpegFlagsForQuality(1));
    lap(Encode);
    metadata.writeInto(jpeg, size, orientation);
    lap(MetadataWrite);
    const QByteArray output = QFile::encodeName(destination.filePath(QFileInfo(file).fileName()));
    Result<QByteArray> temp = createOutputTemp(output);
    if (!temp || !writeOutput(*temp, jpeg)) return fail("an output could not be written");
    syncBeforeReplacing(*temp, output);
    if (!commitOutput(*temp, output)) return fail("an output could not be committed");
    lap(Write);
    for (int i = 0; i < Count; ++i) spent[i] += picture[i];
    ++done;
  }
  qint64 total = 0;
  for (qint64 t : spent) total += t;
  std::printf("pictures: %d; per picture:\n", done);
  for (int i = 0; i < Count; ++i)
    std::printf("  %-32s %7.2f ms  %5.1f %%\n", names[i], spent[i] / 1e6 / std::max(1, done),
                100.0 * spent[i] / std::max<qint64>(1, total));
  return done > 0 ? 0 : fail("no picture was converted");
}

int main(int argc, char* argv[]) {
  // What runs in this process is timed with the allocator the workers use,
  // whose settings are read as a process starts.
  if (const QByteArray tunables = allocatorTunables(qgetenv("GLIBC_TUNABLES")); tunables != qgetenv("GLIBC_TUNABLES")) {
    qputenv("GLIBC_TUNABLES", tunables);
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
      self[length] = '\0';
      ::execv(self, argv);  // under its own name, not "exe"
    }
  }
  QCoreApplication app(argc, argv);
  const QStringList args = app.arguments();
  if (args.size() < 3) {
    std::fprintf(stderr, "usage: convert_bench SOURCE DESTINATION [WIDTHxHEIGHT] [--psnr | --resampler | --floor | --phases]"
                         " [--workers N]\n");
    return 2;
  }
  QSize size(1024, 768);
  if (args.size() > 3 && args[3].contains('x'))
    size = QSize(args[3].section('x', 0, 0).toInt(), args[3].section('x', 1, 1).toInt());
  QStringList files;
  const QDir source(args[1]);
  for (const QString& name : source.entryList(QDir::Files, QDir::Name)) files << source.filePath(name);
  if (size.isEmpty()) return fail("the size is not WIDTHxHEIGHT");
  keepLargeBuffersBetweenPictures();
  if (args.contains(QStringLiteral("--psnr"))) return comparePsnr(files, size);
  if (args.contains(QStringLiteral("--resampler"))) return compareResampler(files, size);
  if (args.contains(QStringLiteral("--floor"))) return decodeFloor(files, size);
  if (args.contains(QStringLiteral("--phases"))) return phases(files, size, QDir(args[2]));

  const QDir destination(args[2]);
  // Outputs older than this were not written by this run.
  const QDateTime started = QDateTime::currentDateTime().addSecs(-1);
  QElapsedTimer clock;
  clock.start();

  // Responsiveness: a timer that should fire every 5 ms; any lateness is
  // time the event loop could not run.
  qint64 lastTick = 0, longestPause = 0, pausedAt = 0;
  QTimer ticker;
  ticker.setTimerType(Qt::PreciseTimer);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    if (lastTick && now - lastTick - 5'000'000 > longestPause) {
      longestPause = now - lastTick - 5'000'000;
      pausedAt = lastTick;
    }
    lastTick = now;
  });
  ticker.start(5);

  // Memory is sampled on a thread of its own, so that reading /proc does
  // not count as a pause of the run's event loop.
  std::atomic<bool> running{true};
  // What this process held before the run is not the run's: the budget is
  // of memory the run may take on top.
  const qint64 heldKb = residentKbOfAll();
  WorkerPool::Options pool;
  pool.memoryBudgetBytes = runBudget(availableMemory());
  // One worker alone shows what the workers cost beside --phases.
  if (const qsizetype at = args.indexOf(QStringLiteral("--workers")); at > 0 && at + 1 < args.size())
    pool.workers = args[at + 1].toInt();
  qint64 peakKb = 0, peakSummedKb = 0;
  std::thread sampler([&] {
    for (qint64 summedKb = 0; running; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
      peakKb = std::max(peakKb, residentKbOfAll(&summedKb));
      peakSummedKb = std::max(peakSummedKb, summedKb);
    }
  });

  mod_code::ImageQueue queue;
  for (const QString& file : files) queue.append(QFile::encodeName(file));
  BatchRun run(queue, {QFile::encodeName(destination.path()) + '/', size, jpegFlagsForQuality(1), pool});
  int written = -1;
  bool destinationFailed = false;
  std::set<int> failed;
  auto tell = [&](int position, const QByteArray& path, const QString& reason) {
    failed.insert(position);
    std::printf("failed: %s: %s\n", path.constData(), qPrintable(reason));
  };
  run.run({.notRescaled = tell,
           .progress = [](int, float) {},
           .notWritten = tell,
           .destinationFailed =
               [&](int, const QString& reason, int) {
                 destinationFailed = true;
                 std::printf("destination failed: %s\n", qPrintable(reason));
               },
           .finished = [&](int done, int) { written = done; }});
  const qint64 end = clock.nsecsElapsed();
  // The stretch since the last tick is a pause too; had the run never let
  // the loop run, it would be the whole run.
  if (end - lastTick - 5'000'000 > longestPause) {
    longestPause = end - lastTick - 5'000'000;
    pausedAt = lastTick;
  }
  running = false;
  sampler.join();
  std::printf("pictures: %d, written: %d, failed: %d\n", int(files.size()), written, int(failed.size()));
  std::printf("wall time: %.2f s\n", end / 1e9);
  std::printf("peak memory of all Dimenzo processes: %.0f MB (%.0f MB held before the run; %.0f MB as the sum of "
              "their resident sizes)\n",
              peakKb / 1024.0, heldKb / 1024.0, peakSummedKb / 1024.0);
  std::printf("memory budget: %.0f MB\n", pool.memoryBudgetBytes / 1048576.0);
  std::printf("longest event-loop pause: %.2f ms, %.2f s into the run\n", longestPause / 1e6, pausedAt / 1e9);

  if ((peakKb - heldKb) * 1024 > pool.memoryBudgetBytes) return fail("the run took more memory than its budget");
  if (destinationFailed) return fail("the destination failed");
  if (written <= 0) return fail("no picture was written");
  if (written + int(failed.size()) != int(files.size()))
    return fail("some pictures were neither written nor reported as failed");
  for (int i = 0; i < queue.ImageCount(); ++i) {
    if (failed.count(i)) continue;
    QFile output(QFile::decodeName(run.outputPath(i)));
    if (!output.open(QIODevice::ReadOnly) || !output.read(2).startsWith("\xff\xd8") ||
        output.fileTime(QFileDevice::FileModificationTime) < started)
      return fail(qPrintable("no new JPEG at " + output.fileName()));
  }
  return 0;
}
