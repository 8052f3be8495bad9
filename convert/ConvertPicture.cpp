#include "convert/ConvertPicture.h"

#include "convert/OutputFile.h"
#include "convert/Pixels.h"
#include "convert/Resample.h"

#include <QLocale>

#include <algorithm>
#include <new>

namespace {

using freeimage::Bitmap;
using Outcome = ConvertResult::Outcome;

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

Failure damaged() { return Failure{reasons::damaged(freeimage::LastMessage())}; }

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

int timeLimitMs(int baseMs, QSize size) {
  constexpr qint64 MsPerMegapixel = 200;
  const qint64 megapixels = qint64(size.width()) * size.height() / 1'000'000;
  return int(std::min<qint64>(baseMs + megapixels * MsPerMegapixel, 24 * 3600 * 1000));
}

namespace reasons {
QString damaged(const QString& libraryMessage) {
  const QString reason = QStringLiteral("El archivo está dañado o su formato no se admite");
  return libraryMessage.isEmpty() ? reason + u'.' : QStringLiteral("%1 (%2).").arg(reason, libraryMessage);
}
QString tooManyPixels(QSize size) {
  const QLocale spanish(QLocale::Spanish, QLocale::Spain);
  return QStringLiteral("La imagen mide %1 x %2 píxeles: más de los %3 píxeles que se admiten.")
      .arg(size.width())
      .arg(size.height())
      .arg(spanish.toString(MaxPicturePixels));
}
QString tooSlow(int limitMs) {
  return QStringLiteral("Ha necesitado más tiempo del permitido (%1 s de proceso).").arg((limitMs + 999) / 1000);
}
QString tooMuchMemory() { return QStringLiteral("Ha necesitado más memoria de la permitida."); }
QString libraryCrashed() { return QStringLiteral("La biblioteca de imágenes ha fallado al leerla."); }
}  // namespace reasons

Result<Bitmap> rescalePicture(const QByteArray& source, QSize size, bool reducedDecode,
                              const std::function<void(QSize)>& onSize) {
  const FREE_IMAGE_FORMAT fif = freeimage::GetFileType(source, 0);
  if (fif == FIF_UNKNOWN) return Failure{reasons::damaged()};

  int loadFlags = 0;
  if (const std::optional<QSize> header = freeimage::ProbeSize(fif, source)) {
    if (qint64(header->width()) * header->height() > MaxPicturePixels)
      return Failure{reasons::tooManyPixels(*header)};
    if (onSize) onSize(*header);
    if (reducedDecode && fif == FIF_JPEG) loadFlags = jpegScaleFlags(*header, size);
  }

  Bitmap loaded = freeimage::Load(fif, source, loadFlags);
  if (loaded && loadFlags != 0 &&
      (int(FreeImage_GetWidth(loaded.get())) < 2 * size.width() ||
       int(FreeImage_GetHeight(loaded.get())) < 2 * size.height()))
    loaded = freeimage::Load(fif, source, 0);  // shrunk more than the rule allows
  if (!loaded) return damaged();
  if (!rescalesAsIs(loaded.get())) {
    loaded = freeimage::ToRgb24(loaded.get());
    if (!loaded) return damaged();
  }
  Bitmap rescaled = freeimage::RescaleBSpline(loaded.get(), size.width(), size.height());
  loaded.reset();
  // A picture millions of pixels wide and a few high needs weight tables
  // of gigabytes; here that is a failed allocation.
  if (!rescaled) return Failure{reasons::tooMuchMemory()};
  if (FreeImage_GetBPP(rescaled.get()) != 24) {
    rescaled = freeimage::ToRgb24(rescaled.get());
    if (!rescaled) return damaged();
  }
  return rescaled;
}

ConvertResult convertPicture(const ConvertRequest& request, const std::function<void(QSize)>& onSize,
                             const std::function<void()>& onWriting) {
  Result<Bitmap> rescaled = rescalePicture(request.source, request.size, true, onSize);
  if (!rescaled) {
    discardOutput(request.tempPath);
    return ConvertResult::failed(Outcome::NotRescaled, rescaled.reason());
  }
  QByteArray temp = request.tempPath;
  if (temp.isEmpty()) {
    Result<QByteArray> made = createOutputTemp(request.outputPath);
    if (!made) return ConvertResult::failed(Outcome::NotWritten, made.reason(), made.error());
    temp = *made;
  }
  if (onWriting) onWriting();
  if (!freeimage::Save(FIF_JPEG, rescaled->get(), temp, request.saveFlags)) {
    discardOutput(temp);
    const QString message = freeimage::LastMessage();
    return ConvertResult::failed(Outcome::NotWritten,
                                 message.isEmpty() ? QStringLiteral("No se puede escribir el JPEG.") : message,
                                 freeimage::LastError());
  }
  // Done here, away from the window, which only renames.
  syncBeforeReplacing(temp, request.outputPath);
  return ConvertResult::written(temp);
}
