#pragma once
// Plays an X11 desktop around a running Nuvlet: an X server whose output is a built-in
// panel, a session bus with a tray host, a system bus with a login manager and a light
// sensor service (python3-dbusmock), a sound server with a null sink, and a sysfs tree
// with a backlight. Or an X server alone.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/harness/BacklightTree.h"
#include "tests/harness/AppProcess.h"
#include "tests/harness/ChildProcess.h"
#include "tests/harness/DbusMock.h"
#include "tests/harness/PulseServer.h"
#include "tests/harness/Servers.h"
#include "tests/harness/TrayHost.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

class X11Desktop {
 public:
  void startDesktop() {
    ASSERT_TRUE(xvfb.running()) << "Xvfb is required";
    ASSERT_TRUE(sessionBus.running() && systemBus.running()) << "dbus-daemon is required";
    ASSERT_TRUE(markOutputAsPanel(xvfb.display()));
    ASSERT_TRUE(x({"xsetroot", "-solid", "#808080"}));
    writeBacklight(sysfs, 80);
    ASSERT_TRUE(logind->running() && proxy->running()) << "python3-dbusmock is required";
    ASSERT_TRUE(pulse.start()) << "pulseaudio is required";
    ASSERT_EQ(pulse.pactl({"set-sink-volume", "@DEFAULT_SINK@", "40%"}).status, 0);
    ASSERT_TRUE(host.start());
  }

  std::map<std::string, std::string> environment() const {
    auto env = appEnvironment(home.path(), sysfs.path(), sessionBus.address(), systemBus.address());
    env["DISPLAY"] = xvfb.display();
    env["WAYLAND_DISPLAY"] = "";
    env["XDG_SESSION_TYPE"] = "x11";
    env["PULSE_SERVER"] = pulse.address();
    return env;
  }

  bool x(std::vector<std::string> argv) {
    return ChildProcess::run(std::move(argv), {{"DISPLAY", xvfb.display()}}).status == 0;
  }

  // An entry of the item's menu opened with Shift held.
  bool clickWithShift(const std::string& item, const std::string& label) {
    const bool down = x({"xdotool", "keydown", "shift"});
    const bool clicked = down && host.click(item, label);
    return x({"xdotool", "keyup", "shift"}) && clicked;
  }

  XvfbServer xvfb{"1920x1080x24"};
  DbusDaemon sessionBus;
  DbusDaemon systemBus{DbusDaemon::Kind::System};
  std::unique_ptr<DbusMock> logind = DbusMock::fromTemplate(systemBus.address(), true, "logind");
  std::unique_ptr<DbusMock> proxy =
      DbusMock::fromTemplate(systemBus.address(), true, "iio-sensors-proxy",
                             R"({"has_ambient_light": true, "light_level": 120.0})");
  PulseServer pulse;
  TrayHost host{sessionBus.address()};
  TempDir sysfs;
  TempDir home;
};

// An X server and nothing else around the program: with no session bus, each run of it
// is the only one at once, without waiting for a bus to notice that a killed one has gone.
struct BusLessX11Desktop {
  std::map<std::string, std::string> environment() const {
    const std::string noBus = "unix:path=" + (home / "no-bus").string();
    auto env = appEnvironment(home.path(), sysfs.path(), noBus, noBus);
    env["DISPLAY"] = xvfb.display();
    env["WAYLAND_DISPLAY"] = "";
    env["XDG_RUNTIME_DIR"] = home.path().string();
    return env;
  }

  // The whole screen grey, `shade` from 0 to 255.
  bool paintGrey(int shade) {
    char colour[16];
    std::snprintf(colour, sizeof colour, "#%02x%02x%02x", shade, shade, shade);
    return ChildProcess::run({"xsetroot", "-solid", colour}, {{"DISPLAY", xvfb.display()}})
               .status == 0;
  }

  XvfbServer xvfb{"640x480x24"};
  TempDir sysfs;
  TempDir home;
};

}  // namespace nuvlet::test
