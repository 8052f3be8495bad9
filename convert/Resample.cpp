#include "convert/Resample.h"

#include "convert/Pixels.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace freeimage {
namespace {

// The loops are written for x86-64's vector units; elsewhere the library
// rescales.
#if defined(__x86_64__)

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
// one direction. The weights are the library's, worked out in double
// precision as it does and only then made single. Every output pixel gets
// the same number of taps: shorter windows are padded with zero weights,
// which add nothing.
struct Contributions {
  int taps = 0;
  std::vector<int> first;      // first source pixel of each output pixel
  std::vector<float> weights;  // `taps` weights per output pixel
  const float* weightsOf(int out) const { return weights.data() + size_t(out) * taps; }
};

Contributions contributions(int outSize, int inSize) {
  const double filterWidth = 2;
  const double scale = double(outSize) / double(inSize);
  const double width = scale < 1.0 ? filterWidth / scale : filterWidth;
  const double filterScale = scale < 1.0 ? scale : 1.0;
  const double offset = 0.5 / scale;

  // One output pixel's window: its first source pixel and its weights,
  // without the zero weights at its right end.
  std::vector<double> w(2 * size_t(std::ceil(width)) + 1);
  auto window = [&](int u, int& from) {
    const double center = double(u) / scale + offset;
    from = std::max(0, int(center - width + 0.5));
    int to = std::min(int(center + width + 0.5), inSize);
    double total = 0;
    for (int s = from; s < to; ++s) {
      w[size_t(s - from)] = filterScale * bspline(filterScale * (double(s) + 0.5 - center));
      total += w[size_t(s - from)];
    }
    if (total > 0 && total != 1)
      for (int s = from; s < to; ++s) w[size_t(s - from)] /= total;
    while (to > from && w[size_t(to - from - 1)] == 0) --to;
    return to - from;
  };

  // Twice through: the widest window first, so that only the final table
  // is ever held.
  Contributions result;
  result.taps = 1;
  for (int u = 0, from; u < outSize; ++u) result.taps = std::max(result.taps, window(u, from));
  result.first.resize(size_t(outSize));
  result.weights.assign(size_t(outSize) * size_t(result.taps), 0.0f);
  for (int u = 0; u < outSize; ++u) {
    int from;
    const int count = window(u, from);
    const int first = std::min(from, inSize - result.taps);
    result.first[size_t(u)] = first;
    float* out = result.weights.data() + size_t(u) * size_t(result.taps) + (from - first);
    for (int i = 0; i < count; ++i) out[i] = float(w[size_t(i)]);
  }
  return result;
}

// Along each row, with weights laid out for the row's vectors: a colour
// pixel is four floats (blue, green, red and a zero), a grey pixel one.
// Each output pixel is then the sum of a run of whole vectors of the
// widened row times as many of its own weights, each weight repeated over
// its pixel's floats; windows are padded with zero weights to whole
// vectors, and the widened row with zero pixels to match.
struct RowWeights {
  int floatsPerPixel = 0;
  int vectors = 0;             // of eight floats, per output pixel
  size_t widenedFloats = 0;    // the widened row, padding included
  std::vector<int> start;      // first float of each output pixel's window
  std::vector<float> weights;  // `vectors` times eight per output pixel
  const float* weightsOf(int out) const { return weights.data() + size_t(out) * size_t(vectors) * 8; }
};

RowWeights rowWeights(const Contributions& k, int channels) {
  RowWeights r;
  r.floatsPerPixel = channels == 3 ? 4 : 1;
  const int pixelsPerVector = 8 / r.floatsPerPixel;
  const int taps = (k.taps + pixelsPerVector - 1) / pixelsPerVector * pixelsPerVector;
  r.vectors = taps / pixelsPerVector;
  r.widenedFloats = (k.first.empty() ? 0 : size_t(k.first.back() + taps)) * size_t(r.floatsPerPixel);
  r.start.resize(k.first.size());
  r.weights.assign(k.first.size() * size_t(r.vectors) * 8, 0.0f);
  for (size_t u = 0; u < k.first.size(); ++u) {
    r.start[u] = k.first[u] * r.floatsPerPixel;
    float* out = r.weights.data() + u * size_t(r.vectors) * 8;
    for (int i = 0; i < k.taps; ++i)
      std::fill_n(out + i * r.floatsPerPixel, r.floatsPerPixel, k.weightsOf(int(u))[i]);
  }
  return r;
}

// Four output pixels of a row at once, so that their sums do not wait on
// one another.
constexpr int RowBlock = 4;

#define DIMENZO_INLINE inline __attribute__((always_inline))

// The library's rounding, half up and clamped, for four colour pixels
// (blue, green, red, unused): sixteen bytes, four a pixel. No sum is
// negative, the weights being so.
DIMENZO_INLINE __m128i roundPixels(__m128 p0, __m128 p1, __m128 p2, __m128 p3) {
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128i a = _mm_packs_epi32(_mm_cvttps_epi32(_mm_add_ps(p0, half)), _mm_cvttps_epi32(_mm_add_ps(p1, half)));
  const __m128i b = _mm_packs_epi32(_mm_cvttps_epi32(_mm_add_ps(p2, half)), _mm_cvttps_epi32(_mm_add_ps(p3, half)));
  return _mm_packus_epi16(a, b);
}

// Four grey sums, each given as four partial sums h, added as
// (h0 + h2) + (h1 + h3), rounded; the bytes in the lowest four.
DIMENZO_INLINE __m128i roundGrey(__m128 h0, __m128 h1, __m128 h2, __m128 h3) {
  const __m128 s01 = _mm_add_ps(_mm_unpacklo_ps(h0, h1), _mm_unpackhi_ps(h0, h1));
  const __m128 s23 = _mm_add_ps(_mm_unpacklo_ps(h2, h3), _mm_unpackhi_ps(h2, h3));
  const __m128 total = _mm_add_ps(_mm_movelh_ps(s01, s23), _mm_movehl_ps(s23, s01));
  const __m128i words = _mm_packs_epi32(_mm_cvttps_epi32(_mm_add_ps(total, _mm_set1_ps(0.5f))), _mm_setzero_si128());
  return _mm_packus_epi16(words, words);
}

DIMENZO_INLINE void storeGreyBytes(__m128i bytes, uint8_t* dst, int count) {
  const int four = _mm_cvtsi128_si32(bytes);
  std::memcpy(dst, &four, size_t(count));
}

// What every x86-64 has: eight floats as two SSE2 registers.
namespace sse2 {

struct F {
  __m128 lo, hi;
};
DIMENZO_INLINE F zero() { return {_mm_setzero_ps(), _mm_setzero_ps()}; }
DIMENZO_INLINE F splat(float value) { return {_mm_set1_ps(value), _mm_set1_ps(value)}; }
DIMENZO_INLINE F load(const float* p) { return {_mm_loadu_ps(p), _mm_loadu_ps(p + 4)}; }
DIMENZO_INLINE void store(float* p, F v) {
  _mm_storeu_ps(p, v.lo);
  _mm_storeu_ps(p + 4, v.hi);
}
DIMENZO_INLINE F mul(F a, F b) { return {_mm_mul_ps(a.lo, b.lo), _mm_mul_ps(a.hi, b.hi)}; }
DIMENZO_INLINE F mulAdd(F sum, F a, F b) {
  return {_mm_add_ps(sum.lo, _mm_mul_ps(a.lo, b.lo)), _mm_add_ps(sum.hi, _mm_mul_ps(a.hi, b.hi))};
}
DIMENZO_INLINE __m128 half(F v) { return _mm_add_ps(v.lo, v.hi); }

DIMENZO_INLINE F widen8(const uint8_t* p) {
  const __m128i words = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128());
  return {_mm_cvtepi32_ps(_mm_unpacklo_epi16(words, _mm_setzero_si128())),
          _mm_cvtepi32_ps(_mm_unpackhi_epi16(words, _mm_setzero_si128()))};
}

// One pixel from the four bytes at `p`, the fourth cleared.
DIMENZO_INLINE __m128 pixelAt(const uint8_t* p) {
  int32_t four;
  std::memcpy(&four, p, sizeof four);
  const __m128i bytes = _mm_cvtsi32_si128(four & 0xFFFFFF);
  return _mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_unpacklo_epi8(bytes, _mm_setzero_si128()), _mm_setzero_si128()));
}
DIMENZO_INLINE void widenColour4(const uint8_t* p, float* out) {
  for (int i = 0; i < 4; ++i) _mm_storeu_ps(out + 4 * i, pixelAt(p + 3 * i));
}

