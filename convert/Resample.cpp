#include "convert/Resample.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <vector>

namespace freeimage {
namespace {

double bspline(double x) {
  x = std::fabs(x);
  if (x < 1) return (4 + x * x * (-6 + 3 * x)) / 6;
  if (x < 2) {
    const double t = 2 - x;
    return t * t * t / 6;
  }
  return 0;
}

// Which source pixels make each output pixel, and with what weights, along
// one direction. Every output pixel gets the same number of taps: shorter
// windows are padded with zero weights, and adding a zero product leaves a
// sum of non-negative terms exactly as it was.
struct Contributions {
  int taps = 0;
  std::vector<int> first;       // first source pixel of each output pixel
  std::vector<double> weights;  // `taps` weights per output pixel
  const double* weightsOf(int out) const { return weights.data() + size_t(out) * taps; }
};

Contributions contributions(int outSize, int inSize) {
  const double filterWidth = 2;
  const double scale = double(outSize) / double(inSize);
  const double width = scale < 1.0 ? filterWidth / scale : filterWidth;
  const double filterScale = scale < 1.0 ? scale : 1.0;
  const int window = 2 * int(std::ceil(width)) + 1;
  const double offset = 0.5 / scale;

  std::vector<int> left(outSize), count(outSize);
  std::vector<double> raw(size_t(outSize) * window);
  int taps = 1;
  for (int u = 0; u < outSize; ++u) {
    const double center = double(u) / scale + offset;
    const int from = std::max(0, int(center - width + 0.5));
    int to = std::min(int(center + width + 0.5), inSize);
    double* w = raw.data() + size_t(u) * window;
    double total = 0;
    for (int s = from; s < to; ++s) {
      w[s - from] = filterScale * bspline(filterScale * (double(s) + 0.5 - center));
      total += w[s - from];
    }
    if (total > 0 && total != 1)
      for (int s = from; s < to; ++s) w[s - from] /= total;
    while (to > from && w[to - from - 1] == 0) --to;  // zero weights at the right end
    left[u] = from;
    count[u] = to - from;
    taps = std::max(taps, to - from);
  }

  Contributions result;
  result.taps = taps;
  result.first.resize(outSize);
  result.weights.assign(size_t(outSize) * result.taps, 0.0);
  for (int u = 0; u < outSize; ++u) {
    const int first = std::min(left[u], inSize - result.taps);
    result.first[u] = first;
    std::copy_n(raw.data() + size_t(u) * window, count[u],
                result.weights.data() + size_t(u) * result.taps + (left[u] - first));
  }
  return result;
}

inline uint8_t toByte(double value) { return uint8_t(std::clamp(int(value + 0.5), 0, 255)); }

// Rows of bytes `pitch` apart: a bitmap as the library lays it out (row 0
// is its scan line 0), or our buffer between the two passes.
struct Plane {
  const uint8_t* bits;
  size_t pitch;
};
struct MutablePlane {
  uint8_t* bits;
  size_t pitch;
};

// Machines with wider vector units get loops of their own; the sums in
// each lane are the same either way.
#if defined(__x86_64__)
#define DIMENZO_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define DIMENZO_VECTOR_CLONES
#endif

// One pixel as doubles: blue, green, red and an unused lane (grey, and
// three unused), so that a pixel's sums advance together.
using Lanes = double __attribute__((vector_size(32), aligned(8), may_alias));

void widenBytes(const uint8_t* src, int channels, Lanes* wide, int width, int from) {
  for (int x = from; x < width; ++x) {
    const uint8_t* p = src + size_t(x) * channels;
    wide[x] = channels == 3 ? Lanes{double(p[0]), double(p[1]), double(p[2]), 0.0} : Lanes{double(p[0]), 0, 0, 0};
  }
}

#if defined(__x86_64__)
// A row of bytes as doubles, one pixel per Lanes. Where the processor
// has AVX2, four bytes become four doubles in two instructions; the fourth
// byte, the next pixel's first, lands in the unused lane. The last pixel is
// read on its own, not past the row.
__attribute__((target("avx2"))) void widen(const uint8_t* src, int channels, Lanes* wide, int width) {
  if (channels != 3 || width < 1) return widenBytes(src, channels, wide, width, 0);
  for (int x = 0; x + 1 < width; ++x) {
    int32_t four;
    std::memcpy(&four, src + 3 * x, sizeof four);
    _mm256_storeu_pd(reinterpret_cast<double*>(wide + x),
                     _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(four))));
  }
  widenBytes(src, channels, wide, width, width - 1);
}
__attribute__((target("default"))) void widen(const uint8_t* src, int channels, Lanes* wide, int width) {
  widenBytes(src, channels, wide, width, 0);
}
#else
void widen(const uint8_t* src, int channels, Lanes* wide, int width) { widenBytes(src, channels, wide, width, 0); }
#endif

