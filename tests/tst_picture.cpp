// The picture work, without workers or windows: every kind of picture to
// 24-bit colour at the preset's size, the resampler held to the library's
// bytes, transparency over white, oversized pictures refused unread.

#include "convert/ConvertPicture.h"
#include "convert/Pixels.h"
#include "convert/Resample.h"
#include "support/Pictures.h"

#include <QtTest>

using Kind = pictures::Kind;

namespace {

freeimage::Bitmap noise(QSize size, int bpp, quint32 seed) {
  freeimage::Bitmap dib(FreeImage_Allocate(size.width(), size.height(), bpp));
  QRandomGenerator random(seed);
  for (int y = 0; y < size.height(); ++y) {
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

}  // namespace

class PictureTest : public QObject {
  Q_OBJECT
  QTemporaryDir dir;

 private slots:
  void everyKindBecomesColourAtTheSize_data() {
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<FREE_IMAGE_FORMAT>("format");
    QTest::newRow("png rgba") << Kind::Rgba32 << FIF_PNG;
    QTest::newRow("png 48-bit") << Kind::Rgb48 << FIF_PNG;
    QTest::newRow("png grey 16") << Kind::Grey16 << FIF_PNG;
    QTest::newRow("tiff 48-bit") << Kind::Rgb48 << FIF_TIFF;
    QTest::newRow("tiff grey 16") << Kind::Grey16 << FIF_TIFF;
    QTest::newRow("exr float") << Kind::RgbFloat << FIF_EXR;
    QTest::newRow("hdr float") << Kind::RgbFloat << FIF_HDR;
    QTest::newRow("bmp palette") << Kind::Palette8 << FIF_BMP;
    QTest::newRow("grey jpeg") << Kind::Grey8 << FIF_JPEG;
    QTest::newRow("webp rgba") << Kind::Rgba32 << FIF_WEBP;
    QTest::newRow("upright jpeg") << Kind::Rgb24 << FIF_JPEG;
  }
  void everyKindBecomesColourAtTheSize() {
    QFETCH(Kind, kind);
    QFETCH(FREE_IMAGE_FORMAT, format);
    const QString source = dir.filePath(QTest::currentDataTag());
    QVERIFY(pictures::make(source, QSize(150, 200), format, kind));
    Result<freeimage::Bitmap> rescaled = rescalePicture(QFile::encodeName(source), QSize(160, 120));
    QVERIFY2(rescaled, qPrintable(rescaled.reason()));
    QCOMPARE(FreeImage_GetBPP(rescaled->get()), 24u);
    QCOMPARE(FreeImage_GetWidth(rescaled->get()), 160u);
    QCOMPARE(FreeImage_GetHeight(rescaled->get()), 120u);
  }

  // Transparent areas come out white, and the colours they hide never
  // bleed into the edges: every pixel is a blend of red and white alone.
  void transparencyLiesOverWhite_data() {
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<FREE_IMAGE_FORMAT>("format");
    QTest::newRow("gif palette") << Kind::Palette8 << FIF_GIF;
    QTest::newRow("png rgba") << Kind::Rgba32 << FIF_PNG;
  }
  void transparencyLiesOverWhite() {
    QFETCH(Kind, kind);
    QFETCH(FREE_IMAGE_FORMAT, format);
    const QString source = dir.filePath(QTest::currentDataTag());
    QVERIFY(pictures::make(source, QSize(40, 30), format, kind));
    Result<freeimage::Bitmap> out = rescalePicture(QFile::encodeName(source), QSize(160, 120));
    QVERIFY(out);
    QCOMPARE(pictures::pixel(out->get(), 10, 60), qRgb(255, 0, 0));
    QCOMPARE(pictures::pixel(out->get(), 150, 60), qRgb(255, 255, 255));
    for (int x = 0; x < 160; ++x) {
      const QRgb p = pictures::pixel(out->get(), x, 60);
      QVERIFY2(qRed(p) == 255 && qGreen(p) == qBlue(p), qPrintable(QString::number(x)));
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
    freeimage::Bitmap source = noise(from, bpp, quint32(from.width() * 7 + bpp));
    FreeImage_SetDotsPerMeterX(source.get(), 2835);
    freeimage::Bitmap theirs = freeimage::Rescale(source.get(), to.width(), to.height(), FILTER_BSPLINE);
    freeimage::Bitmap ours = freeimage::RescaleBSpline(source.get(), to.width(), to.height());
    QVERIFY(theirs && ours);
    QVERIFY(sameBytes(ours.get(), theirs.get()));
    QCOMPARE(FreeImage_GetDotsPerMeterX(ours.get()), 2835u);
  }

  void compositeMatchesTheLibrary() {
    freeimage::Bitmap source = noise(QSize(517, 300), 32, 5);
    RGBQUAD white{255, 255, 255, 0};
    freeimage::Bitmap theirs(FreeImage_Composite(source.get(), FALSE, &white, nullptr));
    freeimage::Bitmap ours = freeimage::CompositeOnWhite(source.get());
    QVERIFY(theirs && ours);
    QVERIFY(sameBytes(ours.get(), theirs.get()));
  }

  // The size comes from the header alone, for baseline and progressive
  // JPEGs alike; a JPEG claiming a huge frame is refused unread.
  void oversizedPicturesAreRefusedUnread() {
    const QByteArray baseline = QFile::encodeName(dir.filePath("base.jpg")), progressive = baseline + ".p.jpg";
    freeimage::Bitmap dib = pictures::make(QSize(333, 222));
    QVERIFY(freeimage::Save(FIF_JPEG, dib.get(), baseline, 0));
    QVERIFY(freeimage::Save(FIF_JPEG, dib.get(), progressive, JPEG_PROGRESSIVE));
    QCOMPARE(freeimage::ProbeSize(FIF_JPEG, progressive), std::optional<QSize>(QSize(333, 222)));

    QFile file(QFile::decodeName(baseline));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    const qsizetype sof = bytes.indexOf(QByteArray("\xFF\xC0", 2));
    bytes[sof + 5] = bytes[sof + 6] = bytes[sof + 7] = bytes[sof + 8] = char(0xEA);  // 60138 x 60138
    file.seek(0);
    file.write(bytes);
    file.close();
    const ConvertResult result = convertPicture({baseline, baseline + ".salida", {}, QSize(64, 48), 512});
    QCOMPARE(result.outcome, ConvertResult::Outcome::NotRescaled);
    QCOMPARE(result.reason, "La imagen mide 60138 x 60138 píxeles: más de los 178.956.970 píxeles que se admiten.");
  }
};

QTEST_GUILESS_MAIN(PictureTest)
#include "tst_picture.moc"
