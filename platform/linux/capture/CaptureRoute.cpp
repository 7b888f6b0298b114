#include "platform/linux/capture/CaptureRoute.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "nuvlet/platform/Log.h"
#include "nuvlet/sensing/FrameReducer.h"
#include "platform/linux/capture/PortalScreenCapture.h"
#include "platform/linux/capture/ScreencopyCapture.h"
#include "platform/linux/capture/X11ScreenCapture.h"
#include "platform/linux/session/SysfsRoot.h"

namespace nuvlet::linux_platform {
namespace {

// Stands in where no route works; `nuvlet devices` says why.
class UnavailableScreenCapture final : public ScreenCapture {
 public:
  Result capture(DisplayID, FrameSink&, bool) override { return Result::Unavailable; }
};

ScreencopyOptions screencopyOptions() {
  ScreencopyOptions options;
  options.sysfsRoot = sysfsRootFromEnvironment();
  return options;
}

PortalCaptureOptions portalOptions(const CaptureContext& context) {
  PortalCaptureOptions options;
  options.busAddress = context.busAddress;
  options.tokenFile = context.portalTokenFile;
  options.screens = context.screens;
  return options;
}

// Only what can change the route is asked: nothing in an X session, and the portal (a
// bus round trip that may start it) only when the method could pick it.
CaptureOffers sessionOffers(CaptureMethod method, SessionKind session,
                            const CaptureContext& context) {
  CaptureOffers offers;
  const bool wayland = session == SessionKind::Wayland;
  if (method == CaptureMethod::Portal || (method == CaptureMethod::Auto && wayland)) {
    offers.portalVersion = portalScreenCastVersion(context.busAddress);
  }
  if (wayland && (method == CaptureMethod::Screencopy ||
                  (method == CaptureMethod::Auto && offers.portalVersion == 0))) {
    offers.screencopy = compositorOffersScreencopy();
  }
  return offers;
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
    case CaptureRoute::Portal:
      return "ScreenCast portal (PipeWire)";
    case CaptureRoute::Screencopy:
      return "wlroots screencopy";
    case CaptureRoute::None:
      break;
  }
  return "none";
}

CaptureChoice chooseCaptureRoute(CaptureMethod method, SessionKind session, CaptureOffers offers) {
  const bool wayland = session == SessionKind::Wayland;
  const std::string portal = offers.portalVersion > 0
                                 ? "the desktop portal offers ScreenCast (version " +
                                       std::to_string(offers.portalVersion) + ")"
                                 : std::string("the desktop portal offers no ScreenCast");
  switch (method) {
    case CaptureMethod::Portal:
      if (offers.portalVersion == 0) {
        return {CaptureRoute::None, "captureMethod \"portal\": " + portal};
      }
      return {CaptureRoute::Portal, "captureMethod \"portal\"; " + portal};
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
      if (!offers.screencopy) {
        return {CaptureRoute::None,
                "captureMethod \"screencopy\": the compositor offers no wlroots screencopy"};
      }
      return {CaptureRoute::Screencopy, "captureMethod \"screencopy\""};
    case CaptureMethod::Auto:
      break;
  }
  if (wayland) {
    if (offers.portalVersion > 0) return {CaptureRoute::Portal, "Wayland session; " + portal};
    if (offers.screencopy) {
      return {CaptureRoute::Screencopy,
              "Wayland session; " + portal + "; the compositor offers wlroots screencopy"};
    }
    return {CaptureRoute::None,
            "Wayland session; " + portal + " and the compositor no wlroots screencopy"};
  }
  if (session == SessionKind::X11) return {CaptureRoute::X11, "X11 session"};
  return {CaptureRoute::None, "no graphical session: DISPLAY and WAYLAND_DISPLAY are unset"};
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
                                                 const CaptureContext& context,
                                                 CaptureChoice* chosen) {
  const SessionKind session = sessionKindFromEnvironment();
  CaptureChoice choice =
      chooseCaptureRoute(method, session, sessionOffers(method, session, context));
  log::debug(std::string("screen capture: ") + captureRouteName(choice.route) + " (" + choice.why +
             ")");
  std::unique_ptr<ScreenCapture> capture;
  switch (choice.route) {
    case CaptureRoute::X11:
      capture = makeX11ScreenCapture(clock);
      break;
    case CaptureRoute::Portal:
      capture = makePortalScreenCapture(clock, portalOptions(context));
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

namespace {

std::string reductionText(const std::optional<FrameReduction>& reduction, double ms) {
  if (!reduction) return {};
  char line[120];
  std::snprintf(line, sizeof line, " (captured and reduced in %.1f ms: mean luminance %.4f)", ms,
                reduction->luminance);
  return line;
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// With --verbose: captures on until the reducer has timed its row kernels on this
// screen (a few seconds at most) and names the one it chose. A portal stream sends a
// frame only when something changed, so on a still screen the trial may not end.
void describeReductionKernel(ScreenCapture& capture, DisplayID display, FrameReducer& reducer,
                             std::vector<std::string>& lines) {
  if (!log::verbose()) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (!reducer.chooser().hasChosen() || reducer.chooser().trying()) {
    if (std::chrono::steady_clock::now() >= deadline) break;
    if (capture.capture(display, reducer, false) != ScreenCapture::Result::Captured) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  lines.push_back("reduction kernel: " + reducer.chooser().describe());
}

void describeScreencopy(DisplayID main, std::vector<std::string>& lines) {
  SystemClock clock;
  auto capture = makeScreencopyCapture(clock, screencopyOptions());
  FrameReducer reducer;
  const auto start = std::chrono::steady_clock::now();
  const auto result = capture->capture(main, reducer, false);
  const double ms = millisecondsSince(start);
  const auto status = capture->status();
  lines.push_back("main output " + (status.outputName.empty() ? "?" : status.outputName) + " (" +
                  hex(main) + ")");
  std::string state = std::string("state: ") + screencopyStateName(status.state);
  if (!status.problem.empty()) state += ": " + status.problem;
  if (result == ScreenCapture::Result::Captured) state += reductionText(reducer.finish(), ms);
  lines.push_back(state);
  if (result == ScreenCapture::Result::Captured)
    describeReductionKernel(*capture, main, reducer, lines);
}

// Opens a session only with a stored permission, so no dialog comes up; waits a few
// seconds for a frame (a still screen may send none).
void describePortal(const CaptureContext& context, std::optional<DisplayID> main,
                    std::vector<std::string>& lines) {
  SystemClock clock;
  // A token whose grant the user revoked would bring up the dialog the moment it is used.
  const bool revoked = forgetRevokedPortalToken(context.portalTokenFile, context.busAddress);
  auto capture = makePortalScreenCapture(clock, portalOptions(context));
  PortalStatus status = capture->status();
  lines.push_back("permission: " +
                  (status.tokenStored ? "stored (" + context.portalTokenFile.string() + ")"
                   : revoked ? std::string("none stored (the desktop no longer held the one kept: "
                                           "revoked, so it was forgotten)")
                             : std::string("none stored")));
  FrameReducer reducer;
  std::optional<FrameReduction> reduction;
  const auto start = std::chrono::steady_clock::now();
  double ms = 0;
  if (status.tokenStored) {
    const auto deadline = start + std::chrono::seconds(4);
    while (std::chrono::steady_clock::now() < deadline) {
      if (capture->capture(main.value_or(0), reducer, false) == ScreenCapture::Result::Captured) {
        ms = millisecondsSince(start);
        reduction = reducer.finish();
        break;
      }
      status = capture->status();
      if (status.state == PortalState::Refused || status.state == PortalState::Stopped ||
          status.state == PortalState::Failed || status.state == PortalState::OtherMonitor) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  } else {
    capture->capture(main.value_or(0), reducer, false);  // tells why without asking
  }
  status = capture->status();
  std::string state = std::string("state: ") + portalStateName(status.state);
  if (!status.problem.empty()) state += ": " + status.problem;
  if (!status.monitor.empty()) state += "; sharing " + status.monitor;
  if (status.node != 0) {
    state += "; PipeWire node " + std::to_string(status.node);
    if (status.width > 0) {
      state += ", " + std::to_string(status.width) + "x" + std::to_string(status.height);
    }
  }
  if (reduction) state += reductionText(reduction, ms);
  lines.push_back(state);
  if (reduction) describeReductionKernel(*capture, 0, reducer, lines);
}

}  // namespace

std::vector<std::string> describeScreenCapture(CaptureMethod method, std::optional<DisplayID> main,
                                               const CaptureContext& context) {
  std::vector<std::string> lines;
  const SessionKind session = sessionKindFromEnvironment();
  const CaptureChoice choice =
      chooseCaptureRoute(method, session, sessionOffers(method, session, context));
  lines.push_back(std::string("route: ") + captureRouteName(choice.route) + " (" + choice.why +
                  ")");
  switch (choice.route) {
    case CaptureRoute::X11:
      for (auto& line : describeX11Capture()) lines.push_back(std::move(line));
      if (auto output = log::verbose() ? x11MainOutput() : std::nullopt) {
        SystemClock clock;
        auto capture = makeX11ScreenCapture(clock);
        FrameReducer reducer;
        if (capture->capture(*output, reducer, false) == ScreenCapture::Result::Captured) {
          describeReductionKernel(*capture, *output, reducer, lines);
        }
      }
      break;
    case CaptureRoute::Portal:
      describePortal(context, main, lines);
      break;
    case CaptureRoute::Screencopy:
      if (main) {
        describeScreencopy(*main, lines);
      } else {
        lines.push_back("state: failed: the compositor reports no main output");
      }
      break;
    case CaptureRoute::None:
      lines.push_back("state: failed: no route reads the screen");
      break;
  }
  return lines;
}

}  // namespace nuvlet::linux_platform
