#include "nuvlet/sensing/LuminanceReducer.h"

#include "nuvlet/sensing/HistogramReducer.h"

namespace nuvlet::LuminanceReducer {

FrameReduction reduce(const FrameView& frame) {
  FrameReducer reducer;
  if (frame.valid()) {
    reducer.begin(frame.width, frame.height);
    reducer.rows(frame);
    if (auto done = reducer.finish()) return *std::move(done);
  }
  FrameReduction fallback;
  fallback.luminance = kFallbackLuminance;
  fallback.signature = HistogramReducer::kFallback;
  fallback.grid.assign(FrameReducer::kGridCells * FrameReducer::kGridCells, 0.0);
  return fallback;
}

double meanLuminance(const AreaAverager::Sums& total) {
  if (total.pixels == 0) return kFallbackLuminance;
  // Each channel total is exact; the weighted sum stays below 2^64 for any frame of
  // fewer than 7e12 pixels, and one long-double division rounds it once.
  const std::uint64_t weighted = 2126 * total.r + 7152 * total.g + 722 * total.b;
  return static_cast<double>(static_cast<long double>(weighted) /
                             (static_cast<long double>(kScaledLumaOne) * total.pixels));
}

}  // namespace nuvlet::LuminanceReducer
