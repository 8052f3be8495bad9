// The picture work, without workers or windows: every kind of picture to
// 24-bit colour at the preset's size, the resampler held to within a level
// of the library's bytes, transparency over white, oversized pictures refused unread.

#include "convert/Colour.h"
#include "convert/ConvertPicture.h"
#include "convert/Decoders.h"
#include "convert/Decode.h"
#include "convert/OutputFile.h"
#include "convert/Pixels.h"
#include "convert/Resample.h"
#include "support/Pictures.h"

#include <QtTest>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // Exiv2 0.27's std::auto_ptr
#include <exiv2/exiv2.hpp>
#include <lcms2.h>
#include <tiffio.h>
#include <zlib.h>

#include <cstring>

using Kind = pictures::Kind;
Q_DECLARE_METATYPE(pictures::Codec)
Q_DECLARE_METATYPE(freeimage::FourthChannel)

namespace {

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

// A bitmap whose left half is one pixel's bytes and right half another's.
freeimage::Bitmap halves(QSize size, int bpp, const void* left, const void* right, FREE_IMAGE_TYPE type = FIT_BITMAP) {
  freeimage::Bitmap dib(FreeImage_AllocateT(type, size.width(), size.height(), bpp));
  for (int y = 0; y < size.height(); ++y)
    for (int x = 0; x < size.width(); ++x)
      memcpy(FreeImage_GetScanLine(dib.get(), y) + bpp / 8 * x, x < size.width() / 2 ? left : right, size_t(bpp / 8));
  return dib;
}

// Where a picture is not as expected at the points given, by more than
// the tolerance in any channel; empty where it is.
QString unlike(FIBITMAP* dib, const QList<QPoint>& at, const QList<QRgb>& shown, int tolerance) {
  for (qsizetype i = 0; i < at.size(); ++i) {
    const QRgb got = dib ? pictures::pixel(dib, at[i].x(), at[i].y()) : 0, want = shown[i];
    if (std::max({std::abs(qRed(got) - qRed(want)), std::abs(qGreen(got) - qGreen(want)), std::abs(qBlue(got) - qBlue(want))}) > tolerance)
      return QString("at %1,%2: %3 for %4").arg(at[i].x()).arg(at[i].y()).arg(QColor(got).name(), QColor(want).name());
  }
  return {};
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

// A PNG as the library writes it, with a gAMA chunk after its header.
QByteArray withGamma(const QByteArray& png, double gamma) {
  QByteArray chunk("gAMA\0\0\0\0", 8), crc(4, '\0');
  qToBigEndian(quint32(gamma * 100000 + 0.5), chunk.data() + 4);
  qToBigEndian(quint32(crc32(0, reinterpret_cast<const Bytef*>(chunk.constData()), uInt(chunk.size()))), crc.data());
  return png.left(33) + QByteArray("\0\0\0\4", 4) + chunk + crc + png.mid(33);
}

// Sets a TIFF directory's tags of whole numbers.
void setTags(TIFF* tif, std::initializer_list<std::pair<ttag_t, int>> tags) {
  for (const auto& [tag, value] : tags) TIFFSetField(tif, tag, value);
}

// A camera's raw file as DNG keeps it: the camera's JPEG preview in the
// first directory, with the Orientation; the sensor's data, a Bayer mosaic
// of linear light (12 bits in 16), in a directory below it. The sensor
// here sees linear sRGB, so that the development has nothing to guess.
// `light` gives the scene's linear light at each stored pixel. A sensor
// `claimed` larger than `size` is a file pruned to its metadata, as
// samples of metadata are: its data is missing.
QByteArray dng(QSize size, const std::function<double(int, int)>& light, FIBITMAP* preview, QSize claimed = QSize()) {
  const QString path = QDir::temp().filePath(QStringLiteral("dimenzo-%1.dng").arg(QCoreApplication::applicationPid()));
  TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "w");
  if (!tif) return QByteArray();
  const QByteArray previewJpeg = freeimage::EncodeJpeg(preview, JPEG_QUALITYSUPERB);
  const uint8_t version[4] = {1, 4, 0, 0};
  const float toCamera[9] = {3.2406f, -1.5372f, -0.4986f, -0.9689f, 1.8758f, 0.0415f, 0.0557f, -0.2040f, 1.0570f};
  const float neutral[3] = {1, 1, 1};
  uint64_t subIfd = 0;
  const int width = int(FreeImage_GetWidth(preview)), height = int(FreeImage_GetHeight(preview));
  setTags(tif, {{TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE}, {TIFFTAG_IMAGEWIDTH, width}, {TIFFTAG_IMAGELENGTH, height},
                {TIFFTAG_ROWSPERSTRIP, height}, {TIFFTAG_BITSPERSAMPLE, 8}, {TIFFTAG_SAMPLESPERPIXEL, 3},
                {TIFFTAG_COMPRESSION, COMPRESSION_JPEG}, {TIFFTAG_JPEGTABLESMODE, 0}, {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR}});
  TIFFSetField(tif, TIFFTAG_MAKE, "Dimenzo");
  TIFFSetField(tif, TIFFTAG_MODEL, "Prueba");
  TIFFSetField(tif, TIFFTAG_ORIENTATION, 6);
  TIFFSetField(tif, TIFFTAG_DNGVERSION, version);
  TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, "Dimenzo Prueba");
  TIFFSetField(tif, TIFFTAG_COLORMATRIX1, 9, toCamera);
  TIFFSetField(tif, TIFFTAG_CALIBRATIONILLUMINANT1, 21);  // D65
  TIFFSetField(tif, TIFFTAG_ASSHOTNEUTRAL, 3, neutral);
  TIFFSetField(tif, TIFFTAG_SUBIFD, 1, &subIfd);
  TIFFWriteRawStrip(tif, 0, const_cast<char*>(previewJpeg.constData()), previewJpeg.size());
  TIFFWriteDirectory(tif);

