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

// Four output pixels of a row at once, so that their sums do not wait on
// one another.
constexpr int RowBlock = 4;

#define DIMENZO_INLINE inline __attribute__((always_inline))

// Along each row the sums are made in integers, exactly: the weights are
// whole fractions of 1 << shift, and the sixteen-bit multiply that adds
// pairs of products does four colour taps (sixteen grey ones) in each
// instruction, twice what single precision does. Fifteen bits for the
// largest weight move a sum by a few thousandths of a level at most, so
// the row pass rounds as the library's double precision does but for sums
// within that of a half, and both instruction sets make the same bytes.
//
// The pairs a multiply adds are a channel of two neighbouring pixels: a
// colour row is widened into its pairs twice over, those that start on an
// even pixel and those that start on an odd one, each pair eight numbers
// (blue, green and red of both, and two zeros), so that a window starting
// on any pixel is a run of whole vectors of one of them. A grey row is
// widened as it is, one number a pixel. Windows are padded with zero
// weights to whole vectors, and the widened row with zero pixels to match.
struct RowWeights {
  bool colour = false;
  int vectors = 0;             // of sixteen numbers, per output pixel
  int shift = 15;              // a weight of one is 1 << shift
  size_t widened = 0;          // numbers in a widened row, padding included
  size_t oddPairs = 0;         // colour: where the pairs from odd pixels begin
  std::vector<int> start;      // first number of each output pixel's window
  std::vector<int16_t> weights;  // `vectors` times sixteen per output pixel
  const int16_t* weightsOf(int out) const { return weights.data() + size_t(out) * size_t(vectors) * 16; }
};

RowWeights rowWeights(const Contributions& k, int channels, int inWidth) {
  RowWeights r;
  r.colour = channels == 3;
  const int tapsPerVector = r.colour ? 4 : 16;
  const int taps = (k.taps + tapsPerVector - 1) / tapsPerVector * tapsPerVector;
  r.vectors = taps / tapsPerVector;
  const size_t lastFirst = k.first.empty() ? 0 : size_t(k.first.back());
  if (r.colour) {
    const size_t pairs = std::max(lastFirst / 2 + size_t(taps) / 2, size_t(inWidth) / 2) + 1;
    r.oddPairs = pairs * 8;
    r.widened = 2 * pairs * 8;
  } else {
    r.widened = std::max(lastFirst + size_t(taps), size_t(inWidth));
  }
  // As fine a unit as lets the largest weight fit in fifteen bits: the
  // more the picture shrinks, the smaller its weights and the finer their
  // unit. The sums stay within 31 bits.
  const float largest = k.weights.empty() ? 1.0f : *std::max_element(k.weights.begin(), k.weights.end());
  r.shift = 14;
  while (r.shift < 22 && std::lround(double(largest) * double(1 << (r.shift + 1))) <= 32767) ++r.shift;
  const int one = 1 << r.shift;
  r.start.resize(k.first.size());
  r.weights.assign(k.first.size() * size_t(r.vectors) * 16, 0);
  std::vector<int> whole(size_t(k.taps));
  for (size_t u = 0; u < k.first.size(); ++u) {
    const int first = k.first[u];
    r.start[u] = r.colour ? int((first % 2 ? r.oddPairs : 0) + size_t(first / 2) * 8) : first;
    // Rounded one by one, then the largest takes up what the rounding
    // lost, so that the weights still add up to exactly one.
    const float* w = k.weightsOf(int(u));
    int total = 0;
    for (int i = 0; i < k.taps; ++i) total += whole[size_t(i)] = int(std::lround(double(w[i]) * one));
    whole[size_t(std::max_element(whole.begin(), whole.end()) - whole.begin())] += one - total;
    int16_t* out = r.weights.data() + u * size_t(r.vectors) * 16;
    for (int i = 0; i < k.taps; ++i) {
      const auto weight = int16_t(whole[size_t(i)]);
      if (!r.colour) {
        out[i] = weight;
        continue;
      }
      // Tap i is the first or second of its pair, in the pair's half of
      // its vector: the same weight for blue, green and red.
      int16_t* half = out + (i / 4) * 16 + (i % 4 / 2) * 8 + i % 2;
      half[0] = half[2] = half[4] = weight;
    }
  }
  return r;
}

