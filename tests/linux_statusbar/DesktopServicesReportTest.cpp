#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/linux/desktop/DesktopServicesReport.h"
#include "tests/harness/Servers.h"
#include "tests/harness/TrayHost.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

// The report's calls block, and the host answers on this thread.
std::vector<std::string> report(const std::string& address) {
  return callPumping([address] { return linux_platform::describeDesktopServices(address); });
}

TEST(DesktopServices, TheTrayLineNamesTheWatchersProcessAndHowItsNotchesAreRead) {
  DbusDaemon bus;
  ASSERT_TRUE(bus.running()) << "dbus-daemon is needed";
  auto none = report(bus.address());
  ASSERT_FALSE(none.empty());
  EXPECT_EQ(none[0].rfind("tray: none", 0), 0u) << none[0];
  // Advice for GNOME Shell only where it runs (GnomeWithoutTray has it from the real one).
  EXPECT_EQ(none[0].find("GNOME"), std::string::npos) << none[0];

  TrayHost host(bus.address());
  ASSERT_TRUE(host.start());
  auto lines = report(bus.address());
  ASSERT_FALSE(lines.empty());
  // This test's own process keeps the watcher here; its name is cut to 15 characters.
  EXPECT_NE(lines[0].find("watcher kept by test_linux_stat"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("not a host we know"), std::string::npos) << lines[0];
}

TEST(DesktopServices, WithoutAPortalTheColourLineNamesTheThemeSourceThatDecided) {
  DbusDaemon bus;
  ASSERT_TRUE(bus.running()) << "dbus-daemon is needed";
  TempDir config;
  config.write("gtk-3.0/settings.ini", "[Settings]\ngtk-theme-name=Greybird\n");
  ScopedEnv noX("DISPLAY", std::nullopt);
  ScopedEnv home("XDG_CONFIG_HOME", config.path().string());
  ScopedEnv noUserSettings("GSETTINGS_BACKEND", "memory");
  auto lines = report(bus.address());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[2].find("light theme from GTK settings file"), std::string::npos) << lines[2];
  EXPECT_NE(lines[2].find("a dark glyph"), std::string::npos) << lines[2];

  config.write("gtk-3.0/settings.ini", "");
  lines = report(bus.address());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[2].find("no theme source either: a light glyph"), std::string::npos) << lines[2];
}

}  // namespace
}  // namespace nuvlet::test
