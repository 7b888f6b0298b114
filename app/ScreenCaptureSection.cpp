#include "app/ScreenCaptureSection.h"

#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/Paths.h"
#include "platform/linux/capture/CaptureRoute.h"
#include "platform/linux/capture/X11ScreenCapture.h"
#include "platform/linux/desktop/JsonFileDefaults.h"
#include "platform/linux/display/WaylandDisplayTopology.h"
#include "platform/linux/session/GlibRunLoop.h"
#include "platform/linux/session/SysfsRoot.h"

namespace nuvlet::cli {

DeviceSection screenCaptureSection() {
  return {
      "Screen capture", [] {
        using namespace linux_platform;
        SystemClock clock;
        std::string problem;
        const Paths paths = Paths::fromEnvironment();
        auto settings = makeJsonFileDefaults(paths.settingsFile(), clock);
        const CaptureMethod method = captureMethodFromSettings(*settings, &problem);
        // The display the sampler reads: the main one as the session's topology sees it.
        std::optional<DisplayID> main;
        std::vector<Screen> screens;
        if (sessionKindFromEnvironment() == SessionKind::Wayland) {
          auto loop = makeGlibRunLoop();
          if (auto topology = makeWaylandDisplayTopology(*loop, sysfsRootFromEnvironment(), {})) {
            main = topology->mainDisplay();
            screens = topology->screens();
          }
        }
        auto lines = describeScreenCapture(
            method, main, {paths.screencastTokenFile(), {}, [&] { return screens; }});
        if (!problem.empty()) lines.insert(lines.begin(), problem);
        return lines;
      }};
}

}  // namespace nuvlet::cli
