#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/Backlight.h"
#include "app/Commands.h"
#include "app/Updates.h"
#include "nuvlet/app/AppDelegate.h"
#include "nuvlet/control/ExternalBrightnessController.h"
#include "nuvlet/learning/FitCache.h"
#include "nuvlet/platform/Log.h"
#include "nuvlet/platform/Paths.h"
#include "nuvlet/platform/ThreadWorkQueue.h"
#include "platform/linux/capture/CaptureRoute.h"
#include "platform/linux/capture/X11ScreenCapture.h"
#include "platform/linux/desktop/JsonFileDefaults.h"
#include "platform/linux/desktop/LogindSleepMonitor.h"
#include "platform/linux/desktop/XdgAutostartLoginService.h"
#include "platform/linux/devices/LinuxLightSensor.h"
#include "platform/linux/devices/PulseAudioMixer.h"
#include "platform/linux/display/LinuxWorkspace.h"
#include "platform/linux/display/WaylandDisplayTopology.h"
#include "platform/linux/display/X11DisplayTopology.h"
#include "platform/linux/display/X11Modifiers.h"
#include "platform/linux/display/XConnection.h"
#include "platform/linux/session/GlibRunLoop.h"
#include "platform/linux/session/SessionKind.h"
#include "platform/linux/session/SingleInstance.h"
#include "platform/linux/session/SysfsRoot.h"
#include "platform/linux/session/TerminationSignals.h"
#include "platform/linux/tray/DesktopTheme.h"
#include "platform/linux/tray/PortalColorScheme.h"
#include "platform/linux/tray/StatusNotifierBar.h"

namespace nuvlet::cli {
namespace {

// The desktop without a display server (a console, or a compositor that did not
// answer): no displays, so brightness commands fall back to the built-in backlight.
class NoDisplays final : public DisplayTopology {
 public:
  std::optional<DisplayID> mainDisplay() const override { return std::nullopt; }
  bool isBuiltIn(DisplayID) const override { return false; }
  std::vector<DisplayID> onlineDisplays() const override { return {}; }
};

bool graphicalSession() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != 0) return true;
  }
  return false;
}

