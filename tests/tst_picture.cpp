// The picture work, without workers or windows: every kind of picture to
// 24-bit colour at the preset's size, the resampler held to the library's
// bytes, transparency over white, oversized pictures refused unread.

#include "convert/ConvertPicture.h"
#include "convert/Decode.h"
#include "convert/OutputFile.h"
#include "convert/Pixels.h"
#include "convert/Resample.h"
#include "support/Pictures.h"

#include <QtTest>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // Exiv2 0.27's std::auto_ptr
#include <exiv2/exiv2.hpp>
#include <lcms2.h>

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

QByteArray saved(cmsHPROFILE profile) {
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(profile, nullptr, &size);
  QByteArray bytes(qsizetype(size), 0);
  cmsSaveProfileToMem(profile, bytes.data(), &size);
  cmsCloseProfile(profile);
  return bytes;
}

// A CMYK input profile: each ink darkens and tints the paper in its way.
QByteArray cmykProfile() {
  cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
  cmsSetDeviceClass(profile, cmsSigInputClass);
  cmsSetColorSpace(profile, cmsSigCmykData);
  cmsSetPCS(profile, cmsSigLabData);
  cmsStage* clut = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
  cmsStageSampleCLut16bit(clut, [](const cmsUInt16Number in[], cmsUInt16Number out[], void*) {
    const double c = in[0] / 65535.0, m = in[1] / 65535.0, y = in[2] / 65535.0, k = in[3] / 65535.0;
    const cmsCIELab lab{100 * (1 - k) * (1 - (c + m + y) / 4), 70 * (m - c / 2), 70 * (y - (c + m) / 2)};
    cmsFloat2LabEncoded(out, &lab);
    return TRUE;
  }, nullptr, 0);
  cmsPipeline* lut = cmsPipelineAlloc(nullptr, 4, 3);
  cmsPipelineInsertStage(lut, cmsAT_BEGIN, clut);
  cmsWriteTag(profile, cmsSigAToB0Tag, lut);
  cmsPipelineFree(lut);
  return saved(profile);
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

// A BMP of the given header size: 124 (version 5) as GIMP and ImageMagick
// write them, with an alpha mask; 40 as Windows writes them, with the
// colour masks after it for bit fields; 16, OS/2's shortest. A negative
// height stores the rows top-down.
using Masks = std::array<quint32, 4>;
constexpr Masks Argb8888{0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
QByteArray bmp(QSize size, int bpp, int compression, const QByteArray& pixels, const QByteArray& palette = {},
               int infoSize = 124, Masks masks = Argb8888) {
  QByteArray info(std::max(infoSize, 60), 0);
  const quint32 fields[] = {quint32(infoSize), quint32(size.width()), quint32(size.height()), 1 | quint32(bpp) << 16,
                            quint32(compression), quint32(pixels.size()), 2835, 2835, quint32(palette.size() / 4), 0,
                            masks[0], masks[1], masks[2], masks[3], 0x73524742};
  for (size_t i = 0; i < std::size(fields); ++i) qToLittleEndian(fields[i], info.data() + 4 * i);
  // A 40-byte header's masks follow it; a shorter one ends before its compression.
  info.truncate(infoSize == 40 && compression == 3 ? 52 : infoSize);
  QByteArray file = "BM" + QByteArray(12, 0) + info + palette + pixels;
  qToLittleEndian(quint32(file.size()), file.data() + 2);
  qToLittleEndian(quint32(14 + info.size() + palette.size()), file.data() + 10);
  return file;
}

// 40 x 30 pixels of 16 or 32 bits, left half one value, right half another.
QByteArray halves(int bpp, quint32 left, quint32 right) {
  QByteArray row;
  for (int x = 0; x < 40; ++x) {
    char bytes[4];
    qToLittleEndian(x < 20 ? left : right, bytes);
    row.append(bytes, bpp / 8);
  }
  return row.repeated(30);
}

// A TGA of 40 x 30 32-bit pixels, bottom-up; the descriptor's low bits
// count the bits of alpha.
QByteArray tga(int descriptor, const QByteArray& pixels) {
  QByteArray header(18, 0);
  header[2] = 2;  // uncompressed true colour
  qToLittleEndian(quint16(40), header.data() + 12);
  qToLittleEndian(quint16(30), header.data() + 14);
  header[16] = 32;
  header[17] = char(descriptor);
  return header + pixels;
}

// An icon of one 40 x 30 bitmap and its AND mask, whose set bits are transparent.
QByteArray icon(int bpp, const QByteArray& pixels, const QByteArray& andMask) {
  QByteArray info(40, 0);
  const quint32 fields[] = {40, 40, 60, 1 | quint32(bpp) << 16, 0, quint32(pixels.size() + andMask.size())};
  for (size_t i = 0; i < std::size(fields); ++i) qToLittleEndian(fields[i], info.data() + 4 * i);
  QByteArray directory(22, 0);
  qToLittleEndian(quint16(1), directory.data() + 2);
  qToLittleEndian(quint16(1), directory.data() + 4);
  directory[6] = 40;
  directory[7] = 30;
  qToLittleEndian(quint16(1), directory.data() + 10);
  qToLittleEndian(quint16(bpp), directory.data() + 12);
  qToLittleEndian(quint32(info.size() + pixels.size() + andMask.size()), directory.data() + 14);
  qToLittleEndian(quint32(22), directory.data() + 18);
  return directory + info + pixels + andMask;
}

// A picture read as a run reads it: by its first decoder, or by the second
// where the first refuses it; as 24-bit colour on white.
freeimage::Bitmap readAsARunWould(const QByteArray& source) {
  const DecodeRequest request{source, QSize(160, 120), true, {}, {}};
  Result<DecodedPicture> decoded = decodePicture(request, 0);
  if (!decoded && decodersFor(source).size() > 1) decoded = decodePicture(request, 1);
  return decoded ? freeimage::ToRgb24(decoded->pixels.get(), decoded->fourth) : nullptr;
}

}  // namespace

class PictureTest : public QObject {
  Q_OBJECT
  QTemporaryDir dir;

  // Converts a source into the folder's "salida.jpg" and opens that with Exiv2.
  Exiv2::Image::AutoPtr convert(const QString& source) {
    const QByteArray output = QFile::encodeName(dir.filePath("salida.jpg"));
    ConvertResult result = convertPicture({QFile::encodeName(source), output, {}, QSize(160, 120), 512});
    if (result.retry) result = convertPicture({QFile::encodeName(source), output, {}, QSize(160, 120), 512, 0, 1});
    if (result.outcome != ConvertResult::Outcome::Written || !commitOutput(result.tempPath, output))
      return Exiv2::Image::AutoPtr();
    return opened(dir.filePath("salida.jpg"));
  }
  // What of the output is not as it should be: its left half red, its right half white.
  QString notRedThenWhite() const {
    const QRgb left = pictures::pixel(dir.filePath("salida.jpg"), 20, 60), right = pictures::pixel(dir.filePath("salida.jpg"), 140, 60);
    if (qRed(left) <= 240 || qGreen(left) >= 30 || qBlue(left) >= 30) return "left half not red";
    if (qMin(qRed(right), qMin(qGreen(right), qBlue(right))) <= 240) return "right half not white";
    return {};
  }
  void write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
  }
  static Exiv2::Image::AutoPtr opened(const QString& path) {
    auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    image->readMetadata();
    return image;
  }

 private slots:
  // Every kind of picture comes out as 24-bit colour at the preset's size.
  // Transparent areas come out white, and the colours they hide never bleed
  // into the edges: every pixel is a blend of red and white alone.
  void everyKindBecomesColourAtTheSize_data() {
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<FREE_IMAGE_FORMAT>("format");
    QTest::newRow("png rgba") << Kind::Rgba32 << FIF_PNG;
    QTest::newRow("gif palette") << Kind::Palette8 << FIF_GIF;
    QTest::newRow("png 48-bit") << Kind::Rgb48 << FIF_PNG;
    QTest::newRow("png grey 16") << Kind::Grey16 << FIF_PNG;
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
    if (format != FIF_PNG && format != FIF_GIF) return;  // the formats that keep transparency losslessly
    if (kind != Kind::Rgba32 && kind != Kind::Palette8) return;
    QCOMPARE(pictures::pixel(rescaled->get(), 10, 60), qRgb(255, 0, 0));
    QCOMPARE(pictures::pixel(rescaled->get(), 150, 60), qRgb(255, 255, 255));
    for (int x = 0; x < 160; ++x) {
      const QRgb p = pictures::pixel(rescaled->get(), x, 60);
      QVERIFY2(qRed(p) == 255 && qGreen(p) == qBlue(p), qPrintable(QString::number(x)));
    }
  }

  // CMYK pixels come out in sRGB as LittleCMS itself turns them, through
  // the picture's own profile.
  void cmykGoesThroughItsProfile() {
    const QByteArray profile = cmykProfile();
    const BYTE inks[2][4] = {{200, 30, 0, 10}, {0, 180, 220, 0}};
    freeimage::Bitmap cmyk(FreeImage_Allocate(64, 48, 32));
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x) memcpy(FreeImage_GetScanLine(cmyk.get(), y) + 4 * x, inks[x >= 32], 4);
    FreeImage_CreateICCProfile(cmyk.get(), const_cast<char*>(profile.data()), long(profile.size()));
    const QString source = dir.filePath("cmyk.tif");
    QVERIFY(FreeImage_Save(FIF_TIFF, cmyk.get(), QFile::encodeName(source).constData(), TIFF_CMYK));
    QVERIFY(convert(source).get());

    cmsHPROFILE in = cmsOpenProfileFromMem(profile.constData(), cmsUInt32Number(profile.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile(), lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM expected = cmsCreateTransform(in, TYPE_CMYK_8, lab, TYPE_Lab_DBL, INTENT_PERCEPTUAL, 0);
    cmsHTRANSFORM shown = cmsCreateTransform(srgb, TYPE_RGB_8, lab, TYPE_Lab_DBL, INTENT_PERCEPTUAL, 0);
    for (int half = 0; half < 2; ++half) {
      const QRgb pixel = pictures::pixel(dir.filePath("salida.jpg"), 40 + 80 * half, 60);
      const BYTE rgb[3] = {BYTE(qRed(pixel)), BYTE(qGreen(pixel)), BYTE(qBlue(pixel))};
      cmsCIELab want, got;
      cmsDoTransform(expected, inks[half], &want, 1);
      cmsDoTransform(shown, rgb, &got, 1);
      QVERIFY2(cmsDeltaE(&want, &got) < 3, qPrintable(QString::number(cmsDeltaE(&want, &got))));
    }
    for (cmsHTRANSFORM t : {expected, shown}) cmsDeleteTransform(t);
    for (cmsHPROFILE p : {in, srgb, lab}) cmsCloseProfile(p);
  }

  // Every variant of BMP's headers and bit fields shows its picture; a
  // fourth byte is transparency only where the file says so, and not where
  // it is 0 everywhere; pixels a run-length stream skips are white. So for
  // the other formats read as 32 bits: TGA, whose descriptor counts the
  // bits of alpha, and icons, whose AND mask is their transparency.
  void readAsTheirFilesSay_data() {
    QTest::addColumn<QByteArray>("file");
    // Rows of 20 red pixels, then 20 white (or transparent, hiding green).
    const QByteArray rgb = (QByteArray("\0\0\xff", 3).repeated(20) + QByteArray(60, '\xff')).repeated(30);
    const QByteArray rgba = (QByteArray("\0\0\xff\xff", 4).repeated(20) + QByteArray("\0\xff\0\0", 4).repeated(20)).repeated(30);
    const QByteArray rgb0 = halves(32, 0x00FF0000, 0x00FFFFFF);
    const QByteArray twoColours("\0\0\xff\0\xff\xff\xff\0", 8);
    const QByteArray rle = QByteArray("\x14\x00\x14\x01\x00\x00", 6).repeated(30) + QByteArray("\x00\x01", 2);
    const QSize size(40, 30);
    QTest::newRow("v5 24-bit") << bmp(size, 24, 0, rgb);
    QTest::newRow("v5 32-bit alpha") << bmp(size, 32, 3, rgba);
    QTest::newRow("v5 32-bit alpha 0 everywhere") << bmp(size, 32, 3, rgb0);
    QTest::newRow("v5 32-bit alpha, no bit fields") << bmp(size, 32, 0, rgba);
    QTest::newRow("32-bit, fourth byte 0") << bmp(size, 32, 0, rgb0, {}, 40);
    QTest::newRow("32-bit, fourth byte not 0") << bmp(size, 32, 0, halves(32, 0x40FF0000, 0x80FFFFFF), {}, 40);
    QTest::newRow("56-byte header, 5-6-5") << bmp(size, 16, 3, halves(16, 0xF800, 0xFFFF), {}, 56, {0xF800, 0x07E0, 0x001F});
    QTest::newRow("16-bit 4-4-4") << bmp(size, 16, 3, halves(16, 0x0F00, 0x0FFF), {}, 40, {0x0F00, 0x00F0, 0x000F});
    QTest::newRow("16-bit 2-3-1") << bmp(size, 16, 3, halves(16, 0x0030, 0x003F), {}, 40, {0x0030, 0x000E, 0x0001});
    QTest::newRow("32-bit 11-11-10") << bmp(size, 32, 3, halves(32, 0xFFE00000, 0xFFFFFFFF), {}, 40,
                                            {0xFFE00000, 0x001FFC00, 0x000003FF});
    QTest::newRow("32-bit masks out of order") << bmp(size, 32, 3, halves(32, 0xFF000000, 0xFFFF0FF0), {}, 40,
                                                      {0xFF000000, 0x00000FF0, 0x00FF0000});
    QTest::newRow("v5 16-bit alpha") << bmp(size, 16, 3, halves(16, 0xFF00, 0x00F0), {}, 124, {0x0F00, 0x00F0, 0x000F, 0xF000});
    QTest::newRow("v5 16-bit alpha of 1 bit") << bmp(size, 16, 3, halves(16, 0xFC00, 0x03E0), {}, 124, {0x7C00, 0x03E0, 0x001F, 0x8000});
    QTest::newRow("56-byte header, alpha 0 everywhere")
        << bmp(size, 16, 3, halves(16, 0x0F00, 0x0FFF), {}, 56, {0x0F00, 0x00F0, 0x000F, 0xF000});
    QTest::newRow("os/2 16-byte header") << bmp(size, 8, 0, (QByteArray(20, 0) + QByteArray(20, 1)).repeated(30), twoColours, 16);
    QTest::newRow("rle8") << bmp(size, 8, 1, rle, twoColours);
    QTest::newRow("rle8 top-down") << bmp(QSize(40, -30), 8, 1, rle, twoColours);
    // Each row ends after its red half, leaving the rest unset.
    QTest::newRow("rle8 rows cut short") << bmp(size, 8, 1, QByteArray("\x14\x00\x00\x00", 4).repeated(30), twoColours);

    const QByteArray redHiddenGreen = (QByteArray("\0\0\xff\0", 4).repeated(20) + QByteArray("\0\xff\0\0", 4).repeated(20)).repeated(30);
    const QByteArray rightHalfMasked = QByteArray("\0\0\x0f\xff\xff\0\0\0", 8).repeated(30);
    QTest::newRow("tga, no alpha bits") << tga(0x00, halves(32, 0x40FF0000, 0x80FFFFFF));
    QTest::newRow("tga, alpha 0 everywhere") << tga(0x08, rgb0);
    QTest::newRow("tga alpha") << tga(0x08, rgba);
    QTest::newRow("icon, alpha 0 everywhere, masked") << icon(32, redHiddenGreen, rightHalfMasked);
    QTest::newRow("icon, alpha 0 everywhere, no mask") << icon(32, rgb0, QByteArray(8 * 30, 0));
    QTest::newRow("icon alpha") << icon(32, rgba, QByteArray(8 * 30, 0));
    QTest::newRow("icon 24-bit, masked") << icon(24, (QByteArray("\0\0\xff", 3).repeated(20) + QByteArray("\0\xff\0", 3).repeated(20)).repeated(30),
                                                 rightHalfMasked);
  }
  void readAsTheirFilesSay() {
    QFETCH(QByteArray, file);
    write(dir.filePath("imagen"), file);
    QVERIFY(convert(dir.filePath("imagen")).get());
    QCOMPARE(notRedThenWhite(), QString());
  }

  // Where the image library reads a BMP in gdk-pixbuf's stead, it takes its
  // fourth byte as the file says too.
  void secondDecoderTakesTheFourthByteAlike() {
    write(dir.filePath("imagen.bmp"), bmp(QSize(40, 30), 32, 0, halves(32, 0x40FF0000, 0x80FFFFFF), {}, 40));
    const QByteArray source = QFile::encodeName(dir.filePath("imagen.bmp")), output = QFile::encodeName(dir.filePath("salida.jpg"));
    const ConvertResult result = convertPicture({source, output, {}, QSize(160, 120), 512, 0, 1});
    QVERIFY(result.outcome == ConvertResult::Outcome::Written && commitOutput(result.tempPath, output));
    QCOMPARE(notRedThenWhite(), QString());
  }

  // Pixels a damaged file never sets come out white, the same every time,
  // whatever the pictures read before it left in memory.
  void unsetPixelsAreWhite_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("redAtTop");  // rows, as the bottom ten are
    const QByteArray blackRed("\0\0\0\0\0\0\xff\0", 8);
    const QByteArray tenRows = QByteArray("\x64\x01\x00\x00", 4).repeated(10);
    QTest::newRow("rle8 stream cut short") << bmp(QSize(100, 100), 8, 1, tenRows, blackRed, 40) << 0;
    QTest::newRow("rle8 ends early") << bmp(QSize(100, 100), 8, 1, tenRows + QByteArray("\x00\x01", 2), blackRed, 40) << 0;
    QTest::newRow("rle8 skips rows") << bmp(QSize(100, 100), 8, 1, tenRows + QByteArray("\x00\x02\x00\x50", 4) + tenRows, blackRed, 40)
                                     << 10;
    QTest::newRow("24-bit cut short") << bmp(QSize(100, 100), 24, 0, QByteArray("\0\0\xff", 3).repeated(100 * 10), {}, 40) << 0;
  }
  void unsetPixelsAreWhite() {
    QFETCH(QByteArray, file);
    QFETCH(int, redAtTop);
    const QByteArray noisy = QFile::encodeName(dir.filePath("ruido.bmp")), broken = QFile::encodeName(dir.filePath("rota.bmp"));
    QVERIFY(FreeImage_Save(FIF_BMP, noise(QSize(100, 100), 24, 7).get(), noisy.constData(), 0));
    write(QFile::decodeName(broken), file);
    freeimage::Bitmap first;
    for (int run = 0; run < 2; ++run) {
      QVERIFY(readAsARunWould(noisy));
      freeimage::Bitmap read = readAsARunWould(broken);
      QVERIFY(read);
      QCOMPARE(FreeImage_GetWidth(read.get()), 100u);
      QCOMPARE(FreeImage_GetHeight(read.get()), 100u);
      for (int y = 0; y < 100; ++y) {
        const bool red = y < 10 || y >= 100 - redAtTop;
        for (int x = 0; x < 100; ++x)
          QVERIFY2(pictures::pixel(read.get(), x, 99 - y) == (red ? qRgb(255, 0, 0) : qRgb(255, 255, 255)),
                   qPrintable(QStringLiteral("%1,%2 from the bottom").arg(x).arg(y)));
      }
      if (run == 1) QVERIFY(sameBytes(read.get(), first.get()));
      first = std::move(read);
    }
  }

  // Samples of BMP Suite: the same picture in the variants its makers
  // found other programs misread, each as its plain form shows it.
  void bmpSuiteShowsOnePicture_data() {
    QTest::addColumn<QString>("variant");
    QTest::addColumn<QString>("plain");
    QTest::addColumn<int>("tolerance");  // levels, for channels of fewer bits
    QTest::newRow("os/2 16-byte header") << "pal8os2v2-16.bmp" << "pal8-0.bmp" << 0;
    QTest::newRow("rle8 top-down") << "rletopdown.bmp" << "pal8-0.bmp" << 0;
    QTest::newRow("gap before the pixels") << "pal8offs.bmp" << "pal8-0.bmp" << 0;
    QTest::newRow("16-bit with a palette") << "rgb16-565pal.bmp" << "rgb24.bmp" << 8;
    QTest::newRow("32-bit 11-11-10") << "rgb32-111110.bmp" << "rgb24.bmp" << 1;
  }
  void bmpSuiteShowsOnePicture() {
    QFETCH(QString, variant);
    QFETCH(QString, plain);
    QFETCH(int, tolerance);
    const QByteArray suite = QByteArray(DIMENZO_TESTDATA) + "/bmpsuite/";
    const freeimage::Bitmap shown = readAsARunWould(suite + variant.toUtf8()), expected = readAsARunWould(suite + plain.toUtf8());
    QVERIFY(shown && expected);
    QCOMPARE(FreeImage_GetWidth(shown.get()), FreeImage_GetWidth(expected.get()));
    QCOMPARE(FreeImage_GetHeight(shown.get()), FreeImage_GetHeight(expected.get()));
    int worst = 0;
    for (unsigned y = 0; y < FreeImage_GetHeight(shown.get()); ++y)
      for (unsigned x = 0; x < FreeImage_GetLine(shown.get()); ++x)
        worst = std::max(worst, std::abs(FreeImage_GetScanLine(shown.get(), int(y))[x] - FreeImage_GetScanLine(expected.get(), int(y))[x]));
    QVERIFY2(worst <= tolerance, qPrintable(QString::number(worst)));
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
  void oversizedPicturesAreRefused() {
    const QByteArray baseline = QFile::encodeName(dir.filePath("base.jpg")), progressive = baseline + ".p.jpg";
    freeimage::Bitmap dib = pictures::make(QSize(333, 222));
    QVERIFY(FreeImage_Save(FIF_JPEG, dib.get(), baseline.constData(), 0));
    QVERIFY(FreeImage_Save(FIF_JPEG, dib.get(), progressive.constData(), JPEG_PROGRESSIVE));
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

    // A GIF tells its size only once decoded; then it is held to the same
    // bound, before anything more is allocated for it.
    const QByteArray gif = QFile::encodeName(dir.filePath("enorme.gif"));
    QVERIFY(FreeImage_Save(FIF_GIF, freeimage::Bitmap(FreeImage_Allocate(20000, 9000, 8)).get(), gif.constData(), 0));
    QCOMPARE(rescalePicture(gif, QSize(64, 48)).reason(),
             "La imagen mide 20000 x 9000 píxeles: más de los 178.956.970 píxeles que se admiten.");
  }
};

QTEST_GUILESS_MAIN(PictureTest)
#include "tst_picture.moc"