DIMENZO_INLINE void storeColour(const F (&sum)[RowBlock], uint8_t* dst, int count) {
  alignas(16) uint8_t bytes[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(bytes),
                  roundPixels(half(sum[0]), half(sum[1]), half(sum[2]), half(sum[3])));
  for (int i = 0; i < count; ++i) std::memcpy(dst + 3 * i, bytes + 4 * i, 3);
}
DIMENZO_INLINE void storeGrey(const F (&sum)[RowBlock], uint8_t* dst, int count) {
  storeGreyBytes(roundGrey(half(sum[0]), half(sum[1]), half(sum[2]), half(sum[3])), dst, count);
}
DIMENZO_INLINE __m128i roundBytes(F a, F b) {
  const __m128 h = _mm_set1_ps(0.5f);
  return _mm_packus_epi16(
      _mm_packs_epi32(_mm_cvttps_epi32(_mm_add_ps(a.lo, h)), _mm_cvttps_epi32(_mm_add_ps(a.hi, h))),
      _mm_packs_epi32(_mm_cvttps_epi32(_mm_add_ps(b.lo, h)), _mm_cvttps_epi32(_mm_add_ps(b.hi, h))));
}
DIMENZO_INLINE void storeBytes(const F (&sum)[4], uint8_t* dst, int count) {
  alignas(16) uint8_t bytes[32];
  _mm_store_si128(reinterpret_cast<__m128i*>(bytes), roundBytes(sum[0], sum[1]));
  _mm_store_si128(reinterpret_cast<__m128i*>(bytes + 16), roundBytes(sum[2], sum[3]));
  std::memcpy(dst, bytes, size_t(count));
}

