#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/Defaults.h"
#include "nuvlet/platform/DisplayTopology.h"
#include "nuvlet/platform/ScreenCapture.h"
#include "platform/linux/session/SessionKind.h"

namespace nuvlet::linux_platform {

// The "captureMethod" setting: which way to read the screen.
enum class CaptureMethod { Auto, Portal, Screencopy, X11 };
inline constexpr std::string_view kCaptureMethodKey = "captureMethod";

// "auto", "portal", "screencopy" or "x11"; nothing for anything else.
std::optional<CaptureMethod> parseCaptureMethod(std::string_view text);
const char* captureMethodName(CaptureMethod method);

// The way the screen is actually read.
enum class CaptureRoute { X11, Portal, Screencopy, None };
const char* captureRouteName(CaptureRoute route);

struct CaptureChoice {
  CaptureRoute route = CaptureRoute::None;
  std::string why;  // for `nuvlet devices` and the verbose log
};

// What the session offers, as far as the route depends on it.
struct CaptureOffers {
  std::uint32_t portalVersion = 0;  // of the desktop portal's ScreenCast; 0: none
  bool screencopy = false;          // the compositor offers wlroots screencopy
};

// The one rule: X11 in an X session; in a Wayland session the ScreenCast portal when the
// desktop offers it, else wlroots screencopy when the compositor does. A method other
// than Auto forces that route or none. XWayland never stands in for a Wayland session:
// it sees only X clients.
CaptureChoice chooseCaptureRoute(CaptureMethod method, SessionKind session, CaptureOffers offers);

// Where the portal route keeps its restore token and which bus it uses.
struct CaptureContext {
  std::filesystem::path portalTokenFile;
  std::string busAddress;  // empty: the session bus
  // The session's screens, from any thread: the portal route says so, and reads
  // nothing, when the desktop shares a monitor other than the one asked for.
  std::function<std::vector<Screen>()> screens{};
};

// The method the settings name; Auto when they name none or an unknown one (`problem`
// then says so, if given).
CaptureMethod captureMethodFromSettings(const Defaults& settings, std::string* problem = nullptr);

// The capture for this session by the rule above, with `method` from the settings. A
// route that cannot work answers Unavailable to every capture.
std::unique_ptr<ScreenCapture> makeScreenCapture(const Clock& clock, CaptureMethod method,
                                                 const CaptureContext& context,
                                                 CaptureChoice* chosen = nullptr);

// Lines for `nuvlet devices`: the route and why, the display it reads, and its state
// after a capture of `main` (streaming, no frame yet, or failed and why). The portal
// route is tried only with a stored permission: this never brings up a dialog.
std::vector<std::string> describeScreenCapture(CaptureMethod method, std::optional<DisplayID> main,
                                               const CaptureContext& context);

}  // namespace nuvlet::linux_platform
