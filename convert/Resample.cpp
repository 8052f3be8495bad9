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
// precision as it does. Every output pixel gets the same number of taps:
// shorter windows are padded with zero weights, which add nothing.
struct Contributions {
  int taps = 0;
  std::vector<int> first;      // first source pixel of each output pixel
  std::vector<double> weights;  // `taps` weights per output pixel
  const double* weightsOf(int out) const { return weights.data() + size_t(out) * taps; }
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
  result.weights.assign(size_t(outSize) * size_t(result.taps), 0.0);
  for (int u = 0; u < outSize; ++u) {
    int from;
    const int count = window(u, from);
    const int first = std::min(from, inSize - result.taps);
    result.first[size_t(u)] = first;
    std::copy_n(w.data(), count, result.weights.data() + size_t(u) * size_t(result.taps) + (from - first));
  }
  return result;
}

// The sums are made in integers, exactly: the weights are whole
// fractions of 1 << shift, as fine a unit as lets the largest weight fit in
// fifteen bits (the more the picture shrinks, the smaller its weights and
// the finer their unit), and the sixteen-bit multiply that adds pairs of
// products does twice the work of a single-precision one. Such weights move
// a sum by a few thousandths of a level at most, so a byte rounds as the
// library's double precision rounds it but for sums within that of a half,
// and both instruction sets make the same bytes. The sums stay within 31
// bits.
int unitShift(const Contributions& k) {
  const double largest = k.weights.empty() ? 1.0 : *std::max_element(k.weights.begin(), k.weights.end());
  int shift = 14;
  while (shift < 22 && std::lround(largest * (1 << (shift + 1))) <= 32767) ++shift;
  return shift;
}

// One output pixel's weights in that unit: rounded one by one, then the
// largest takes up what the rounding lost, so that they still add up to
// exactly one.
void wholeWeights(const Contributions& k, int out, int shift, std::vector<int>& whole) {
  const double* w = k.weightsOf(out);
  int total = 0;
  for (int i = 0; i < k.taps; ++i) total += whole[size_t(i)] = int(std::lround(w[i] * (1 << shift)));
  whole[size_t(std::max_element(whole.begin(), whole.begin() + k.taps) - whole.begin())] += (1 << shift) - total;
}

// Down the columns, two source rows at a time: each output row's weights
// as pairs, the first of a pair in the low half of 32 bits, a zero weight
// after an odd last one.
struct ColumnWeights {
  int taps = 0;  // even
  int shift = 15;
  std::vector<int32_t> pairs;
  const int32_t* pairsOf(int out) const { return pairs.data() + size_t(out) * size_t(taps / 2); }
};

ColumnWeights columnWeights(const Contributions& k) {
  ColumnWeights c;
  c.taps = (k.taps + 1) / 2 * 2;
  c.shift = unitShift(k);
  c.pairs.assign(k.first.size() * size_t(c.taps / 2), 0);
  std::vector<int> whole(size_t(c.taps), 0);
  for (size_t y = 0; y < k.first.size(); ++y) {
    wholeWeights(k, int(y), c.shift, whole);
    for (int i = 0; i < c.taps; i += 2)
      c.pairs[y * size_t(c.taps / 2) + size_t(i / 2)] =
          int32_t(uint32_t(uint16_t(whole[size_t(i)])) | uint32_t(whole[size_t(i + 1)]) << 16);
  }
  return c;
}

// Four output pixels of a row at once, so that their sums do not wait on
// one another.
constexpr int RowBlock = 4;

#define DIMENZO_INLINE inline __attribute__((always_inline))

// Along each row, the pairs a multiply adds are a channel of two
// neighbouring pixels: a colour row is widened into the pairs that start on
// its even pixels, each pair eight numbers (blue, green and red of both,
// and two zeros), four taps a vector. A window that starts on an odd pixel
// starts a pixel early, with a zero weight for it: so that it still fits,
// every window has room for one tap more than the widest. A grey row is
// widened as it is, sixteen taps a vector. Windows are padded with zero
// weights to whole vectors, and the widened row with zero pixels to match.
struct RowWeights {
  bool colour = false;
  int vectors = 0;             // of sixteen numbers, per output pixel
  int shift = 15;              // a weight of one is 1 << shift
  size_t widened = 0;          // numbers in a widened row, padding included
  std::vector<int> start;      // first number of each output pixel's window
  std::vector<int16_t> weights;  // `vectors` times sixteen per output pixel
  const int16_t* weightsOf(int out) const { return weights.data() + size_t(out) * size_t(vectors) * 16; }
};