#include "convert/ResampleLoops.inc"

}  // namespace sse2

// Where the processor has AVX2: eight floats in one register.
#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace avx2 {

using F = __m256;
DIMENZO_INLINE F zero() { return _mm256_setzero_ps(); }
DIMENZO_INLINE F splat(float value) { return _mm256_set1_ps(value); }
DIMENZO_INLINE F load(const float* p) { return _mm256_loadu_ps(p); }
DIMENZO_INLINE void store(float* p, F v) { _mm256_storeu_ps(p, v); }
DIMENZO_INLINE F mul(F a, F b) { return _mm256_mul_ps(a, b); }
DIMENZO_INLINE F mulAdd(F sum, F a, F b) { return _mm256_fmadd_ps(a, b, sum); }
DIMENZO_INLINE __m128 half(F v) { return _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1)); }

DIMENZO_INLINE F widen8(const uint8_t* p) {
  return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}

// Sixteen bytes in both halves of a register; each half picks its pixel's
// three bytes as 32-bit numbers, with a zero after them.
DIMENZO_INLINE void widenColour4(const uint8_t* p, float* out) {
  const __m256i bytes = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  const __m256i first = _mm256_setr_epi8(0, -1, -1, -1, 1, -1, -1, -1, 2, -1, -1, -1, -1, -1, -1, -1,  //
                                         3, -1, -1, -1, 4, -1, -1, -1, 5, -1, -1, -1, -1, -1, -1, -1);
  const __m256i second = _mm256_setr_epi8(6, -1, -1, -1, 7, -1, -1, -1, 8, -1, -1, -1, -1, -1, -1, -1,  //
                                          9, -1, -1, -1, 10, -1, -1, -1, 11, -1, -1, -1, -1, -1, -1, -1);
  _mm256_storeu_ps(out, _mm256_cvtepi32_ps(_mm256_shuffle_epi8(bytes, first)));
  _mm256_storeu_ps(out + 8, _mm256_cvtepi32_ps(_mm256_shuffle_epi8(bytes, second)));
}

