#pragma once

#include <optional>

#include "nuvlet/sensing/FrameReducer.h"

namespace nuvlet::test {

// Passes frames to a reducer and remembers their size.
class SizedReducer final : public FrameSink {
 public:
  void begin(int width, int height) override {
    width_ = width;
    height_ = height;
    reducer_.begin(width, height);
  }
  void rows(const FrameView& band) override { reducer_.rows(band); }
  std::optional<FrameReduction> finish() const { return reducer_.finish(); }
  std::optional<double> luminance() const {
    auto r = reducer_.finish();
    return r ? std::optional(r->luminance) : std::nullopt;
  }
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  FrameReducer reducer_;
  int width_ = 0, height_ = 0;
};

}  // namespace nuvlet::test
