// The run as an engine, without a window: what it tells and in what order,
// what it writes, and how it survives workers that crash, hang, run out of
// room or outlive it.

#include "convert/BatchRun.h"
#include "queue/Paths.h"
#include "queue/mod_code.h"
#include "support/Pictures.h"

#include <QtTest>

#include <csignal>

#include <zlib.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A queue, its pictures, a destination and the run's account of itself.
struct Batch {
  QTemporaryDir sources, destination;
  mod_code::ImageQueue queue;
  WorkerPool::Options pool;
  QStringList events;
  std::function<void(int)> atProgress = [](int) {};

  QString add(const QString& name, QSize size = QSize(64, 48)) {
    const QString path = QDir(sources.path()).filePath(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!pictures::make(path, size)) qWarning("could not make %s", qPrintable(path));
    queue.append(QFile::encodeName(path));
    return path;
  }
  QString output(const QString& name) const { return QDir(destination.path()).filePath(name); }

  void run(const QString& into = QString()) {
    const QString folder = into.isEmpty() ? destination.path() : into;
    BatchRun batch(queue, {QFile::encodeName(folder) + '/', QSize(160, 120), JPEG_QUALITYNORMAL, pool});
    auto tell = [&](const char* what) {
      return [&, what](int i, const QByteArray& path, const QString& reason) {
        events << QString("%1 %2 %3: %4").arg(what).arg(i).arg(QFileInfo(displayPath(path)).fileName(), reason);
      };
    };
    batch.run({.notRescaled = tell("no reescalada"),
               .progress = [&](int i, float percent) {
                 events << QString("progreso %1 %2").arg(i).arg(percent, 0, 'f', 1);
                 atProgress(i);
               },
               .notWritten = tell("no guardada"),
               .destinationFailed = [&](int i, const QString& reason,
                                        int written) { events << QString("destino %1 %2: %3").arg(i).arg(written).arg(reason); },
               .finished = [&](int written, int total) { events << QString("fin %1 de %2").arg(written).arg(total); }});
  }
};

void signalWorkers(int signal) {
  for (qint64 pid : pictures::workerPids()) ::kill(pid_t(pid), signal);
}

ConvertResult awaitResult(WorkerPool& pool, int ticket) {
  std::optional<ConvertResult> result;
  while (!(result = pool.take(ticket))) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  return *result;
}

bool running(qint64 pid) {
  QFile stat(QString("/proc/%1/stat").arg(pid));
  return stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z ");
}

qint64 peakBytes(qint64 pid) {
  QFile status(QString("/proc/%1/status").arg(pid));
  if (!status.open(QIODevice::ReadOnly)) return 0;
  const QByteArray text = status.readAll();
  return text.mid(text.indexOf("VmPeak:") + 7).trimmed().split(' ').value(0).toLongLong() * 1024;
}

// Makes a file that not even root may replace; false where the file system
// or the user cannot.
bool setImmutable(const QString& path, bool on) {
  QProcess chattr;
  chattr.start("chattr", {on ? "+i" : "-i", path});
  return chattr.waitForFinished() && chattr.exitStatus() == QProcess::NormalExit && chattr.exitCode() == 0;
}

// The other process of the test that kills a run: a run of the pictures
// given into the folder given, whose first picture never ends. It tells
// its workers once they are at work, then waits to be killed.
int runUntilKilled(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  Batch b;
  for (int i = 3; i < argc; ++i) b.queue.append(argv[i]);
  b.sources.remove();
  b.destination.setAutoRemove(false);
  std::printf("%s\n", qPrintable(b.destination.path()));
  QTimer::singleShot(1000, [] {
    for (qint64 pid : pictures::workerPids()) std::printf("%lld\n", pid);
    std::fflush(stdout);
  });
  b.run();
  return 0;
}

}  // namespace

class BatchRunTest : public QObject {
  Q_OBJECT

