// The parts that need no window: path rules, the run's arithmetic, the
// image-library layer and the work on one picture.

#include "convert/ConvertPicture.h"
#include "convert/FreeImage.h"
#include "convert/Resample.h"
#include "queue/Paths.h"
#include "support/Pictures.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <QRandomGenerator>

#include <sys/resource.h>


using Outcome = ConvertResult::Outcome;

namespace {
// A bitmap of noise: the hardest case for matching sums and roundings.
freeimage::Bitmap noise(int width, int height, int bpp, quint32 seed) {
  freeimage::Bitmap dib(FreeImage_Allocate(width, height, bpp));
  QRandomGenerator random(seed);
  for (int y = 0; y < height; ++y) {
    BYTE* line = FreeImage_GetScanLine(dib.get(), y);
    for (unsigned i = 0; i < FreeImage_GetLine(dib.get()); ++i) line[i] = BYTE(random.bounded(256));
  }
  return dib;
}

bool sameBytes(FIBITMAP* a, FIBITMAP* b) {
  if (FreeImage_GetWidth(a) != FreeImage_GetWidth(b) || FreeImage_GetHeight(a) != FreeImage_GetHeight(b) ||
      FreeImage_GetBPP(a) != FreeImage_GetBPP(b) || FreeImage_GetColorType(a) != FreeImage_GetColorType(b))
    return false;
  for (unsigned y = 0; y < FreeImage_GetHeight(a); ++y)
    if (memcmp(FreeImage_GetScanLine(a, int(y)), FreeImage_GetScanLine(b, int(y)), FreeImage_GetLine(a)) != 0)
      return false;
  return true;
}

long peakResidentKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}
}  // namespace

class LibraryTest : public QObject {
  Q_OBJECT

