#include "convert/Interleaved.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace orientation {
namespace {

// How an Orientation moves a pixel, on coordinates taken from the
// picture's centre, x to the right and y downwards: shown = M * stored.
using Matrix = std::array<int, 4>;  // m00, m01, m10, m11
constexpr Matrix Matrices[9] = {
    {1, 0, 0, 1},                                     // (not an Orientation)
    {1, 0, 0, 1},   {-1, 0, 0, 1}, {-1, 0, 0, -1}, {1, 0, 0, -1},
    {0, 1, 1, 0},   {0, -1, 1, 0}, {0, -1, -1, 0}, {0, 1, -1, 0},
};

Matrix matrixOf(int orientation) { return Matrices[orientation >= 1 && orientation <= 8 ? orientation : 1]; }

}  // namespace

bool swapsSides(int orientation) { return orientation >= 5 && orientation <= 8; }

int combined(int first, int then) {
  const Matrix a = matrixOf(then), b = matrixOf(first);
  const Matrix product{a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2],
                       a[2] * b[1] + a[3] * b[3]};
  for (int o = 1; o <= 8; ++o)
    if (Matrices[o] == product) return o;
  return 1;
}

}  // namespace orientation

namespace {

template <typename Sample>
freeimage::Bitmap copy(const InterleavedPixels& from, int shownAs) {
  const bool swaps = orientation::swapsSides(shownAs);
  const int width = swaps ? from.height : from.width, height = swaps ? from.width : from.height;
  const int channels = from.channels;
  const bool deep = sizeof(Sample) == 2;
  freeimage::Bitmap dib;
  if (deep) {
    const FREE_IMAGE_TYPE type = channels == 1 ? FIT_UINT16 : channels == 3 ? FIT_RGB16 : FIT_RGBA16;
    dib.reset(FreeImage_AllocateT(type, width, height));
  } else {
    dib.reset(FreeImage_Allocate(width, height, 8 * channels));
    if (dib && channels == 1) {
      RGBQUAD* palette = FreeImage_GetPalette(dib.get());
      for (int i = 0; i < 256; ++i) palette[i] = {BYTE(i), BYTE(i), BYTE(i), 0};
    }
  }
  if (!dib) return nullptr;
  // The library's 8-bit colour lies blue first; its 16-bit colour red first.
  int order[4] = {0, 1, 2, 3};
  if (!deep && channels >= 3) {
    order[FI_RGBA_RED] = 0;
    order[FI_RGBA_GREEN] = 1;
    order[FI_RGBA_BLUE] = 2;
    order[FI_RGBA_ALPHA] = 3;
  }
  const orientation::Matrix& m = orientation::Matrices[shownAs >= 1 && shownAs <= 8 ? shownAs : 1];
  const ptrdiff_t pixelBytes = ptrdiff_t(channels) * ptrdiff_t(sizeof(Sample));
  // Along a stored row, the shown pixels advance by the matrix's first column.
  const ptrdiff_t step = m[0] * pixelBytes + m[2] * ptrdiff_t(from.stride);
  const bool stretch = deep && from.maxValue != 65535 && from.maxValue > 0;
  for (int y = 0; y < height; ++y) {
    const int cx = -(width - 1), cy = 2 * y - (height - 1);
    const int sx = (m[0] * cx + m[1] * cy + from.width - 1) / 2, sy = (m[2] * cx + m[3] * cy + from.height - 1) / 2;
    const uint8_t* in = from.data + ptrdiff_t(sy) * ptrdiff_t(from.stride) + sx * pixelBytes;
    Sample* out = reinterpret_cast<Sample*>(FreeImage_GetScanLine(dib.get(), height - 1 - y));
    for (int x = 0; x < width; ++x, in += step, out += channels) {
      Sample pixel[4];
      std::memcpy(pixel, in, size_t(pixelBytes));
      for (int c = 0; c < channels; ++c) {
        const Sample value = pixel[order[c]];
        out[c] = stretch ? Sample((uint32_t(std::min<unsigned>(value, from.maxValue)) * 65535u + from.maxValue / 2) / from.maxValue)
                         : value;
      }
    }
  }
  return dib;
}

}  // namespace

freeimage::Bitmap toBitmap(const InterleavedPixels& pixels, int shownAs) {
  if (!pixels.data || pixels.width <= 0 || pixels.height <= 0 ||
      (pixels.channels != 1 && pixels.channels != 3 && pixels.channels != 4))
    return nullptr;
  if (pixels.bytesPerSample == 1) return copy<uint8_t>(pixels, shownAs);
  if (pixels.bytesPerSample == 2) return copy<uint16_t>(pixels, shownAs);
  return nullptr;
}
