#include "app/SensingDevices.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "nuvlet/control/VolumeController.h"
#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/Paths.h"
#include "nuvlet/platform/ThreadWorkQueue.h"
#include "nuvlet/sensing/AmbientLightSensor.h"
#include "nuvlet/sensing/DisplayRouter.h"
#include "nuvlet/ui/StatusItemController.h"
#include "platform/linux/desktop/JsonFileDefaults.h"
#include "platform/linux/devices/LinuxLightSensor.h"
#include "platform/linux/devices/PulseAudioMixer.h"
#include "platform/linux/display/WaylandDisplayTopology.h"
#include "platform/linux/display/X11DisplayTopology.h"
#include "platform/linux/session/GlibRunLoop.h"
#include "platform/linux/session/SessionKind.h"
#include "platform/linux/session/SysfsRoot.h"

namespace nuvlet::cli {
namespace {

// Runs the loop until `done` holds or `seconds` pass: these reports wait a moment for
// servers that answer asynchronously.
void runUntil(linux_platform::GlibRunLoop& loop, const std::function<bool()>& done,
              double seconds) {
  if (done()) return;
  const auto deadline = loop.scheduleAfter(seconds, [&] { loop.quit(); });
  const auto check = loop.scheduleRepeating(0.02, [&] {
    if (done()) loop.quit();
  });
  loop.run();
  loop.cancel(deadline);
  loop.cancel(check);
}

std::string format(const char* pattern, double a, double b = 0, double c = 0, double d = 0) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, pattern, a, b, c, d);
  return buffer;
}

std::string hex(DisplayID id) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%x", id);
  return buffer;
}

// The outputs as the compositor describes them, and where a scroll over the item goes:
// a Wayland session gives no pointer to follow.
std::vector<std::string> reportWaylandDisplays() {
  const char* socket = std::getenv("WAYLAND_DISPLAY");
  std::vector<std::string> lines{
      "Wayland session, compositor " + linux_platform::compositorFromEnvironment() +
      (socket != nullptr && *socket != 0 ? std::string(", socket ") + socket : std::string())};
  auto loop = linux_platform::makeGlibRunLoop();
  auto topology = linux_platform::makeWaylandDisplayTopology(
      *loop, linux_platform::sysfsRootFromEnvironment(), {});
  if (!topology) {
    lines.push_back("missing: the Wayland compositor does not answer");
    return lines;
  }
  if (topology->screens().empty()) lines.push_back("missing: the compositor reports no output");
  for (const auto& s : topology->screens()) {
    std::string line =
        hex(*s.id) + "  " + (s.name.empty() ? "(unnamed)" : s.name) + "  " +
        format("%.0fx%.0f+%.0f+%.0f", s.frame.width, s.frame.height, s.frame.x, s.frame.y);
    if (s.scale != 1) line += format("  scale %g", s.scale);
    if (s.builtIn) line += "  built-in";
    if (s.id == topology->mainDisplay()) line += "  main";
    line += s.edid.empty() ? "  no EDID" : "  EDID " + std::to_string(s.edid.size()) + " bytes";
    if (!s.description.empty()) line += "  \"" + s.description + "\"";
    lines.push_back(line);
  }
  SystemClock clock;
  auto defaults =
      linux_platform::makeJsonFileDefaults(Paths::fromEnvironment().settingsFile(), clock);
  DisplayRouter router(*topology, clock);
  std::optional<DisplayChoice> choice;
  if (auto stored = defaults->value(StatusItemController::kScrollDisplayKey)) {
    choice = DisplayChoice::fromJson(*stored);
  }
  router.setScrollChoice(choice);
  const DisplayID target = router.currentTarget();
  std::string name = "nothing";
  for (const auto& s : topology->screens()) {
    if (s.id == target) name = s.name;
  }
  const auto& screens = topology->screens();
  const bool chosen = choice && choice->find(screens) != nullptr;
  const std::string why = screens.size() <= 1 ? "the only display"
                          : chosen            ? "chosen under Scroll Adjusts"
                          : topology->isBuiltIn(target)
                              ? "the built-in panel; another can be chosen under Scroll Adjusts"
                              : "the main display; another can be chosen under Scroll Adjusts";
  lines.push_back("scroll adjusts: " + name + " (" + why + ")");
  lines.push_back("pointer: none in a Wayland session (XWayland's outputs are not used)");
  return lines;
}

