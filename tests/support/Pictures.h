#pragma once

#include <FreeImage.h>

#include <QColor>
#include <QSize>
#include <QString>

// Pictures made on the spot for the tests.
namespace pictures {

enum class Kind {
  Rgb24,       // plain colour
  Rgba32,      // colour with an alpha channel: left half opaque red, right half transparent
  Grey8,
  Palette8,
  Rgb48,       // 16 bits per channel
  Grey16,
  RgbFloat,    // floating point, as HDR and EXR hold
};

// Writes a picture of the given size, kind and format; false if the library refused.
bool make(const QString& path, QSize size, FREE_IMAGE_FORMAT format = FIF_PNG,
          Kind kind = Kind::Rgb24);

// A small PNG whose header claims the given size; its pixels are not there.
void makeBombHeader(const QString& path, QSize claimed);

struct Info {
  FREE_IMAGE_FORMAT format = FIF_UNKNOWN;
  QSize size;
  unsigned bpp = 0;
};
// What the library sees in a file.
Info inspect(const QString& path);

// The colour at one pixel (x from the left, y from the top) of a decoded file.
QRgb pixel(const QString& path, int x, int y);

// Conversion workers still running as children of this process.
int runningWorkers();

}  // namespace pictures