  const uint16_t repeat[2] = {2, 2};
  const uint8_t pattern[4] = {0, 1, 1, 2};  // red, green / green, blue
  const uint32_t white = 4095;
  const float black = 0;
  const QSize stated = claimed.isValid() ? claimed : size;
  setTags(tif, {{TIFFTAG_SUBFILETYPE, 0}, {TIFFTAG_IMAGEWIDTH, stated.width()}, {TIFFTAG_IMAGELENGTH, stated.height()},
                {TIFFTAG_ROWSPERSTRIP, stated.height()}, {TIFFTAG_BITSPERSAMPLE, 16}, {TIFFTAG_SAMPLESPERPIXEL, 1},
                {TIFFTAG_COMPRESSION, COMPRESSION_NONE}, {TIFFTAG_PHOTOMETRIC, 32803 /* colour filter array */},
                {TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG}});
  TIFFSetField(tif, TIFFTAG_CFAREPEATPATTERNDIM, repeat);
  TIFFSetField(tif, TIFFTAG_CFAPATTERN, 4, pattern);
  TIFFSetField(tif, TIFFTAG_WHITELEVEL, 1, &white);
  TIFFSetField(tif, TIFFTAG_BLACKLEVEL, 1, &black);
  std::vector<uint16_t> mosaic;
  for (int y = 0; y < size.height(); ++y)
    for (int x = 0; x < size.width(); ++x) mosaic.push_back(uint16_t(std::clamp(light(x, y), 0.0, 1.0) * white + 0.5));
  TIFFWriteRawStrip(tif, 0, mosaic.data(), tmsize_t(mosaic.size() * 2));
  TIFFWriteDirectory(tif);
  TIFFClose(tif);
  QFile file(path);
  const QByteArray written = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  file.remove();
  return written;
}

// The mean of every byte of a picture's pixels.
double meanLevel(FIBITMAP* dib) {
  double sum = 0;
  const unsigned line = FreeImage_GetWidth(dib) * FreeImage_GetBPP(dib) / 8;
  for (unsigned y = 0; y < FreeImage_GetHeight(dib); ++y)
    for (unsigned i = 0; i < line; ++i) sum += FreeImage_GetScanLine(dib, int(y))[i];
  return sum / (double(line) * FreeImage_GetHeight(dib));
}

QByteArray saved(FIBITMAP* dib, FREE_IMAGE_FORMAT format, const QString& path) {
  if (!FreeImage_Save(format, dib, QFile::encodeName(path).constData(), 0)) return QByteArray();
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// An icon of one 40 x 30 bitmap and its AND mask, whose set bits are transparent.
QByteArray icon(int bpp, const QByteArray& pixels, const QByteArray& andMask) {
  QByteArray info(40, 0), directory(22, 0);
  const quint32 fields[] = {40, 40, 60, 1 | quint32(bpp) << 16, 0, quint32(pixels.size() + andMask.size())};
  for (size_t i = 0; i < std::size(fields); ++i) qToLittleEndian(fields[i], info.data() + 4 * i);
  const quint16 entry[] = {0, 1, 1, 30 << 8 | 40, 0, 1, quint16(bpp)};  // reserved, icon, one; width, height; planes, bits
  for (size_t i = 0; i < std::size(entry); ++i) qToLittleEndian(entry[i], directory.data() + 2 * i);
  qToLittleEndian(quint32(info.size() + pixels.size() + andMask.size()), directory.data() + 14);
  qToLittleEndian(quint32(22), directory.data() + 18);
  return directory + info + pixels + andMask;
}

}  // namespace

class PictureTest : public QObject {
  Q_OBJECT
  QTemporaryDir dir;

  // Converts a source into the folder's "salida.jpg", from the decoder given
  // on (the next where it refuses), and opens that with Exiv2.
  Exiv2::Image::AutoPtr convert(const QString& source, int decoder = 0) {
    const QByteArray output = QFile::encodeName(dir.filePath("salida.jpg"));
    ConvertResult result = convertPicture({QFile::encodeName(source), output, {}, QSize(160, 120), 512, 0, decoder});
    if (result.retry) result = convertPicture({QFile::encodeName(source), output, {}, QSize(160, 120), 512, 0, decoder + 1});
    if (result.outcome != ConvertResult::Outcome::Written || !commitOutput(result.tempPath, output))
      return Exiv2::Image::AutoPtr();
    auto image = Exiv2::ImageFactory::open(output.toStdString());
    image->readMetadata();
    return image;
  }
  freeimage::Bitmap written() const { return freeimage::Load(FIF_JPEG, QFile::encodeName(dir.filePath("salida.jpg")), 0); }

