// What "cmake --install" puts on the desktop is complete and valid.

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class InstallTest : public QObject {
  Q_OBJECT

  static void run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    QVERIFY(process.waitForFinished(120000));
    const QByteArray log = process.readAll();
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0, log.constData());
  }

 private slots:
  void installsEveryPieceValid() {
    QTemporaryDir prefix;
    run(CMAKE_COMMAND, {"--install", BUILD_DIR, "--prefix", prefix.path()});
    const QDir root(prefix.path());
    for (const char* file : {"bin/dimenzo", "bin/dimenzo-worker", "share/applications/example.talvera.Dimenzo.desktop",
                             "share/metainfo/example.talvera.Dimenzo.metainfo.xml",
                             "share/icons/hicolor/16x16/apps/example.talvera.Dimenzo.png",
                             "share/icons/hicolor/48x48/apps/example.talvera.Dimenzo.png",
                             "share/icons/hicolor/scalable/apps/example.talvera.Dimenzo.svg",
                             "share/doc/dimenzo/FreeImage-License.txt"})
      QVERIFY2(QFileInfo(root.filePath(file)).size() > 0, file);
    QFile license(root.filePath("share/doc/dimenzo/FreeImage-License.txt"));
    QVERIFY(license.open(QIODevice::ReadOnly));
    QVERIFY(license.readLine().startsWith("FreeImage Public License - Version 1.0"));
    run("desktop-file-validate", {root.filePath("share/applications/example.talvera.Dimenzo.desktop")});
    run("appstreamcli", {"validate", "--no-net", root.filePath("share/metainfo/example.talvera.Dimenzo.metainfo.xml")});
  }
};

QTEST_GUILESS_MAIN(InstallTest)
#include "tst_install.moc"
