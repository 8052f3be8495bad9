#include "convert/Colour.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
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

// What turns pixels described by `from` into 8-bit sRGB, and the bitmap
// of `dib`'s size they go into: 24-bit, or 32-bit where alpha is kept.
struct IntoSrgb {
  std::unique_ptr<void, TransformDeleter> transform;
  freeimage::Bitmap out;

  // Every row of `dib` as it stands.
  freeimage::Bitmap allOf(FIBITMAP* dib) {
    for (unsigned y = 0; y < FreeImage_GetHeight(dib); ++y)
      cmsDoTransform(transform.get(), FreeImage_GetScanLine(dib, int(y)), FreeImage_GetScanLine(out.get(), int(y)),
                     FreeImage_GetWidth(dib));
    return std::move(out);
  }
};
std::optional<IntoSrgb> intoSrgb(const Profile& from, cmsUInt32Number format, FIBITMAP* dib, cmsUInt32Number intent,
                                 bool alpha = false) {
  const Profile srgb(cmsCreate_sRGBProfile());
  if (!from || !srgb) return std::nullopt;
  IntoSrgb into{std::unique_ptr<void, TransformDeleter>(cmsCreateTransform(
                    from.get(), format, srgb.get(), alpha ? TYPE_BGRA_8 : TYPE_BGR_8, intent, alpha ? cmsFLAGS_COPY_ALPHA : 0)),
                nullptr};
  if (!into.transform) return std::nullopt;
  into.out.reset(FreeImage_Allocate(int(FreeImage_GetWidth(dib)), int(FreeImage_GetHeight(dib)), alpha ? 32 : 24));
  if (!into.out) return std::nullopt;
  return into;
}

