#include "nuvlet/sensing/FrameReducer.h"

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

}  // namespace

FrameReducer::FrameReducer() : signatureCells_(kSignatureSize), gridCells_(kGridCells) {}

void FrameReducer::begin(int width, int height) {
  signatureCells_.begin(width, height);
  smallFrame_ = width < kSignatureSize || height < kSignatureSize;
  if (smallFrame_) gridCells_.begin(width, height);
}

void FrameReducer::rows(const FrameView& band) {
  signatureCells_.addRows(band);
  if (smallFrame_) gridCells_.addRows(band);
}

std::optional<FrameReduction> FrameReducer::finish() const {
  if (!signatureCells_.complete() || (smallFrame_ && !gridCells_.complete())) return std::nullopt;
  FrameReduction out;
  out.luminance = LuminanceReducer::meanLuminance(signatureCells_.total());
  out.signature = HistogramReducer::statistics(signatureCells_.bitmap());
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
