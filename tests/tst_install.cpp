// What "cmake --install" puts on the desktop is valid and complete.

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class InstallTest : public QObject {
  Q_OBJECT

  QTemporaryDir prefix;

  static QString run(const QString& program, const QStringList& arguments, int* exitCode) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(120000);
    *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromLocal8Bit(process.readAll());
  }

 private slots:
  void initTestCase() {
    int code = 0;
    const QString log = run(CMAKE_COMMAND, {"--install", BUILD_DIR, "--prefix", prefix.path()}, &code);
    QVERIFY2(code == 0, qPrintable(log));
  }

  void installsEveryPiece() {
    const QDir root(prefix.path());
    for (const char* file : {"bin/dimenzo", "bin/dimenzo-worker", "share/applications/example.talvera.Dimenzo.desktop",
                             "share/metainfo/example.talvera.Dimenzo.metainfo.xml",
                             "share/icons/hicolor/16x16/apps/example.talvera.Dimenzo.png",
                             "share/icons/hicolor/32x32/apps/example.talvera.Dimenzo.png",
                             "share/icons/hicolor/48x48/apps/example.talvera.Dimenzo.png",
                             "share/icons/hicolor/scalable/apps/example.talvera.Dimenzo.svg",
                             "share/doc/dimenzo/FreeImage-License.txt"})
      QVERIFY2(QFileInfo(root.filePath(file)).size() > 0, file);
    QFile license(root.filePath("share/doc/dimenzo/FreeImage-License.txt"));
    QVERIFY(license.open(QIODevice::ReadOnly));
    QVERIFY(license.readLine().startsWith("FreeImage Public License - Version 1.0"));
  }

  void desktopFilesValidate() {
    const QDir root(prefix.path());
    int code = 0;
    QString log = run("desktop-file-validate", {root.filePath("share/applications/example.talvera.Dimenzo.desktop")}, &code);
    QVERIFY2(code == 0 && log.trimmed().isEmpty(), qPrintable(log));
    log = run("appstreamcli", {"validate", "--no-net", root.filePath("share/metainfo/example.talvera.Dimenzo.metainfo.xml")}, &code);
    QVERIFY2(code == 0, qPrintable(log));
  }
};

QTEST_GUILESS_MAIN(InstallTest)
#include "tst_install.moc"
