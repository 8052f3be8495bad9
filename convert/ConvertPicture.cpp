#include "convert/ConvertPicture.h"

#include "convert/Colour.h"
#include "convert/Metadata.h"
#include "convert/OutputFile.h"
#include "convert/Pixels.h"
#include "convert/Resample.h"

#include <QLocale>

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

Failure damaged() { return Failure{reasons::damaged(freeimage::LastMessage())}; }

QByteArray iccProfileOf(FIBITMAP* dib) {
  const FIICCPROFILE* icc = FreeImage_GetICCProfile(dib);
  return icc && icc->data && icc->size > 0 ? QByteArray(static_cast<const char*>(icc->data), icc->size) : QByteArray();
}

bool isFloatingPoint(FIBITMAP* dib) {
  const FREE_IMAGE_TYPE type = FreeImage_GetImageType(dib);
  return type == FIT_FLOAT || type == FIT_DOUBLE || type == FIT_RGBF || type == FIT_RGBAF;
}

// The output's metadata comes from the source alone, written with Exiv2;
// what the library carried along is dropped.
void dropLibraryMetadata(FIBITMAP* dib) {
  for (FREE_IMAGE_MDMODEL model : {FIMD_COMMENTS, FIMD_EXIF_MAIN, FIMD_EXIF_EXIF, FIMD_EXIF_GPS, FIMD_EXIF_MAKERNOTE,
                                   FIMD_EXIF_INTEROP, FIMD_IPTC, FIMD_XMP, FIMD_GEOTIFF, FIMD_ANIMATION, FIMD_EXIF_RAW})
    FreeImage_SetMetadata(model, dib, nullptr, nullptr);
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
                              const std::function<void(QSize)>& onSize, const QByteArray& profileHint) {
  const FREE_IMAGE_FORMAT fif = freeimage::GetFileType(source, 0);
  if (fif == FIF_UNKNOWN) return Failure{reasons::damaged()};

  int loadFlags = 0;
  if (const std::optional<QSize> header = freeimage::ProbeSize(fif, source)) {
    if (qint64(header->width()) * header->height() > MaxPicturePixels)
      return Failure{reasons::tooManyPixels(*header)};
    if (onSize) onSize(*header);
    if (reducedDecode && fif == FIF_JPEG) loadFlags = jpegScaleFlags(*header, size);
  }

  // CMYK pixels are taken as they are, to go through their own profile.
  const int cmyk = fif == FIF_JPEG ? JPEG_CMYK : fif == FIF_TIFF ? TIFF_CMYK : 0;
  Bitmap loaded = freeimage::Load(fif, source, loadFlags | cmyk);
  if (loaded && loadFlags != 0 &&
      (int(FreeImage_GetWidth(loaded.get())) < 2 * size.width() ||
       int(FreeImage_GetHeight(loaded.get())) < 2 * size.height()))
    loaded = freeimage::Load(fif, source, cmyk);  // shrunk more than the rule allows
  if (!loaded && fif == FIF_BMP) loaded = freeimage::LoadWithQt(source, MaxPicturePixels);
  if (!loaded) return damaged();

  // Exiv2's reading of the profile first: the library's of a TIFF can
  // come out with its header overwritten.
  QByteArray profile = profileHint;
  if (colour::modelOf(profile) == colour::Model::Other) profile = iccProfileOf(loaded.get());
  // Only a bitmap flagged CMYK can be; asked of any other 32-bit bitmap,
  // the library's colour type walks every pixel looking for alpha.
  if ((FreeImage_GetICCProfile(loaded.get())->flags & FIICC_COLOR_IS_CMYK) &&
      FreeImage_GetColorType(loaded.get()) == FIC_CMYK) {
    // Without a profile of its own, the library's plain conversion.
    Bitmap rgb = colour::cmykToSrgb(loaded.get(), profile);
    loaded = rgb ? std::move(rgb) : freeimage::Load(fif, source, 0);
    profile.clear();
    if (!loaded) return damaged();
  }
  if (isFloatingPoint(loaded.get())) profile.clear();
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
  dropLibraryMetadata(rescaled.get());
  switch (colour::modelOf(profile)) {
    case colour::Model::Rgb:
      FreeImage_CreateICCProfile(rescaled.get(), profile.data(), long(profile.size()));
      break;
    case colour::Model::Grey:
      if (Bitmap srgb = colour::greyToSrgb(rescaled.get(), profile)) rescaled = std::move(srgb);
      break;
    default:
      break;
  }
  return rescaled;
}

ConvertResult convertPicture(const ConvertRequest& request, const std::function<void(QSize)>& onSize,
                             const std::function<void()>& onWriting) {
  const Metadata metadata = Metadata::read(request.source);
  Result<Bitmap> rescaled = rescalePicture(request.source, request.size, true, onSize, metadata.iccProfile());
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
  QByteArray jpeg = freeimage::EncodeJpeg(rescaled->get(), request.saveFlags);
  rescaled->reset();
  if (jpeg.isEmpty()) {
    discardOutput(temp);
    return ConvertResult::failed(Outcome::NotWritten, QStringLiteral("No se puede codificar la imagen como JPEG."));
  }
  metadata.writeInto(jpeg, request.size);  // without it, if it will not go in
  if (onWriting) onWriting();
  if (const Result<> written = writeOutput(temp, jpeg); !written) {
    discardOutput(temp);
    return ConvertResult::failed(Outcome::NotWritten, written.reason(), written.error());
  }
  // Done here, away from the window, which only renames.
  syncBeforeReplacing(temp, request.outputPath);
  return ConvertResult::written(temp);
}
