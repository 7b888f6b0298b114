#pragma once

#include <optional>
#include <vector>

#include "nuvlet/platform/ScreenCapture.h"
#include "nuvlet/sensing/AreaAverager.h"
#include "nuvlet/sensing/ContentSignature.h"
#include "nuvlet/sensing/KernelChooser.h"

namespace nuvlet {

// Everything the sampler takes from one frame.
struct FrameReduction {
  double luminance = 0.5;      // exact mean relative luminance of every pixel
  ContentSignature signature;  // of the frame box-averaged to 64 × 64
  std::vector<double> grid;    // 4 × 4 luminances, row after row, top row first
};

// Reduces a frame to its FrameReduction in a single pass over its rows, as they
// arrive from a capture in bands. One frame at a time; reusable; not thread-safe.
//
// The row kernel is chosen by timing the candidates on the first frames and now and
// then after (KernelChooser); every kernel gives the same reduction to the last bit.
class FrameReducer final : public FrameSink {
 public:
  static constexpr int kSignatureSize = 64;
  static constexpr int kGridCells = 4;

  FrameReducer();
  explicit FrameReducer(KernelChooser::Options options);

  // Every frame from now on with this kernel where it fits (nothing: chosen by timing
  // again). For benchmarks and tests.
  void forceKernel(std::optional<AreaAverager::Kernel> kernel) { forced_ = kernel; }
  // The kernel of the frame since begin().
  AreaAverager::Kernel kernel() const { return signatureCells_.kernel(); }
  const KernelChooser& chooser() const { return chooser_; }

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
  KernelChooser chooser_;
  std::optional<AreaAverager::Kernel> forced_;
  bool reporting_ = false;  // the chooser hears of this frame once it is complete
  bool timing_ = false;     // ... with the time it took, during a trial
  double seconds_ = 0;      // spent in the rows of this frame so far
};

}  // namespace nuvlet
