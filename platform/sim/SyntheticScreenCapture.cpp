#include "platform/sim/SyntheticScreenCapture.h"

#include <algorithm>
#include <utility>

namespace nuvlet::sim {

SyntheticScreenCapture::SyntheticScreenCapture(DisplayID display, Frame initial)
    : display_(display), frame_(std::move(initial)) {}

void SyntheticScreenCapture::show(Frame frame) {
  std::lock_guard lock(mutex_);
  frame_ = std::move(frame);
  changed_ = true;
}

void SyntheticScreenCapture::setFailing(bool failing) {
  std::lock_guard lock(mutex_);
  failing_ = failing;
}

void SyntheticScreenCapture::setReportsUnchanged(bool on) {
  std::lock_guard lock(mutex_);
  reportsUnchanged_ = on;
}

void SyntheticScreenCapture::setBandHeight(int rows) {
  std::lock_guard lock(mutex_);
  bandHeight_ = std::max(1, rows);
}

ScreenCapture::Result SyntheticScreenCapture::capture(DisplayID display, FrameSink& sink,
                                                      bool allowUnchanged) {
  ++captures_;
  std::lock_guard lock(mutex_);
  if (failing_ || display != display_ || frame_.empty()) return Result::Unavailable;
  if (allowUnchanged && reportsUnchanged_ && !changed_) return Result::Unchanged;
  const FrameView view = frame_.view();
  sink.begin(view.width, view.height);
  for (int y = 0; y < view.height; y += bandHeight_) {
    sink.rows(view.rows(y, std::min(bandHeight_, view.height - y)));
  }
  changed_ = false;
  ++framesCaptured_;
  return Result::Captured;
}

}  // namespace nuvlet::sim
