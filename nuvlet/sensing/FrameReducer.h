#pragma once

#include <optional>
#include <vector>

#include "nuvlet/platform/ScreenCapture.h"
#include "nuvlet/sensing/AreaAverager.h"
#include "nuvlet/sensing/ContentSignature.h"

namespace nuvlet {

// Everything the sampler takes from one frame.
struct FrameReduction {
  double luminance = 0.5;      // exact mean relative luminance of every pixel
  ContentSignature signature;  // of the frame box-averaged to 64 × 64
  std::vector<double> grid;    // 4 × 4 luminances, row after row, top row first
};

// Reduces a frame to its FrameReduction in a single pass over its rows, as they
// arrive from a capture in bands. One frame at a time; reusable; not thread-safe.
class FrameReducer final : public FrameSink {
 public:
  static constexpr int kSignatureSize = 64;
  static constexpr int kGridCells = 4;

  FrameReducer();

  void begin(int width, int height) override;
  void rows(const FrameView& band) override;

  // The reduction of the frame since begin(); nothing when rows are missing or a band
  // was refused.
  std::optional<FrameReduction> finish() const;

 private:
  AreaAverager signatureCells_;
  // Frames of 64 pixels or more on both sides take the grid from the signature cells
  // (each grid cell is exactly a 16 × 16 block of them); smaller ones need their own.
  AreaAverager gridCells_;
  bool smallFrame_ = false;
};

}  // namespace nuvlet