RowWeights rowWeights(const Contributions& k, int channels, int inWidth) {
  RowWeights r;
  r.colour = channels == 3;
  const int tapsPerVector = r.colour ? 4 : 16;
  const int taps = (k.taps + (r.colour ? 1 : 0) + tapsPerVector - 1) / tapsPerVector * tapsPerVector;
  r.vectors = taps / tapsPerVector;
  const size_t lastFirst = k.first.empty() ? 0 : size_t(k.first.back());
  if (r.colour)
    r.widened = (std::max(lastFirst / 2 + size_t(taps) / 2, size_t(inWidth) / 2) + 1) * 8;
  else
    r.widened = std::max(lastFirst + size_t(taps), size_t(inWidth));
  r.shift = unitShift(k);
  r.start.resize(k.first.size());
  r.weights.assign(k.first.size() * size_t(r.vectors) * 16, 0);
  std::vector<int> whole(size_t(k.taps));
  for (size_t u = 0; u < k.first.size(); ++u) {
    const int first = k.first[u];
    r.start[u] = r.colour ? first / 2 * 8 : first;
    wholeWeights(k, int(u), r.shift, whole);
    int16_t* out = r.weights.data() + u * size_t(r.vectors) * 16;
    for (int i = 0; i < k.taps; ++i) {
      const auto weight = int16_t(whole[size_t(i)]);
      if (!r.colour) {
        out[i] = weight;
        continue;
      }
      // Tap i is the first or second of its pair, in the pair's half of
      // its vector: the same weight for blue, green and red.
      const int tap = i + first % 2;
      int16_t* half = out + (tap / 4) * 16 + (tap % 4 / 2) * 8 + tap % 2;
      half[0] = half[2] = half[4] = weight;
    }
  }
  return r;
}

// A colour row's pairs (see RowWeights) from pixel `from` on, without
// vectors; a pixel past the row's end is zero.
void widenPairs(const uint8_t* src, int width, int from, int16_t* pairs) {
  for (int pixel = from; pixel < width; pixel += 2) {
    int16_t* out = pairs + 4 * pixel;
    for (int c = 0; c < 3; ++c) {
      out[2 * c] = src[3 * pixel + c];
      out[2 * c + 1] = pixel + 1 < width ? src[3 * (pixel + 1) + c] : 0;
    }
  }
}

// Four sums in units of 1 / (1 << shift), rounded half up as the library
// rounds. No sum is negative, the weights being so.
DIMENZO_INLINE __m128i rounded(__m128i sums, int shift) {
  return _mm_sra_epi32(_mm_add_epi32(sums, _mm_set1_epi32(1 << (shift - 1))), _mm_cvtsi32_si128(shift));
}

// Four sums of a colour pixel each (blue, green, red, zero), rounded:
// sixteen bytes, four a pixel.
DIMENZO_INLINE __m128i roundSums(__m128i p0, __m128i p1, __m128i p2, __m128i p3, int shift) {
  return _mm_packus_epi16(_mm_packs_epi32(rounded(p0, shift), rounded(p1, shift)),
                          _mm_packs_epi32(rounded(p2, shift), rounded(p3, shift)));
}

// Four grey sums, each given as four partial sums h, added and rounded;
// the bytes in the lowest four.
DIMENZO_INLINE __m128i roundGreySums(__m128i h0, __m128i h1, __m128i h2, __m128i h3, int shift) {
  const __m128i s01 = _mm_add_epi32(_mm_unpacklo_epi32(h0, h1), _mm_unpackhi_epi32(h0, h1));
  const __m128i s23 = _mm_add_epi32(_mm_unpacklo_epi32(h2, h3), _mm_unpackhi_epi32(h2, h3));
  const __m128i total = _mm_add_epi32(_mm_unpacklo_epi64(s01, s23), _mm_unpackhi_epi64(s01, s23));
  const __m128i words = _mm_packs_epi32(rounded(total, shift), _mm_setzero_si128());
  return _mm_packus_epi16(words, words);
}

DIMENZO_INLINE void storeGreyBytes(__m128i bytes, uint8_t* dst, int count) {
  const int four = _mm_cvtsi128_si32(bytes);
  std::memcpy(dst, &four, size_t(count));
}

