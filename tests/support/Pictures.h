#pragma once

#include "convert/FreeImage.h"

#include <QList>
#include <QRgb>
#include <QSize>
#include <QString>

#include <tiffio.h>

#include <array>
#include <functional>
#include <vector>

// Pictures made on the spot for the tests.
namespace pictures {

enum class Kind {
  Rgb24,        // a colour ramp
  Rgba32,       // left half opaque red; right half transparent, hiding green
  Palette8,     // left half red; right half a transparent entry hiding black
  Rgb48,        // 16 bits per channel
};

freeimage::Bitmap make(QSize size, Kind kind = Kind::Rgb24);
// Writes a picture of the given size, kind and format; false if the library refused.
bool make(const QString& path, QSize size, FREE_IMAGE_FORMAT format = FIF_PNG, Kind kind = Kind::Rgb24);
// Random bytes, the same for the same seed: what compresses worst.
freeimage::Bitmap noise(QSize size, int bpp, quint32 seed);
// A colour profile of gamma 2.2 and white D65 with these primaries (x and y
// of red, green and blue).
QByteArray rgbProfile(const std::array<double, 6>& primaries);
// A CMYK input profile: each ink darkens and tints the paper in its way.
QByteArray cmykProfile();

// A TIFF as other programs write them, through libtiff: any depth up to 16
// bits, samples interleaved, in strips or 16x16 tiles.
struct Tiff {
  QSize size{40, 30};
  int bits = 8;
  int photometric = PHOTOMETRIC_RGB;
  int colours = 3;
  std::vector<uint16_t> extras;  // what each extra sample is, as ExtraSamples says
  bool tiled = false;
  bool bigEndian = false;
  // Each stored sample, by column, row from the top and sample.
  std::function<quint32(int x, int y, int sample)> sample = [](int, int, int) { return 0u; };
  // More tags, set before the pixels go in.
  std::function<void(TIFF*)> tags = [](TIFF*) {};
  // An EXIF directory, filled here, is written after the picture's.
  std::function<void(TIFF*)> exif;
};
bool make(const QString& path, const Tiff& tiff);

// What phones and cameras write, encoded on the spot with libheif (HEVC or
// AV1) and libjxl. `stored` is 24-bit colour as the file is to store it;
// `orientation` how it is to be shown (HEIF's rotation and mirror boxes, a
// JPEG XL header's orientation); `exif` a TIFF-headed EXIF block; `bits`
// 8, 10 or 12 (each sample stretched from its 8 bits); `primaries` and
// `transfer` the colour space's numbers (ITU-T H.273; a JPEG XL knows
// BT.2100's primaries and the transfers).
// Empty when the library refuses.
struct Encoding {
  int orientation = 1;
  QByteArray exif;
  int bits = 8;
  int primaries = 1, transfer = 13;
  QByteArray icc;
};
enum class Codec { Hevc, Av1, Jxl };
QByteArray encoded(FIBITMAP* stored, Codec codec, const Encoding& encoding = {});
// A picture of four quarters, for telling which way it lies: red at the
// top left, green at the top right, blue at the bottom left, white at the
// bottom right.
freeimage::Bitmap quarters(QSize size);
bool write(const QString& path, const QByteArray& bytes);

// The colour at one pixel, x from the left and y from the top.
QRgb pixel(FIBITMAP* dib, int x, int y);

// Conversion workers running as children of this process.
QList<qint64> workerPids();

// Everything in a folder, hidden files included, by name as the user reads
// it (Qt's own listing skips names that are not text).
QStringList entries(const QString& folder);
// Removes a tree, whatever the bytes of its names.
void removeTree(const QString& root);

}  // namespace pictures