// A colour row's pairs (see RowWeights) from pixel `from` on, without
// vectors; pixels past the row's end are zero.
void widenPairs(const uint8_t* src, int width, int from, int16_t* even, int16_t* odd) {
  auto pair = [&](int pixel, int16_t* out) {
    for (int c = 0; c < 3; ++c) {
      out[2 * c] = pixel < width ? src[3 * pixel + c] : 0;
      out[2 * c + 1] = pixel + 1 < width ? src[3 * (pixel + 1) + c] : 0;
    }
  };
  for (int k = from / 2; 2 * k < width; ++k) {
    pair(2 * k, even + 8 * k);
    pair(2 * k + 1, odd + 8 * k);
  }
}

// Four sums of a colour pixel each (blue, green, red, zero), in units of
// 1 / (1 << shift), rounded half up as the library rounds: sixteen bytes,
// four a pixel. No sum is negative, the weights being so.
DIMENZO_INLINE __m128i roundSums(__m128i p0, __m128i p1, __m128i p2, __m128i p3, int shift) {
  const __m128i half = _mm_set1_epi32(1 << (shift - 1)), by = _mm_cvtsi32_si128(shift);
  auto round = [&](__m128i p) { return _mm_sra_epi32(_mm_add_epi32(p, half), by); };
  return _mm_packus_epi16(_mm_packs_epi32(round(p0), round(p1)), _mm_packs_epi32(round(p2), round(p3)));
}

// Four grey sums, each given as four partial sums h, added and rounded;
// the bytes in the lowest four.
DIMENZO_INLINE __m128i roundGreySums(__m128i h0, __m128i h1, __m128i h2, __m128i h3, int shift) {
  const __m128i s01 = _mm_add_epi32(_mm_unpacklo_epi32(h0, h1), _mm_unpackhi_epi32(h0, h1));
  const __m128i s23 = _mm_add_epi32(_mm_unpacklo_epi32(h2, h3), _mm_unpackhi_epi32(h2, h3));
  const __m128i total = _mm_add_epi32(_mm_unpacklo_epi64(s01, s23), _mm_unpackhi_epi64(s01, s23));
  const __m128i words = _mm_packs_epi32(
      _mm_sra_epi32(_mm_add_epi32(total, _mm_set1_epi32(1 << (shift - 1))), _mm_cvtsi32_si128(shift)),
      _mm_setzero_si128());
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

DIMENZO_INLINE F widen8(const uint8_t* p) {
  const __m128i words = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128());
  return {_mm_cvtepi32_ps(_mm_unpacklo_epi16(words, _mm_setzero_si128())),
          _mm_cvtepi32_ps(_mm_unpackhi_epi16(words, _mm_setzero_si128()))};
}

// Sixteen 16-bit numbers as two registers, for the row pass.
struct I {
  __m128i lo, hi;
};
DIMENZO_INLINE I loadI(const int16_t* p) {
  return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8))};
}
DIMENZO_INLINE I pairSums(I w, I p) { return {_mm_madd_epi16(w.lo, p.lo), _mm_madd_epi16(w.hi, p.hi)}; }
DIMENZO_INLINE I addPairSums(I sum, I w, I p) {
  return {_mm_add_epi32(sum.lo, _mm_madd_epi16(w.lo, p.lo)), _mm_add_epi32(sum.hi, _mm_madd_epi16(w.hi, p.hi))};
}
DIMENZO_INLINE __m128i half(I v) { return _mm_add_epi32(v.lo, v.hi); }

DIMENZO_INLINE void widenColour(const uint8_t* src, int width, int16_t* even, int16_t* odd) {
  widenPairs(src, width, 0, even, odd);
}
DIMENZO_INLINE void widenGrey(const uint8_t* src, int width, int16_t* wide) {
  int x = 0;
  for (; x + 8 <= width; x += 8)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(wide + x),
                     _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + x)), _mm_setzero_si128()));
  for (; x < width; ++x) wide[x] = src[x];
}

