#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/ScreenCapture.h"

namespace nuvlet::linux_platform {

struct X11CaptureOptions {
  std::string display;  // X display name; empty for $DISPLAY
  // False forces plain GetImage, which is what a remote display gets anyway.
  bool useShm = true;
  // Bytes of one strip of the screen; two strips are in flight, so the capture buffer
  // is twice this. Rounded to whole rows, at least one.
  std::size_t stripBytes = std::size_t{2} << 20;
  // Longest a capture waits for the server's strips. A server that does not answer in
  // time (stuck) gets no further request until it has answered.
  double replyWaitSeconds = 0.5;
};

// Captures a RandR output's CRTC rectangle from the X server: MIT-SHM GetImage in
// strips, two in flight so the server copies one while the last is reduced; plain
// GetImage when shared memory cannot be attached. Display identifiers are RandR output
// ids. RandR changes and a stale rectangle (BadMatch) make it read the geometry again.
// XDamage tells it when nothing was drawn, so with allowUnchanged it can answer
// Unchanged, but it captures at least once a second (`clock`, monotonic).
//
// Thread: capture() from one thread at a time; it blocks for the capture: for the
// picture at most replyWaitSeconds, while connecting and reading a new geometry (after
// a RandR change) without a limit. Creation
// never fails: without a server every capture answers Unavailable, and a lost
// connection is retried at most every five seconds. `clock` must outlive the capture.
std::unique_ptr<ScreenCapture> makeX11ScreenCapture(const Clock& clock,
                                                    X11CaptureOptions options = {});

// The main output as RandR names it: the primary output, else the one at 0,0, else
// the first that shows a picture. Nothing without a server or RandR. Blocks for a few
// round trips; any thread.
std::optional<DisplayID> x11MainOutput(const std::string& display = {});

// Lines for `nuvlet devices`: the X display, the main output and one timed capture.
std::vector<std::string> describeX11Capture();

}  // namespace nuvlet::linux_platform