DIMENZO_INLINE void storeColour(const F (&sum)[RowBlock], uint8_t* dst, int count) {
  const __m128i pixels = roundPixels(half(sum[0]), half(sum[1]), half(sum[2]), half(sum[3]));
  const __m128i packed = _mm_shuffle_epi8(pixels, _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
  if (count == RowBlock) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), packed);
    const int last = _mm_extract_epi32(packed, 2);
    std::memcpy(dst + 8, &last, 4);
  } else {
    alignas(16) uint8_t bytes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(bytes), packed);
    std::memcpy(dst, bytes, size_t(3 * count));
  }
}
DIMENZO_INLINE void storeGrey(const F (&sum)[RowBlock], uint8_t* dst, int count) {
  storeGreyBytes(roundGrey(half(sum[0]), half(sum[1]), half(sum[2]), half(sum[3])), dst, count);
}
DIMENZO_INLINE void storeBytes(const F (&sum)[4], uint8_t* dst, int count) {
  const __m256 h = _mm256_set1_ps(0.5f);
  // Packing works within each half of the register: a0-3 b0-3 c0-3 d0-3
  // in the low one, a4-7 b4-7 c4-7 d4-7 in the high one, put in order
  // after.
  const __m256i ab = _mm256_packs_epi32(_mm256_cvttps_epi32(_mm256_add_ps(sum[0], h)),
                                        _mm256_cvttps_epi32(_mm256_add_ps(sum[1], h)));
  const __m256i cd = _mm256_packs_epi32(_mm256_cvttps_epi32(_mm256_add_ps(sum[2], h)),
                                        _mm256_cvttps_epi32(_mm256_add_ps(sum[3], h)));
  const __m256i bytes =
      _mm256_permutevar8x32_epi32(_mm256_packus_epi16(ab, cd), _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
  if (count == 32) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), bytes);
  } else {
    alignas(32) uint8_t out[32];
    _mm256_store_si256(reinterpret_cast<__m256i*>(out), bytes);
    std::memcpy(dst, out, size_t(count));
  }
}

#include "convert/ResampleLoops.inc"

}  // namespace avx2
#pragma GCC pop_options

