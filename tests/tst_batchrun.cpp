// The run as an engine, without a window: what it tells and in what order,
// what it writes, and how it survives workers that crash, hang or run out
// of room.

#include "convert/BatchRun.h"
#include "queue/mod_code.h"
#include "support/Pictures.h"

#include <QtTest>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>

using Kind = pictures::Kind;

namespace {

// A queue, its pictures, a destination and the run's account of itself.
struct Batch {
  QTemporaryDir sources, destination;
  mod_code::ImageQueue queue;
  WorkerPool::Options pool;
  QStringList events;
  std::function<void(BatchRun&, int)> atProgress = [](BatchRun&, int) {};

  QString add(const QString& name, QSize size = QSize(64, 48), Kind kind = Kind::Rgb24) {
    const QString path = QDir(sources.path()).filePath(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!pictures::make(path, size, FIF_PNG, kind)) qWarning("could not make %s", qPrintable(path));
    queue.append(path);
    return path;
  }
  QString output(const QString& name) const { return QDir(destination.path()).filePath(name); }

  void run() {
    BatchRun batch(queue, {destination.path() + '/', QSize(160, 120), JPEG_QUALITYNORMAL, pool});
    auto tell = [&](const char* what) {
      return [&, what](int i, const QString& path, const QString&) {
        events << QString("%1 %2 %3").arg(what).arg(i).arg(QFileInfo(path).fileName());
      };
    };
    batch.run({.notRescaled = tell("no reescalada"),
               .progress = [&](int i, float percent) {
                 events << QString("progreso %1 %2").arg(i).arg(percent, 0, 'f', 1);
                 atProgress(batch, i);
               },
               .notWritten = tell("no guardada"),
               .finished = [&](int written, int total) { events << QString("fin %1 de %2").arg(written).arg(total); }});
  }
};

// While it lives, no file this process or its workers write can grow past
// a kilobyte, as if the disk were full.
struct DiskFull {
  rlimit saved{}, small{1000, RLIM_INFINITY};
  DiskFull() { getrlimit(RLIMIT_FSIZE, &saved), std::signal(SIGXFSZ, SIG_IGN), setrlimit(RLIMIT_FSIZE, &small); }
  ~DiskFull() { setrlimit(RLIMIT_FSIZE, &saved), std::signal(SIGXFSZ, SIG_DFL); }
};

}  // namespace

class BatchRunTest : public QObject {
  Q_OBJECT

 private slots:
  // Workers finish in any order; the run applies and tells in queue order,
  // so of two pictures of one name the later one's output stays.
  void appliesResultsInQueueOrder() {
    Batch b;
    b.pool.workers = 2;
    b.add("grande.png", QSize(3000, 2000));
    QFile::remove(b.add("borrada.png"));
    b.add("uno/foto.png", QSize(1500, 1000), Kind::Rgba32);
    b.add("dos/foto.png");
    b.add("última.png");
    b.run();
    QCOMPARE(b.events, (QStringList{"progreso 0 20.0", "no reescalada 1 borrada.png", "progreso 1 40.0",
                                    "progreso 2 60.0", "progreso 3 80.0", "progreso 4 100.0", "fin 4 de 5"}));
    QCOMPARE(pictures::entries(b.destination.path()), (QStringList{"foto.png", "grande.png", "última.png"}));
    for (const QString& name : pictures::entries(b.destination.path()))
      QCOMPARE(pictures::inspect(b.output(name)).size, QSize(160, 120));
    QVERIFY(qBlue(pictures::pixel(b.output("foto.png"), 20, 60)) > 100);  // the ramp, not the red
  }

  // Pictures added during the run wait for the next one, but count in the
  // percentage from the next picture on.
  void lateAdditionsCountInTheDivisor() {
    Batch b;
    b.add("a.png");
    b.add("b.png");
    b.atProgress = [&](BatchRun&, int i) {
      if (i == 0) b.add("tarde.png");
    };
    b.run();
    QCOMPARE(b.events, (QStringList{"progreso 0 50.0", "progreso 1 66.7", "fin 2 de 2"}));
    QCOMPARE(pictures::entries(b.destination.path()), (QStringList{"a.png", "b.png"}));
  }

