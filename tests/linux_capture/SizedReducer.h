#pragma once

#include <optional>

#include "nuvlet/sensing/FrameReducer.h"
#include "tests/support/PollUntil.h"

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
  std::optional<double> luminance() const {
    auto r = reducer_.finish();
    return r ? std::optional(r->luminance) : std::nullopt;
  }
  int width() const { return width_; }
  int height() const { return height_; }

  // Captures `display` until a frame comes, of luminance `want` if given: after a change
  // other pictures may come for a moment (a PipeWire producer repeats its old one; sway
  // restarts its background client on each repaint and shows its own grey in between).
  // The last frame's luminance, or nothing at the deadline.
  std::optional<double> settle(ScreenCapture& capture, DisplayID display,
                               std::optional<double> want = std::nullopt, double seconds = 10) {
    std::optional<double> last;
    pollUntil(
        [&] {
          const auto result = capture.capture(display, *this, last.has_value());
          if (result == ScreenCapture::Result::Captured) {
            last = luminance();
          } else if (result == ScreenCapture::Result::Unavailable) {
            last.reset();
          }
          return last && (!want || last == want);
        },
        seconds);
    return last;
  }

 private:
  FrameReducer reducer_;
  int width_ = 0, height_ = 0;
};

}  // namespace nuvlet::test