 private slots:
  // CMYK pixels come out in sRGB as LittleCMS itself turns them, through
  // the picture's own profile, in a TIFF and in a Photoshop file.
  void cmykGoesThroughItsProfile() {
    const QByteArray profile = pictures::cmykProfile();
    const BYTE inks[2][4] = {{200, 30, 0, 10}, {0, 180, 220, 0}};
    freeimage::Bitmap cmyk = halves(QSize(64, 48), 32, inks[0], inks[1]);
    FreeImage_CreateICCProfile(cmyk.get(), const_cast<char*>(profile.data()), long(profile.size()))->flags |= FIICC_COLOR_IS_CMYK;
    const QString tiff = dir.filePath("cmyk.tif");
    QVERIFY(FreeImage_Save(FIF_TIFF, cmyk.get(), QFile::encodeName(tiff).constData(), TIFF_CMYK));
    // As Photoshop keeps it: ink as 255 less its amount, and the profile among its resources.
    QVERIFY(FreeImage_Save(FIF_PSD, cmyk.get(), QFile::encodeName(dir.filePath("cmyk.psd")).constData(), 0));

    cmsHPROFILE in = cmsOpenProfileFromMem(profile.constData(), cmsUInt32Number(profile.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile(), lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM expected = cmsCreateTransform(in, TYPE_CMYK_8, lab, TYPE_Lab_DBL, INTENT_PERCEPTUAL, 0);
    cmsHTRANSFORM shown = cmsCreateTransform(srgb, TYPE_RGB_8, lab, TYPE_Lab_DBL, INTENT_PERCEPTUAL, 0);
    for (const QString& source : {tiff, dir.filePath("cmyk.psd")}) {
      QVERIFY(convert(source).get());
      for (int half = 0; half < 2; ++half) {
        const QRgb pixel = pictures::pixel(written().get(), 40 + 80 * half, 60);
        const BYTE rgb[3] = {BYTE(qRed(pixel)), BYTE(qGreen(pixel)), BYTE(qBlue(pixel))};
        cmsCIELab want, got;
        cmsDoTransform(expected, inks[half], &want, 1);
        cmsDoTransform(shown, rgb, &got, 1);
        QVERIFY2(cmsDeltaE(&want, &got) < 3, qPrintable(source + ": " + QString::number(cmsDeltaE(&want, &got))));
      }
    }
    for (cmsHTRANSFORM t : {expected, shown}) cmsDeleteTransform(t);
    for (cmsHPROFILE p : {in, srgb, lab}) cmsCloseProfile(p);
  }

  // TIFFs are read as their tags say: CMYK without a profile through the
  // plain conversion, extra samples as transparency only where they are
  // named so (already multiplied into the colours or not), grey of any
  // depth widened, tiles and planes of every layout, rows as stored. Each
  // is checked as the conversion sees it before rescaling, decoded by the
  // first decoder for it; it then converts whole.
  void tiffsReadAsTheirTagsSay_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QList<QPoint>>("at");
    QTest::addColumn<QList<QRgb>>("shown");
    const QString samples = QStringLiteral(DIMENZO_TESTDATA "/tiff/");
    QTest::newRow("tiled jpeg cmyk") << samples + "tiff_tiled_cmyk_jpeg.tif" << QList<QPoint>{{10, 2}, {90, 90}}
                                     << QList<QRgb>{qRgb(255, 13, 25), qRgb(1, 4, 4)};
    const QList<QPoint> alphaAt{{30, 30}, {60, 10}};
    const QList<QRgb> overWhite{qRgb(232, 210, 202), qRgb(185, 183, 183)};
    QTest::newRow("16-bit associated alpha") << samples + "tiff_16bit_RGBa.tiff" << alphaAt << overWhite;
    QTest::newRow("planar tiles, associated alpha") << samples + "tiff_tiled_planar_16bit_RGBa.tiff" << alphaAt << overWhite;

    // Made here: top left full, top right a quarter, bottom nothing; in
    // colour, top left opaque red, top right transparent green, bottom
    // orange half transparent.
    auto make = [&](const char* tag, const std::function<void(pictures::Tiff&)>& describe) {
      const QString path = dir.filePath(QString(tag).replace(' ', '-') + ".tif");
      pictures::Tiff tiff;
      describe(tiff);
      if (!pictures::make(path, tiff)) qWarning("could not make %s", tag);
      return path;
    };
    const QList<QPoint> quarters{{5, 5}, {30, 5}, {5, 25}};
    auto grey = [](int bits) {
      return [bits](int x, int y, int) { return y >= 15 ? 0u : x < 20 ? (1u << bits) - 1 : 1u << (bits - 2); };
    };
    const QList<QRgb> greys{qRgb(255, 255, 255), qRgb(64, 64, 64), qRgb(0, 0, 0)};
    QTest::newRow("12-bit grey") << make("12-bit grey", [&](pictures::Tiff& t) {
      t.bits = 12, t.photometric = PHOTOMETRIC_MINISBLACK, t.colours = 1, t.sample = grey(12);
    }) << quarters << greys;
    QTest::newRow("8-bit grey") << make("8-bit grey", [&](pictures::Tiff& t) {
      t.photometric = PHOTOMETRIC_MINISBLACK, t.colours = 1, t.sample = grey(8);
    }) << quarters << greys;
    QTest::newRow("10-bit grey, 0 white, tiles") << make("10-bit grey", [&](pictures::Tiff& t) {
      t.bits = 10, t.photometric = PHOTOMETRIC_MINISWHITE, t.colours = 1, t.tiled = true, t.sample = grey(10);
    }) << quarters << QList<QRgb>{qRgb(0, 0, 0), qRgb(191, 191, 191), qRgb(255, 255, 255)};
    auto colour = [](int bits) {
      const quint32 full = (1u << bits) - 1, half = 1u << (bits - 1);
      return [=](int x, int y, int s) {
        const std::array<quint32, 4> red{full, 0, 0, full}, green{0, full, 0, 0}, orange{full, half, 0, half};
        return (y >= 15 ? orange : x < 20 ? red : green)[size_t(s)];
      };
    };
    const QList<QRgb> straight{qRgb(255, 0, 0), qRgb(255, 255, 255), qRgb(254, 190, 126)};
    const QList<QRgb> stored{qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(255, 128, 0)};
    QTest::newRow("10-bit colour, unassociated alpha") << make("10-bit alpha", [&](pictures::Tiff& t) {
      t.bits = 10, t.extras = {EXTRASAMPLE_UNASSALPHA}, t.sample = colour(10);
    }) << quarters << straight;
    QTest::newRow("8-bit colour, unassociated alpha") << make("8-bit alpha", [&](pictures::Tiff& t) {
      t.extras = {EXTRASAMPLE_UNASSALPHA}, t.sample = colour(8);
    }) << quarters << straight;
    QTest::newRow("8-bit colour, unspecified extra sample") << make("8-bit extra", [&](pictures::Tiff& t) {
      t.extras = {EXTRASAMPLE_UNSPECIFIED}, t.sample = colour(8);
    }) << quarters << stored;
    QTest::newRow("8-bit colour, turned half round") << make("8-bit turned", [&](pictures::Tiff& t) {
      t.sample = colour(8), t.tags = [](TIFF* tiff) { TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_BOTRIGHT); };
    }) << quarters << stored;
    // As Photoshop on a Mac saves them, with EXIF, IPTC and Photoshop's own
    // block: the image library wrecks its heap on such an IPTC block.
    QTest::newRow("big-endian, from Photoshop") << make("photoshop", [&](pictures::Tiff& t) {
      t.bigEndian = true, t.sample = colour(8), t.exif = [](TIFF* tiff) { TIFFSetField(tiff, EXIFTAG_EXPOSURETIME, 0.01); };
      t.tags = [](TIFF* tiff) {
        TIFFSetField(tiff, TIFFTAG_RICHTIFFIPTC, 20u, "\x1c\x02\x00\x00\x02\x00\x04\x1c\x02\x78\x00\x05Playa\x00\x00\x00");
        TIFFSetField(tiff, TIFFTAG_PHOTOSHOP, 12u, "8BIM\x04\x04\x00\x00\x00\x00\x00\x00");
      };
    }) << quarters << stored;
  }
  void tiffsReadAsTheirTagsSay() {
    QFETCH(QString, file);
    QFETCH(QList<QPoint>, at);
    QFETCH(QList<QRgb>, shown);
    Result<DecodedPicture> decoded = decodePicture({QFile::encodeName(file), QSize(160, 120), true, {}, {}});
    QVERIFY2(decoded, qPrintable(decoded.reason()));
    const freeimage::Bitmap pixels = decoded->cmyk ? colour::cmykToSrgb(decoded->pixels.get(), decoded->iccProfile)
                                                   : freeimage::ToRgb24(decoded->pixels.get(), decoded->fourth);
    QVERIFY(pixels);
    QCOMPARE(unlike(pixels.get(), at, shown, 3), QString());
    QVERIFY(convert(file).get());
  }

