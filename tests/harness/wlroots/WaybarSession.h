#pragma once
// Plays a wlroots desktop with a status bar: headless sway, waybar showing only its tray
// with its default style (a translucent dark bar) on a private session bus, and the
// wlroots virtual pointer to drive it.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "tests/harness/ChildProcess.h"
#include "tests/harness/Servers.h"
#include "tests/harness/SwayServer.h"
#include "tests/harness/TrayHost.h"
#include "tests/harness/wlroots/VirtualPointer.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

class WaybarSession {
 public:
  static constexpr int kWidth = 1280, kHeight = 720;
  static constexpr std::uint32_t kLeft = 0x110, kRight = 0x111, kMiddle = 0x112;

  void startWaybar() {
    ASSERT_TRUE(findProgram("waybar")) << "waybar is required (scripts/packages-test.txt)";
    ASSERT_TRUE(findProgram("grim")) << "grim is required (scripts/packages-test.txt)";
    ASSERT_TRUE(sway.running() && bus.running());
    env = sway.clientEnvironment(home.path());
    env.merge(homeEnvironment(home.path()));
    env["DBUS_SESSION_BUS_ADDRESS"] = bus.address();
    env["GSETTINGS_BACKEND"] = "memory";
    env["NO_AT_BRIDGE"] = "1";
    env["GDK_BACKEND"] = "wayland";
    // Only the tray; waybar's own style sheet (/etc/xdg/waybar) stays in force.
    home.write("config/waybar/config",
               R"({"layer": "top", "position": "top", "modules-right": ["tray"]})");
    waybar = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/bin/sh", "-c", "exec waybar >/dev/null 2>&1"}, env);
    pointer = std::make_unique<VirtualPointer>(env["WAYLAND_DISPLAY"]);
    ASSERT_TRUE(pointer->ready()) << "sway offers no virtual pointer";
    pointer->moveTo(kWidth / 2, kHeight / 2, kWidth, kHeight);
  }

  bool click(std::uint32_t button) {
    return pointer->button(button, true) && pointer->button(button, false);
  }

  TempDir home;
  SwayServer sway{std::to_string(kWidth) + "x" + std::to_string(kHeight)};
  DbusDaemon bus;
  std::map<std::string, std::string> env;
  std::unique_ptr<ChildProcess> waybar;
  std::unique_ptr<VirtualPointer> pointer;
};

}  // namespace nuvlet::test
