#pragma once
// Plays an XFCE desktop on Xvfb: its settings daemon (xfsettingsd, publishing the theme
// and scale over XSETTINGS) and a panel holding only the system tray, on a private
// session bus that starts xfconfd on demand.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/ChildProcess.h"
#include "tests/harness/PanelUser.h"
#include "tests/harness/Servers.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

class XfceSession {
 public:
  static constexpr int kWidth = 640, kHeight = 120;

  // The bus and this process's environment (which the bus hands on to xfconfd), with the
  // panel `panelSize` points high in theme `theme` at `scale` (2 for HiDPI).
  void startBus(const std::string& theme, int panelSize, int scale);
  // The settings daemon, then the panel once the theme is published; false when the theme
  // was published too early or never.
  bool startPanel(sim::VirtualRunLoop& loop);
  // xfconfd was started by the bus and outlives the panel: every process on the bus is
  // stopped, each by its own id, before the bus itself.
  void stop();
  // Input as a person gives it, through xdotool ("click", "4"); false when it failed.
  static bool xdotool(std::vector<std::string> args);
  // A person at the panel, `panelPixels` high, giving input through xdotool; `loop` turns
  // while they wait.
  PanelUser user(sim::VirtualRunLoop& loop, int panelPixels, const std::string& name);

  TempDir home;
  TempDir runtime;
  XvfbServer xvfb{std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24"};
  std::string busAddress;
  xcb_connection_t* x = nullptr;

 private:
  void stopBusClients();

  std::vector<std::unique_ptr<ScopedEnv>> env_;
  std::unique_ptr<ChildProcess> bus_;
  std::unique_ptr<ChildProcess> settingsDaemon_;
  std::unique_ptr<ChildProcess> panel_;
};

}  // namespace nuvlet::test