  // Pictures come out as their files say they look, whichever decoder
  // reads them. Every variant of BMP's headers and bit fields shows its
  // picture; a fourth byte is transparency only where the file says so,
  // and not where it is 0 everywhere; pixels a run-length stream skips are
  // white. So for the other formats read as 32 bits: TGA, whose descriptor
  // counts the bits of alpha, and icons, whose AND mask is their
  // transparency. A GIF's first frame is drawn on its canvas, not stretched
  // over it; a palette PNG goes through its gamma, as its truecolour twin;
  // a Photoshop file's merged colours, already laid over white, come as
  // they are; floating-point light as viewers show it, brighter than white
  // clipped. Most are red on the left, white (or transparent) on the right.
  void picturesShowAsTheirFilesSay_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QList<QPoint>>("at");
    QTest::addColumn<QList<QRgb>>("shown");
    QTest::addColumn<int>("tolerance");
    QTest::addColumn<int>("decoder");  // the first tried
    const auto row = [](const char* name, const QByteArray& file, const QList<QRgb>& shown = {qRgb(255, 0, 0), qRgb(255, 255, 255)},
                        int tolerance = 15, const QList<QPoint>& at = {{20, 60}, {140, 60}}, int decoder = 0) {
      QTest::newRow(name) << file << at << shown << tolerance << decoder;
    };
    // Rows of 20 red pixels, then 20 white (or transparent, hiding green).
    const QByteArray rgb = (QByteArray("\0\0\xff", 3).repeated(20) + QByteArray(60, '\xff')).repeated(30);
    const QByteArray rgba = (QByteArray("\0\0\xff\xff", 4).repeated(20) + QByteArray("\0\xff\0\0", 4).repeated(20)).repeated(30);
    const QByteArray rgb0 = halves(32, 0x00FF0000, 0x00FFFFFF);
    const QByteArray twoColours("\0\0\xff\0\xff\xff\xff\0", 8);
    const QByteArray rle = QByteArray("\x14\x00\x14\x01\x00\x00", 6).repeated(30) + QByteArray("\x00\x01", 2);
    const QSize size(40, 30);
    row("v5 32-bit alpha", bmp(size, 32, 3, rgba));
    row("v5 32-bit alpha 0 everywhere", bmp(size, 32, 3, rgb0));
    row("v5 32-bit alpha, no bit fields", bmp(size, 32, 0, rgba));
    row("32-bit, fourth byte not 0", bmp(size, 32, 0, halves(32, 0x40FF0000, 0x80FFFFFF), {}, 40));
    row("16-bit 4-4-4", bmp(size, 16, 3, halves(16, 0x0F00, 0x0FFF), {}, 40, {0x0F00, 0x00F0, 0x000F}));
    row("16-bit 2-3-1", bmp(size, 16, 3, halves(16, 0x0030, 0x003F), {}, 40, {0x0030, 0x000E, 0x0001}));
    row("32-bit masks out of order", bmp(size, 32, 3, halves(32, 0xFF000000, 0xFFFF0FF0), {}, 40, {0xFF000000, 0x00000FF0, 0x00FF0000}));
    row("v5 16-bit alpha", bmp(size, 16, 3, halves(16, 0xFF00, 0x00F0), {}, 124, {0x0F00, 0x00F0, 0x000F, 0xF000}));
    row("v5 16-bit alpha of 1 bit", bmp(size, 16, 3, halves(16, 0xFC00, 0x03E0), {}, 124, {0x7C00, 0x03E0, 0x001F, 0x8000}));
    row("56-byte header, alpha 0 everywhere", bmp(size, 16, 3, halves(16, 0x0F00, 0x0FFF), {}, 56, {0x0F00, 0x00F0, 0x000F, 0xF000}));
    row("os/2 16-byte header", bmp(size, 8, 0, (QByteArray(20, 0) + QByteArray(20, 1)).repeated(30), twoColours, 16));
    row("rle8 top-down", bmp(QSize(40, -30), 8, 1, rle, twoColours));
    // Pixels a damaged file never sets, whatever memory held: rows an RLE stream skips, a file cut short.
    const QByteArray tenRedRows = QByteArray("\x64\x00\x00\x00", 4).repeated(10);
    row("rle8 skips rows", bmp(QSize(100, 100), 8, 1, tenRedRows + QByteArray("\x00\x02\x00\x50", 4) + tenRedRows, twoColours),
        {qRgb(255, 0, 0), qRgb(255, 255, 255), qRgb(255, 0, 0)}, 15, {{80, 5}, {80, 60}, {80, 115}});
    row("24-bit cut short", bmp(QSize(100, 100), 24, 0, QByteArray("\0\0\xff", 3).repeated(100 * 10), {}, 40),
        {qRgb(255, 255, 255), qRgb(255, 0, 0)}, 15, {{80, 60}, {80, 115}});
    // Pixels where the file says, past a gap or a palette that pixels of 16 bits do not use.
    QByteArray gap = bmp(size, 24, 0, rgb, {}, 40).insert(54, QByteArray(100, '\0'));
    qToLittleEndian(quint32(154), gap.data() + 10);
    row("gap before the pixels", gap);
    row("16-bit with a palette", bmp(size, 16, 3, halves(16, 0xF800, 0xFFFF), twoColours, 40, {0xF800, 0x07E0, 0x001F}));