// The instruction set is chosen once, by what the processor (and the
// system, which must save the wider registers) supports.
struct Loops {
  decltype(&sse2::filterRows<1>) row, twoRows;
  decltype(&sse2::filterColumn) column;
};
const Loops& loops(VectorSet set) {
  static const Loops sse2{sse2::filterRows<1>, sse2::filterRows<2>, sse2::filterColumn};
  static const Loops avx2{avx2::filterRows<1>, avx2::filterRows<2>, avx2::filterColumn};
  static const bool hasAvx2 =
      (__builtin_cpu_init(), __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"));
  return hasAvx2 && set == VectorSet::Best ? avx2 : sse2;
}

// Rows of bytes `pitch` apart: a bitmap as the library lays it out (row 0
// is its scan line 0), or one of our buffers.
struct Rows {
  uint8_t* bits;
  size_t pitch;
  uint8_t* operator[](int row) const { return bits + size_t(row) * pitch; }
};

Rows rowsOf(FIBITMAP* dib) { return {FreeImage_GetBits(dib), FreeImage_GetPitch(dib)}; }

// Along the rows: the weights, and room for two widened rows.
class Across {
 public:
  Across(const Loops& loops, int outWidth, int inWidth, int channels)
      : loops_(loops),
        weights_(rowWeights(contributions(outWidth, inWidth), channels)),
        stride_((std::max(weights_.widenedFloats, size_t(inWidth) * size_t(weights_.floatsPerPixel)) + 15) / 16 * 16),
        wide_(2 * stride_, 0.0f),
        inWidth_(inWidth),
        outWidth_(outWidth),
        channels_(channels) {}

  void operator()(const uint8_t* src, uint8_t* dst) {
    loops_.row(&src, nullptr, channels_, inWidth_, wide_.data(), stride_, &dst, outWidth_, weights_);
  }
  // Two rows; while at them, the two that come next are fetched from memory.
  void operator()(const uint8_t* src0, const uint8_t* src1, uint8_t* dst0, uint8_t* dst1,
                  const uint8_t* next0 = nullptr, const uint8_t* next1 = nullptr) {
    const uint8_t* src[2] = {src0, src1};
    const uint8_t* next[2] = {next0, next1};
    uint8_t* dst[2] = {dst0, dst1};
    loops_.twoRows(src, next1 ? next : nullptr, channels_, inWidth_, wide_.data(), stride_, dst, outWidth_, weights_);
  }

 private:
  const Loops& loops_;
  RowWeights weights_;
  size_t stride_;
  std::vector<float> wide_;
  int inWidth_, outWidth_, channels_;
};

// Whether rescaling to this size reads each source row once: then a
// 32-bit source can be made 24-bit a row at a time on the way in, rather
// than whole beforehand.
bool readsRowsOnce(int inWidth, int inHeight, int outWidth, int outHeight) {
  return outWidth < inWidth && outHeight != inHeight;
}

// `fromRgba`, where given, says what the 32-bit source's fourth channel
// holds; its rows are made 24-bit as they are read (see readsRowsOnce).
template <int Channels>
void rescale(FIBITMAP* source, FIBITMAP* target, const Loops& loops, const FourthChannel* fromRgba = nullptr) {
  const int inWidth = int(FreeImage_GetWidth(source)), inHeight = int(FreeImage_GetHeight(source));
  const int outWidth = int(FreeImage_GetWidth(target)), outHeight = int(FreeImage_GetHeight(target));
  const Rows in = rowsOf(source), out = rowsOf(target);
  if (inHeight == outHeight) {
    Across across(loops, outWidth, inWidth, Channels);
    int y = 0;
    for (; y + 2 <= outHeight; y += 2)
      across(in[y], in[y + 1], out[y], out[y + 1], y + 3 < inHeight ? in[y + 2] : nullptr,
             y + 3 < inHeight ? in[y + 3] : nullptr);
    if (y < outHeight) across(in[y], out[y]);
    return;
  }
  const Contributions down = contributions(outHeight, inHeight);
  std::vector<const uint8_t*> taps(size_t(down.taps));
  auto column = [&](const Rows& from, int y, int ring, uint8_t* dst, int rowBytes) {
    for (int i = 0; i < down.taps; ++i) {
      const int row = down.first[size_t(y)] + i;
      taps[size_t(i)] = from[ring ? row % ring : row];
    }
    loops.column(taps.data(), down.weightsOf(y), down.taps, dst, rowBytes);
  };
  if (inWidth == outWidth) {
    for (int y = 0; y < outHeight; ++y) column(in, y, 0, out[y], inWidth * Channels);
    return;
  }
  Across across(loops, outWidth, inWidth, Channels);
  // The library narrows first when the width shrinks, otherwise it
  // resamples the columns first; the byte rounding in between depends on
  // it. Either way rows go through the second pass as soon as they are
  // made, so that only the few in flight are held.
  if (outWidth <= inWidth) {
    // Narrowed rows in a ring, each made once, two at a time where it can,
    // when a window first reaches it: one more than a window's rows.
    const int ring = down.taps + 1;
    const size_t pitch = size_t(outWidth) * Channels;
    const auto ringBytes = std::make_unique_for_overwrite<uint8_t[]>(pitch * size_t(ring));
    const Rows narrowed{ringBytes.get(), pitch};
    const size_t rgbPitch = fromRgba ? size_t(inWidth) * 3 : 0;
    const auto rgbBytes = std::make_unique_for_overwrite<uint8_t[]>(2 * rgbPitch + 16);
    auto row = [&](int r, int slot) -> const uint8_t* {
      if (!fromRgba) return in[r];
      uint8_t* rgb = rgbBytes.get() + size_t(slot) * rgbPitch;
      RowToRgb24(in[r], rgb, unsigned(inWidth), *fromRgba);
      return rgb;
    };
    int made = 0;
    for (int y = 0; y < outHeight; ++y) {
      const int first = down.first[size_t(y)];
      for (made = std::max(made, first); made < first + down.taps;)
        if (made + 1 < inHeight) {
          across(row(made, 0), row(made + 1, 1), narrowed[made % ring], narrowed[(made + 1) % ring],
                 made + 3 < inHeight && !fromRgba ? in[made + 2] : nullptr,
                 made + 3 < inHeight && !fromRgba ? in[made + 3] : nullptr);
          made += 2;
        } else {
          across(row(made, 0), narrowed[made % ring]);
          made += 1;
        }
      column(narrowed, y, ring, out[y], outWidth * Channels);
    }
  } else {
    const size_t pitch = size_t(inWidth) * Channels;
    const auto betweenBytes = std::make_unique_for_overwrite<uint8_t[]>(2 * pitch);
    const Rows between{betweenBytes.get(), pitch};
    int y = 0;
    for (; y + 2 <= outHeight; y += 2) {
      column(in, y, 0, between[0], inWidth * Channels);
      column(in, y + 1, 0, between[1], inWidth * Channels);
      across(between[0], between[1], out[y], out[y + 1]);
    }
    if (y < outHeight) {
      column(in, y, 0, between[0], inWidth * Channels);
      across(between[0], out[y]);
    }
  }
}

bool isPlainGrey(FIBITMAP* dib) {
  return FreeImage_GetBPP(dib) == 8 && FreeImage_GetColorType(dib) == FIC_MINISBLACK &&
         !FreeImage_IsTransparent(dib);
}

#endif

}  // namespace

