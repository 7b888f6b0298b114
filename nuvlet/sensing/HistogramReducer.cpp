#include "nuvlet/sensing/HistogramReducer.h"

#include <algorithm>
#include <cstdint>

#include "nuvlet/sensing/ExactDivider.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace nuvlet::HistogramReducer {
namespace {

constexpr std::uint32_t kDarkBelow = kScaledLumaOne / 5;        // 0.2
constexpr std::uint32_t kBrightAbove = kScaledLumaOne / 5 * 4;  // 0.8

// What the signature is made of, counted over the pixels of a bitmap.
struct Tally {
  std::uint64_t dark = 0, bright = 0, r = 0, g = 0, b = 0;

  void add(std::uint32_t red, std::uint32_t green, std::uint32_t blue) {
    const std::uint32_t y = scaledLuma(red, green, blue);
    dark += y < kDarkBelow;
    bright += y > kBrightAbove;
    r += red;
    g += green;
    b += blue;
  }
};

ContentSignature signatureOf(const Tally& t, std::size_t pixels) {
  // Divide once, in long double, so each field is the correctly rounded quotient of
  // two exact integers. The luminance total is the weighted channel totals: the
  // weighting is linear and exact in integers.
  const long double n = static_cast<long double>(pixels);
  const long double channel = 255.0L * n;
  const std::uint64_t sumY = 2126 * t.r + 7152 * t.g + 722 * t.b;
  const auto [lo, hi] = std::minmax({t.r, t.g, t.b});
  ContentSignature s;
  s.pctDark = static_cast<double>(static_cast<long double>(t.dark) / n);
  s.pctBright = static_cast<double>(static_cast<long double>(t.bright) / n);
  s.mean = static_cast<double>(static_cast<long double>(sumY) / (kScaledLumaOne * n));
  s.chroma = static_cast<double>(static_cast<long double>(hi - lo) / channel);
  s.warmCool = static_cast<double>((static_cast<long double>(t.r) - static_cast<long double>(t.b)) /
                                   channel);
  return s;
}

#if defined(__x86_64__)
// The 32-bit lanes of `v` summed.
__attribute__((target("avx2"))) std::uint64_t laneTotal(__m256i v) {
  alignas(32) std::uint32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), v);
  std::uint64_t total = 0;
  for (std::uint32_t lane : lanes) total += lane;
  return total;
}

// The low 32 bits of each field of two cells: per 128-bit half b0 g0 b1 g1 | r0 n0 r1 n1.
__attribute__((target("avx2"))) inline __m256 pair(const AreaAverager::Sums* cells) {
  auto load = [cells](int i) __attribute__((target("avx2"))) {
    return _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(cells + i)));
  };
  return _mm256_shuffle_ps(load(0), load(1), _MM_SHUFFLE(2, 0, 2, 0));
}
__attribute__((target("avx2"))) inline __m256i low(__m256 a, __m256 b) {
  return _mm256_castps_si256(_mm256_permute2f128_ps(a, b, 0x20));
}
__attribute__((target("avx2"))) inline __m256i high(__m256 a, __m256 b) {
  return _mm256_castps_si256(_mm256_permute2f128_ps(a, b, 0x31));
}