 private slots:
  void fileNameIsWhatFollowsTheLastSeparator_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << "/fotos/playa.jpg" << "playa.jpg";
    QTest::newRow("first position") << "/a.png" << "a.png";
    QTest::newRow("no separator") << "playa.jpg" << "";
    QTest::newRow("one character") << "/" << "";
    QTest::newRow("trailing separator kept") << "/fotos/" << "fotos/";
    QTest::newRow("backslash is no separator here") << "C:\\Fotos\\playa.jpg" << "";
    QTest::newRow("accents") << "/fotos/montaña ñandú.png" << "montaña ñandú.png";
  }
  void fileNameIsWhatFollowsTheLastSeparator() {
    QFETCH(QString, path);
    QFETCH(QString, name);
    QCOMPARE(ExtractFilenameFormPath(path), name);
  }

  void missingFilesFailQuietly() {
    const QString missing = dir.filePath("no-está.png");
    QCOMPARE(freeimage::GetFileType(missing, 0), FIF_UNKNOWN);
    QVERIFY(!freeimage::Load(FIF_UNKNOWN, missing, 0));
    QVERIFY(!freeimage::Rescale(nullptr, 10, 10, FILTER_BSPLINE));
    QVERIFY(!freeimage::ProbeSize(FIF_PNG, missing));
  }

  // Every kind of bitmap the library can hold comes out as 24-bit colour,
  // transparency over white.
  void anyBitmapBecomesRgb24_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("format");
    QTest::newRow("png rgba") << int(pictures::Kind::Rgba32) << int(FIF_PNG);
    QTest::newRow("png 48-bit") << int(pictures::Kind::Rgb48) << int(FIF_PNG);
    QTest::newRow("png grey 16") << int(pictures::Kind::Grey16) << int(FIF_PNG);
    QTest::newRow("tiff 48-bit") << int(pictures::Kind::Rgb48) << int(FIF_TIFF);
    QTest::newRow("tiff grey 16") << int(pictures::Kind::Grey16) << int(FIF_TIFF);
    QTest::newRow("exr float") << int(pictures::Kind::RgbFloat) << int(FIF_EXR);
    QTest::newRow("hdr float") << int(pictures::Kind::RgbFloat) << int(FIF_HDR);
    QTest::newRow("palette") << int(pictures::Kind::Palette8) << int(FIF_BMP);
    QTest::newRow("grey jpeg") << int(pictures::Kind::Grey8) << int(FIF_JPEG);
    QTest::newRow("webp rgba") << int(pictures::Kind::Rgba32) << int(FIF_WEBP);
  }
  void anyBitmapBecomesRgb24() {
    QFETCH(int, kind);
    QFETCH(int, format);
    const QString source = dir.filePath(QStringLiteral("fuente-%1-%2").arg(kind).arg(format));
    QVERIFY(pictures::make(source, QSize(200, 150), FREE_IMAGE_FORMAT(format), pictures::Kind(kind)));
    const QString output = dir.filePath(QStringLiteral("salida-%1-%2.png").arg(kind).arg(format));
    const ConvertResult result = convertPicture({source, output, QString(), QSize(160, 120), 512});
    QCOMPARE(int(result.outcome), int(Outcome::Written));
    QVERIFY(!QFileInfo::exists(output));  // nothing in place before the commit
    QVERIFY(commitOutput(result.tempPath, output, nullptr));
    const pictures::Info info = pictures::inspect(output);
    QCOMPARE(info.format, FIF_JPEG);
    QCOMPARE(info.size, QSize(160, 120));
    QCOMPARE(info.bpp, 24u);
    if (pictures::Kind(kind) == pictures::Kind::Rgba32 && format == FIF_PNG) {
      const QRgb opaque = pictures::pixel(output, 10, 60);
      const QRgb clear = pictures::pixel(output, 150, 60);
      QVERIFY2(qRed(opaque) > 200 && qGreen(opaque) < 60, "opaque half stays red");
      QVERIFY2(qRed(clear) > 240 && qGreen(clear) > 240 && qBlue(clear) > 240, "clear half is white");
    }
  }

  // Our resampler stands in for the library's B-spline rescale: it must give
  // the very same bytes, whichever pass goes first and whatever the window.
  void resamplingMatchesTheLibrary_data() {
    QTest::addColumn<QSize>("from");
    QTest::addColumn<QSize>("to");
    QTest::addColumn<int>("bpp");
    QTest::newRow("shrink both") << QSize(1203, 777) << QSize(640, 480) << 24;
    QTest::newRow("shrink a lot") << QSize(2001, 1499) << QSize(160, 120) << 24;
    QTest::newRow("widen, shrink height") << QSize(300, 1000) << QSize(1024, 768) << 24;
    QTest::newRow("enlarge both") << QSize(97, 61) << QSize(320, 240) << 24;
    QTest::newRow("width only") << QSize(900, 480) << QSize(640, 480) << 24;
    QTest::newRow("height only") << QSize(640, 999) << QSize(640, 480) << 24;
    QTest::newRow("one pixel") << QSize(1, 1) << QSize(160, 120) << 24;
    QTest::newRow("thin strip") << QSize(5000, 3) << QSize(160, 120) << 24;
    QTest::newRow("grey") << QSize(1203, 777) << QSize(800, 600) << 8;
    QTest::newRow("grey, widen") << QSize(31, 900) << QSize(320, 240) << 8;
  }
  void resamplingMatchesTheLibrary() {
    QFETCH(QSize, from);
    QFETCH(QSize, to);
    QFETCH(int, bpp);
    freeimage::Bitmap source = noise(from.width(), from.height(), bpp, quint32(from.width() * 7 + bpp));
    FreeImage_SetDotsPerMeterX(source.get(), 2835);
    freeimage::Bitmap theirs = freeimage::Rescale(source.get(), to.width(), to.height(), FILTER_BSPLINE);
    freeimage::Bitmap ours = freeimage::RescaleBSpline(source.get(), to.width(), to.height());
    QVERIFY(theirs && ours);
    QVERIFY(sameBytes(ours.get(), theirs.get()));
    QCOMPARE(FreeImage_GetDotsPerMeterX(ours.get()), 2835u);
  }

  void compositeMatchesTheLibrary() {
    freeimage::Bitmap source = noise(517, 300, 32, 5);
    RGBQUAD white{255, 255, 255, 0};
    freeimage::Bitmap theirs(FreeImage_Composite(source.get(), FALSE, &white, nullptr));
    freeimage::Bitmap ours = freeimage::CompositeOnWhite(source.get());
    QVERIFY(theirs && ours);
    QVERIFY(sameBytes(ours.get(), theirs.get()));
  }

  void bombHeaderIsRefusedBeforeDecoding() {
    const QString bomb = dir.filePath("bomba.png");
    pictures::makeBombHeader(bomb, QSize(30000, 30000));
    QVERIFY(QFileInfo(bomb).size() < 64 * 1024);
    const long before = peakResidentKb();
    QElapsedTimer clock;
    clock.start();
    const ConvertResult result = convertPicture({bomb, dir.filePath("bomba-salida.png"), QString(), QSize(640, 480), 512});
    QCOMPARE(int(result.outcome), int(Outcome::NotRescaled));
    QVERIFY2(clock.elapsed() < 2000, "refused at once");
    QVERIFY2(peakResidentKb() - before < 100 * 1024, "without allocating the pixels");
    QVERIFY(result.reason.contains("30000"));
  }

  // The size comes from the header alone, for baseline and progressive
  // JPEGs alike, and a JPEG claiming a huge frame is refused unread.
  void jpegHeaderIsEnough() {
    const QString baseline = dir.filePath("base.jpg");
    const QString progressive = dir.filePath("progresiva.jpg");
    QVERIFY(pictures::make(baseline, QSize(333, 222), FIF_JPEG));
    freeimage::Bitmap dib = freeimage::Load(FIF_JPEG, baseline, 0);
    QVERIFY(freeimage::Save(FIF_JPEG, dib.get(), progressive, JPEG_PROGRESSIVE));
    QCOMPARE(freeimage::ProbeSize(FIF_JPEG, baseline), std::optional<QSize>(QSize(333, 222)));
    QCOMPARE(freeimage::ProbeSize(FIF_JPEG, progressive), std::optional<QSize>(QSize(333, 222)));

    QFile file(baseline);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    const qsizetype sof = bytes.indexOf(QByteArray("\xFF\xC0", 2));
    QVERIFY(sof > 0);
    bytes[sof + 5] = bytes[sof + 6] = bytes[sof + 7] = bytes[sof + 8] = char(0xEA);  // 60138 x 60138
    file.seek(0);
    file.write(bytes);
    file.close();
    const ConvertResult result = convertPicture({baseline, dir.filePath("enorme.jpg"), QString(), QSize(64, 48), 512});
    QCOMPARE(int(result.outcome), int(Outcome::NotRescaled));
    QVERIFY(result.reason.contains("60138"));
  }

 private:
  QTemporaryDir dir;
};

QTEST_GUILESS_MAIN(LibraryTest)
#include "tst_library.moc"
