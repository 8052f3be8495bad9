#include "convert/Pixels.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace freeimage {
namespace {

Bitmap adopt(FIBITMAP* dib) { return Bitmap(dib); }

// Bitmaps of the plain FIT_BITMAP kind: palettes, 16-bit packed, 24 and 32 bits.
Bitmap standardToRgb24(FIBITMAP* dib, FourthChannel fourth) {
  const unsigned bpp = FreeImage_GetBPP(dib);
  if (bpp == 32)
    return fourth == FourthChannel::Padding ? adopt(FreeImage_ConvertTo24Bits(dib))
                                            : CompositeOnWhite(dib, fourth == FourthChannel::PremultipliedAlpha);
  if (bpp <= 8 && FreeImage_IsTransparent(dib)) {
    Bitmap rgba = adopt(FreeImage_ConvertTo32Bits(dib));
    return rgba ? CompositeOnWhite(rgba.get()) : nullptr;
  }
  return adopt(FreeImage_ConvertTo24Bits(dib));
}

}  // namespace

Bitmap ToRgb24(FIBITMAP* dib, FourthChannel fourth) {
  if (!dib || !FreeImage_HasPixels(dib)) return nullptr;
  switch (FreeImage_GetImageType(dib)) {
    case FIT_BITMAP:
      return standardToRgb24(dib, fourth);
    case FIT_RGB16:
      return adopt(FreeImage_ConvertTo24Bits(dib));
    case FIT_RGBA16: {
      if (fourth == FourthChannel::Padding) return adopt(FreeImage_ConvertTo24Bits(dib));
      Bitmap rgba = adopt(FreeImage_ConvertTo32Bits(dib));
      return rgba ? CompositeOnWhite(rgba.get(), fourth == FourthChannel::PremultipliedAlpha) : nullptr;
    }
    case FIT_UINT16: {
      // A straight 16-to-8 reduction keeps the picture's tones; the library's
      // "standard type" conversion would stretch them to the full range.
      Bitmap grey = adopt(FreeImage_ConvertTo8Bits(dib));
      return grey ? adopt(FreeImage_ConvertTo24Bits(grey.get())) : nullptr;
    }
    case FIT_FLOAT:
    case FIT_DOUBLE: {
      // A grey of floating-point values says nothing of its range (a depth
      // or phase map as much as light): stretched over the greys it has.
      Bitmap standard = adopt(FreeImage_ConvertToStandardType(dib, TRUE));
      return standard ? standardToRgb24(standard.get(), fourth) : nullptr;
    }
    default: {
      Bitmap standard = adopt(FreeImage_ConvertToStandardType(dib, TRUE));
      return standard ? standardToRgb24(standard.get(), fourth) : nullptr;
    }
  }
}

Bitmap CompositeOnWhite(FIBITMAP* dib, bool premultiplied) {
  if (!dib || !FreeImage_HasPixels(dib) || FreeImage_GetImageType(dib) != FIT_BITMAP ||
      FreeImage_GetBPP(dib) != 32)
    return nullptr;
  const unsigned width = FreeImage_GetWidth(dib), height = FreeImage_GetHeight(dib);
  Bitmap result(FreeImage_Allocate(int(width), int(height), 24, FI_RGBA_RED_MASK, FI_RGBA_GREEN_MASK,
                                   FI_RGBA_BLUE_MASK));
  if (!result) return nullptr;
  const FourthChannel fourth = premultiplied ? FourthChannel::PremultipliedAlpha : FourthChannel::Alpha;
  for (unsigned y = 0; y < height; ++y)
    RowToRgb24(FreeImage_GetScanLine(dib, int(y)), FreeImage_GetScanLine(result.get(), int(y)), width, fourth);
  FreeImage_CloneMetadata(result.get(), dib);
  return result;
}

void RowToRgb24(const uint8_t* src, uint8_t* dst, unsigned width, FourthChannel fourth) {
  const bool premultiplied = fourth == FourthChannel::PremultipliedAlpha;
  for (unsigned x = 0; x < width; ++x, src += 4, dst += 3) {
    // Most pictures with an alpha channel are opaque almost everywhere: an
    // opaque pixel (or one whose fourth byte is padding) is its three
    // colour bytes, moved as four while the next pixel's go over the last.
    if (x + 1 < width && (fourth == FourthChannel::Padding || src[FI_RGBA_ALPHA] == 255)) {
      std::memcpy(dst, src, 4);
      continue;
    }
    if (fourth == FourthChannel::Padding) {
      dst[0] = src[0], dst[1] = src[1], dst[2] = src[2];
      continue;
    }
    // The library's blend: a weighted sum shifted down by 8, not divided
    // by 255, so that the bytes match its own.
    const unsigned alpha = src[FI_RGBA_ALPHA], rest = 255 - alpha;
    for (int c : {FI_RGBA_BLUE, FI_RGBA_GREEN, FI_RGBA_RED})
      dst[c] = premultiplied  ? uint8_t(std::min(255u, src[c] + rest))
               : alpha == 255 ? src[c]
               : alpha == 0   ? 255
                              : uint8_t((alpha * src[c] + rest * 255) >> 8);
  }
}

bool AlphaIsZeroEverywhere(FIBITMAP* dib) {
  if (!dib || FreeImage_GetImageType(dib) != FIT_BITMAP || FreeImage_GetBPP(dib) != 32) return false;
  const unsigned width = FreeImage_GetWidth(dib), height = FreeImage_GetHeight(dib);
  for (unsigned y = 0; y < height; ++y) {
    const uint8_t* pixel = FreeImage_GetScanLine(dib, int(y)) + FI_RGBA_ALPHA;
    for (unsigned x = 0; x < width; ++x, pixel += 4)
      if (*pixel != 0) return false;
  }
  return true;
}

}  // namespace freeimage