// Along each row. The row is first widened to doubles; four output pixels
// are worked out at once so that their sums, each in its own order, do not
// wait on one another.
DIMENZO_VECTOR_CLONES
void filterRows(Plane in, int channels, int rows, MutablePlane out, int outWidth, const Contributions& k) {
  constexpr int Block = 4;
  const int taps = k.taps;
  const int inWidth = k.first.empty() ? 0 : k.first.back() + taps;
  std::vector<double> widened(size_t(inWidth) * 4);
  Lanes* wide = reinterpret_cast<Lanes*>(widened.data());
  for (int y = 0; y < rows; ++y) {
    const uint8_t* src = in.bits + size_t(y) * in.pitch;
    uint8_t* dst = out.bits + size_t(y) * out.pitch;
    widen(src, channels, wide, inWidth);
    auto store = [&](int x, const Lanes& sum) {
      uint8_t* d = dst + size_t(x) * channels;
      for (int c = 0; c < channels; ++c) d[c] = toByte(sum[c]);
    };
    int x = 0;
    for (; x + Block <= outWidth; x += Block) {
      Lanes sum[Block] = {};
      const Lanes* p[Block];
      const double* w[Block];
#pragma GCC unroll 4
      for (int b = 0; b < Block; ++b) {
        p[b] = wide + k.first[x + b];
        w[b] = k.weightsOf(x + b);
      }
      for (int i = 0; i < taps; ++i)
#pragma GCC unroll 4
        for (int b = 0; b < Block; ++b) sum[b] += w[b][i] * p[b][i];
      for (int b = 0; b < Block; ++b) store(x + b, sum[b]);
    }
    for (; x < outWidth; ++x) {
      Lanes sum = {};
      const Lanes* p = wide + k.first[x];
      const double* w = k.weightsOf(x);
      for (int i = 0; i < taps; ++i) sum += w[i] * p[i];
      store(x, sum);
    }
  }
}

// Down the columns, a whole row of sums at a time: the inner loop runs
// along memory and the compiler spreads it over vector lanes, each lane
// still adding its own column's terms in order.
DIMENZO_VECTOR_CLONES
void filterColumns(Plane in, int rowBytes, MutablePlane out, int outHeight, const Contributions& k) {
  std::vector<double> sum(rowBytes);
  for (int y = 0; y < outHeight; ++y) {
    std::fill(sum.begin(), sum.end(), 0.0);
    const double* w = k.weightsOf(y);
    for (int i = 0; i < k.taps; ++i) {
      const uint8_t* src = in.bits + size_t(k.first[y] + i) * in.pitch;
      const double weight = w[i];
      for (int j = 0; j < rowBytes; ++j) sum[j] += weight * double(src[j]);
    }
    uint8_t* dst = out.bits + size_t(y) * out.pitch;
    for (int j = 0; j < rowBytes; ++j) dst[j] = toByte(sum[j]);
  }
}

Plane planeOf(FIBITMAP* dib) { return {FreeImage_GetBits(dib), FreeImage_GetPitch(dib)}; }
MutablePlane mutablePlaneOf(FIBITMAP* dib) { return {FreeImage_GetBits(dib), FreeImage_GetPitch(dib)}; }

template <int Channels>
void rescale(FIBITMAP* source, FIBITMAP* target) {
  const int inWidth = int(FreeImage_GetWidth(source)), inHeight = int(FreeImage_GetHeight(source));
  const int outWidth = int(FreeImage_GetWidth(target)), outHeight = int(FreeImage_GetHeight(target));
  const Plane in = planeOf(source);
  const MutablePlane out = mutablePlaneOf(target);
  if (inHeight == outHeight) return filterRows(in, Channels, inHeight, out, outWidth, contributions(outWidth, inWidth));
  if (inWidth == outWidth)
    return filterColumns(in, inWidth * Channels, out, outHeight, contributions(outHeight, inHeight));
  // The library narrows first when the width shrinks, otherwise it
  // resamples the columns first; the byte rounding in between depends on it.
  if (outWidth <= inWidth) {
    const size_t pitch = size_t(outWidth) * Channels;
    const auto between = std::make_unique_for_overwrite<uint8_t[]>(pitch * inHeight);
    filterRows(in, Channels, inHeight, {between.get(), pitch}, outWidth, contributions(outWidth, inWidth));
    filterColumns({between.get(), pitch}, int(pitch), out, outHeight, contributions(outHeight, inHeight));
  } else {
    const size_t pitch = size_t(inWidth) * Channels;
    const auto between = std::make_unique_for_overwrite<uint8_t[]>(pitch * outHeight);
    filterColumns(in, int(pitch), {between.get(), pitch}, outHeight, contributions(outHeight, inHeight));
    filterRows({between.get(), pitch}, Channels, outHeight, out, outWidth, contributions(outWidth, inWidth));
  }
}

bool isPlainGrey(FIBITMAP* dib) {
  return FreeImage_GetBPP(dib) == 8 && FreeImage_GetColorType(dib) == FIC_MINISBLACK &&
         !FreeImage_IsTransparent(dib);
}

}  // namespace

Bitmap RescaleBSpline(FIBITMAP* dib, int width, int height) {
  if (!dib || !FreeImage_HasPixels(dib) || width <= 0 || height <= 0) return Rescale(dib, width, height);
  const bool colour = FreeImage_GetBPP(dib) == 24;
  if (FreeImage_GetImageType(dib) != FIT_BITMAP || !(colour || isPlainGrey(dib)))
    return Rescale(dib, width, height);
  const int inWidth = int(FreeImage_GetWidth(dib)), inHeight = int(FreeImage_GetHeight(dib));
  if (width == inWidth && height == inHeight) return Rescale(dib, width, height);  // the library copies

  Bitmap result(FreeImage_AllocateT(FIT_BITMAP, width, height, colour ? 24 : 8, 0, 0, 0));
  if (!result) return nullptr;
  // A picture millions of pixels wide and a few high needs weight tables
  // of gigabytes, here as in the library (which would not survive it).
  // Such a picture cannot be rescaled; the worker goes on.
  try {
    if (colour)
      rescale<3>(dib, result.get());
    else
      rescale<1>(dib, result.get());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  FreeImage_CloneMetadata(result.get(), dib);
  return result;
}

}  // namespace freeimage