    const QByteArray redHiddenGreen = (QByteArray("\0\0\xff\0", 4).repeated(20) + QByteArray("\0\xff\0\0", 4).repeated(20)).repeated(30);
    const QByteArray rightHalfMasked = QByteArray("\0\0\x0f\xff\xff\0\0\0", 8).repeated(30);
    // A TGA's descriptor counts the bits of alpha: the library writes 8, which the first row takes away.
    const auto tga = [&](const void* left, const void* right, bool alphaBits) {
      QByteArray file = saved(halves(size, 32, left, right).get(), FIF_TARGA, dir.filePath("a.tga"));
      return alphaBits ? file : file.replace(17, 1, QByteArray(1, char(file[17] & 0xF0)));
    };
    row("tga, no alpha bits", tga("\0\0\xff\x40", "\xff\xff\xff\x80", false));
    row("tga, alpha 0 everywhere", tga("\0\0\xff\0", "\xff\xff\xff\0", true));
    row("tga alpha", tga("\0\0\xff\xff", "\0\xff\0\0", true));
    row("icon, alpha 0 everywhere, masked", icon(32, redHiddenGreen, rightHalfMasked));
    row("icon, alpha 0 everywhere, no mask", icon(32, rgb0, QByteArray(8 * 30, 0)));
    row("icon alpha", icon(32, rgba, QByteArray(8 * 30, 0)));
    // Where the image library reads a BMP in gdk-pixbuf's stead, it takes its fourth byte as the file says too.
    row("second decoder, fourth byte not 0", bmp(size, 32, 0, halves(32, 0x40FF0000, 0x80FFFFFF), {}, 40), {qRgb(255, 0, 0), qRgb(255, 255, 255)},
        15, {{20, 60}, {140, 60}}, 1);