// Tallies the rounded bitmap of cells[0, count), count a multiple of 8, eight cells at a
// time. Each cell holds 1 to 4202509 pixels of 8-bit channels, so that a channel's
// rounding numerator 2 * sum + pixels is below 2^31; the 32-bit lanes of the totals
// hold up to 4096 x 4096 cells.
//
// The rounding floor((2s + n) / 2n) is taken in double precision as
// trunc(N * fl(1 / D) + 2^-38) with N = 2s + n < 2^31 and D = 2n < 2^24: the quotient
// N / D is at most 255.5 and the product is within 2^-44 of it, the sum within 2^-43.
// If N / D is an integer k the result lies in (k, k + 1); otherwise N / D is at least
// 1 / D > 2^-24 above k and as far below k + 1, far more than the error and the 2^-38
// added. So the truncation is the exact floor. (Without the 2^-38, the product falls
// short of k for cells of 98 pixels, among many others.)
__attribute__((target("avx2"))) void tallyAvx2(const AreaAverager::Sums* cells, std::size_t count,
                                               Tally& t) {
  static_assert(sizeof(AreaAverager::Sums) == 32);
  const __m256d nudge = _mm256_set1_pd(0x1p-38);
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256i weightR = _mm256_set1_epi32(2126), weightG = _mm256_set1_epi32(7152),
                weightB = _mm256_set1_epi32(722);
  const __m256i darkBelow = _mm256_set1_epi32(kDarkBelow);
  const __m256i brightAbove = _mm256_set1_epi32(kBrightAbove);
  __m256i dark = _mm256_setzero_si256(), bright = dark, sumR = dark, sumG = dark, sumB = dark;
  __m256i lastPixels = _mm256_set1_epi32(-1);  // no cell has that many
  __m256d reciprocalLo = one, reciprocalHi = one;
  for (std::size_t i = 0; i < count; i += 8) {
    const __m256 p0 = pair(cells + i), p1 = pair(cells + i + 2), p2 = pair(cells + i + 4),
                 p3 = pair(cells + i + 6);
    const __m256 br0 = _mm256_shuffle_ps(p0, p1, _MM_SHUFFLE(2, 0, 2, 0));  // b0-3 | r0-3
    const __m256 gn0 = _mm256_shuffle_ps(p0, p1, _MM_SHUFFLE(3, 1, 3, 1));  // g0-3 | n0-3
    const __m256 br1 = _mm256_shuffle_ps(p2, p3, _MM_SHUFFLE(2, 0, 2, 0));
    const __m256 gn1 = _mm256_shuffle_ps(p2, p3, _MM_SHUFFLE(3, 1, 3, 1));
    const __m256i blue = low(br0, br1), red = high(br0, br1);
    const __m256i green = low(gn0, gn1), pixels = high(gn0, gn1);
    // Runs of cells share their pixel count: one division for each run.
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(pixels, lastPixels)) != -1) {
      lastPixels = pixels;
      const __m256i twice = _mm256_add_epi32(pixels, pixels);
      reciprocalLo = _mm256_div_pd(one, _mm256_cvtepi32_pd(_mm256_castsi256_si128(twice)));
      reciprocalHi = _mm256_div_pd(one, _mm256_cvtepi32_pd(_mm256_extracti128_si256(twice, 1)));
    }
    auto rounded = [&](__m256i sum) __attribute__((target("avx2"))) {
      const __m256i numerator = _mm256_add_epi32(_mm256_add_epi32(sum, sum), pixels);
      const __m256d lo = _mm256_add_pd(
          _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(numerator)), reciprocalLo),
          nudge);
      const __m256d hi = _mm256_add_pd(
          _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(numerator, 1)), reciprocalHi),
          nudge);
      return _mm256_set_m128i(_mm256_cvttpd_epi32(hi), _mm256_cvttpd_epi32(lo));
    };
    const __m256i r = rounded(red), g = rounded(green), b = rounded(blue);
    const __m256i y = _mm256_add_epi32(
        _mm256_add_epi32(_mm256_mullo_epi32(r, weightR), _mm256_mullo_epi32(g, weightG)),
        _mm256_mullo_epi32(b, weightB));
    dark = _mm256_sub_epi32(dark, _mm256_cmpgt_epi32(darkBelow, y));
    bright = _mm256_sub_epi32(bright, _mm256_cmpgt_epi32(y, brightAbove));
    sumR = _mm256_add_epi32(sumR, r);
    sumG = _mm256_add_epi32(sumG, g);
    sumB = _mm256_add_epi32(sumB, b);
  }
  t.dark += laneTotal(dark);
  t.bright += laneTotal(bright);
  t.r += laneTotal(sumR);
  t.g += laneTotal(sumG);
  t.b += laneTotal(sumB);
}
#endif

}  // namespace

ContentSignature signature(const FrameView& frame, int size) {
  if (!frame.valid() || size < 1 || size > AreaAverager::kMaxSize) return kFallback;
  AreaAverager averager(size);
  averager.begin(frame.width, frame.height);
  averager.addRows(frame);
  return statistics(averager);
}

ContentSignature statistics(std::span<const Rgb8> pixels) {
  if (pixels.empty()) return kFallback;
  Tally t;
  for (const Rgb8& p : pixels) t.add(p.r, p.g, p.b);
  return signatureOf(t, pixels.size());
}

ContentSignature statistics(const AreaAverager& averager) {
  const auto& cells = averager.cells();
  if (!averager.complete() || cells.empty()) return statistics(averager.bitmap());
#if defined(__x86_64__)
  // The most pixels a cell holds; the 32-bit lanes take cells of up to 4 million.
  const auto side = [&](int length) {
    return static_cast<std::uint64_t>(length + averager.size() - 1) /
           static_cast<std::uint64_t>(averager.size());
  };
  constexpr std::uint64_t kMostPixels = (ExactDivider::kDividendLimit - 1) / 511;
  const std::size_t vectored = cells.size() / 8 * 8;
  if (AreaAverager::avx2() && vectored > 0 &&
      side(averager.width()) * side(averager.height()) <= kMostPixels) {
    Tally t;
    tallyAvx2(cells.data(), vectored, t);
    for (std::size_t i = vectored; i < cells.size(); ++i) {
      const AreaAverager::Sums& c = cells[i];
      t.add(AreaAverager::rounded(c.r, c.pixels), AreaAverager::rounded(c.g, c.pixels),
            AreaAverager::rounded(c.b, c.pixels));
    }
    return signatureOf(t, cells.size());
  }
#endif
  return statistics(averager.bitmap());
}

}  // namespace nuvlet::HistogramReducer
