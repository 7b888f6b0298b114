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
#include "tests/harness/PanelUser.h"
#include "tests/harness/Screenshot.h"
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

  // A person at the bar, seen through grim; `loop` turns while they wait.
  PanelUser user(sim::VirtualRunLoop& loop) {
    return PanelUser([this] { return screenshotOfWlroots(env, home / "shot.ppm"); },
                     PanelUser::turning(loop), {0, 0, kWidth - 1, 30},
                     {0, 0, kWidth - 1, kHeight - 1},
                     {[this](int x, int y) { return pointer->moveTo(x, y, kWidth, kHeight); },
                      [this](int number) {
                        const std::uint32_t buttons[] = {kLeft, kMiddle, kRight};
                        if (number == 4 || number == 5) {
                          return pointer->notches(number == 4 ? -1 : 1);
                        }
                        return number >= 1 && number <= 3 && click(buttons[number - 1]);
                      },
                      {}},
                     "waybar");
  }

  TempDir home;
  SwayServer sway{std::to_string(kWidth) + "x" + std::to_string(kHeight)};
  DbusDaemon bus;
  std::map<std::string, std::string> env;
  std::unique_ptr<ChildProcess> waybar;
  std::unique_ptr<VirtualPointer> pointer;
};

}  // namespace nuvlet::test