// The tray app; `relaunchInto` is set when an update asks to restart into a new program.
int runTray(std::optional<std::filesystem::path>& relaunchInto) {
  using namespace linux_platform;
  auto instance = claimSingleInstance();
  if (instance->outcome() == SingleInstance::Outcome::AlreadyRunning) {
    std::fputs("Nuvlet is already running in this session.\n", stderr);
    return 1;
  }
  if (instance->outcome() == SingleInstance::Outcome::NoBus) {
    log::debug("cannot tell whether Nuvlet already runs: " + instance->problem());
  }
  if (!graphicalSession()) {
    log::info("no graphical session (DISPLAY and WAYLAND_DISPLAY are unset): no tray items");
  }

  // Declared in the order they may be destroyed backwards: the loop outlives the
  // queues, the queues outlive what posts to them, and everything outlives the delegate.
  auto loop = makeGlibRunLoop();
  const Clock& clock = loop->clock();
  const Paths paths = Paths::fromEnvironment();
  auto defaults = makeJsonFileDefaults(paths.settingsFile(), clock);
  ThreadWorkQueue samplerQueue;
  ThreadWorkQueue fitQueue;
  ThreadWorkQueue sensorQueue;

  // Set once the delegate exists; a compositor can only go away while the loop runs.
  std::function<void()> terminate;
  // In a Wayland session the X connection (XWayland) serves only the workspace and the
  // modifier keys: its single output says nothing true about the displays.
  auto x = XConnection::open(*loop);
  std::unique_ptr<DisplayTopology> topology;
  if (sessionKindFromEnvironment() == SessionKind::Wayland) {
    topology = makeWaylandDisplayTopology(*loop, sysfsRootFromEnvironment(), [&terminate] {
      log::info("the compositor is gone: quitting");
      if (terminate) terminate();
    });
  } else {
    topology = makeX11DisplayTopology(x);
    // In an X session the X server is the session: when it goes (a logout, a crash), so
    // do we, in order, as when a Wayland compositor goes.
    if (x) {
      x->addLostHandler([&terminate] {
        log::info("the X server is gone: quitting");
        if (terminate) terminate();
      });
    }
  }
  if (!topology) topology = std::make_unique<NoDisplays>();
  std::string captureProblem;
  const CaptureMethod captureMethod = captureMethodFromSettings(*defaults, &captureProblem);
  if (!captureProblem.empty()) log::info(captureProblem);
  // The capture runs on the sampler's thread; the topology answers on this one.
  struct ScreensSnapshot {
    std::mutex mutex;
    std::vector<Screen> screens;
    void set(std::vector<Screen> s) {
      std::lock_guard lock(mutex);
      screens = std::move(s);
    }
  };
  auto screens = std::make_shared<ScreensSnapshot>();
  screens->set(topology->screens());
  topology->addDisplaysChangedListener([&topology, screens] { screens->set(topology->screens()); });
  std::shared_ptr<ScreenCapture> capture =
      makeScreenCapture(clock, captureMethod, {paths.screencastTokenFile(), {}, [screens] {
                                                 std::lock_guard lock(screens->mutex);
                                                 return screens->screens;
                                               }});
  auto workspace = makeLinuxWorkspace(x, makeLogindSleepMonitor(*loop));
  auto backlight = openBuiltInBacklight();
  auto lightSensor =
      makeLinuxLightSensor(*loop, sensorQueue, sysfsRootFromEnvironment() / "bus/iio/devices");
  auto mixer = makePulseAudioMixer(*loop);
  StatusNotifierBarOptions barOptions;
  barOptions.alternateHeld = x11AlternateHeld(x);
  barOptions.iconThemePath = installedIconThemePath();
  auto statusBar = makeStatusNotifierBar(*loop, std::move(barOptions));
  auto colorScheme =
      makeDesktopColorScheme(*loop, makePortalColorScheme(*loop), x ? x->get() : nullptr,
                             x ? x->screenNumber() : 0, paths.configHome());
  auto loginService = makeXdgAutostartLoginService(paths);
  // An installed update restarts Nuvlet through the same orderly end as a quit.
  std::function<void()> endInOrder;
  auto updateOptions = cli::updateOptions(*defaults);
  updateOptions.onRestartRequested = [&](const InstalledPackage& updated) {
    relaunchInto = updated.binary;
    if (endInOrder) endInOrder();
  };
  auto updateService = makePackageKitUpdateService(*loop, std::move(updateOptions));
  auto monitorTool = ExternalBrightnessController::locateTool(*defaults);

  if (log::verbose()) {
    const auto info = backlight->info();
    log::debug("backlight: " + (info.name.empty() ? "none" : info.name) + ", writes via " +
               std::string(writePathName(info.writePath)) +
               (info.problem.empty() ? "" : " (" + info.problem + ")"));
    log::debug("monitor tool: " + (monitorTool ? monitorTool->string() : "none"));
  }

  auto delegate = AppDelegate::create(
      AppPlatform{*loop, samplerQueue, fitQueue, *defaults, paths, *workspace, *topology,
                  *backlight, capture, *lightSensor, *mixer, *statusBar, *colorScheme,
                  *loginService, *updateService, monitorTool, std::make_shared<FitCache>()});

  bool terminating = false;
  terminate = [&] {
    if (terminating) return;
    terminating = true;
    log::debug("terminating");
    delegate->applicationWillTerminate();
    loop->quit();
  };
  delegate->onQuitRequested = terminate;
  endInOrder = terminate;
  auto signals = watchTerminationSignals(terminate);

  delegate->applicationDidFinishLaunching();
  log::debug("running");
  loop->run();
  delegate.reset();
  return 0;
}

}  // namespace

int runApp() {
  std::optional<std::filesystem::path> relaunchInto;
  const int status = runTray(relaunchInto);
  // Everything of the old process (bus names, files, the tray items) is closed by now.
  if (relaunchInto) relaunch(*relaunchInto);
  return status;
}

void addRunCommand(CommandLine& cl) {
  auto* sub = cl.app.add_subcommand("run", "Start Nuvlet in the tray (the default)");
  sub->callback([&cl] { cl.chosen = runApp; });
}

}  // namespace nuvlet::cli
