#include "convert/Pixels.h"

#include <cstdint>

namespace freeimage {
namespace {

Bitmap adopt(FIBITMAP* dib) { return Bitmap(dib); }

// Bitmaps of the plain FIT_BITMAP kind: palettes, 16-bit packed, 24 and 32 bits.
Bitmap standardToRgb24(FIBITMAP* dib, bool alpha) {
  const unsigned bpp = FreeImage_GetBPP(dib);
  if (bpp == 32) return alpha ? CompositeOnWhite(dib) : adopt(FreeImage_ConvertTo24Bits(dib));
  if (bpp <= 8 && FreeImage_IsTransparent(dib)) {
    Bitmap rgba = adopt(FreeImage_ConvertTo32Bits(dib));
    return rgba ? CompositeOnWhite(rgba.get()) : nullptr;
  }
  return adopt(FreeImage_ConvertTo24Bits(dib));
}

}  // namespace

Bitmap ToRgb24(FIBITMAP* dib, bool alpha) {
  if (!dib || !FreeImage_HasPixels(dib)) return nullptr;
  switch (FreeImage_GetImageType(dib)) {
    case FIT_BITMAP:
      return standardToRgb24(dib, alpha);
    case FIT_RGB16:
      return adopt(FreeImage_ConvertTo24Bits(dib));
    case FIT_RGBA16: {
      if (!alpha) return adopt(FreeImage_ConvertTo24Bits(dib));
      Bitmap rgba = adopt(FreeImage_ConvertTo32Bits(dib));
      return rgba ? CompositeOnWhite(rgba.get()) : nullptr;
    }
    case FIT_UINT16: {
      // A straight 16-to-8 reduction keeps the picture's tones; the library's
      // "standard type" conversion would stretch them to the full range.
      Bitmap grey = adopt(FreeImage_ConvertTo8Bits(dib));
      return grey ? adopt(FreeImage_ConvertTo24Bits(grey.get())) : nullptr;
    }
    case FIT_RGBF:
    case FIT_RGBAF: {
      Bitmap mapped = adopt(FreeImage_ToneMapping(dib, FITMO_DRAGO03));
      return mapped ? standardToRgb24(mapped.get(), alpha) : nullptr;
    }
    case FIT_FLOAT: {
      Bitmap mapped = adopt(FreeImage_ToneMapping(dib, FITMO_DRAGO03));
      if (!mapped) mapped = adopt(FreeImage_ConvertToStandardType(dib, TRUE));
      return mapped ? standardToRgb24(mapped.get(), alpha) : nullptr;
    }
    default: {
      Bitmap standard = adopt(FreeImage_ConvertToStandardType(dib, TRUE));
      return standard ? standardToRgb24(standard.get(), alpha) : nullptr;
    }
  }
}

Bitmap CompositeOnWhite(FIBITMAP* dib) {
  if (!dib || !FreeImage_HasPixels(dib) || FreeImage_GetImageType(dib) != FIT_BITMAP ||
      FreeImage_GetBPP(dib) != 32)
    return nullptr;
  const unsigned width = FreeImage_GetWidth(dib), height = FreeImage_GetHeight(dib);
  Bitmap result(FreeImage_Allocate(int(width), int(height), 24, FI_RGBA_RED_MASK, FI_RGBA_GREEN_MASK,
                                   FI_RGBA_BLUE_MASK));
  if (!result) return nullptr;
  for (unsigned y = 0; y < height; ++y) {
    const uint8_t* src = FreeImage_GetScanLine(dib, int(y));
    uint8_t* dst = FreeImage_GetScanLine(result.get(), int(y));
    for (unsigned x = 0; x < width; ++x, src += 4, dst += 3) {
      // The library's blend: a weighted sum shifted down by 8, not divided
      // by 255, so that the bytes match its own.
      const unsigned alpha = src[FI_RGBA_ALPHA], rest = 255 - alpha;
      for (int c : {FI_RGBA_BLUE, FI_RGBA_GREEN, FI_RGBA_RED})
        dst[c] = alpha == 255 ? src[c] : alpha == 0 ? 255 : uint8_t((alpha * src[c] + rest * 255) >> 8);
    }
  }
  FreeImage_CloneMetadata(result.get(), dib);
  return result;
}

}  // namespace freeimage
