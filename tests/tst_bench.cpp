// The benchmarks, each run once on a tiny input: they must do the work they
// report and say so in figures that can be true. No speed is asserted.

#include "support/Pictures.h"

#include <QtTest>

class BenchTest : public QObject {
  Q_OBJECT
  QTemporaryDir dir;
  QString output;

  // Runs a benchmark; its exit code, with what it printed kept in `output`.
  int run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(50'000)) return -1;
    output = QString::fromLocal8Bit(process.readAllStandardOutput() + process.readAllStandardError());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  }
  // The number that follows `label` in the output, or -1.
  double figure(const QString& label) const {
    const QRegularExpressionMatch match =
        QRegularExpression(QRegularExpression::escape(label) + QStringLiteral("\\s*([0-9.]+)")).match(output);
    return match.hasMatch() ? match.captured(1).toDouble() : -1;
  }

 private slots:
  void initTestCase() {
    for (const char* folder : {"fotos", "png", "rota", "salida"}) QVERIFY(QDir(dir.path()).mkpath(folder));
    for (const char* name : {"fotos/a.jpg", "fotos/b.jpg", "fotos/c.jpg"})
      QVERIFY(pictures::make(dir.filePath(name), QSize(160, 120), FIF_JPEG));
    QVERIFY(pictures::make(dir.filePath("fotos/d.png"), QSize(90, 160), FIF_PNG, pictures::Kind::Rgba32));
    QVERIFY(pictures::make(dir.filePath("png/d.png"), QSize(90, 160)));
    QVERIFY(pictures::write(dir.filePath("rota/x.jpg"), "no soy una foto"));
  }

  void benchesDoWhatTheyReportOrFail() {
    QCOMPARE(run(QStringLiteral(SCAN_BENCH), {"400", "40"}), 0);
    QVERIFY2(output.contains("pictures queued: 40,") && figure("s,") > 0, qPrintable(output));  // files per second
    QVERIFY2(figure("longest event-loop pause:") > 0, qPrintable(output));

    const QString fotos = dir.filePath("fotos"), out = dir.filePath("salida");
    QCOMPARE(run(QStringLiteral(CONVERT_BENCH), {fotos, out, "64x48"}), 0);
    QVERIFY2(output.contains("pictures: 4, written: 4, failed: 0"), qPrintable(output));
    QCOMPARE(QDir(out).entryList(QDir::Files).size(), 4);
    QVERIFY2(figure("wall time:") > 0 && figure("peak memory of all Dimenzo processes:") > 0, qPrintable(output));
    const double pause = figure("longest event-loop pause:");
    QVERIFY2(pause >= 0 && pause <= figure("wall time:") * 1000 + 5, qPrintable(output));

    QCOMPARE(run(QStringLiteral(CONVERT_BENCH), {fotos, out, "64x48", "--psnr"}), 0);
    QVERIFY2(output.contains("JPEGs compared: 3,") && figure("lowest PSNR:") > 40, qPrintable(output));
    QCOMPARE(run(QStringLiteral(CONVERT_BENCH), {fotos, out, "64x48", "--resampler"}), 0);
    QVERIFY2(output.contains("pictures: 4,") && figure("differing bytes:") >= 0, qPrintable(output));
    for (const char* channel : {"blue", "green", "red", "grey"}) {
      const double largest = figure(QString::fromLatin1(channel));
      QVERIFY2(largest >= 0 && largest <= 1, qPrintable(output));
    }
    QCOMPARE(run(QStringLiteral(CONVERT_BENCH), {fotos, out, "64x48", "--floor"}), 0);
    QVERIFY2(output.contains("pictures decoded: 4 of 4") && figure("decode floor:") >= 0, qPrintable(output));
    QCOMPARE(run(QStringLiteral(CONVERT_BENCH), {fotos, out, "64x48", "--phases"}), 0);
    QVERIFY2(output.contains("pictures: 4; per picture:") && figure("decode") > 0, qPrintable(output));

    // Nothing done is a failure, with its reason on one line.
    QCOMPARE(run(QStringLiteral(CONVERT_BENCH), {dir.filePath("rota"), dir.filePath("salida")}), 1);
    QVERIFY2(output.contains("convert_bench: no picture was written\n"), qPrintable(output));
    QCOMPARE(run(QStringLiteral(CONVERT_BENCH), {dir.filePath("png"), dir.filePath("salida"), "64x48", "--psnr"}), 1);
    QVERIFY2(output.contains("convert_bench: no JPEG could be compared\n"), qPrintable(output));
  }
};

QTEST_GUILESS_MAIN(BenchTest)
#include "tst_bench.moc"
