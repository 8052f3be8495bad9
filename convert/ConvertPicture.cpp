#include "convert/ConvertPicture.h"

#include "convert/Colour.h"
#include "convert/Metadata.h"
#include "convert/OutputFile.h"
#include "convert/Pixels.h"
#include "convert/Resample.h"

#include <algorithm>

#include <malloc.h>

namespace {

using freeimage::Bitmap;
using Outcome = ConvertResult::Outcome;

constexpr qint64 LongestLimitMs = 24 * 3600 * 1000;

// The rescale works on 24-bit colour or 8-bit grey, and on 32 bits, which
// it brings to 24 as it goes. Everything else is brought to 24 bits first,
// so that transparency is composited onto white before it is resampled
// rather than bleeding its hidden colours into the edges. The depth is
// looked at first: for 32 bits the library answers "transparent?" by
// reading every pixel's alpha.
bool rescalesAsIs(FIBITMAP* dib) {
  if (FreeImage_GetImageType(dib) != FIT_BITMAP) return false;
  const unsigned bpp = FreeImage_GetBPP(dib);
  if (bpp == 24 || bpp == 32) return true;
  return bpp == 8 && !FreeImage_IsTransparent(dib) && FreeImage_GetColorType(dib) == FIC_MINISBLACK;
}

bool isFloatingPoint(FIBITMAP* dib) {
  const FREE_IMAGE_TYPE type = FreeImage_GetImageType(dib);
  return type == FIT_FLOAT || type == FIT_DOUBLE || type == FIT_RGBF || type == FIT_RGBAF;
}

Failure damaged() { return Failure{reasons::damaged(freeimage::LastMessage())}; }

// The output's metadata comes from the source alone, written with Exiv2;
// what the library carried along is dropped.
void dropLibraryMetadata(FIBITMAP* dib) {
  for (FREE_IMAGE_MDMODEL model : {FIMD_COMMENTS, FIMD_EXIF_MAIN, FIMD_EXIF_EXIF, FIMD_EXIF_GPS, FIMD_EXIF_MAKERNOTE,
                                   FIMD_EXIF_INTEROP, FIMD_IPTC, FIMD_XMP, FIMD_GEOTIFF, FIMD_ANIMATION, FIMD_EXIF_RAW})
    FreeImage_SetMetadata(model, dib, nullptr, nullptr);
}

// Decoded pixels as 24-bit colour or 8-bit grey, in the colour space of
// `profile`, which is cleared where the pixels no longer are in it.
Result<Bitmap> toRescalable(DecodedPicture decoded, QByteArray& profile) {
  profile = decoded.iccProfile;
  Bitmap pixels = std::move(decoded.pixels);
  if (decoded.cmyk) {
    pixels = colour::cmykToSrgb(pixels.get(), profile);
    profile.clear();
    if (!pixels) return damaged();
  }
  if (isFloatingPoint(pixels.get())) profile.clear();
  const FREE_IMAGE_TYPE type = FreeImage_GetImageType(pixels.get());
  if (type == FIT_RGBF || type == FIT_RGBAF) {
    pixels = colour::linearToSrgb(pixels.get(), decoded.fourth);
    if (!pixels) return damaged();
  }
  // Deep colour with alpha is composited as 32 bits, as the library does.
  if (type == FIT_RGBA16 && decoded.fourth != DecodedPicture::Fourth::Padding) {
    pixels = freeimage::Bitmap(FreeImage_ConvertTo32Bits(pixels.get()));
    if (!pixels) return damaged();
  }
  if (!rescalesAsIs(pixels.get())) {
    pixels = freeimage::ToRgb24(pixels.get(), decoded.fourth);
    if (!pixels) return damaged();
  }
  return pixels;
}

}  // namespace

int timeLimitMs(int baseMs, QSize size) {
  constexpr qint64 MsPerMegapixel = 200;
  const qint64 megapixels = qint64(size.width()) * size.height() / 1'000'000;
  return int(std::min<qint64>(baseMs + megapixels * MsPerMegapixel, LongestLimitMs));
}

int timeLimitMs(int baseMs, const QByteArray& file) {
  // A JPEG 2000 of 108 megapixels compressed 100:1 (3 MB) takes about 5 s
  // to decode here; this leaves room for far denser files and slower machines.
  constexpr qint64 MsPerKilobyte = 10;
  const qint64 bytes = freeimage::FileBytes(file);
  return int(std::min<qint64>(baseMs + bytes / 1024 * MsPerKilobyte, LongestLimitMs));
}