    QFile gif(QStringLiteral(DIMENZO_TESTDATA "/image-inside-bg.gif"));  // a red pixel at the top left of a 2x2 canvas
    QVERIFY(gif.open(QIODevice::ReadOnly));
    // (The B-spline spreads the red pixel across its quarter.)
    row("gif frame on its canvas", gif.readAll(), {qRgb(255, 0, 0), qRgb(255, 255, 255)}, 40, {{5, 5}, {150, 110}});
    freeimage::Bitmap palette(FreeImage_Allocate(64, 48, 8));
    FreeImage_GetPalette(palette.get())[0] = {32, 64, 128, 0};  // blue, green, red; every index 0
    FreeImage_GetPalette(palette.get())[1] = {0, 0, 0, 0};
    // At gamma 1.0 the palette's 128, 64, 32 are linear light: 188, 137, 99 in sRGB.
    row("palette png gamma", withGamma(saved(palette.get(), FIF_PNG, dir.filePath("paleta.png")), 1.0), {qRgb(188, 137, 99), qRgb(188, 137, 99)}, 4);
    const freeimage::Bitmap merged = halves(QSize(64, 48), 32, "\x00\x80\xff\x80", "\x3c\x28\x14\xff");  // blue, green, red, alpha
    row("psd merged over white", saved(merged.get(), FIF_PSD, dir.filePath("mezcla.psd")), {qRgb(255, 128, 0), qRgb(20, 40, 60)}, 4);
    // Transparency laid over white hides the green under it, even where the B-spline spreads the edge.
    const QList<QRgb> edge{qRgb(255, 0, 0), qRgb(237, 218, 224), qRgb(255, 255, 255)};
    for (const auto& [name, kind, format] : {std::tuple("png rgba", Kind::Rgba32, FIF_PNG), {"gif palette", Kind::Palette8, FIF_GIF}})
      row(name, saved(pictures::make(QSize(150, 200), kind).get(), format, dir.filePath(name)), edge, 15, {{20, 60}, {80, 60}, {140, 60}});
    // 16 bits a channel, of which the top 8 count, in a format only the image library reads: red
    // from left to right, green from bottom to top.
    row("psd 48-bit", saved(pictures::make(QSize(150, 200), Kind::Rgb48).get(), FIF_PSD, dir.filePath("b.psd")), {qRgb(30, 125, 127), qRgb(227, 124, 125)});
    const FIRGBF grey{0.5f, 0.5f, 0.5f}, bright{4, 0.2f, 0};
    const freeimage::Bitmap light = halves(QSize(64, 48), 96, &grey, &bright, FIT_RGBF);
    row("exr linear light", saved(light.get(), FIF_EXR, dir.filePath("luz.exr")), {qRgb(188, 188, 188), qRgb(255, 124, 0)}, 4);
  }
  void picturesShowAsTheirFilesSay() {
    QFETCH(QByteArray, file);
    QFETCH(QList<QPoint>, at);
    QFETCH(QList<QRgb>, shown);
    QFETCH(int, tolerance);
    QFETCH(int, decoder);
    QVERIFY(pictures::write(dir.filePath("imagen"), file));
    QVERIFY(convert(dir.filePath("imagen"), decoder).get());
    QCOMPARE(unlike(written().get(), at, shown, tolerance), QString());
  }

  // Our resampler stands in for the library's B-spline rescale: every byte
  // within one level of the library's, and only the odd one in a few
  // hundred off by that much (a sum within a hair of a half: whole-number
  // weights move it a little), whichever pass goes first, on
  // windows of every width, on either set of vector instructions. A
  // transparent picture comes out as the library's composite onto white
  // would, whether it is composited a row at a time or whole; one whose
  // fourth byte is padding, as the library's 24-bit copy.
  void resamplingMatchesTheLibrary_data() {
    QTest::addColumn<QSize>("from");
    QTest::addColumn<QSize>("to");
    QTest::addColumn<int>("bpp");
    QTest::addColumn<int>("set");
    QTest::addColumn<freeimage::FourthChannel>("fourth");
    const struct {
      const char* name;
      QSize from, to;
      int bpp;
      freeimage::FourthChannel fourth = freeimage::FourthChannel::Alpha;
    } cases[] = {
        {"shrink both", {1203, 777}, {640, 480}, 24},
        {"enlarge both, odd rows", {97, 61}, {320, 241}, 24},
        {"width only, odd rows", {900, 481}, {640, 481}, 24},
        {"height only, rows not of whole vectors", {641, 999}, {641, 480}, 24},
        {"one pixel", {1, 1}, {160, 120}, 24},
        {"thin strip", {5000, 3}, {160, 120}, 24},
        {"grey", {1203, 777}, {800, 600}, 8},
        {"transparent, shrink both", {1203, 777}, {640, 480}, 32},
        {"transparent, enlarge both", {97, 61}, {320, 241}, 32},
        {"padding, shrink both", {1203, 777}, {640, 480}, 32, freeimage::FourthChannel::Padding},
    };
    for (const auto& c : cases)
      for (const auto set : {freeimage::VectorSet::Best, freeimage::VectorSet::Sse2})
        QTest::addRow("%s, %s", c.name, set == freeimage::VectorSet::Best ? "best" : "sse2")
            << c.from << c.to << c.bpp << int(set) << c.fourth;
  }
  void resamplingMatchesTheLibrary() {
    QFETCH(QSize, from);
    QFETCH(QSize, to);
    QFETCH(int, bpp);
    QFETCH(int, set);
    QFETCH(freeimage::FourthChannel, fourth);
    freeimage::Bitmap source = pictures::noise(from, bpp, quint32(from.width() * 7 + bpp));
    FreeImage_SetDotsPerMeterX(source.get(), 2835);
    freeimage::Bitmap composite;
    if (bpp == 32) {
      // Opaque at the top, as most of a transparent picture is.
      for (int y = from.height() / 2; y < from.height(); ++y)
        for (int x = 0; x < from.width(); ++x) FreeImage_GetScanLine(source.get(), y)[4 * x + FI_RGBA_ALPHA] = 255;
      RGBQUAD white{255, 255, 255, 0};
      composite.reset(fourth == freeimage::FourthChannel::Padding ? FreeImage_ConvertTo24Bits(source.get())
                                                                  : FreeImage_Composite(source.get(), FALSE, &white));
    }
    freeimage::Bitmap theirs =
        freeimage::Rescale(composite ? composite.get() : source.get(), to.width(), to.height(), FILTER_BSPLINE);
    freeimage::Bitmap ours =
        freeimage::RescaleBSpline(source.get(), to.width(), to.height(), fourth, freeimage::VectorSet(set));
    QVERIFY(theirs && ours);
    QCOMPARE(FreeImage_GetWidth(ours.get()), FreeImage_GetWidth(theirs.get()));
    QCOMPARE(FreeImage_GetHeight(ours.get()), FreeImage_GetHeight(theirs.get()));
    QCOMPARE(FreeImage_GetBPP(ours.get()), FreeImage_GetBPP(theirs.get()));
    QCOMPARE(FreeImage_GetColorType(ours.get()), FreeImage_GetColorType(theirs.get()));
    int largest = 0;
    qint64 differing = 0;
    const unsigned line = FreeImage_GetLine(ours.get());
    for (int y = 0; y < to.height(); ++y) {
      const BYTE* p = FreeImage_GetScanLine(ours.get(), y);
      const BYTE* q = FreeImage_GetScanLine(theirs.get(), y);
      for (unsigned x = 0; x < line; ++x) {
        largest = std::max(largest, std::abs(p[x] - q[x]));
        differing += p[x] != q[x];
      }
    }
    const qint64 bytes = qint64(line) * to.height();
    const QByteArray figures = QByteArray::number(largest) + " at most, " + QByteArray::number(differing) + " of " +
                               QByteArray::number(bytes) + " bytes";
    QVERIFY2(largest <= 1 && differing * 200 <= bytes, figures.constData());
    QCOMPARE(FreeImage_GetDotsPerMeterX(ours.get()), 2835u);
    // The sums are exact: both sets of instructions make the same bytes.
    if (set == int(freeimage::VectorSet::Sse2)) {
      const freeimage::Bitmap best = freeimage::RescaleBSpline(source.get(), to.width(), to.height(), fourth);
      for (int y = 0; y < to.height(); ++y)
        QVERIFY(!std::memcmp(FreeImage_GetScanLine(ours.get(), y), FreeImage_GetScanLine(best.get(), y), line));
    }
  }

  // A phone's photo as HEIC, AVIF or JPEG XL comes out as the same photo
  // as a JPEG would: rescaled as stored to the preset's size, with the
  // Orientation that shows it as the file does. HEIF's rotation and mirror
  // boxes (a JPEG XL's header) say how; the EXIF inside, only a note, is
  // never applied on top, even where it disagrees; a file without EXIF
  // gets one for its Orientation. That EXIF goes through the list as any
  // picture's: the author stays, the place goes.
  void phonePhotosComeOutAsTheirJpegWould_data() {
    QTest::addColumn<pictures::Codec>("codec");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<bool>("exif");
    QTest::newRow("heic held upright") << pictures::Codec::Hevc << 6 << true;
    QTest::newRow("heic transposed") << pictures::Codec::Hevc << 5 << true;
    QTest::newRow("avif upside down") << pictures::Codec::Av1 << 3 << true;
    QTest::newRow("avif mirrored") << pictures::Codec::Av1 << 2 << true;
    QTest::newRow("avif as taken") << pictures::Codec::Av1 << 1 << true;
    QTest::newRow("jxl held upright") << pictures::Codec::Jxl << 6 << true;
    QTest::newRow("jxl transverse, no exif") << pictures::Codec::Jxl << 7 << false;
  }
  void phonePhotosComeOutAsTheirJpegWould() {
    QFETCH(pictures::Codec, codec);
    QFETCH(int, orientation);
    QFETCH(bool, exif);
    pictures::Encoding encoding;
    encoding.orientation = orientation;
    if (exif) {  // as a phone writes it, with a place and an Orientation of its own
      Exiv2::ExifData data;
      data["Exif.Image.Orientation"] = uint16_t(8);
      data["Exif.Image.Artist"] = "Ana";
      data["Exif.GPSInfo.GPSLatitude"] = "40/1 25/1 0/1";
      Exiv2::Blob blob;
      Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, data);
      encoding.exif = QByteArray(reinterpret_cast<const char*>(blob.data()), qsizetype(blob.size()));
    }
    QVERIFY(pictures::write(dir.filePath("movil"), pictures::encoded(pictures::quarters(QSize(128, 96)).get(), codec, encoding)));
    const Exiv2::Image::AutoPtr output = convert(dir.filePath("movil"));
    QVERIFY(output.get());
    const auto shown = output->exifData().findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
    QCOMPARE(shown == output->exifData().end() ? 1 : int(shown->toLong()), orientation);
    QCOMPARE(QSize(output->pixelWidth(), output->pixelHeight()), QSize(160, 120));
    // As stored: red, green / blue, white.
    QCOMPARE(unlike(written().get(), {{40, 30}, {120, 30}, {40, 90}, {120, 90}},
                    {qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255), qRgb(255, 255, 255)}, 47), QString());
    if (!exif) return;
    QCOMPARE(QString::fromStdString(output->exifData()["Exif.Image.Artist"].toString()), "Ana");
    QVERIFY(output->exifData().findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSLatitude")) == output->exifData().end());
  }

  // A phone's colours go on as the file tells them: its profile as it is;
  // numbers for a colour space (Display P3) as the matching profile; HDR
  // light (BT.2100's PQ) brought into sRGB, its reference white as white;
  // 10 and 12 bits as 16-bit pictures are, by their top bits.
  void phoneColoursAsTheFileTellsThem() {
    const auto profileOf = [this](const pictures::Encoding& encoding, pictures::Codec codec) {
      const QString source = dir.filePath("color");
      const Exiv2::Image::AutoPtr output =
          pictures::write(source, pictures::encoded(pictures::quarters(QSize(128, 96)).get(), codec, encoding))
              ? convert(source)
              : Exiv2::Image::AutoPtr();
      if (!output.get() || !output->iccProfileDefined()) return QByteArray();
      return QByteArray(reinterpret_cast<const char*>(output->iccProfile()->pData_), output->iccProfile()->size_);
    };
    pictures::Encoding withProfile;
    withProfile.icc = pictures::rgbProfile({0.64, 0.33, 0.21, 0.71, 0.15, 0.06});
    QCOMPARE(profileOf(withProfile, pictures::Codec::Hevc), withProfile.icc);

    pictures::Encoding displayP3;
    displayP3.primaries = 12;
    const QByteArray made = profileOf(displayP3, pictures::Codec::Av1), p3 = pictures::rgbProfile({0.68, 0.32, 0.265, 0.69, 0.15, 0.06});
    cmsHPROFILE a = cmsOpenProfileFromMem(made.constData(), cmsUInt32Number(made.size()));
    cmsHPROFILE b = cmsOpenProfileFromMem(p3.constData(), cmsUInt32Number(p3.size()));
    for (const cmsTagSignature colorant : {cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag}) {
      const auto* x = a ? static_cast<const cmsCIEXYZ*>(cmsReadTag(a, colorant)) : nullptr;
      const auto* y = static_cast<const cmsCIEXYZ*>(cmsReadTag(b, colorant));
      QVERIFY2(x && qAbs(x->X - y->X) < 0.005 && qAbs(x->Y - y->Y) < 0.005 && qAbs(x->Z - y->Z) < 0.005, "P3 primaries");
    }
    if (a) cmsCloseProfile(a);
    cmsCloseProfile(b);

    // (libheif 1.15 cannot have libaom write more than 8 bits.)
    for (const int bits : {10, 12}) {
      pictures::Encoding deep;
      deep.bits = bits;
      QVERIFY(profileOf(deep, pictures::Codec::Hevc).isEmpty());  // sRGB needs none
      QCOMPARE(unlike(written().get(), {{40, 30}, {120, 90}}, {qRgb(255, 0, 0), qRgb(255, 255, 255)}, 23), QString());
    }

    // PQ's signal for 203 cd/m² is 0.5806: 148 of 255. Left that grey,
    // right black.
    const freeimage::Bitmap hdr = halves(QSize(128, 96), 24, "\x94\x94\x94", "\0\0\0");
    pictures::Encoding pq;
    pq.bits = 10;
    pq.primaries = 9;
    pq.transfer = 16;
    for (const pictures::Codec codec : {pictures::Codec::Hevc, pictures::Codec::Jxl}) {
      QVERIFY(pictures::write(dir.filePath("pq"), pictures::encoded(hdr.get(), codec, pq)));
      const Exiv2::Image::AutoPtr output = convert(dir.filePath("pq"));
      QVERIFY(output.get() && !output->iccProfileDefined());
      QCOMPARE(unlike(written().get(), {{30, 60}, {130, 60}}, {qRgb(255, 255, 255), qRgb(0, 0, 0)}, 19), QString());
    }
  }

  // A camera's raw file comes out as the camera would show it: developed
  // into sRGB with its white balance, as bright as the camera's own
  // preview (never the sensor's linear light); its full-size preview where
  // that is large enough; either way as stored, with its Orientation. A
  // raw file without its data says so rather than come out one colour.
  void rawFilesShowWhatTheCameraWould() {
    const QSize sensor(256, 192);
    const auto scene = [&](int x, int) { return 0.02 + 0.98 * x / (sensor.width() - 1); };
    // The camera's small preview: the same scene, in sRGB.
    freeimage::Bitmap preview(FreeImage_Allocate(64, 48, 24));
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x) {
        const double linear = scene(x * sensor.width() / 64, 0);
        const double srgb = linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
        memset(FreeImage_GetScanLine(preview.get(), y) + 3 * x, int(srgb * 255 + 0.5), 3);
      }
    const QString raw = dir.filePath("foto.dng");
    QVERIFY(pictures::write(raw, dng(sensor, scene, preview.get())));
    Exiv2::Image::AutoPtr output = convert(raw);
    QVERIFY(output.get());
    QCOMPARE(output->exifData()["Exif.Image.Orientation"].toLong(), 6L);
    const freeimage::Bitmap developed = written();
    QCOMPARE(QSize(int(FreeImage_GetWidth(developed.get())), int(FreeImage_GetHeight(developed.get()))), QSize(160, 120));
    // Dark to light from left to right, as stored, not turned.
    QVERIFY(qGreen(pictures::pixel(developed.get(), 150, 60)) - qGreen(pictures::pixel(developed.get(), 10, 60)) > 150);
    const double brightness = meanLevel(developed.get()), camera = meanLevel(preview.get());
    QVERIFY2(qAbs(brightness - camera) <= 0.1 * camera, qPrintable(QString("%1 against %2").arg(brightness).arg(camera)));

    QVERIFY(pictures::write(raw, dng(sensor, scene, halves(QSize(400, 300), 24, "\x3c\x3c\xc8", "\x3c\x3c\xc8").get())));
    output = convert(raw);
    QVERIFY(output.get());
    QCOMPARE(output->exifData()["Exif.Image.Orientation"].toLong(), 6L);
    QCOMPARE(unlike(written().get(), {{80, 60}}, {qRgb(200, 60, 60)}, 7), QString());
  }

  // What libheif, libjxl or LibRaw cannot read is told with the reason: a
  // sequence with no still picture, a file cut short, a raw file pruned to
  // its metadata (its data missing, or all 0) rather than one colour.
  void unreadablePhonePicturesSayWhy_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("reason");
    const freeimage::Bitmap stored = pictures::quarters(QSize(128, 96));
    QTest::newRow("sequence") << QByteArray("\0\0\0\x14" "ftypmsf1\0\0\0\0msf1" "\0\0\0\x08moov", 28)
                              << "Es una secuencia de imágenes HEIF sin imagen principal";
    const QByteArray heic = pictures::encoded(stored.get(), pictures::Codec::Hevc);
    QTest::newRow("heic cut short") << heic.left(heic.size() - 400) << "El archivo está dañado o su formato no se admite (libheif:";
    const QByteArray jxl = pictures::encoded(stored.get(), pictures::Codec::Jxl);
    QTest::newRow("jxl cut short") << jxl.left(jxl.size() / 2) << "El archivo está dañado o su formato no se admite (libjxl:";
    const QString pruned = "El archivo RAW no contiene los datos de la imagen, solo sus metadatos.";
    const auto light = [](int, int) { return 0.5; };
    QTest::newRow("raw, data missing") << dng(QSize(32, 32), light, stored.get(), QSize(4096, 3072)) << pruned;
    QTest::newRow("raw, data all 0") << dng(QSize(256, 192), [](int, int) { return 0.0; }, stored.get()) << pruned;
  }
  void unreadablePhonePicturesSayWhy() {
    QFETCH(QByteArray, file);
    QFETCH(QString, reason);
    const QString source = dir.filePath("ilegible");
    QVERIFY(pictures::write(source, file));
    const ConvertResult result = convertPicture({QFile::encodeName(source), QFile::encodeName(source) + ".jpg", {}, QSize(160, 120), 512});
    QCOMPARE(result.outcome, ConvertResult::Outcome::NotRescaled);
    QVERIFY2(result.reason.startsWith(reason), qPrintable(result.reason));
  }

  // The size comes from the header alone, for baseline and progressive
  // JPEGs alike; a JPEG claiming a huge frame is refused unread.
  void oversizedPicturesAreRefused() {
    const QByteArray baseline = QFile::encodeName(dir.filePath("base.jpg")), progressive = baseline + ".p.jpg";
    freeimage::Bitmap dib = pictures::make(QSize(333, 222));
    QVERIFY(FreeImage_Save(FIF_JPEG, dib.get(), progressive.constData(), JPEG_PROGRESSIVE));
    QCOMPARE(freeimage::ProbeSize(FIF_JPEG, progressive), std::optional<QSize>(QSize(333, 222)));

    QByteArray bytes = freeimage::EncodeJpeg(dib.get(), 0);
    const qsizetype sof = bytes.indexOf(QByteArray("\xFF\xC0", 2));
    bytes[sof + 5] = bytes[sof + 6] = bytes[sof + 7] = bytes[sof + 8] = char(0xEA);  // 60138 x 60138
    QVERIFY(pictures::write(QFile::decodeName(baseline), bytes));
    const ConvertResult result = convertPicture({baseline, baseline + ".salida", {}, QSize(64, 48), 512});
    QCOMPARE(result.outcome, ConvertResult::Outcome::NotRescaled);
    QCOMPARE(result.reason, "La imagen mide 60138 x 60138 píxeles: más de los 178.956.970 píxeles que se admiten.");

    // A TIFF's comes from its header: one that claims 60000 x 50000 pixels
    // over a few rows of data is refused before they are read.
    const QString tiffPath = dir.filePath("enorme.tif");
    pictures::Tiff claim;
    claim.size = QSize(60000, 3);
    claim.tags = [](TIFF* tiff) { TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 50000u); };
    QVERIFY(pictures::make(tiffPath, claim));
    QCOMPARE(tiffDecoder().probeSize(QFile::encodeName(tiffPath)), std::optional<QSize>(QSize(60000, 50000)));
    QCOMPARE(rescalePicture(QFile::encodeName(tiffPath), QSize(64, 48)).reason(),
             "La imagen mide 60000 x 50000 píxeles: más de los 178.956.970 píxeles que se admiten.");

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
