// The Debian package made of this build: every piece in its place, its
// dependencies worked out from the binaries, clean for lintian, and, once
// unpacked, a program that finds its helper and converts with it.

#include "convert/WorkerPool.h"
#include "support/Pictures.h"

#include <QtTest>

class PackageTest : public QObject {
  Q_OBJECT
  QTemporaryDir work;
  QString deb;

  static QString run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(300000);
    const QString log = QString::fromLocal8Bit(process.readAll());
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
      qWarning("%s failed:\n%s", qPrintable(program), qPrintable(log));
    return log;
  }
  QString unpacked(const QString& path) const { return work.filePath("raíz/usr/" + path); }

 private slots:
  void initTestCase() {
    run(CPACK_COMMAND, {"-G", "DEB", "--config", BUILD_DIR "/CPackConfig.cmake", "-B", work.path()});
    deb = work.filePath("dimenzo_1.0.11-1_amd64.deb");
    QVERIFY(QFile::exists(deb));
    run("dpkg-deb", {"-x", deb, work.filePath("raíz")});
  }

  // (The launcher, AppStream data, licence and helper are found where they are read.)
  void holdsAWorkingProgramAndItsDependencies() {
    const QString files = run("dpkg-deb", {"-c", deb});
    for (const char* file : {"bin/dimenzo", "share/man/man1/dimenzo.1.gz", "share/icons/hicolor/48x48/apps/example.talvera.Dimenzo.png",
                             "share/icons/hicolor/scalable/apps/example.talvera.Dimenzo.svg", "share/doc/dimenzo/copyright"})
      QVERIFY2(files.contains(QString(" ./usr/") + file + '\n'), file);
    QVERIFY(!files.contains("bin/dimenzo-worker"));
    const QString depends = run("dpkg-deb", {"-f", deb, "Depends"});
    for (const char* library : {"libfreeimage3 (", "libheif1 (", "libraw20 (", "libqt6widgets6 (", "libc6 ("})
      QVERIFY2(depends.contains(library), library);
    QFile license(unpacked("share/doc/dimenzo/FreeImage-License.txt"));
    QVERIFY(license.open(QIODevice::ReadOnly) && license.readLine().startsWith("FreeImage Public License - Version 1.0"));
    const QString lint = run("lintian", {deb});
    QVERIFY2(!QRegularExpression("^[EW]: ", QRegularExpression::MultilineOption).match(lint).hasMatch(), qPrintable(lint));
    QCOMPARE(run("desktop-file-validate", {unpacked("share/applications/example.talvera.Dimenzo.desktop")}), QString());
    QVERIFY(run("appstreamcli", {"validate", "--no-net", unpacked("share/metainfo/example.talvera.Dimenzo.metainfo.xml")})
                .contains("Validation was successful"));

    // Unpacked, the program finds its helper, which converts.
    const QString helper = WorkerPool::programBeside(unpacked("bin"));
    QCOMPARE(helper, unpacked("libexec/dimenzo/dimenzo-worker"));
    WorkerPool::Options options;
    options.program = helper;
    WorkerPool pool(options);
    const QString source = work.filePath("foto.png");
    QVERIFY(pictures::make(source, QSize(300, 200)));
    pool.submit(0, {QFile::encodeName(source), QFile::encodeName(work.filePath("salida.jpg")), {}, QSize(160, 120), 0});
    std::optional<ConvertResult> result;
    while (!(result = pool.take(0))) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCOMPARE(result->outcome, ConvertResult::Outcome::Written);
  }
};

QTEST_GUILESS_MAIN(PackageTest)
#include "tst_package.moc"