  // A write that fails is told; the file that stood there stays whole and
  // no temporary is left.
  void failedWritesHarmNothing() {
    Batch b;
    b.add("grande.png", QSize(1024, 768));
    QFile old(b.output("grande.png"));
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write("la foto de antes") > 0);
    old.close();
    {
      DiskFull full;
      b.run();
    }
    QCOMPARE(b.events, (QStringList{"progreso 0 100.0", "no guardada 0 grande.png", "fin 0 de 1"}));
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("la foto de antes"));
    QCOMPARE(pictures::entries(b.destination.path()), QStringList{"grande.png"});
  }

  // Damaged pictures that crash the library, loop it or make it allocate
  // without end cost one picture each; everything else is converted.
  void hostilePicturesCostOnlyThemselves() {
    Batch b;
    b.pool.baseTimeLimitMs = 4000;
    const QDir samples(QStringLiteral(DIMENZO_TESTDATA "/hostile"));
    const QStringList hostile = samples.entryList({"*.ico", "*.dds", "*.exr"}, QDir::Files);
    QCOMPARE(hostile.size(), 4);
    for (const QString& name : hostile) {
      b.add("antes-" + name + ".png");
      b.queue.append(samples.filePath(name));
    }
    b.run();
    QCOMPARE(b.events.constLast(), QString("fin %1 de 8").arg(pictures::entries(b.destination.path()).size()));
    for (const QString& name : hostile) {
      QVERIFY(pictures::entries(b.destination.path()).contains("antes-" + name + ".png"));
      const bool told = b.events.filter("no reescalada").filter(name).size() == 1;
      QVERIFY2(told != QFile::exists(b.output(name)), qPrintable(name));
    }
    QVERIFY2(b.events.filter("no reescalada").size() >= 2, "the endless loops are cut short");
    QVERIFY(pictures::workerPids().isEmpty());
  }

  // A worker that dies is replaced: with a single worker the run still
  // reaches the picture after the one it died on.
  void deadWorkerIsReplaced() {
    Batch b;
    b.pool.workers = 1;
    const QString fifo = QDir(b.sources.path()).filePath("tubo.png");  // blocks the worker that opens it
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    b.queue.append(fifo);
    b.add("foto.png");
    QTimer::singleShot(300, [] {
      for (qint64 pid : pictures::workerPids()) ::kill(pid_t(pid), SIGKILL);
    });
    b.run();
    QCOMPARE(b.events,
             (QStringList{"no reescalada 0 tubo.png", "progreso 0 50.0", "progreso 1 100.0", "fin 1 de 2"}));
  }

  // Stopped mid-run, the run finishes the picture in hand and tells
  // nothing more; the workers go and take their unfinished files along.
  void stopFinishesThePictureInHand() {
    Batch b;
    for (const char* name : {"a.png", "b.png", "c.png"}) b.add(name);
    b.atProgress = [](BatchRun& run, int) { run.stop(); };
    b.run();
    QCOMPARE(b.events, QStringList{"progreso 0 33.3"});
    QCOMPARE(pictures::entries(b.destination.path()).join(","), QString("a.png"));
    QVERIFY(pictures::workerPids().isEmpty());
  }

  // Results nobody took, and pictures still being made, leave nothing
  // behind when the pool goes.
  void untakenResultsLeaveNoTemporaries() {
    Batch b;
    const QString source = b.add("foto.png");
    QString taken;
    {
      b.pool.workers = 1;
      WorkerPool pool(b.pool);
      for (int ticket = 0; ticket < 5; ++ticket)
        pool.submit(ticket, {source, b.output(QString("%1.png").arg(ticket)), QString(), QSize(8, 8), 0});
      std::optional<ConvertResult> last;
      while (!(last = pool.take(4))) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
      taken = last->tempPath;  // one worker works in order: 0 to 3 are done, untaken
      for (int ticket = 5; ticket < 9; ++ticket)
        pool.submit(ticket, {source, b.output(QString("%1.png").arg(ticket)), QString(), QSize(8, 8), 0});
    }
    QCOMPARE(pictures::entries(b.destination.path()), QStringList{QFileInfo(taken).fileName()});
  }
};

QTEST_GUILESS_MAIN(BatchRunTest)
#include "tst_batchrun.moc"