DIMENZO_INLINE void storeColour(const I (&sum)[RowBlock], uint8_t* dst, int count, int shift) {
  alignas(16) uint8_t bytes[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(bytes),
                  roundSums(half(sum[0]), half(sum[1]), half(sum[2]), half(sum[3]), shift));
  for (int i = 0; i < count; ++i) std::memcpy(dst + 3 * i, bytes + 4 * i, 3);
}
DIMENZO_INLINE void storeGrey(const I (&sum)[RowBlock], uint8_t* dst, int count, int shift) {
  storeGreyBytes(roundGreySums(half(sum[0]), half(sum[1]), half(sum[2]), half(sum[3]), shift), dst, count);
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

DIMENZO_INLINE F widen8(const uint8_t* p) {
  return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}

using I = __m256i;
DIMENZO_INLINE I loadI(const int16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
DIMENZO_INLINE I pairSums(I w, I p) { return _mm256_madd_epi16(w, p); }
DIMENZO_INLINE I addPairSums(I sum, I w, I p) { return _mm256_add_epi32(sum, _mm256_madd_epi16(w, p)); }
DIMENZO_INLINE __m128i half(I v) {
  return _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

// Four pixels' pairs at a time from sixteen bytes, in both halves of a
// register: each half picks a pair's six bytes as 16-bit numbers.
DIMENZO_INLINE void widenColour(const uint8_t* src, int width, int16_t* even, int16_t* odd) {
  const __m256i evens = _mm256_setr_epi8(0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1,  //
                                         6, -1, 9, -1, 7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1);
  const __m256i odds = _mm256_setr_epi8(3, -1, 6, -1, 4, -1, 7, -1, 5, -1, 8, -1, -1, -1, -1, -1,  //
                                        9, -1, 12, -1, 10, -1, 13, -1, 11, -1, 14, -1, -1, -1, -1, -1);
  int x = 0;
  for (; x + 6 <= width; x += 4) {
    const __m256i bytes = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * x)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(even + 4 * x), _mm256_shuffle_epi8(bytes, evens));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(odd + 4 * x), _mm256_shuffle_epi8(bytes, odds));
  }
  widenPairs(src, width, x, even, odd);
}
DIMENZO_INLINE void widenGrey(const uint8_t* src, int width, int16_t* wide) {
  int x = 0;
  for (; x + 16 <= width; x += 16)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(wide + x),
                        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x))));
  for (; x < width; ++x) wide[x] = src[x];
}

DIMENZO_INLINE void storeColour(const I (&sum)[RowBlock], uint8_t* dst, int count, int shift) {
  const __m128i pixels = roundSums(half(sum[0]), half(sum[1]), half(sum[2]), half(sum[3]), shift);
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
DIMENZO_INLINE void storeGrey(const I (&sum)[RowBlock], uint8_t* dst, int count, int shift) {
  storeGreyBytes(roundGreySums(half(sum[0]), half(sum[1]), half(sum[2]), half(sum[3]), shift), dst, count);
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
        weights_(rowWeights(contributions(outWidth, inWidth), channels, inWidth)),
        stride_((weights_.widened + 15) / 16 * 16),
        wide_(2 * stride_, 0),
        inWidth_(inWidth),
        outWidth_(outWidth) {}

  void operator()(const uint8_t* src, uint8_t* dst) {
    loops_.row(&src, nullptr, inWidth_, wide_.data(), stride_, &dst, outWidth_, weights_);
  }
  // Two rows; while at them, the two that come next are fetched from memory.
  void operator()(const uint8_t* src0, const uint8_t* src1, uint8_t* dst0, uint8_t* dst1,
                  const uint8_t* next0 = nullptr, const uint8_t* next1 = nullptr) {
    const uint8_t* src[2] = {src0, src1};
    const uint8_t* next[2] = {next0, next1};
    uint8_t* dst[2] = {dst0, dst1};
    loops_.twoRows(src, next1 ? next : nullptr, inWidth_, wide_.data(), stride_, dst, outWidth_, weights_);
  }

 private:
  const Loops& loops_;
  RowWeights weights_;
  size_t stride_;
  std::vector<int16_t> wide_;
  int inWidth_, outWidth_;
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
