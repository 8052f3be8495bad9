#include "support/Pictures.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstring>

#include <dirent.h>
#include <ftw.h>

namespace pictures {
namespace {

BYTE ramp(int at, int length) { return BYTE(length > 1 ? at * 255 / (length - 1) : 0); }

template <class Pixel, class Fill>
freeimage::Bitmap filled(QSize size, int bpp, Fill fill) {
  freeimage::Bitmap dib(FreeImage_Allocate(size.width(), size.height(), bpp));
  for (int y = 0; y < size.height(); ++y) {
    auto* line = reinterpret_cast<Pixel*>(FreeImage_GetScanLine(dib.get(), y));
    for (int x = 0; x < size.width(); ++x) fill(line[x], x, y);
  }
  return dib;
}

struct Bgra {
  BYTE b, g, r, a;
};

}  // namespace

freeimage::Bitmap make(QSize size, Kind kind) {
  const int w = size.width(), h = size.height();
  if (kind == Kind::Rgba32)
    return filled<Bgra>(size, 32, [&](Bgra& p, int x, int) { p = x < w / 2 ? Bgra{0, 0, 255, 255} : Bgra{0, 255, 0, 0}; });
  if (kind == Kind::Palette8) {
    freeimage::Bitmap dib = filled<BYTE>(size, 8, [&](BYTE& p, int x, int) { p = x < w / 2; });
    FreeImage_GetPalette(dib.get())[1] = {0, 0, 255, 0};
    BYTE transparent[1] = {0};
    FreeImage_SetTransparencyTable(dib.get(), transparent, 1);
    return dib;
  }
  const freeimage::Bitmap rgb = filled<RGBTRIPLE>(size, 24, [&](RGBTRIPLE& p, int x, int y) {
    p = {128, ramp(y, h), ramp(x, w)};
  });
  const freeimage::Bitmap grey(FreeImage_ConvertToGreyscale(rgb.get()));
  switch (kind) {
    case Kind::Grey8: return freeimage::Bitmap(FreeImage_Clone(grey.get()));
    case Kind::Rgb48: return freeimage::Bitmap(FreeImage_ConvertToType(rgb.get(), FIT_RGB16));
    case Kind::Grey16: return freeimage::Bitmap(FreeImage_ConvertToType(grey.get(), FIT_UINT16));
    case Kind::RgbFloat: return freeimage::Bitmap(FreeImage_ConvertToRGBF(rgb.get()));
    default: return freeimage::Bitmap(FreeImage_Clone(rgb.get()));
  }
}

bool make(const QString& path, QSize size, FREE_IMAGE_FORMAT format, Kind kind) {
  freeimage::Bitmap dib = make(size, kind);
  return dib && FreeImage_Save(format, dib.get(), QFile::encodeName(path).constData(), 0);
}

namespace {

// Samples of one row as the file holds them: whole bytes, 16-bit words in
// this machine's order (libtiff puts them in the file's), or packed from the
// most significant bit on.
std::vector<uint8_t> packed(const Tiff& spec, int y, int x0, int columns) {
  const int samples = spec.colours + int(spec.extras.size());
  std::vector<uint8_t> row((size_t(columns) * samples * spec.bits + 7) / 8);
  for (int i = 0; i < columns * samples; ++i) {
    const quint32 value = spec.sample(x0 + i / samples, y, i % samples);
    if (spec.bits == 16) {
      const uint16_t word = uint16_t(value);
      memcpy(row.data() + 2 * i, &word, 2);
      continue;
    }
    for (int b = 0; b < spec.bits; ++b)
      if (value >> (spec.bits - 1 - b) & 1) {
        const size_t bit = size_t(i) * spec.bits + b;
        row[bit / 8] |= uint8_t(0x80 >> bit % 8);
      }
  }
  return row;
}

}  // namespace

bool make(const QString& path, const Tiff& spec) {
  TIFF* tiff = TIFFOpen(QFile::encodeName(path).constData(), spec.bigEndian ? "wb" : "wl");
  if (!tiff) return false;
  const int w = spec.size.width(), h = spec.size.height(), tile = 16;
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(w));
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(h));
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(spec.bits));
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, uint16_t(spec.colours + spec.extras.size()));
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, uint16_t(spec.photometric));
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
  if (!spec.extras.empty())
    TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, uint16_t(spec.extras.size()), spec.extras.data());
  if (spec.tiled) {
    TIFFSetField(tiff, TIFFTAG_TILEWIDTH, uint32_t(tile));
    TIFFSetField(tiff, TIFFTAG_TILELENGTH, uint32_t(tile));
  } else {
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, uint32_t(7));
  }
  if (spec.exif) TIFFSetField(tiff, TIFFTAG_EXIFIFD, uint64_t(0));  // where it goes, once written
  spec.tags(tiff);
  bool written = true;
  if (spec.tiled) {
    std::vector<uint8_t> pixels(size_t(TIFFTileSize(tiff)));
    const size_t rowBytes = size_t(TIFFTileRowSize(tiff));
    for (int y = 0; y < h; y += tile)
      for (int x = 0; x < w; x += tile) {
        for (int r = 0; r < tile; ++r) {
          const std::vector<uint8_t> row = packed(spec, std::min(y + r, h - 1), x, tile);
          memcpy(pixels.data() + r * rowBytes, row.data(), std::min(row.size(), rowBytes));
        }
        written = written && TIFFWriteTile(tiff, pixels.data(), uint32_t(x), uint32_t(y), 0, 0) >= 0;
      }
  } else {
    for (int y = 0; y < h; ++y) {
      std::vector<uint8_t> row = packed(spec, y, 0, w);
      written = written && TIFFWriteScanline(tiff, row.data(), uint32_t(y), 0) >= 0;
    }
  }
  written = written && TIFFWriteDirectory(tiff);
  if (written && spec.exif) {
    uint64_t offset = 0;
    written = TIFFCreateEXIFDirectory(tiff) == 0;
    spec.exif(tiff);
    written = written && TIFFWriteCustomDirectory(tiff, &offset) && TIFFSetDirectory(tiff, 0) &&
              TIFFSetField(tiff, TIFFTAG_EXIFIFD, offset) && TIFFRewriteDirectory(tiff);
  }
  TIFFClose(tiff);
  return written;
}