std::vector<std::string> reportDisplays() {
  if (linux_platform::sessionKindFromEnvironment() == linux_platform::SessionKind::Wayland) {
    return reportWaylandDisplays();
  }
  auto loop = linux_platform::makeGlibRunLoop();
  auto x = linux_platform::XConnection::open(*loop);
  if (!x) {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (display != nullptr && *display != 0) {
      return {std::string("missing: cannot connect to X display ") + display};
    }
    // Here only when the session is not taken for Wayland: with WAYLAND_DISPLAY set, the
    // session declared itself X11.
    return {wayland != nullptr && *wayland != 0
                ? "missing: no X display (DISPLAY is unset, and XDG_SESSION_TYPE says this "
                  "is not a Wayland session)"
                : "missing: no graphical session (DISPLAY and WAYLAND_DISPLAY are unset); run "
                  "this from a terminal of the desktop session"};
  }
  auto topology = linux_platform::makeX11DisplayTopology(x);
  std::vector<std::string> lines;
  if (topology->screens().empty()) lines.push_back("missing: RandR reports no active output");
  for (const auto& s : topology->screens()) {
    std::string line =
        (s.id ? hex(*s.id) : std::string("-")) + "  " + s.name + "  " +
        format("%.0fx%.0f+%.0f+%.0f", s.frame.width, s.frame.height, s.frame.x, s.frame.y);
    if (s.builtIn) line += "  built-in";
    if (s.id && s.id == topology->mainDisplay()) line += "  main";
    if (!s.connectorType.empty()) line += "  connector " + s.connectorType;
    if (!s.edid.empty()) line += "  EDID " + std::to_string(s.edid.size()) + " bytes";
    line += s.panels ? format("  panels top %.0f bottom %.0f", s.panels->top, s.panels->bottom)
                     : "  panels unknown (top 24 px assumed)";
    lines.push_back(line);
  }
  if (auto p = topology->pointerLocation()) {
    lines.push_back(format("pointer at %.0f,%.0f", p->x, p->y));
  }
  lines.push_back(topology->addPointerMovedListener([] {})
                      ? "pointer motion: XInput 2 raw motion"
                      : "pointer motion: missing (no XInput 2); the pointer is polled instead");
  return lines;
}

std::vector<std::string> reportLight() {
  auto loop = linux_platform::makeGlibRunLoop();
  ThreadWorkQueue worker;
  auto sensor = linux_platform::makeLinuxLightSensor(
      *loop, worker, linux_platform::sysfsRootFromEnvironment() / "bus/iio/devices");
  // The proxy answers over the bus: give it a moment.
  runUntil(
      *loop, [&] { return sensor->lux().has_value(); }, 1.0);
  if (!sensor->isAvailable()) return {"missing: " + sensor->describe()};
  std::string line = sensor->describe();
  if (auto lux = sensor->lux()) {
    line += format(": %.1f lux (level %.3f)", *lux, AmbientLightSensor::normalise(*lux));
  } else {
    line += ": no usable reading";
  }
  return {line};
}

std::vector<std::string> reportAudio() {
  auto loop = linux_platform::makeGlibRunLoop();
  auto mixer = linux_platform::makePulseAudioMixer(*loop);
  runUntil(
      *loop, [&] { return mixer->defaultOutput().has_value(); }, 2.0);
  if (!mixer->defaultOutput()) return {"missing: " + mixer->describe()};
  VolumeController volume(*mixer);
  std::string line = mixer->describe();
  line += format(": volume %.0f%%", volume.get() * 100);
  line += volume.isMuted() ? ", muted" : ", not muted";
  if (!volume.isVolumeControllable()) line += " (volume cannot be set)";
  return {line};
}

}  // namespace

DeviceSection displaysSection() { return {"Displays", reportDisplays}; }
DeviceSection lightSensorSection() { return {"Ambient light sensor", reportLight}; }
DeviceSection audioSection() { return {"Sound output", reportAudio}; }

}  // namespace nuvlet::cli
