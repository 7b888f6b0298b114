#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/ScreenCapture.h"

namespace nuvlet::linux_platform {

// The monitor a portal session streams, as far as the portal describes it (GNOME gives
// its position and size, KDE only its size).
struct SharedMonitor {
  std::optional<ScreenPoint> position;
  std::optional<ScreenPoint> size;  // x is the width, y the height
};

// The screen of `screens` other than `wanted` that `shared` describes, when `shared`
// does not describe `wanted` itself: only then is it certain that the desktop shares
// another monitor. Nothing when it shares `wanted`, or when that cannot be told (two
// screens of the same size, a description that fits no screen, `wanted` unknown).
std::optional<Screen> otherSharedScreen(const SharedMonitor& shared, DisplayID wanted,
                                        const std::vector<Screen>& screens);

struct PortalCaptureOptions {
  // The bus the desktop portal is on; empty for the session bus.
  std::string busAddress;
  // Where the portal's restore token is kept (mode 0600), so the user is asked once.
  std::filesystem::path tokenFile;
  // Least pause before trying again after a failure; doubled on each failure in a row
  // up to maxRetrySeconds.
  double retrySeconds = 3;
  double maxRetrySeconds = 120;
  int maxFramesPerSecond = 10;
  // The session's screens, callable from any thread; without it the shared monitor is
  // never compared with the display asked for.
  std::function<std::vector<Screen>()> screens;
};

// What the portal route is doing, for `nuvlet devices` and the verbose log.
enum class PortalState {
  NotAsked,    // no permission stored and the user has not switched sampling on yet
  Idle,        // nothing read the screen for a while: the session was closed until needed
  Asking,      // a request is with the portal; the desktop may be showing its dialog
  Refused,     // the user cancelled: not asked again until they switch sampling on again
  Connecting,  // granted; joining the PipeWire stream
  NoFrameYet,  // linked; a still screen may send no frame at all
  Streaming,
  Stopped,       // the desktop ended the session (sharing stopped, permission revoked)
  OtherMonitor,  // the user shared a monitor other than the display asked for
  Failed,        // see `problem`; tried again after a pause
};
const char* portalStateName(PortalState state);

struct PortalStatus {
  PortalState state = PortalState::NotAsked;
  std::string problem;
  bool tokenStored = false;
  std::uint32_t version = 0;  // of the portal's ScreenCast interface, once asked
  std::uint32_t node = 0;     // the PipeWire node being read
  std::string monitor;        // the monitor the user shared, as the portal describes it
  int width = 0, height = 0;
  std::uint64_t frames = 0;
  std::uint64_t requests = 0;  // sessions asked for, with or without a stored token
};

// Reads the screen through the desktop's ScreenCast portal (GNOME, KDE, and wlroots
// desktops with a portal backend) and PipeWire.
//
// The portal decides which monitor is shared: the user picks it in the desktop's dialog
// the first time; the restore token (persist mode 2, "until revoked") brings the same
// one back without asking. A request that could show a dialog is made only after
// allowAsking() (the user switched compensation or recording on), and at most once per
// such call: a session that needs no dialog (a stored token) may start at any time.
//
// capture() never waits: requests and the stream run on threads of their own, frames
// come only when the screen changes, and until a new one has come a capture answers
// Unchanged (Unavailable when the caller has no earlier frame). The stream is the monitor
// the user shared; the display id only tells whether that is the one asked for (with
// `screens` in the options): another monitor is not read (state OtherMonitor).
class PortalScreenCapture : public ScreenCapture {
 public:
  virtual PortalStatus status() const = 0;
};

std::unique_ptr<PortalScreenCapture> makePortalScreenCapture(const Clock& clock,
                                                             PortalCaptureOptions options);

// Whether the desktop's permission store still holds the screen-cast grant behind a
// restore token. Desktops whose portal keeps grants there (GNOME, KDE) drop the entry
// when the user revokes it, and a token without one would bring up the dialog again.
enum class StoredGrant {
  Held,
  Gone,     // the store answers and holds no such grant: revoked
  Unknown,  // no permission store answers: the token is all there is to go by
};
StoredGrant storedScreencastGrant(const std::string& busAddress, const std::string& token,
                                  double timeoutSeconds = 2);

// Deletes the token file when the grant it names is Gone; true when it did.
bool forgetRevokedPortalToken(const std::filesystem::path& tokenFile,
                              const std::string& busAddress = {});

// The version of the ScreenCast interface the desktop portal on `busAddress` (empty:
// the session bus) offers, 0 when none answers within `timeoutSeconds`.
std::uint32_t portalScreenCastVersion(const std::string& busAddress = {},
                                      double timeoutSeconds = 3);

}  // namespace nuvlet::linux_platform
