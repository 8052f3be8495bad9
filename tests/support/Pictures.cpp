#include "support/Pictures.h"

#include "convert/FreeImage.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QtEndian>

#include <memory>

namespace pictures {
namespace {

using freeimage::Bitmap;

// A colour ramp, so that a rescaled copy still holds varied pixels.
BYTE ramp(int at, int length) { return BYTE(length > 1 ? at * 255 / (length - 1) : 0); }

Bitmap makeBitmap(QSize size, Kind kind) {
  const int w = size.width();
  const int h = size.height();
  switch (kind) {
    case Kind::Rgb24:
    case Kind::Rgba32: {
      const int bpp = kind == Kind::Rgb24 ? 24 : 32;
      Bitmap dib(FreeImage_Allocate(w, h, bpp));
      for (int y = 0; y < h; ++y) {
        BYTE* line = FreeImage_GetScanLine(dib.get(), y);
        for (int x = 0; x < w; ++x, line += bpp / 8) {
          if (kind == Kind::Rgba32) {
            const bool opaque = x < w / 2;
            line[FI_RGBA_RED] = 255;
            line[FI_RGBA_GREEN] = 0;
            line[FI_RGBA_BLUE] = 0;
            line[FI_RGBA_ALPHA] = opaque ? 255 : 0;
          } else {
            line[FI_RGBA_RED] = ramp(x, w);
            line[FI_RGBA_GREEN] = ramp(y, h);
            line[FI_RGBA_BLUE] = 128;
          }
        }
      }
      return dib;
    }
    case Kind::Grey8:
    case Kind::Palette8: {
      Bitmap dib(FreeImage_Allocate(w, h, 8));
      RGBQUAD* palette = FreeImage_GetPalette(dib.get());
      for (int i = 0; i < 256; ++i) {
        palette[i].rgbRed = BYTE(i);
        palette[i].rgbGreen = BYTE(kind == Kind::Grey8 ? i : 255 - i);
        palette[i].rgbBlue = BYTE(kind == Kind::Grey8 ? i : 64);
      }
      for (int y = 0; y < h; ++y) {
        BYTE* line = FreeImage_GetScanLine(dib.get(), y);
        for (int x = 0; x < w; ++x) line[x] = ramp(x, w);
      }
      return dib;
    }
    case Kind::Rgb48: {
      Bitmap dib(FreeImage_AllocateT(FIT_RGB16, w, h));
      for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<FIRGB16*>(FreeImage_GetScanLine(dib.get(), y));
        for (int x = 0; x < w; ++x) line[x] = {WORD(ramp(x, w) * 257), WORD(ramp(y, h) * 257), 32768};
      }
      return dib;
    }
    case Kind::Grey16: {
      Bitmap dib(FreeImage_AllocateT(FIT_UINT16, w, h));
      for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<WORD*>(FreeImage_GetScanLine(dib.get(), y));
        for (int x = 0; x < w; ++x) line[x] = WORD(ramp(x, w) * 257);
      }
      return dib;
    }
    case Kind::RgbFloat: {
      Bitmap dib(FreeImage_AllocateT(FIT_RGBF, w, h));
      for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<FIRGBF*>(FreeImage_GetScanLine(dib.get(), y));
        for (int x = 0; x < w; ++x) line[x] = {ramp(x, w) / 64.0f, ramp(y, h) / 255.0f, 0.5f};
      }
      return dib;
    }
  }
  return nullptr;
}

quint32 crc32(const QByteArray& data) {
  quint32 crc = 0xFFFFFFFFu;
  for (char c : data) {
    crc ^= quint8(c);
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

QByteArray chunk(const char* type, const QByteArray& body) {
  QByteArray out;
  QByteArray length(4, 0);
  qToBigEndian<quint32>(quint32(body.size()), length.data());
  const QByteArray typed = QByteArray(type) + body;
  QByteArray crc(4, 0);
  qToBigEndian<quint32>(crc32(typed), crc.data());
  return length + typed + crc;
}

}  // namespace

bool make(const QString& path, QSize size, FREE_IMAGE_FORMAT format, Kind kind) {
  Bitmap dib = makeBitmap(size, kind);
  return dib && freeimage::Save(format, dib.get(), path, 0);
}

void makeBombHeader(const QString& path, QSize claimed) {
  QByteArray header(13, 0);
  qToBigEndian<quint32>(quint32(claimed.width()), header.data());
  qToBigEndian<quint32>(quint32(claimed.height()), header.data() + 4);
  header[8] = 8;  // bits per channel
  header[9] = 2;  // RGB
  // A few rows of zero pixels, compressed: the file stays small.
  QByteArray rows(16 * 1024 * 1024 / 8, 0);
  QByteArray zlib = qCompress(rows, 9).mid(4);  // qCompress puts a length before the zlib stream
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return;
  file.write(QByteArray("\x89PNG\r\n\x1a\n", 8));
  file.write(chunk("IHDR", header));
  file.write(chunk("IDAT", zlib));
  file.write(chunk("IEND", QByteArray()));
}

Info inspect(const QString& path) {
  Info info;
  info.format = freeimage::GetFileType(path, 0);
  Bitmap dib = freeimage::Load(info.format, path, 0);
  if (!dib) return info;
  info.size = QSize(int(FreeImage_GetWidth(dib.get())), int(FreeImage_GetHeight(dib.get())));
  info.bpp = FreeImage_GetBPP(dib.get());
  return info;
}

QRgb pixel(const QString& path, int x, int y) {
  Bitmap dib = freeimage::Load(freeimage::GetFileType(path, 0), path, 0);
  if (!dib) return 0;
  RGBQUAD value{};
  const int height = int(FreeImage_GetHeight(dib.get()));
  FreeImage_GetPixelColor(dib.get(), unsigned(x), unsigned(height - 1 - y), &value);
  return qRgb(value.rgbRed, value.rgbGreen, value.rgbBlue);
}

int runningWorkers() {
  int count = 0;
  const QString self = QString::number(QCoreApplication::applicationPid());
  for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) continue;
    // pid (comm) state ppid ...
    const QString line = QString::fromLocal8Bit(stat.readAll());
    const qsizetype close = line.lastIndexOf(u')');
    const QStringList fields = line.mid(close + 2).split(u' ');
    if (line.contains(QStringLiteral("(dimenzo-worker)")) && fields.size() > 1 && fields[1] == self &&
        fields[0] != QStringLiteral("Z"))
      ++count;
  }
  return count;
}

}  // namespace pictures
