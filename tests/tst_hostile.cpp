// Damaged pictures that crash the image library, or send it into endless
// loops or endless allocation, among ordinary ones: the run survives them,
// tells each, and converts everything else.

#include "app/FrmMain.h"
#include "support/Pictures.h"
#include "support/ScriptedDialogs.h"
#include "support/WindowDriver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

class HostileTest : public QObject {
  Q_OBJECT

 private slots:
  void runSurvivesHostilePictures() {
    const QDir samples(QStringLiteral(DIMENZO_TESTDATA "/hostile"));
    const QStringList hostile = samples.entryList({"*.ico", "*.dds", "*.exr"}, QDir::Files);
    QVERIFY2(hostile.size() == 4, qPrintable(samples.path()));

    ShownWindow shown;
    auto& [dialogs, window, ui] = shown;
    QTemporaryDir sources, destination;
    QStringList queued;
    for (int i = 0; i < hostile.size(); ++i) {
      const QString ordinary = QDir(sources.path()).filePath(QStringLiteral("foto-%1.png").arg(i));
      QVERIFY(pictures::make(ordinary, QSize(300, 200)));
      queued << ordinary << samples.filePath(hostile[i]);
    }
    ui.drop(queued);
    QCOMPARE(ui.rows().size(), 8);  // format detection accepts them all

    QElapsedTimer clock;
    clock.start();
    ui.chooseDestination(destination.path());
    ui.click("BtnConvertir");
    const qint64 elapsed = clock.elapsed();

    // Each damaged picture is told about in queue order, or, where this
    // build's library copes with it, converted like any other.
    const QDir out(destination.path());
    QStringList told, converted;
    for (const QString& name : hostile) {
      const bool written = out.exists(name);
      (written ? converted : told) << name;
      if (written) QCOMPARE(pictures::inspect(out.filePath(name)).size, QSize(640, 480));
    }
    QStringList expectedMessages;
    for (const QString& name : told) expectedMessages << "No se ha podido reescalar la imagen " + samples.filePath(name);
    expectedMessages << QStringLiteral("El proceso ha finalizado, pero sólo se han convertido %1 de 8 imágenes.")
                            .arg(8 - told.size());
    QCOMPARE(dialogs.texts(), expectedMessages);
    QVERIFY2(told.size() >= 2, "the endless loops are cut short");
    for (int i = 0; i < hostile.size(); ++i) {
      const QString ordinary = QStringLiteral("foto-%1.png").arg(i);
      QCOMPARE(pictures::inspect(out.filePath(ordinary)).size, QSize(640, 480));
    }
    QCOMPARE(out.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 4 + converted.size());
    QCOMPARE(pictures::runningWorkers(), 0);
    // Pictures that hang cost one time limit each, side by side on the
    // workers, not the run's whole life.
    qInfo("run took %lld ms", elapsed);
    QVERIFY2(elapsed < 25000, qPrintable(QString::number(elapsed)));
  }
};

QTEST_MAIN(HostileTest)
#include "tst_hostile.moc"