Bitmap RescaleBSpline(FIBITMAP* dib, int width, int height, FourthChannel fourth, [[maybe_unused]] VectorSet set) {
  const bool rgba = dib && FreeImage_GetImageType(dib) == FIT_BITMAP && FreeImage_GetBPP(dib) == 32;
  const int inWidth = dib ? int(FreeImage_GetWidth(dib)) : 0, inHeight = dib ? int(FreeImage_GetHeight(dib)) : 0;
#if defined(__x86_64__)
  const bool rowByRow = rgba && FreeImage_HasPixels(dib) && readsRowsOnce(inWidth, inHeight, width, height);
#else
  const bool rowByRow = false;
#endif
  if (rgba && !rowByRow) {
    const Bitmap rgb = ToRgb24(dib, fourth);
    return rgb ? RescaleBSpline(rgb.get(), width, height, fourth, set) : nullptr;
  }
#if !defined(__x86_64__)
  return Rescale(dib, width, height);
#else
  if (!dib || !FreeImage_HasPixels(dib) || width <= 0 || height <= 0) return Rescale(dib, width, height);
  const bool colour = FreeImage_GetBPP(dib) == 24 || rowByRow;
  if (FreeImage_GetImageType(dib) != FIT_BITMAP || !(colour || isPlainGrey(dib)))
    return Rescale(dib, width, height);
  if (width == inWidth && height == inHeight) return Rescale(dib, width, height);  // the library copies

  Bitmap result(FreeImage_AllocateT(FIT_BITMAP, width, height, colour ? 24 : 8, 0, 0, 0));
  if (!result) return nullptr;
  // A picture millions of pixels wide and a few high needs weight tables
  // of gigabytes, here as in the library (which would not survive it).
  // Such a picture cannot be rescaled; the worker goes on.
  try {
    if (colour)
      rescale<3>(dib, result.get(), loops(set), rowByRow ? &fourth : nullptr);
    else
      rescale<1>(dib, result.get(), loops(set));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  FreeImage_CloneMetadata(result.get(), dib);
  return result;
#endif
}

}  // namespace freeimage
