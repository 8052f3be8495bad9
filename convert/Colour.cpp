#include "convert/Colour.h"

#include <lcms2.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace colour {
namespace {

struct ProfileCloser {
  void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using Profile = std::unique_ptr<void, ProfileCloser>;
struct TransformDeleter {
  void operator()(void* transform) const { cmsDeleteTransform(transform); }
};

Profile open(const QByteArray& bytes) {
  // A damaged profile is only a profile not used: nothing to tell anyone.
  static const bool quiet = (cmsSetLogErrorHandler(nullptr), true);
  (void)quiet;
  return Profile(bytes.isEmpty() ? nullptr : cmsOpenProfileFromMem(bytes.constData(), cmsUInt32Number(bytes.size())));
}

freeimage::Bitmap toSrgb(FIBITMAP* dib, const QByteArray& profile, cmsUInt32Number inputFormat) {
  const Profile in = open(profile);
  const Profile srgb(cmsCreate_sRGBProfile());
  if (!in || !srgb) return nullptr;
  const std::unique_ptr<void, TransformDeleter> transform(
      cmsCreateTransform(in.get(), inputFormat, srgb.get(), TYPE_BGR_8, INTENT_PERCEPTUAL, 0));
  if (!transform) return nullptr;
  const unsigned width = FreeImage_GetWidth(dib), height = FreeImage_GetHeight(dib);
  freeimage::Bitmap out(FreeImage_Allocate(int(width), int(height), 24));
  if (!out) return nullptr;
  for (unsigned y = 0; y < height; ++y)
    cmsDoTransform(transform.get(), FreeImage_GetScanLine(dib, int(y)), FreeImage_GetScanLine(out.get(), int(y)), width);
  FreeImage_SetDotsPerMeterX(out.get(), FreeImage_GetDotsPerMeterX(dib));
  FreeImage_SetDotsPerMeterY(out.get(), FreeImage_GetDotsPerMeterY(dib));
  return out;
}

Profile linearSrgb() {
  const cmsCIExyY d65{0.3127, 0.3290, 1.0};
  const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
  cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
  cmsToneCurve* curves[3] = {linear, linear, linear};
  Profile profile(cmsCreateRGBProfile(&d65, &primaries, curves));
  cmsFreeToneCurve(linear);
  return profile;
}

}  // namespace

Model modelOf(const QByteArray& bytes) {
  const Profile profile = open(bytes);
  if (!profile) return Model::Other;
  switch (cmsGetColorSpace(profile.get())) {
    case cmsSigRgbData: return Model::Rgb;
    case cmsSigGrayData: return Model::Grey;
    case cmsSigCmykData: return Model::Cmyk;
    default: return Model::Other;
  }
}

freeimage::Bitmap cmykToSrgb(FIBITMAP* cmyk, const QByteArray& profile) {
  if (FreeImage_GetBPP(cmyk) != 32 || modelOf(profile) != Model::Cmyk) return nullptr;
  return toSrgb(cmyk, profile, TYPE_CMYK_8);
}

freeimage::Bitmap linearToSrgb(FIBITMAP* linear, freeimage::FourthChannel fourth) {
  const FREE_IMAGE_TYPE type = FreeImage_GetImageType(linear);
  if (type != FIT_RGBF && type != FIT_RGBAF) return nullptr;
  const Profile in = linearSrgb();
  const Profile srgb(cmsCreate_sRGBProfile());
  if (!in || !srgb) return nullptr;
  // The library's float pixels are red, green, blue (and alpha), in that order.
  const std::unique_ptr<void, TransformDeleter> transform(
      cmsCreateTransform(in.get(), TYPE_RGB_FLT, srgb.get(), TYPE_BGR_8, INTENT_RELATIVE_COLORIMETRIC, 0));
  if (!transform) return nullptr;
  const unsigned width = FreeImage_GetWidth(linear), height = FreeImage_GetHeight(linear);
  freeimage::Bitmap out(FreeImage_Allocate(int(width), int(height), 24));
  if (!out) return nullptr;
  std::vector<float> row(size_t(width) * 3);
  for (unsigned y = 0; y < height; ++y) {
    const float* from = reinterpret_cast<const float*>(FreeImage_GetScanLine(linear, int(y)));
    if (type == FIT_RGBAF) {
      for (unsigned x = 0; x < width; ++x, from += 4) {
        const float alpha = fourth == freeimage::FourthChannel::Padding ? 1.0f : std::clamp(from[3], 0.0f, 1.0f);
        for (int c = 0; c < 3; ++c)
          row[3 * x + c] = (fourth == freeimage::FourthChannel::Alpha ? from[c] * alpha : from[c]) + (1.0f - alpha);
      }
      from = row.data();
    }
    cmsDoTransform(transform.get(), from, FreeImage_GetScanLine(out.get(), int(y)), width);
  }
  return out;
}

freeimage::Bitmap greyToSrgb(FIBITMAP* grey, const QByteArray& profile) {
  if (FreeImage_GetBPP(grey) != 24 || modelOf(profile) != Model::Grey) return nullptr;
  // The grey in the first byte of each pixel; the other two are the same.
  return toSrgb(grey, profile, COLORSPACE_SH(PT_GRAY) | CHANNELS_SH(1) | BYTES_SH(1) | EXTRA_SH(2));
}

}  // namespace colour
