#include "nuvlet/sensing/HistogramReducer.h"

#include <algorithm>

#include "nuvlet/sensing/AreaAverager.h"

namespace nuvlet::HistogramReducer {
namespace {

constexpr std::uint32_t kDarkBelow = kScaledLumaOne / 5;        // 0.2
constexpr std::uint32_t kBrightAbove = kScaledLumaOne / 5 * 4;  // 0.8

}  // namespace

ContentSignature signature(const FrameView& frame, int size) {
  if (!frame.valid() || size < 1 || size > AreaAverager::kMaxSize) return kFallback;
  AreaAverager averager(size);
  averager.begin(frame.width, frame.height);
  averager.addRows(frame);
  return statistics(averager.bitmap());
}

ContentSignature statistics(std::span<const Rgb8> pixels) {
  if (pixels.empty()) return kFallback;
  std::uint64_t dark = 0, bright = 0, sumY = 0, sumR = 0, sumG = 0, sumB = 0;
  for (const Rgb8& p : pixels) {
    const std::uint32_t y = scaledLuma(p.r, p.g, p.b);
    dark += y < kDarkBelow;
    bright += y > kBrightAbove;
    sumY += y;
    sumR += p.r;
    sumG += p.g;
    sumB += p.b;
  }
  // Divide once, in long double, so each field is the correctly rounded quotient of
  // two exact integers.
  const long double n = static_cast<long double>(pixels.size());
  const long double channel = 255.0L * n;
  const auto [lo, hi] = std::minmax({sumR, sumG, sumB});
  ContentSignature s;
  s.pctDark = static_cast<double>(static_cast<long double>(dark) / n);
  s.pctBright = static_cast<double>(static_cast<long double>(bright) / n);
  s.mean = static_cast<double>(static_cast<long double>(sumY) / (kScaledLumaOne * n));
  s.chroma = static_cast<double>(static_cast<long double>(hi - lo) / channel);
  s.warmCool = static_cast<double>(
      (static_cast<long double>(sumR) - static_cast<long double>(sumB)) / channel);
  return s;
}

}  // namespace nuvlet::HistogramReducer