freeimage::Bitmap toSrgb(FIBITMAP* dib, const QByteArray& profile, cmsUInt32Number inputFormat) {
  std::optional<IntoSrgb> into = intoSrgb(open(profile), inputFormat, dib, INTENT_PERCEPTUAL);
  if (!into) return nullptr;
  freeimage::Bitmap out = into->allOf(dib);
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

QByteArray saved(const Profile& profile) {
  cmsUInt32Number size = 0;
  if (!profile || !cmsSaveProfileToMem(profile.get(), nullptr, &size) || size == 0) return QByteArray();
  QByteArray bytes(qsizetype(size), '\0');
  if (!cmsSaveProfileToMem(profile.get(), bytes.data(), &size)) return QByteArray();
  return bytes;
}

// The SDR reference white of HDR light, in cd/m² (ITU-R BT.2408).
constexpr double ReferenceWhite = 203;

// Signal to display light relative to the reference white (ITU-R BT.2100).
double pqToRelative(double signal) {
  constexpr double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128;
  constexpr double c1 = 3424.0 / 4096, c2 = 2413.0 / 4096 * 32, c3 = 2392.0 / 4096 * 32;
  const double p = std::pow(std::clamp(signal, 0.0, 1.0), 1 / m2);
  return std::pow(std::max(p - c1, 0.0) / (c2 - c3 * p), 1 / m1) * 10000 / ReferenceWhite;
}
double hlgToRelative(double signal) {
  constexpr double a = 0.17883277, b = 0.28466892, c = 0.55991073;
  const double e = std::clamp(signal, 0.0, 1.0);
  const double scene = e <= 0.5 ? e * e / 3 : (std::exp((e - c) / a) + b) / 12;
  // On the nominal 1,000 cd/m² display, with its system gamma of 1.2.
  return 1000 * std::pow(scene, 1.2) / ReferenceWhite;
}

// The curve from the picture's values to light, in which 1 is white.
cmsToneCurve* curveFor(const CodedColour& colour) {
  switch (colour.transfer) {
    case 8: return cmsBuildGamma(nullptr, 1.0);
    case 4: return cmsBuildGamma(nullptr, 2.2);
    case 5: return cmsBuildGamma(nullptr, 2.8);
    case 17: return cmsBuildGamma(nullptr, 2.6);
    case 16:
    case 18: {
      std::vector<float> table(4096);
      for (size_t i = 0; i < table.size(); ++i) {
        const double signal = double(i) / double(table.size() - 1);
        table[i] = float(std::min(1.0, colour.transfer == 16 ? pqToRelative(signal) : hlgToRelative(signal)));
      }
      return cmsBuildTabulatedToneCurveFloat(nullptr, cmsUInt32Number(table.size()), table.data());
    }
    default:
      if (colour.gamma > 0) return cmsBuildGamma(nullptr, colour.gamma);
      // sRGB's own, and what viewers take for the video transfers (BT.709,
      // BT.601, BT.2020) and for an unspecified one.
      const double srgb[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
      return cmsBuildParametricToneCurve(nullptr, 4, srgb);
  }
}

Profile profileOf(const CodedColour& colour) {
  const cmsCIExyY white{colour.white[0], colour.white[1], 1.0};
  cmsToneCurve* curve = curveFor(colour);
  if (!curve) return nullptr;
  Profile profile;
  if (colour.grey) {
    profile.reset(cmsCreateGrayProfile(&white, curve));
  } else {
    const cmsCIExyYTRIPLE primaries{{colour.red[0], colour.red[1], 1.0},
                                    {colour.green[0], colour.green[1], 1.0},
                                    {colour.blue[0], colour.blue[1], 1.0}};
    cmsToneCurve* curves[3] = {curve, curve, curve};
    profile.reset(cmsCreateRGBProfile(&white, &primaries, curves));
  }
  cmsFreeToneCurve(curve);
  return profile;
}

bool srgbLike(const CodedColour& colour) {
  const CodedColour srgb;
  const auto near = [](const double* a, const double* b) { return std::abs(a[0] - b[0]) < 0.001 && std::abs(a[1] - b[1]) < 0.001; };
  const bool srgbCurve = colour.gamma <= 0 && colour.transfer != 4 && colour.transfer != 5 && colour.transfer != 8 &&
                         colour.transfer != 17 && !isHdr(colour);
  return srgbCurve && near(colour.white, srgb.white) &&
         (colour.grey || (near(colour.red, srgb.red) && near(colour.green, srgb.green) && near(colour.blue, srgb.blue)));
}

}  // namespace

bool isHdr(const CodedColour& colour) { return colour.transfer == 16 || colour.transfer == 18; }

QByteArray profileFor(const CodedColour& colour) {
  if (srgbLike(colour)) return QByteArray();
  return saved(profileOf(colour));
}

freeimage::Bitmap hdrToSrgb(FIBITMAP* pixels, const CodedColour& colour) {
  const FREE_IMAGE_TYPE type = FreeImage_GetImageType(pixels);
  const unsigned bpp = FreeImage_GetBPP(pixels);
  const bool alpha = type == FIT_RGBA16 || (type == FIT_BITMAP && bpp == 32);
  const bool grey = type == FIT_UINT16 || (type == FIT_BITMAP && bpp == 8);
  cmsUInt32Number in = 0;
  switch (type) {
    case FIT_RGB16: in = TYPE_RGB_16; break;
    case FIT_RGBA16: in = TYPE_RGBA_16; break;
    case FIT_UINT16: in = TYPE_GRAY_16; break;
    // (HDR in 8 bits, which some encoders write.)
    case FIT_BITMAP: in = bpp == 24 ? TYPE_BGR_8 : bpp == 32 ? TYPE_BGRA_8 : bpp == 8 ? TYPE_GRAY_8 : 0; break;
    default: return nullptr;
  }
  if (in == 0 || grey != colour.grey) return nullptr;
  std::optional<IntoSrgb> into = intoSrgb(profileOf(colour), in, pixels, INTENT_RELATIVE_COLORIMETRIC, alpha);
  return into ? into->allOf(pixels) : nullptr;
}

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
  // The library's float pixels are red, green, blue (and alpha), in that order.
  std::optional<IntoSrgb> into = intoSrgb(linearSrgb(), TYPE_RGB_FLT, linear, INTENT_RELATIVE_COLORIMETRIC);
  if (!into) return nullptr;
  const unsigned width = FreeImage_GetWidth(linear), height = FreeImage_GetHeight(linear);
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
    cmsDoTransform(into->transform.get(), from, FreeImage_GetScanLine(into->out.get(), int(y)), width);
  }
  return std::move(into->out);
}

freeimage::Bitmap greyToSrgb(FIBITMAP* grey, const QByteArray& profile) {
  if (FreeImage_GetBPP(grey) != 24 || modelOf(profile) != Model::Grey) return nullptr;
  // The grey in the first byte of each pixel; the other two are the same.
  return toSrgb(grey, profile, COLORSPACE_SH(PT_GRAY) | CHANNELS_SH(1) | BYTES_SH(1) | EXTRA_SH(2));
}

}  // namespace colour