// What every x86-64 has: SSE2.
namespace sse2 {

// Sixteen 16-bit numbers, or eight 32-bit ones, as two registers.
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

DIMENZO_INLINE void widenColour(const uint8_t* src, int width, int16_t* pairs) { widenPairs(src, width, 0, pairs); }
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
// Two rows' bytes, a from one and b from the other, side by side as
// 16-bit numbers: a0 b0 a1 b1 ..., each pair for one weight pair.
DIMENZO_INLINE void addRowPair(I (&sum)[4], bool first, const uint8_t* a, const uint8_t* b, int32_t pair) {
  const __m128i w = _mm_set1_epi32(pair), zero = _mm_setzero_si128();
  for (int half = 0; half < 2; ++half) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 16 * half));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16 * half));
    const __m128i low = _mm_unpacklo_epi8(x, y), high = _mm_unpackhi_epi8(x, y);
    const I products[2] = {{_mm_madd_epi16(_mm_unpacklo_epi8(low, zero), w), _mm_madd_epi16(_mm_unpackhi_epi8(low, zero), w)},
                           {_mm_madd_epi16(_mm_unpacklo_epi8(high, zero), w), _mm_madd_epi16(_mm_unpackhi_epi8(high, zero), w)}};
    for (int j = 0; j < 2; ++j) {
      I& s = sum[2 * half + j];
      s = first ? products[j] : I{_mm_add_epi32(s.lo, products[j].lo), _mm_add_epi32(s.hi, products[j].hi)};
    }
  }
}
DIMENZO_INLINE void storeColumnBytes(const I (&sum)[4], uint8_t* dst, int count, int shift) {
  alignas(16) uint8_t bytes[32];
  _mm_store_si128(reinterpret_cast<__m128i*>(bytes), roundSums(sum[0].lo, sum[0].hi, sum[1].lo, sum[1].hi, shift));
  _mm_store_si128(reinterpret_cast<__m128i*>(bytes + 16), roundSums(sum[2].lo, sum[2].hi, sum[3].lo, sum[3].hi, shift));
  std::memcpy(dst, bytes, size_t(count));
}

#include "convert/ResampleLoops.inc"

}  // namespace sse2

// Where the processor has AVX2: sixteen 16-bit numbers in one register.
#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {

using I = __m256i;
DIMENZO_INLINE I loadI(const int16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
DIMENZO_INLINE I pairSums(I w, I p) { return _mm256_madd_epi16(w, p); }
DIMENZO_INLINE I addPairSums(I sum, I w, I p) { return _mm256_add_epi32(sum, _mm256_madd_epi16(w, p)); }
DIMENZO_INLINE __m128i half(I v) {
  return _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

// Four pixels' pairs at a time from sixteen bytes, in both halves of a
// register: each half picks a pair's six bytes as 16-bit numbers.
DIMENZO_INLINE void widenColour(const uint8_t* src, int width, int16_t* pairs) {
  const __m256i pick = _mm256_setr_epi8(0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1,  //
                                        6, -1, 9, -1, 7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1);
  int x = 0;
  for (; x + 6 <= width; x += 4) {
    const __m256i bytes = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * x)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(pairs + 4 * x), _mm256_shuffle_epi8(bytes, pick));
  }
  widenPairs(src, width, x, pairs);
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
// Two rows' bytes as 16-bit numbers, interleaved within each half of a
// register: a0 b0 ... a3 b3 | a8 b8 ... a11 b11, then the 4-7 and 12-15
// that those leave; packing puts them back in order.
DIMENZO_INLINE void addRowPair(I (&sum)[4], bool first, const uint8_t* a, const uint8_t* b, int32_t pair) {
  const __m256i w = _mm256_set1_epi32(pair);
  for (int half = 0; half < 2; ++half) {
    const __m256i x = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 16 * half)));
    const __m256i y = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16 * half)));
    const __m256i low = _mm256_madd_epi16(_mm256_unpacklo_epi16(x, y), w);
    const __m256i high = _mm256_madd_epi16(_mm256_unpackhi_epi16(x, y), w);
    sum[2 * half] = first ? low : _mm256_add_epi32(sum[2 * half], low);
    sum[2 * half + 1] = first ? high : _mm256_add_epi32(sum[2 * half + 1], high);
  }
}
DIMENZO_INLINE void storeColumnBytes(const I (&sum)[4], uint8_t* dst, int count, int shift) {
  const __m256i half = _mm256_set1_epi32(1 << (shift - 1));
  const __m128i by = _mm_cvtsi32_si128(shift);
  auto round = [&](__m256i v) { return _mm256_sra_epi32(_mm256_add_epi32(v, half), by); };
  const __m256i words0 = _mm256_packs_epi32(round(sum[0]), round(sum[1]));  // bytes 0-15 in order
  const __m256i words1 = _mm256_packs_epi32(round(sum[2]), round(sum[3]));  // 16-31
  const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(words0, words1), 0xD8);
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
      (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
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
  const ColumnWeights columns = columnWeights(down);
  std::vector<const uint8_t*> taps(size_t(columns.taps));
  auto column = [&](const Rows& from, int y, int ring, uint8_t* dst, int rowBytes) {
    // The padding tap, of weight zero, reads the last row again.
    for (int i = 0; i < columns.taps; ++i) {
      const int row = down.first[size_t(y)] + std::min(i, down.taps - 1);
      taps[size_t(i)] = from[ring ? row % ring : row];
    }
    loops.column(taps.data(), columns, y, dst, rowBytes);
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