 private slots:
  // Before a run: the outputs that would replace a queued picture's own
  // file, whatever path leads to its folder, once per file; and pictures of
  // one name, of which only the last output would remain.
  void overwritesAreFoundBeforeTheRun() {
    Batch b;
    const QString src = b.sources.path();
    b.add("fotos/playa.png");
    b.add("fotos/sol.png");
    b.add("2023/IMG_0001.png");
    b.add("2024/IMG_0001.png");
    b.queue.append(QFile::encodeName(src + "/fotos/playa.png"));  // the same picture again
    QVERIFY(pictures::make(src + "/fotos/mar.png", QSize(8, 8)));
    QVERIFY(QDir().mkpath(src + "/enlaces"));
    QVERIFY(QFile::link(src + "/fotos/mar.png", src + "/enlaces/mar.png"));
    b.queue.append(QFile::encodeName(src + "/enlaces/mar.png"));
    QVERIFY(QFile::link(src + "/fotos", src + "/atajo"));
    auto at = [&](const QString& folder) {
      const BatchRun::Overwrites found =
          BatchRun(b.queue, {QFile::encodeName(folder) + '/', QSize(160, 120), 0, {}}).overwrites();
      return std::pair{found.originals, found.sharedNames};
    };
    using Positions = QList<int>;
    // A link standing where an output goes is replaced, not what it leads to.
    QVERIFY(QFile::link(src + "/fotos/sol.png", b.output("sol.png")));
    QCOMPARE(at(b.destination.path()), std::pair(Positions{}, Positions{2, 3}));
    QCOMPARE(at(src + "/fotos"), std::pair(Positions{0, 1, 5}, Positions{2, 3}));
    QCOMPARE(at(src + "/atajo"), at(src + "/fotos"));
    QCOMPARE(at(src + "/2024"), std::pair(Positions{2}, Positions{2, 3}));
  }

  // Pictures dropped during the run are converted when it gets to them,
  // and count in the percentage from the next picture on.
  void lateDropsAreConverted() {
    Batch b;
    b.add("a.png");
    b.add("b.png");
    b.atProgress = [&](int i) {
      if (i == 0) b.add("tarde.png");
    };
    b.run();
    QCOMPARE(b.events, (QStringList{"progreso 0 50.0", "progreso 1 66.7", "progreso 2 100.0", "fin 3 de 3"}));
    QCOMPARE(pictures::entries(b.destination.path()), (QStringList{"a.png", "b.png", "tarde.png"}));
  }

