#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/ScreenCapture.h"

namespace nuvlet::linux_platform {

struct ScreencopyOptions {
  // The compositor's socket as wl_display_connect takes it; empty for $WAYLAND_DISPLAY.
  std::string display;
  // Where the outputs' EDIDs are read, so display ids match the Wayland topology's.
  std::filesystem::path sysfsRoot = "/sys";
  // Least time between attempts after the compositor went away or refused a copy.
  double retrySeconds = 3;
  // Longest a capture waits for a frame it must have now (the first one, or after a
  // failure); a frame that comes later is taken by the next capture.
  double frameWaitSeconds = 0.25;
};

// What the screencopy route is doing, for `nuvlet devices` and the verbose log.
enum class ScreencopyState {
  NotConnected,  // no capture asked for yet
  NoFrameYet,    // a copy was asked for and has not come
  Streaming,     // frames come whenever the output changes
  Failed,        // see `problem`; retried after retrySeconds
};
const char* screencopyStateName(ScreencopyState state);

struct ScreencopyStatus {
  ScreencopyState state = ScreencopyState::NotConnected;
  std::string problem;       // why it failed; empty otherwise
  std::string outputName;    // the output being copied, once known
  std::uint64_t copies = 0;  // frames the compositor copied to us since creation
};

// Captures an output of a wlroots compositor with zwlr_screencopy_manager_v1 into a
// wl_shm buffer and reduces it straight from the mapped memory.
//
// After each frame it asks for the next with copy_with_damage, which the compositor
// answers only once the output changed: while nothing changes no copy is made, and
// with allowUnchanged a capture answers Unchanged without waiting. A capture never
// waits longer than frameWaitSeconds. Display ids are the Wayland topology's (connector
// name and EDID).
//
// Thread: capture() and status() from one thread at a time. Creation never fails and
// does not connect; the compositor going away, a failed copy or a missing output give
// Unavailable and a Failed status, retried no sooner than retrySeconds later on
// `clock` (monotonic), which must outlive the capture.
class ScreencopyCapture : public ScreenCapture {
 public:
  virtual ScreencopyStatus status() const = 0;
};

std::unique_ptr<ScreencopyCapture> makeScreencopyCapture(const Clock& clock,
                                                         ScreencopyOptions options = {});

// Whether the compositor at `display` (empty: $WAYLAND_DISPLAY) answers and offers
// zwlr_screencopy_manager_v1. Waits at most about a second.
bool compositorOffersScreencopy(const std::string& display = {});

}  // namespace nuvlet::linux_platform
