#include "support/Pictures.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

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