  // A write past the file-size limit is a picture not saved; the file that
  // stood there stays whole and no temporary is left.
  void writesFailAsWrites() {
    Batch b;
    b.add("grande.png", QSize(1024, 768));
    QFile old(b.output("grande.png"));
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write("la foto de antes") > 0);
    old.close();
    rlimit saved{}, small{1000, RLIM_INFINITY};  // as if the disk were full
    getrlimit(RLIMIT_FSIZE, &saved);
    setrlimit(RLIMIT_FSIZE, &small);
    b.run();
    setrlimit(RLIMIT_FSIZE, &saved);
    QCOMPARE(b.events, (QStringList{"progreso 0 100.0", "no guardada 0 grande.png: El archivo es demasiado grande.",
                                    "fin 0 de 1"}));
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("la foto de antes"));
    QCOMPARE(pictures::entries(b.destination.path()), QStringList{"grande.png"});
  }

  // When the destination itself fails, the run stops at once with one word.
  void destinationFailureStopsTheRun() {
    Batch b;
    for (const char* name : {"a.png", "b.png", "c.png"}) b.add(name);
    b.atProgress = [&](int) { QDir(b.destination.path()).removeRecursively(); };
    b.run();
    QCOMPARE(b.events, (QStringList{"progreso 0 33.3", "destino 0 0: No existe el archivo o el directorio."}));
    // A picture that reaches a worker once the folder has gone fails as a
    // write, with the system's error, for the run to tell the destination.
    WorkerPool pool(b.pool);
    pool.submit(0, {QFile::encodeName(b.add("d.png")), QFile::encodeName(b.output("d.png")), {}, QSize(8, 8), 0});
    const ConvertResult result = awaitResult(pool, 0);
    QCOMPARE(result.outcome, ConvertResult::Outcome::NotWritten);
    QCOMPARE(result.error, ENOENT);
  }

  // Damaged pictures that crash the library, loop it or make it allocate
  // without end cost one picture each, with a reason; everything else is
  // converted. So do a phone's pictures damaged, for the HEIF and JPEG XL
  // libraries.
  void hostilePicturesCostOnlyThemselves() {
    Batch b;
    b.pool.baseTimeLimitMs = 4000;
    const QDir samples(QStringLiteral(DIMENZO_TESTDATA "/hostile"));
    QStringList hostile = samples.entryList({"*.ico", "*.dds", "*.exr"}, QDir::Files);
    QCOMPARE(hostile.size(), 4);
    QStringList paths;
    for (const QString& name : hostile) paths << samples.filePath(name);
    // Noise, which leaves the encoders plenty of bytes to damage.
    const freeimage::Bitmap photo = pictures::noise(QSize(256, 192), 24, 7);
    for (const pictures::Codec codec : {pictures::Codec::Hevc, pictures::Codec::Jxl}) {
      // Bytes of the compressed picture scrambled, past the headers.
      QByteArray damaged = pictures::encoded(photo.get(), codec);
      QVERIFY2(damaged.size() > 2000, qPrintable(QString::number(damaged.size())));
      for (qsizetype i = damaged.size() / 2; i < damaged.size(); i += 7) damaged[i] = char(damaged[i] * 31 + 5);
      const QString name = codec == pictures::Codec::Jxl ? "dañada.jxl" : "dañada.heic";
      hostile << name;
      paths << QDir(b.sources.path()).filePath(name);
      QVERIFY(pictures::write(paths.constLast(), damaged));
    }
    for (int i = 0; i < hostile.size(); ++i) {
      b.add("antes-" + hostile[i] + ".png");
      b.queue.append(QFile::encodeName(paths[i]));
    }
    b.run();
    QCOMPARE(b.events.constLast(), QString("fin %1 de 12").arg(pictures::entries(b.destination.path()).size()));
    for (const QString& name : hostile) {
      QVERIFY(pictures::entries(b.destination.path()).contains("antes-" + name + ".png"));
      const QStringList told = b.events.filter("no reescalada").filter(name + ": ");
      QVERIFY2(told.size() != int(QFile::exists(b.output(name))), qPrintable(name));
    }
    QTRY_VERIFY(pictures::workerPids().isEmpty());
  }

  // A worker that ran out of memory leaves for a fresh one, and the picture
  // after it goes to that one. Only a failed allocation is blamed on memory:
  // a damaged picture in a worker already near its cap is damaged.
  void aRetiringWorkerLosesNoPicture() {
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("Workers have no memory cap under AddressSanitizer.");
#endif
    Batch b;
    b.pool.workers = 1;
    qint64 peak = 0;  // what a worker takes for a small picture
    {
      WorkerPool pool(b.pool);
      pool.submit(0, {QFile::encodeName(b.add("medida.png")), QFile::encodeName(b.output("medida.png")), {}, QSize(8, 8), 0});
      QVERIFY(awaitResult(pool, 0).outcome == ConvertResult::Outcome::Written);
      peak = peakBytes(pictures::workerPids().value(0));
    }
    b.queue.clear();
    b.pool.memoryCapBytes = peak + (6 << 20);
    QFile damaged(b.add("rota.png"));
    QVERIFY(damaged.resize(damaged.size() / 2));
    const QString large = QDir(b.sources.path()).filePath("grande.png");
    QVERIFY(FreeImage_Save(FIF_PNG, freeimage::Bitmap(FreeImage_Allocate(6000, 6000, 8)).get(), QFile::encodeName(large), 0));
    b.queue.append(QFile::encodeName(large));
    b.add("pequeña.png");
    b.run();
    QVERIFY2(b.events.value(0).startsWith("no reescalada 0 rota.png: El archivo está dañado"), qPrintable(b.events.value(0)));
    QCOMPARE(b.events.mid(1), (QStringList{"progreso 0 33.3", "no reescalada 1 grande.png: Ha necesitado más memoria de la permitida.",
                                           "progreso 1 66.7", "progreso 2 100.0", "fin 1 de 3"}));
  }

  // A file that cannot be replaced (another user's in a shared folder, an
  // immutable one) is one picture not saved; the folder still takes the rest.
  void oneLockedFileDoesNotStopTheRun() {
    Batch b;
    for (const char* name : {"a.png", "b.png", "c.png"}) b.add(name);
    QFile(b.output("b.png")).open(QIODevice::WriteOnly);
    if (!setImmutable(b.output("b.png"), true)) QSKIP("Immutable files need root and a file system that has them.");
    b.run();
    setImmutable(b.output("b.png"), false);
    QCOMPARE(b.events, (QStringList{"progreso 0 33.3", "progreso 1 66.7", "no guardada 1 b.png: Permiso denegado.",
                                    "progreso 2 100.0", "fin 2 de 3"}));
  }

  // Time limits count processor time: a worker held up for longer than
  // its limit, as on a loaded machine, still converts its picture. A format
  // that tells its size only once decoded (GIF) is given time by its size
  // in bytes: with next to no base time, a GIF of a few hundred kilobytes
  // still converts.
  void timeLimitsCostNoPicture() {
    Batch b;
    b.pool.baseTimeLimitMs = 1000;
    b.pool.workers = 1;
    const QByteArray source = QFile::encodeName(b.add("foto.png"));
    {
      WorkerPool pool(b.pool);
      QTRY_COMPARE(pictures::workerPids().size(), 1);  // started, under its own name
      signalWorkers(SIGSTOP);
      pool.submit(0, {source, QFile::encodeName(b.output("foto.png")), {}, QSize(8, 8), 0});
      QTimer::singleShot(2500, [] { signalWorkers(SIGCONT); });
      QCOMPARE(awaitResult(pool, 0).outcome, ConvertResult::Outcome::Written);
    }
    b.queue.clear();
    b.pool.baseTimeLimitMs = 1;
    const QString gif = QDir(b.sources.path()).filePath("ruido.gif");
    QVERIFY(FreeImage_Save(FIF_GIF, pictures::noise(QSize(700, 500), 8, 7).get(), QFile::encodeName(gif), 0));
    b.queue.append(QFile::encodeName(gif));
    b.run();
    QCOMPARE(b.events, (QStringList{"progreso 0 100.0", "fin 1 de 1"}));
  }

  // What the libraries print on standard output does not reach the
  // conversation with the worker, and a library that loops without end is
  // stopped at the picture's processor time; one that is only slow on a
  // large file has the time its bytes earn it.
  void unrulyLibrariesCostOnlyTheirPicture() {
    Batch b;
    b.pool.baseTimeLimitMs = 1000;
    b.pool.wallTimeFactor = 60;  // however loaded the machine, the processor limit comes first
    b.pool.workers = 1;
    b.add("bucle.png");
    const QString slow = QDir(b.sources.path()).filePath("lento.gif");
    QVERIFY(FreeImage_Save(FIF_GIF, pictures::noise(QSize(700, 500), 8, 7).get(), QFile::encodeName(slow), 0));
    QVERIFY(QFileInfo(slow).size() > 300'000);  // 3 s more than the base
    b.queue.append(QFile::encodeName(slow));
    b.add("foto.png");
    // On a loaded machine the spinning worker still gets the processor (where
    // the test may raise its priority), so that its processor time runs out
    // before the wall clock's deadline does.
    QTimer priority;
    connect(&priority, &QTimer::timeout, [] {
      for (qint64 pid : pictures::workerPids()) ::setpriority(PRIO_PROCESS, id_t(pid), -20);
    });
    priority.start(10);
    const QByteArray asan = qgetenv("ASAN_OPTIONS");
    qputenv("LD_PRELOAD", UNRULY_LIBRARY);
    qputenv("ASAN_OPTIONS", asan + ":verify_asan_link_order=0");
    b.run();
    qunsetenv("LD_PRELOAD");
    qputenv("ASAN_OPTIONS", asan);
    QCOMPARE(b.events, (QStringList{"no reescalada 0 bucle.png: Ha necesitado más tiempo del permitido (1 s de proceso).",
                                    "progreso 0 33.3", "progreso 1 66.7", "progreso 2 100.0", "fin 2 de 3"}));
  }

  // The pool's end tells its idle workers to go and returns: the window
  // never waits for a worker to die.
  void endOfRunDoesNotWaitForItsWorkers() {
    QTemporaryDir bin;
    QFile slow(bin.filePath("dimenzo-worker"));
    QVERIFY(slow.open(QIODevice::WriteOnly) && slow.write("#!/bin/sh\nsleep 20\n") > 0);
    slow.close();
    QVERIFY(slow.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    qint64 pid = 0;
    {
      WorkerPool pool({slow.fileName(), 1});
      QTRY_VERIFY((pid = pictures::workerPids().value(0)) != 0);
    }
    QVERIFY(running(pid));
    QTRY_VERIFY_WITH_TIMEOUT(!running(pid), 15000);  // killed once its grace is over
  }

  // Memory is held to the run's budget: pictures that each need more than
  // half of it run one at a time, and all convert; a picture that needs more
  // than all of it is refused untried, its 16-bit pixels counted at their
  // width.
  void memoryBudgetDecidesWhatRunsTogether() {
    Batch b;
    b.pool.workers = 2;
    b.pool.memoryBudgetBytes = qint64(200) << 20;
    QList<QByteArray> large;  // 16 megapixels of grey: over 100 MB each, with their colour copy
    for (const char* name : {"a.png", "b.png"}) {
      large << QFile::encodeName(QDir(b.sources.path()).filePath(name));
      QVERIFY(FreeImage_Save(FIF_PNG, freeimage::Bitmap(FreeImage_Allocate(4000, 4000, 8)).get(), large.constLast(), 0));
    }
    {
      WorkerPool pool(b.pool);
      qint64 most = 0;
      QTimer watch;
      connect(&watch, &QTimer::timeout, [&] { most = std::max(most, pool.memoryInUse()); });
      watch.start(1);
      for (int i = 0; i < 2; ++i) pool.submit(i, {large[i], QFile::encodeName(b.output(QString::number(i))), {}, QSize(8, 8), 0});
      for (int i = 0; i < 2; ++i) QCOMPARE(awaitResult(pool, i).outcome, ConvertResult::Outcome::Written);
      QVERIFY2(most > 0 && most <= b.pool.memoryBudgetBytes, qPrintable(QString::number(most)));
    }

    // 8000 x 6000 of 16-bit colour, as its header claims: 432 MB at the least.
    const QByteArray claim = QFile::encodeName(QDir(b.sources.path()).filePath("grande.png"));
    QVERIFY(FreeImage_Save(FIF_PNG, pictures::make(QSize(80, 60), pictures::Kind::Rgb48).get(), claim, 0));
    QFile file(QFile::decodeName(claim));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    qToBigEndian(quint32(8000), bytes.data() + 16);
    qToBigEndian(quint32(6000), bytes.data() + 20);
    qToBigEndian(quint32(crc32(0, reinterpret_cast<const Bytef*>(bytes.constData() + 12), 17)), bytes.data() + 29);
    QVERIFY(file.seek(0) && file.write(bytes) == bytes.size());
    file.close();
    b.pool.memoryBudgetBytes = qint64(480) << 20;  // of which the two workers' own leave less than 432 MB
    WorkerPool pool(b.pool);
    pool.submit(0, {claim, QFile::encodeName(b.output("grande.png")), {}, QSize(8, 8), 0});
    const QString reason = awaitResult(pool, 0).reason;
    QVERIFY2(reason.startsWith("Necesita ") &&
                 reason.endsWith(QString(" MB de memoria y este equipo sólo puede dar %1 MB a la conversión.").arg(pool.budget() >> 20)),
             qPrintable(reason));
  }

  // A worker that dies is replaced: with a single worker the run still
  // reaches the picture after the one it died on. Dead while it writes,
  // it has not saved its picture.
  void deadWorkerIsReplaced() {
    Batch b;
    b.pool.workers = 1;
    const QByteArray fifo = QFile::encodeName(QDir(b.sources.path()).filePath("tubo.png"));  // blocks the worker that opens it
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    b.queue.append(fifo);
    const QByteArray photo = QFile::encodeName(b.add("foto.png"));
    QTimer::singleShot(300, [] { signalWorkers(SIGKILL); });
    b.run();
    QCOMPARE(b.events, (QStringList{"no reescalada 0 tubo.png: La biblioteca de imágenes ha fallado al leerla.",
                                    "progreso 0 50.0", "progreso 1 100.0", "fin 1 de 2"}));
    WorkerPool pool(b.pool);
    pool.submit(0, {photo, fifo + ".jpg", fifo, QSize(8, 8), 0});  // its temporary file the FIFO
    QTimer::singleShot(1500, [] { signalWorkers(SIGKILL); });
    const ConvertResult result = awaitResult(pool, 0);
    QCOMPARE(result.outcome, ConvertResult::Outcome::NotWritten);
    QCOMPARE(result.reason, "El proceso de conversión se ha detenido al escribirla.");
  }

  // Results nobody took, and pictures still being made, leave nothing
  // behind when the pool goes (as when the window is closed mid-run).
  void untakenResultsLeaveNothingBehind() {
    Batch b;
    const QByteArray source = QFile::encodeName(b.add("a.png"));
    QByteArray taken;
    {
      b.pool.workers = 1;
      WorkerPool pool(b.pool);
      auto submit = [&](int ticket) {
        pool.submit(ticket, {source, QFile::encodeName(b.output(QString("%1.png").arg(ticket))), {}, QSize(8, 8), 0});
      };
      for (int ticket = 0; ticket < 5; ++ticket) submit(ticket);
      taken = awaitResult(pool, 4).tempPath;  // one worker works in order: 0 to 3 are done, untaken
      for (int ticket = 5; ticket < 9; ++ticket) submit(ticket);
    }
    QTRY_COMPARE(pictures::entries(b.destination.path()), QStringList{QFileInfo(QFile::decodeName(taken)).fileName()});
  }

  // Killed mid-run, a program takes its workers with it; what it left in
  // the destination goes with the next run there, but what a live run is
  // writing stays.
  void workersAndLeftoversEndWithTheProgram() {
    Batch b;
    const QString fifo = QDir(b.sources.path()).filePath("tubo");  // its worker waits on it for ever
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QProcess program;
    program.start(QCoreApplication::applicationFilePath(), {"--run-until-killed", "-", fifo, b.add("a.png"), b.add("b.png")});
    QStringList told;  // its destination, then its workers
    while (told.size() < 2 && program.waitForReadyRead(10000))
      told += QString::fromLocal8Bit(program.readAll()).split('\n', Qt::SkipEmptyParts);
    QVERIFY(told.size() >= 2);
    program.kill();
    program.waitForFinished();
    const QString left = told.takeFirst();
    auto anyRunning = [&] { return std::any_of(told.begin(), told.end(), [](auto& pid) { return running(pid.toLongLong()); }); };
    QTRY_VERIFY_WITH_TIMEOUT(!anyRunning(), 3000);
    auto temporaries = [&] { return QDir(left).entryList({".dimenzo-*"}, QDir::Hidden | QDir::Files).size(); };
    QCOMPARE(temporaries(), 3);

    b.pool.workers = 1;
    WorkerPool alive(b.pool);
    alive.submit(0, {QFile::encodeName(fifo), QFile::encodeName(left + "/vivo.png"), {}, QSize(8, 8), 0});
    b.run(left);
    QCOMPARE(temporaries(), 1);
    QCOMPARE(b.events.constLast(), QString("fin 2 de 2"));
    QDir(left).removeRecursively();
  }
};

int main(int argc, char* argv[]) {
  if (argc > 2 && qstrcmp(argv[1], "--run-until-killed") == 0) return runUntilKilled(argc, argv);
  QCoreApplication app(argc, argv);
  BatchRunTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "tst_batchrun.moc"