QRgb pixel(FIBITMAP* dib, int x, int y) {
  RGBQUAD value{};
  FreeImage_GetPixelColor(dib, unsigned(x), FreeImage_GetHeight(dib) - 1 - unsigned(y), &value);
  return qRgb(value.rgbRed, value.rgbGreen, value.rgbBlue);
}

QRgb pixel(const QString& path, int x, int y) {
  const QByteArray file = QFile::encodeName(path);
  freeimage::Bitmap dib = freeimage::Load(freeimage::GetFileType(file, 0), file, 0);
  return dib ? pixel(dib.get(), x, y) : 0;
}

QList<qint64> workerPids() {
  QList<qint64> pids;
  const QByteArray self = QByteArray::number(QCoreApplication::applicationPid());
  for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) continue;
    // pid (comm) state ppid ...
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (line.contains("(dimenzo-worker)") && fields.size() > 1 && fields[1] == self && fields[0] != "Z")
      pids.append(pid.toLongLong());
  }
  return pids;
}

QStringList entries(const QString& folder) {
  QStringList names;
  if (DIR* dir = ::opendir(QFile::encodeName(folder).constData())) {
    while (const dirent* entry = ::readdir(dir))
      if (qstrcmp(entry->d_name, ".") != 0 && qstrcmp(entry->d_name, "..") != 0) names << QFile::decodeName(entry->d_name);
    ::closedir(dir);
  }
  names.sort();
  return names;
}

void removeTree(const QString& root) {
  ::nftw(QFile::encodeName(root).constData(), [](const char* path, const struct stat*, int, FTW*) { return ::remove(path); },
         16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace pictures
