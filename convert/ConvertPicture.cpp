#include "convert/ConvertPicture.h"

#include "convert/FreeImage.h"
#include "convert/Resample.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using freeimage::Bitmap;
using Outcome = ConvertResult::Outcome;

ConvertResult failed(Outcome outcome, const QString& reason) {
  ConvertResult result;
  result.outcome = outcome;
  result.reason = reason;
  return result;
}

QString errnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Output files get the permissions any new file of the user gets.
mode_t newFileMode() {
  static const mode_t mode = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mode_t(0666 & ~mask);
  }();
  return mode;
}

// An empty file of a unique name in the folder, hidden from file managers.
QString createTempIn(const QString& folder, int* error) {
  QByteArray pattern = QFile::encodeName(QDir(folder).filePath(QStringLiteral(".dimenzo-XXXXXX")));
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) {
    *error = errno;
    return QString();
  }
  ::fchmod(fd, newFileMode());
  ::close(fd);
  return QFile::decodeName(pattern);
}

// The rescale works on 24-bit colour or 8-bit grey. Everything else is
// brought to 24 bits first, so that transparency is composited onto white
// before it is resampled rather than bleeding its hidden colours into the
// edges. The depth is looked at first: for 32 bits the library answers
// "transparent?" by reading every pixel's alpha.
bool rescalesAsIs(FIBITMAP* dib) {
  if (FreeImage_GetImageType(dib) != FIT_BITMAP) return false;
  const unsigned bpp = FreeImage_GetBPP(dib);
  if (bpp == 24) return true;
  return bpp == 8 && !FreeImage_IsTransparent(dib) && FreeImage_GetColorType(dib) == FIC_MINISBLACK;
}

QString libraryReason(const QString& fallback) {
  const QString message = freeimage::LastMessage();
  return message.isEmpty() ? fallback : fallback + QStringLiteral(" (") + message + u')';
}

// The JPEG decoder can hand over the picture at 1/2, 1/4 or 1/8 of its size
// for little more than the cost of reading it. Such a shrink is taken only
// while the resampling that follows still halves the picture or more in
// each direction, so the B-spline keeps enough detail to work from.
int jpegScaleFlags(QSize source, QSize target) {
  int shrink = 1;
  while (shrink < 8 && source.width() / (shrink * 2) >= 2 * target.width() &&
         source.height() / (shrink * 2) >= 2 * target.height())
    shrink *= 2;
  if (shrink == 1) return 0;
  // The decoder picks the largest shrink that keeps the longer side at or
  // above the size asked for.
  const int longer = std::max(source.width(), source.height());
  return (longer / shrink) << 16;
}

}  // namespace

freeimage::Bitmap rescalePicture(const QString& source, QSize size, QString* reason, bool reducedDecode,
                                 const std::function<void(QSize)>& onSize) {
  auto fail = [&](const QString& why) {
    if (reason) *reason = why;
    return Bitmap();
  };
  const FREE_IMAGE_FORMAT fif = freeimage::GetFileType(source, 0);
  if (fif == FIF_UNKNOWN) return fail(QStringLiteral("No se puede leer o no es una imagen."));

  int loadFlags = 0;
  if (const std::optional<QSize> header = freeimage::ProbeSize(fif, source)) {
    if (qint64(header->width()) * header->height() > MaxPicturePixels)
      return fail(QStringLiteral("La imagen es demasiado grande (%1 x %2 píxeles).")
                      .arg(header->width())
                      .arg(header->height()));
    if (onSize) onSize(*header);
    if (reducedDecode && fif == FIF_JPEG) loadFlags = jpegScaleFlags(*header, size);
  }

  Bitmap loaded = freeimage::Load(fif, source, loadFlags);
  if (loaded && loadFlags != 0 &&
      (int(FreeImage_GetWidth(loaded.get())) < 2 * size.width() ||
       int(FreeImage_GetHeight(loaded.get())) < 2 * size.height()))
    loaded = freeimage::Load(fif, source, 0);  // shrunk more than the rule allows
  if (!loaded) return fail(libraryReason(QStringLiteral("No se puede descodificar.")));
  if (!rescalesAsIs(loaded.get())) {
    loaded = freeimage::ToRgb24(loaded.get());
    if (!loaded) return fail(libraryReason(QStringLiteral("El tipo de imagen no se puede convertir.")));
  }
  Bitmap rescaled = freeimage::RescaleBSpline(loaded.get(), size.width(), size.height());
  loaded.reset();
  if (!rescaled) return fail(libraryReason(QStringLiteral("No se puede reescalar.")));
  if (FreeImage_GetBPP(rescaled.get()) != 24) {
    rescaled = freeimage::ToRgb24(rescaled.get());
    if (!rescaled) return fail(libraryReason(QStringLiteral("El tipo de imagen no se puede convertir.")));
  }
  return rescaled;
}

ConvertResult convertPicture(const ConvertRequest& request, const std::function<void(QSize)>& onSize) {
  QString reason;
  Bitmap rescaled = rescalePicture(request.source, request.size, &reason, true, onSize);
  if (!rescaled) {
    discardOutput(request.tempPath);
    return failed(Outcome::NotRescaled, reason);
  }
  QString temp = request.tempPath;
  if (temp.isEmpty()) temp = createOutputTemp(request.outputPath, &reason);
  if (temp.isEmpty()) return failed(Outcome::NotWritten, reason);
  if (!freeimage::Save(FIF_JPEG, rescaled.get(), temp, request.saveFlags)) {
    discardOutput(temp);
    return failed(Outcome::NotWritten, libraryReason(QStringLiteral("No se puede escribir el JPEG.")));
  }
  // When a file is to be replaced, its new contents must be on disk before
  // the name moves over, or a crash could leave neither version. Done here,
  // away from the window, which only renames.
  if (QFileInfo::exists(request.outputPath)) {
    const int fd = ::open(QFile::encodeName(temp).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      ::fsync(fd);
      ::close(fd);
    }
  }
  ConvertResult result;
  result.outcome = Outcome::Written;
  result.tempPath = temp;
  return result;
}

QString createOutputTemp(const QString& outputPath, QString* reason) {
  int error = 0;
  const QString folder = QFileInfo(outputPath).absolutePath();
  const QString temp = createTempIn(folder, &error);
  if (temp.isEmpty() && reason)
    *reason = QStringLiteral("No se puede crear un archivo en %1: %2").arg(folder, errnoText(error));
  return temp;
}

bool commitOutput(const QString& tempPath, const QString& outputPath, QString* reason) {
  const QByteArray temp = QFile::encodeName(tempPath);
  const QByteArray output = QFile::encodeName(outputPath);
  if (::rename(temp.constData(), output.constData()) != 0) {
    if (reason) *reason = errnoText(errno);
    ::unlink(temp.constData());
    return false;
  }
  return true;
}

void discardOutput(const QString& tempPath) {
  if (!tempPath.isEmpty()) ::unlink(QFile::encodeName(tempPath).constData());
}

QString checkWritableFolder(const QString& folder) {
  const QFileInfo info(folder);
  if (!info.exists()) return QStringLiteral("no existe");
  if (!info.isDir()) return QStringLiteral("no es un directorio");
  int error = 0;
  const QString probe = createTempIn(folder, &error);
  if (probe.isEmpty()) return QStringLiteral("no se puede escribir en él (%1)").arg(errnoText(error));
  discardOutput(probe);
  return QString();
}