qint64 memoryNeed(std::optional<QSize> stored, int bytesPerPixel, const QByteArray& file, QSize target) {
  constexpr qint64 Libraries = qint64(48) << 20;  // decoders' tables, metadata, the JPEG encoder
  qint64 pixels = 0;
  if (stored) {
    pixels = qint64(stored->width()) * stored->height();
  } else {
    // Even a GIF of one flat colour or a JPEG 2000 squeezed 100:1 holds
    // fewer pixels than this a byte.
    constexpr qint64 PixelsPerByte = 256;
    pixels = std::min(freeimage::FileBytes(file) * PixelsPerByte, MaxPicturePixels);
    bytesPerPixel = std::max(bytesPerPixel, 4);
  }
  const qint64 rgb24 = bytesPerPixel == 3 ? 0 : pixels * 3;
  const qint64 output = qint64(target.width()) * target.height() * 3 * 2;
  return pixels * std::max(bytesPerPixel, 1) + rgb24 + output + Libraries;
}

namespace reasons {
QString tooSlow(int limitMs) {
  return QStringLiteral("Ha necesitado más tiempo del permitido (%1 s de proceso).").arg((limitMs + 999) / 1000);
}
QString tooMuchMemory() { return QStringLiteral("Ha necesitado más memoria de la permitida."); }
QString libraryCrashed() { return QStringLiteral("La biblioteca de imágenes ha fallado al leerla."); }
QString needsMoreMemory(qint64 need, qint64 budget) {
  return QStringLiteral("Necesita %1 MB de memoria y este equipo sólo puede dar %2 MB a la conversión.")
      .arg((need + (1 << 20) - 1) >> 20)
      .arg(budget >> 20);
}
}  // namespace reasons

Result<Bitmap> rescalePicture(const DecodeRequest& request, int decoder, std::optional<int>* orientation) {
  Result<DecodedPicture> decoded = decodePicture(request, decoder);
  if (!decoded) return Failure{decoded.reason()};
  if (orientation) *orientation = decoded->orientation;
  QByteArray profile;
  const DecodedPicture::Fourth fourth = decoded->fourth;
  Result<Bitmap> loaded = toRescalable(std::move(*decoded), profile);
  if (!loaded) return loaded;
  Bitmap rescaled = freeimage::RescaleBSpline(loaded->get(), request.target.width(), request.target.height(), fourth);
  loaded->reset();
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

ConvertResult convertPicture(const ConvertRequest& request, const SizeListener& onSize,
                             const std::function<void()>& onWriting) {
  const Metadata metadata = Metadata::read(request.source);
  std::optional<int> orientation;
  Result<Bitmap> rescaled = rescalePicture(DecodeRequest{request.source, request.size, true, metadata.iccProfile(), onSize},
                                           request.decoder, &orientation);
  if (!rescaled) {
    discardOutput(request.tempPath);
    ConvertResult failed = ConvertResult::failed(Outcome::NotRescaled, rescaled.reason());
    failed.retry = request.decoder == 0 && decodersFor(request.source).size() > 1;
    return failed;
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
  metadata.writeInto(jpeg, request.size, orientation);  // without it, if it will not go in
  if (onWriting) onWriting();
  if (const Result<> written = writeOutput(temp, jpeg); !written) {
    discardOutput(temp);
    return ConvertResult::failed(Outcome::NotWritten, written.reason(), written.error());
  }
  // Done here, away from the window, which only renames.
  syncBeforeReplacing(temp, request.outputPath);
  return ConvertResult::written(temp);
}

// Every picture needs buffers of tens of megabytes. Kept in the heap
// rather than handed back to the system after each picture, they are not
// faulted in and zeroed again for the next one; those of very large
// pictures go back at once, so that an idle worker holds little of the
// run's memory.
void keepLargeBuffersBetweenPictures() {
  mallopt(M_MMAP_THRESHOLD, 128 << 20);
  mallopt(M_TRIM_THRESHOLD, 96 << 20);
  // One heap, whatever threads a decoder starts: each further one would
  // reserve 64 MB of the address space the picture is granted.
  mallopt(M_ARENA_MAX, 1);
}

QByteArray allocatorTunables(const QByteArray& inherited) {
  constexpr char HugePages[] = "glibc.malloc.hugetlb=1";
  if (inherited.contains("glibc.malloc.hugetlb")) return inherited;
  return inherited.isEmpty() ? QByteArray(HugePages) : inherited + ':' + HugePages;
}
