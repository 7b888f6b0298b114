#include "nuvlet/sensing/FrameReducer.h"

#include <time.h>

#include <chrono>

#include "nuvlet/sensing/HistogramReducer.h"
#include "nuvlet/sensing/LuminanceReducer.h"

namespace nuvlet {
namespace {

static_assert(FrameReducer::kSignatureSize % FrameReducer::kGridCells == 0);

double cellLuminance(const AreaAverager::Sums& cell) {
  const auto r = AreaAverager::rounded(cell.r, cell.pixels);
  const auto g = AreaAverager::rounded(cell.g, cell.pixels);
  const auto b = AreaAverager::rounded(cell.b, cell.pixels);
  return static_cast<double>(scaledLuma(r, g, b)) / kScaledLumaOne;
}

// The time this thread has run. A wall clock would also count the moments another
// process had the core, and on a busy machine that swamps a frame's millisecond.
double threadSeconds() {
#if defined(CLOCK_THREAD_CPUTIME_ID)
  // Should the clock fail, every kernel times 0 and the untimed guess stays.
  timespec t{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0;
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
#else
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
#endif
}

}  // namespace

FrameReducer::FrameReducer() : FrameReducer(KernelChooser::Options{}) {}

FrameReducer::FrameReducer(KernelChooser::Options options)
    : signatureCells_(kSignatureSize), gridCells_(kGridCells), chooser_(options) {}

void FrameReducer::begin(int width, int height) {
  smallFrame_ = width < kSignatureSize || height < kSignatureSize;
  seconds_ = 0;
  // Small frames cost next to nothing whichever kernel reads them.
  reporting_ = !forced_ && !smallFrame_;
  if (forced_) {
    signatureCells_.begin(width, height, *forced_);
  } else if (reporting_) {
    signatureCells_.begin(width, height,
                          chooser_.next(width, height, signatureCells_.kernelsFor(width)));
  } else {
    signatureCells_.begin(width, height);
  }
  // Between trials the chooser only counts frames: no clock is read.
  timing_ = reporting_ && chooser_.trying();
  if (smallFrame_) {
    if (forced_) {
      gridCells_.begin(width, height, *forced_);
    } else {
      gridCells_.begin(width, height);
    }
  }
}

void FrameReducer::rows(const FrameView& band) {
  const double start = timing_ ? threadSeconds() : 0;
  signatureCells_.addRows(band);
  if (smallFrame_) gridCells_.addRows(band);
  if (!reporting_) return;
  if (timing_) seconds_ += threadSeconds() - start;
  if (signatureCells_.complete()) {
    chooser_.took(seconds_);
    reporting_ = false;
  }
}

std::optional<FrameReduction> FrameReducer::finish() const {
  if (!signatureCells_.complete() || (smallFrame_ && !gridCells_.complete())) return std::nullopt;
  FrameReduction out;
  out.luminance = LuminanceReducer::meanLuminance(signatureCells_.total());
  out.signature = HistogramReducer::statistics(signatureCells_);
  out.grid.reserve(kGridCells * kGridCells);
  if (smallFrame_) {
    for (const auto& cell : gridCells_.cells()) out.grid.push_back(cellLuminance(cell));
    return out;
  }
  constexpr int block = kSignatureSize / kGridCells;
  const auto& cells = signatureCells_.cells();
  for (int gy = 0; gy < kGridCells; ++gy) {
    for (int gx = 0; gx < kGridCells; ++gx) {
      AreaAverager::Sums sum;
      for (int y = gy * block; y < (gy + 1) * block; ++y) {
        for (int x = gx * block; x < (gx + 1) * block; ++x) {
          const auto& c = cells[static_cast<std::size_t>(y * kSignatureSize + x)];
          sum.b += c.b;
          sum.g += c.g;
          sum.r += c.r;
          sum.pixels += c.pixels;
        }
      }
      out.grid.push_back(cellLuminance(sum));
    }
  }
  return out;
}

}  // namespace nuvlet
