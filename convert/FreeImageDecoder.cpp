// The image library as a decoder: every format it reads, with what it
// leaves unsaid about a file filled in.

#include "convert/Colour.h"
#include "convert/Decoders.h"
#include "convert/FourthChannel.h"

#include <algorithm>

namespace {

using freeimage::Bitmap;

Failure damaged() { return Failure{reasons::damaged(freeimage::LastMessage())}; }

QByteArray iccProfileOf(FIBITMAP* dib) {
  const FIICCPROFILE* icc = FreeImage_GetICCProfile(dib);
  return icc && icc->data && icc->size > 0 ? QByteArray(static_cast<const char*>(icc->data), icc->size) : QByteArray();
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

class FreeImageDecoder : public Decoder {
 public:
  std::optional<QSize> probeSize(const QByteArray& source) const override {
    return freeimage::ProbeSize(freeimage::GetFileType(source, 0), source);
  }

  int decodedBytesPerPixel(const QByteArray& source) const override {
    const FREE_IMAGE_FORMAT fif = freeimage::GetFileType(source, 0);
    // A JPEG is three bytes a pixel, four in CMYK; the rest as their header
    // bitmap says, or as wide as the library's widest pixels.
    if (fif == FIF_JPEG) return 4;
    const Bitmap header = FreeImage_FIFSupportsNoPixels(fif) ? freeimage::Load(fif, source, FIF_LOAD_NOPIXELS) : nullptr;
    return header ? int((FreeImage_GetBPP(header.get()) + 7) / 8) : 16;
  }

  Result<DecodedPicture> decode(const DecodeRequest& request, std::optional<QSize> header) const override {
    const QByteArray& source = request.source;
    const FREE_IMAGE_FORMAT fif = freeimage::GetFileType(source, 0);
    if (fif == FIF_UNKNOWN) return Failure{reasons::damaged()};
    int shrink = header && request.reducedDecode && fif == FIF_JPEG ? jpegScaleFlags(*header, request.target) : 0;
    // CMYK pixels are taken as they are, to go through their own profile.
    // A GIF's first frame as a browser shows it: drawn on the GIF's canvas,
    // which may be larger than the frame, rather than stretched over it. An
    // icon's AND mask is its transparency, at any depth.
    const int flags = fif == FIF_JPEG ? JPEG_CMYK
                      : fif == FIF_TIFF ? TIFF_CMYK
                      : fif == FIF_PSD  ? PSD_CMYK
                      : fif == FIF_GIF  ? GIF_PLAYBACK
                      : fif == FIF_ICO  ? ICO_MAKEALPHA
                                        : 0;
    Bitmap loaded = freeimage::Load(fif, source, shrink | flags);
    if (loaded && shrink != 0 &&
        (int(FreeImage_GetWidth(loaded.get())) < 2 * request.target.width() ||
         int(FreeImage_GetHeight(loaded.get())) < 2 * request.target.height())) {
      shrink = 0;  // shrunk more than the rule allows
      loaded = freeimage::Load(fif, source, flags);
    }
    if (!loaded) return damaged();

    DecodedPicture decoded;
    // The metadata reader's profile first: the library's of a TIFF can come
    // out with its header overwritten.
    decoded.iccProfile = colour::modelOf(request.iccProfile) != colour::Model::Other ? request.iccProfile
                                                                                     : iccProfileOf(loaded.get());
    // Only a bitmap flagged CMYK can be; asked of any other 32-bit bitmap,
    // the library's colour type walks every pixel looking for alpha.
    if ((FreeImage_GetICCProfile(loaded.get())->flags & FIICC_COLOR_IS_CMYK) &&
        FreeImage_GetColorType(loaded.get()) == FIC_CMYK) {
      if (colour::modelOf(decoded.iccProfile) == colour::Model::Cmyk) {
        decoded.cmyk = true;
      } else {
        // Without a profile of its own, the library's plain conversion.
        loaded = freeimage::Load(fif, source, shrink);
        decoded.iccProfile.clear();
        if (!loaded) return damaged();
      }
    }
    // A Photoshop file's merged picture is already laid over white where it
    // is transparent, and a fourth channel beyond may be a saved selection:
    // its colours are shown as they are.
    if (fif == FIF_PSD) decoded.fourth = DecodedPicture::Fourth::Padding;
    // OpenEXR's colours are multiplied by their alpha, by the format's rule.
    if (fif == FIF_EXR) decoded.fourth = DecodedPicture::Fourth::PremultipliedAlpha;
    if (const auto fourth = freeimage::SettleFourthChannel(fif, source, loaded.get())) decoded.fourth = *fourth;
    decoded.pixels = std::move(loaded);
    return decoded;
  }
};

}  // namespace

const Decoder& freeImageDecoder() {
  static const FreeImageDecoder decoder;
  return decoder;
}
