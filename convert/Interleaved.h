#pragma once

// Pixels as the HEIF and JPEG XL libraries hand them over, made into the
// image library's bitmaps; and the eight ways a picture can be turned, as
// EXIF's Orientation numbers them.

#include "convert/FreeImage.h"

#include <cstddef>
#include <cstdint>

struct InterleavedPixels {
  const uint8_t* data = nullptr;
  size_t stride = 0;            // bytes from one row to the next; rows run top-down
  int width = 0, height = 0;
  int channels = 3;             // grey; red, green, blue; or those and alpha
  int bytesPerSample = 1;       // 1, or 2 in the machine's byte order
  unsigned maxValue = 255;      // of a sample: 1023 for 10 bits, 65535 for 16...
};

// The pixels as a bitmap of 8 bits per channel (grey, BGR, BGRA) or 16
// (FIT_UINT16, FIT_RGB16, FIT_RGBA16, every sample stretched to 16 bits).
// `shownAs` is the Orientation by which the stored picture became these
// pixels: the bitmap holds the stored picture again, so that showing it
// with that Orientation gives back these pixels. Null when the pixels are
// not of such a kind or memory runs out.
freeimage::Bitmap toBitmap(const InterleavedPixels& pixels, int shownAs = 1);

namespace orientation {
// Whether the Orientation turns the picture a quarter, so that its width
// is shown as its height.
bool swapsSides(int orientation);
// The Orientation of turning by `first`, then by `then`.
int combined(int first, int then);
// 90 degrees anticlockwise, and mirrored left to right or top to bottom.
inline constexpr int QuarterAnticlockwise = 8, MirroredLeftRight = 2, MirroredTopBottom = 4;
}  // namespace orientation
