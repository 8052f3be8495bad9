#include "convert/ConvertPicture.h"

#include "convert/OutputFile.h"
#include "convert/Pixels.h"
#include "convert/Resample.h"

#include <algorithm>

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

Failure libraryFailure(const QString& what) {
  const QString message = freeimage::LastMessage();
  return Failure{message.isEmpty() ? what : what + QStringLiteral(" (") + message + u')'};
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

Result<Bitmap> rescalePicture(const QString& source, QSize size, bool reducedDecode,
                              const std::function<void(QSize)>& onSize) {
  const FREE_IMAGE_FORMAT fif = freeimage::GetFileType(source, 0);
  if (fif == FIF_UNKNOWN) return Failure{QStringLiteral("No se puede leer o no es una imagen.")};

  int loadFlags = 0;
  if (const std::optional<QSize> header = freeimage::ProbeSize(fif, source)) {
    if (qint64(header->width()) * header->height() > MaxPicturePixels)
      return Failure{QStringLiteral("La imagen es demasiado grande (%1 x %2 píxeles).")
                         .arg(header->width())
                         .arg(header->height())};
    if (onSize) onSize(*header);
    if (reducedDecode && fif == FIF_JPEG) loadFlags = jpegScaleFlags(*header, size);
  }

  Bitmap loaded = freeimage::Load(fif, source, loadFlags);
  if (loaded && loadFlags != 0 &&
      (int(FreeImage_GetWidth(loaded.get())) < 2 * size.width() ||
       int(FreeImage_GetHeight(loaded.get())) < 2 * size.height()))
    loaded = freeimage::Load(fif, source, 0);  // shrunk more than the rule allows
  if (!loaded) return libraryFailure(QStringLiteral("No se puede descodificar."));
  if (!rescalesAsIs(loaded.get())) {
    loaded = freeimage::ToRgb24(loaded.get());
    if (!loaded) return libraryFailure(QStringLiteral("El tipo de imagen no se puede convertir."));
  }
  Bitmap rescaled = freeimage::RescaleBSpline(loaded.get(), size.width(), size.height());
  loaded.reset();
  if (!rescaled) return libraryFailure(QStringLiteral("No se puede reescalar."));
  if (FreeImage_GetBPP(rescaled.get()) != 24) {
    rescaled = freeimage::ToRgb24(rescaled.get());
    if (!rescaled) return libraryFailure(QStringLiteral("El tipo de imagen no se puede convertir."));
  }
  return rescaled;
}

ConvertResult convertPicture(const ConvertRequest& request, const std::function<void(QSize)>& onSize) {
  Result<Bitmap> rescaled = rescalePicture(request.source, request.size, true, onSize);
  if (!rescaled) {
    discardOutput(request.tempPath);
    return ConvertResult::failed(Outcome::NotRescaled, rescaled.reason());
  }
  QString temp = request.tempPath;
  if (temp.isEmpty()) {
    Result<QString> made = createOutputTemp(request.outputPath);
    if (!made) return ConvertResult::failed(Outcome::NotWritten, made.reason());
    temp = *made;
  }
  if (!freeimage::Save(FIF_JPEG, rescaled->get(), temp, request.saveFlags)) {
    discardOutput(temp);
    return ConvertResult::failed(Outcome::NotWritten,
                                 libraryFailure(QStringLiteral("No se puede escribir el JPEG.")).reason);
  }
  // Done here, away from the window, which only renames.
  syncBeforeReplacing(temp, request.outputPath);
  return ConvertResult::written(temp);
}
