#include "platform/linux/CaptureRoute.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "nuvlet/platform/Log.h"
#include "nuvlet/sensing/FrameReducer.h"
#include "platform/linux/ScreencopyCapture.h"
#include "platform/linux/SysfsRoot.h"
#include "platform/linux/X11ScreenCapture.h"

namespace nuvlet::linux_platform {
namespace {

// Stands in where no route works; `nuvlet devices` says why.
class UnavailableScreenCapture final : public ScreenCapture {
 public:
  Result capture(DisplayID, FrameSink&, bool) override { return Result::Unavailable; }
};

constexpr const char* kPortalNotYet =
    "the ScreenCast portal route (GNOME, KDE) is not available yet";

ScreencopyOptions screencopyOptions() {
  ScreencopyOptions options;
  options.sysfsRoot = sysfsRootFromEnvironment();
  return options;
}

std::string hex(DisplayID id) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%x", id);
  return buffer;
}

}  // namespace

std::optional<CaptureMethod> parseCaptureMethod(std::string_view text) {
  for (auto m : {CaptureMethod::Auto, CaptureMethod::Portal, CaptureMethod::Screencopy,
                 CaptureMethod::X11}) {
    if (text == captureMethodName(m)) return m;
  }
  return std::nullopt;
}

const char* captureMethodName(CaptureMethod method) {
  switch (method) {
    case CaptureMethod::Auto:
      return "auto";
    case CaptureMethod::Portal:
      return "portal";
    case CaptureMethod::Screencopy:
      return "screencopy";
    case CaptureMethod::X11:
      return "x11";
  }
  return "?";
}

const char* captureRouteName(CaptureRoute route) {
  switch (route) {
    case CaptureRoute::X11:
      return "X11 (MIT-SHM)";
    case CaptureRoute::Screencopy:
      return "wlroots screencopy";
    case CaptureRoute::None:
      break;
  }
  return "none";
}

CaptureChoice chooseCaptureRoute(CaptureMethod method, SessionKind session,
                                 bool screencopyOffered) {
  const bool wayland = session == SessionKind::Wayland;
  switch (method) {
    case CaptureMethod::Portal:
      return {CaptureRoute::None, std::string("captureMethod \"portal\": ") + kPortalNotYet};
    case CaptureMethod::X11:
      if (wayland) {
        return {CaptureRoute::None,
                "captureMethod \"x11\" in a Wayland session: the X server here (XWayland) sees "
                "only X clients"};
      }
      return {CaptureRoute::X11, "captureMethod \"x11\""};
    case CaptureMethod::Screencopy:
      if (!wayland) {
        return {CaptureRoute::None, "captureMethod \"screencopy\" needs a Wayland session"};
      }
      if (!screencopyOffered) {
        return {CaptureRoute::None,
                "captureMethod \"screencopy\": the compositor offers no wlroots screencopy"};
      }
      return {CaptureRoute::Screencopy, "captureMethod \"screencopy\""};
    case CaptureMethod::Auto:
      break;
  }
  if (wayland) {
    if (screencopyOffered) {
      return {CaptureRoute::Screencopy,
              "Wayland session; the compositor offers wlroots screencopy; the ScreenCast portal "
              "route is not built yet"};
    }
    return {CaptureRoute::None,
            std::string("Wayland session without wlroots screencopy; ") + kPortalNotYet};
  }
  if (session == SessionKind::X11) return {CaptureRoute::X11, "X11 session"};
  return {CaptureRoute::None, "no graphical session (DISPLAY and WAYLAND_DISPLAY are unset)"};
}

CaptureMethod captureMethodFromSettings(const Defaults& settings, std::string* problem) {
  const auto value = settings.value(kCaptureMethodKey);
  if (!value) return CaptureMethod::Auto;
  std::optional<CaptureMethod> method;
  if (value->is_string()) method = parseCaptureMethod(value->get<std::string>());
  if (!method && problem != nullptr) {
    *problem = "captureMethod " + value->dump() +
               " is not one of \"auto\", \"portal\", \"screencopy\", \"x11\": using \"auto\"";
  }
  return method.value_or(CaptureMethod::Auto);
}

std::unique_ptr<ScreenCapture> makeScreenCapture(const Clock& clock, CaptureMethod method,
                                                 CaptureChoice* chosen) {
  const SessionKind session = sessionKindFromEnvironment();
  // Only a Wayland session is asked: elsewhere the answer cannot change the route.
  const bool offered = session == SessionKind::Wayland && compositorOffersScreencopy();
  CaptureChoice choice = chooseCaptureRoute(method, session, offered);
  log::debug(std::string("screen capture: ") + captureRouteName(choice.route) + " (" + choice.why +
             ")");
  std::unique_ptr<ScreenCapture> capture;
  switch (choice.route) {
    case CaptureRoute::X11:
      capture = makeX11ScreenCapture(clock);
      break;
    case CaptureRoute::Screencopy:
      capture = makeScreencopyCapture(clock, screencopyOptions());
      break;
    case CaptureRoute::None:
      capture = std::make_unique<UnavailableScreenCapture>();
      break;
  }
  if (chosen != nullptr) *chosen = std::move(choice);
  return capture;
}

std::vector<std::string> describeScreenCapture(CaptureMethod method,
                                               std::optional<DisplayID> main) {
  std::vector<std::string> lines;
  const SessionKind session = sessionKindFromEnvironment();
  const bool offered = session == SessionKind::Wayland && compositorOffersScreencopy();
  const CaptureChoice choice = chooseCaptureRoute(method, session, offered);
  lines.push_back(std::string("route: ") + captureRouteName(choice.route) + " (" + choice.why +
                  ")");
  if (choice.route == CaptureRoute::X11) {
    for (auto& line : describeX11Capture()) lines.push_back(std::move(line));
    return lines;
  }
  if (choice.route == CaptureRoute::None) {
    lines.push_back("state: failed: no route reads the screen");
    return lines;
  }
  if (!main) {
    lines.push_back("state: failed: the compositor reports no main output");
    return lines;
  }
  SystemClock clock;
  auto capture = makeScreencopyCapture(clock, screencopyOptions());
  FrameReducer reducer;
  const auto start = std::chrono::steady_clock::now();
  const auto result = capture->capture(*main, reducer, false);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  const auto status = capture->status();
  lines.push_back("main output " + (status.outputName.empty() ? "?" : status.outputName) + " (" +
                  hex(*main) + ")");
  auto reduction = result == ScreenCapture::Result::Captured ? reducer.finish() : std::nullopt;
  std::string state = std::string("state: ") + screencopyStateName(status.state);
  if (!status.problem.empty()) state += ": " + status.problem;
  if (reduction) {
    char line[120];
    std::snprintf(line, sizeof line, " (captured and reduced in %.1f ms: mean luminance %.4f)", ms,
                  reduction->luminance);
    state += line;
  }
  lines.push_back(state);
  return lines;
}

}  // namespace nuvlet::linux_platform
