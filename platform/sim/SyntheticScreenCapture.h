#pragma once

#include <atomic>
#include <mutex>

#include "nuvlet/platform/Frame.h"
#include "nuvlet/platform/ScreenCapture.h"

namespace nuvlet::sim {

// A screen that shows whatever frame it is given, for tests and the simulation. It
// captures only its own display, hands frames over in bands like a real capture, and
// can be told to fail or to report an unchanged screen.
//
// Thread: capture() on one thread at a time; the setters and counters from any thread.
class SyntheticScreenCapture final : public ScreenCapture {
 public:
  SyntheticScreenCapture(DisplayID display, Frame initial);

  // What the screen shows from now on.
  void show(Frame frame);
  // While set, every capture answers Unavailable.
  void setFailing(bool failing);
  // When set, a capture that may answer Unchanged does so while the frame has not
  // been replaced since it was last captured.
  void setReportsUnchanged(bool on);
  // Rows per band handed to the sink (at least 1).
  void setBandHeight(int rows);

  int captures() const { return captures_.load(); }
  // Captures that answered Captured.
  int framesCaptured() const { return framesCaptured_.load(); }

  Result capture(DisplayID display, FrameSink& sink, bool allowUnchanged) override;
  void allowAsking() override { askingAllowed_.fetch_add(1); }
  // How often the user's switch allowed the capture to ask for permission.
  int askingAllowed() const { return askingAllowed_.load(); }

 private:
  const DisplayID display_;
  mutable std::mutex mutex_;
  Frame frame_;
  bool failing_ = false;
  bool reportsUnchanged_ = false;
  bool changed_ = true;  // since the last Captured
  int bandHeight_ = 64;
  std::atomic<int> captures_{0};
  std::atomic<int> framesCaptured_{0};
  std::atomic<int> askingAllowed_{0};
};

}  // namespace nuvlet::sim
