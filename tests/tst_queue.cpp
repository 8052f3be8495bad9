// The queue's rules, paths, folder listings and the run's arithmetic: the
// core, without a window.

#include "convert/Failure.h"
#include "convert/MemoryBudget.h"
#include "convert/RunMath.h"
#include "queue/FolderListing.h"
#include "queue/Paths.h"
#include "queue/mod_code.h"
#include "support/Pictures.h"

#include <QtTest>

#include <sys/stat.h>

class QueueTest : public QObject {
  Q_OBJECT
  QTemporaryDir dir;

 private slots:
  // Files and subfolders in name order; a link to a folder is a subfolder.
  // Only regular files the library recognises join the queue: a FIFO is a
  // file, but never opened (that would block); a link to a picture is one.
  void foldersListAndOnlyPicturesJoin() {
    QVERIFY(QDir().mkpath(dir.filePath("lista/sub")) && QDir().mkpath(dir.filePath("lista/otra")));
    QVERIFY(pictures::write(dir.filePath("lista/a.txt"), "notas"));
    QVERIFY(pictures::make(dir.filePath("lista/b.png"), QSize(40, 30)));
    QVERIFY(QFile::link(dir.filePath("lista/b.png"), dir.filePath("lista/d.png")));
    QVERIFY(QFile::link(dir.filePath("lista/sub"), dir.filePath("lista/enlace")));
    QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("lista/tubo")).constData(), 0600), 0);
    const QByteArray lista = QFile::encodeName(dir.filePath("lista/"));
    Result<FolderListing> listing = listFolder(lista);
    QVERIFY(listing);
    QCOMPARE(listing->files, (QList<QByteArray>{lista + "a.txt", lista + "b.png", lista + "d.png", lista + "tubo"}));
    QCOMPARE(listing->subfolders, (QList<QByteArray>{lista + "enlace", lista + "otra", lista + "sub"}));
    QCOMPARE(listFolder(lista + "no").reason(), "No se puede leer la carpeta " + dir.filePath("lista/no") +
                                                    ": No existe el archivo o el directorio.");
    QList<bool> accepted;
    // A name with a NUL byte in it (a dropped "%00") names no file, though
    // the system would read it only up to the NUL: "b.png".
    for (const QByteArray& path :
         listing->files + QList<QByteArray>{lista + "otra", lista + "no", lista + "b.png" + '\0' + "x"})
      accepted << isPicture(path);
    QCOMPARE(accepted, (QList<bool>{false, true, true, false, false, false, false}));
  }

  // What a run may take: the machine's available memory, or less where a
  // memory cgroup (v1 or v2, its own or a parent's limit) leaves less.
  void budgetIsWhatTheMachineAndItsGroupsLeave() {
    QTemporaryDir root;
    auto write = [&](const QString& file, const QByteArray& text) {
      QDir().mkpath(QFileInfo(root.filePath(file)).absolutePath());
      QVERIFY(pictures::write(root.filePath(file), text));
    };
    const QByteArray at = QFile::encodeName(root.path());
    constexpr qint64 GiB = qint64(1) << 30;
    write("proc/meminfo", "MemTotal:       16000000 kB\nMemAvailable:    4194304 kB\n");
    write("proc/self/cgroup", "4:memory:/app/run\n0::/user/app\n");
    QCOMPARE(availableMemory(at), 4 * GiB);
    write("sys/fs/cgroup/memory/app/run/memory.limit_in_bytes", "9223372036854771712\n");
    write("sys/fs/cgroup/memory/app/memory.limit_in_bytes", QByteArray::number(3 * GiB));
    write("sys/fs/cgroup/memory/app/memory.usage_in_bytes", QByteArray::number(1 * GiB));
    QCOMPARE(availableMemory(at), 2 * GiB);
    write("sys/fs/cgroup/unified/user/app/memory.max", "max\n");
    write("sys/fs/cgroup/unified/user/memory.max", QByteArray::number(3 * GiB / 2));
    write("sys/fs/cgroup/unified/user/memory.current", QByteArray::number(GiB / 2));
    QCOMPARE(availableMemory(at), 1 * GiB);
    QCOMPARE(runBudget(1 * GiB), GiB - GiB / 8);
  }

  // HEIF (HEIC, AVIF), JPEG XL and Canon's CR3 join by their first bytes,
  // which the image library does not know: a HEIF by a brand of its
  // file-type box, main or compatible; never an ordinary MP4 video.
  void phoneAndCameraFilesJoinByTheirFirstBytes() {
    const auto box = [](const QByteArray& brands) {
      QByteArray ftyp = QByteArray(4, '\0') + "ftyp" + brands.left(4) + QByteArray(4, '\0') + brands.mid(4);
      ftyp[3] = char(ftyp.size());
      return ftyp + QByteArray("\0\0\0\x08mdat", 8) + QByteArray(64, 'x');
    };
    const QList<std::pair<QByteArray, bool>> files{
        {box("abcdmiafmif1"), true},
        {box("avisavismsf1"), true},
        {box("crx crx isom"), true},
        {box("isomisomavc1mp41"), false},
        {QByteArray("\xff\x0a") + QByteArray(64, 'x'), true},
        {QByteArray("\0\0\0\x0cJXL \r\n\x87\n", 12) + QByteArray(64, 'x'), true},
        {QByteArray("\xff\x0b") + QByteArray(64, 'x'), false},
    };
    QList<bool> accepted, expected;
    for (const auto& [bytes, picture] : files) {
      const QString path = dir.filePath(QString("primero-%1").arg(accepted.size()));
      QVERIFY(pictures::write(path, bytes));
      accepted << isPicture(QFile::encodeName(path));
      expected << picture;
    }
    QCOMPARE(accepted, expected);
  }

  // A file's name is what follows its last separator but one at the end.
  void namesAndRunArithmetic() {
    const QList<std::pair<QByteArray, QByteArray>> rows{
        {"/fotos/caf\xe9.png", "caf\xe9.png"}, {"playa.jpg", ""}, {"/fotos/", "fotos/"}};
    for (const auto& [path, name] : rows) QCOMPARE(ExtractFilenameFormPath(path), name);
    QCOMPARE(QList<QSize>({presetSize(0), presetSize(4)}), QList<QSize>({{1024, 768}, {160, 120}}));
    QCOMPARE(QList<int>({jpegFlagsForQuality(0), jpegFlagsForQuality(1), jpegFlagsForQuality(2)}),
             QList<int>({JPEG_QUALITYGOOD, JPEG_QUALITYNORMAL, JPEG_QUALITYAVERAGE}));
    QCOMPARE(progressPercent(0, 3), 100.0f / 3);
    // Halves go to the even neighbour: eight pictures show 12, 25, 38, 50, 62 ...
    QList<long> shown;
    for (int i = 0; i < 8; ++i) shown << roundHalfEven(progressPercent(i, 8));
    QCOMPARE(shown, (QList<long>{12, 25, 38, 50, 62, 75, 88, 100}));
    QCOMPARE(roundHalfEven(200.0f / 3), 67L);
    QCOMPARE(withTrailingSeparator("/fotos/  ") + trimSpaces("  a\tb  "), QString("/fotos/  a\tb"));
  }
};

QTEST_GUILESS_MAIN(QueueTest)
#include "tst_queue.moc"
