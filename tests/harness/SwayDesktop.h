#pragma once
// Plays a Wayland desktop around a running Nuvlet: a headless sway whose first output
// stands for the panel, a session bus with a tray host, and a system bus.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "tests/harness/AppProcess.h"
#include "tests/harness/Servers.h"
#include "tests/harness/SwayServer.h"
#include "tests/harness/TrayHost.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

struct SwayDesktop {
  void startDesktop() {
    ASSERT_TRUE(sway.running()) << "headless sway is required";
    ASSERT_TRUE(sessionBus.running() && systemBus.running()) << "dbus-daemon is required";
    ASSERT_TRUE(host.start());
  }

  // A second output beside the panel, HEADLESS-2 of `size` ("1280x720").
  bool addMonitor(const std::string& size) {
    return sway.command("create_output") &&
           sway.command("output HEADLESS-2 resolution " + size + " position 1920 0");
  }

  // Nuvlet's in this session, with the backlight under `sysfs`.
  std::map<std::string, std::string> environment(const std::filesystem::path& sysfs) const {
    auto env = appEnvironment(home.path(), sysfs, sessionBus.address(), systemBus.address());
    env.merge(sway.clientEnvironment(home.path()));
    return env;
  }

  SwayServer sway{"1920x1080"};
  DbusDaemon sessionBus;
  DbusDaemon systemBus{DbusDaemon::Kind::System};
  TrayHost host{sessionBus.address()};
  TempDir home;
};

}  // namespace nuvlet::test
