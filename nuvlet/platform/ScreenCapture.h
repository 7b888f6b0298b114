#pragma once

#include "nuvlet/platform/DisplayTopology.h"
#include "nuvlet/platform/Frame.h"

namespace nuvlet {

// Receives one captured frame as consecutive bands of rows, top to bottom, so the
// capture never needs a buffer the size of the whole screen. A band is valid only
// during the call that hands it over.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // A new frame starts; whatever an earlier, unfinished frame left is void.
  virtual void begin(int width, int height) = 0;
  // The next band: band.width == the width given to begin(), at least one row.
  virtual void rows(const FrameView& band) = 0;
};

// Captures what a display shows.
//
// Thread: any one thread at a time (the sampler's background queue); capture()
// blocks while the frame is read (milliseconds). Failure is a result, never an
// exception or a crash: a display that is gone, a lost server, an unsupported
// session all answer Unavailable, and the next call tries again.
class ScreenCapture {
 public:
  enum class Result {
    Captured,     // begin() and every row of the frame went to the sink
    Unchanged,    // nothing new on screen since the last frame; the sink was not called
    Unavailable,  // no frame; the sink may have seen part of one and must drop it
  };

  virtual ~ScreenCapture() = default;

  // Captures the display `display`. With allowUnchanged, an adapter that knows the
  // screen has not changed since its previous Captured frame of the same display may
  // answer Unchanged: for as long as nothing changes when the display server reports
  // every change itself (a screencopy that waits for damage), else for a second at most.
  virtual Result capture(DisplayID display, FrameSink& sink, bool allowUnchanged) = 0;

  // The user has just switched on something that reads the screen. An adapter that
  // needs the user's permission (a desktop dialog) may ask for it after this call, and
  // only after it: never on its own at login. Thread: any.
  virtual void allowAsking() {}
};

}  // namespace nuvlet
