#include <gmock/gmock.h>
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

using testing::_;
using testing::AllOf;
using testing::ElementsAre;
using testing::HasSubstr;

// The report's calls block, and the host answers on this thread.
std::vector<std::string> report(const std::string& address) {
  return callPumping([address] { return linux_platform::describeDesktopServices(address); });
}

TEST(DesktopServices, TheTrayLineNamesTheWatchersProcessAndHowItsNotchesAreRead) {
  DbusDaemon bus;
  ASSERT_TRUE(bus.running()) << "dbus-daemon is needed";
  // Advice for GNOME Shell only where it runs (GnomeWithoutTray has it from the real one).
  EXPECT_THAT(report(bus.address()), ElementsAre(AllOf(testing::StartsWith("tray: none"),
                                                       testing::Not(HasSubstr("GNOME"))),
                                                 _, _));

  TrayHost host(bus.address());
  ASSERT_TRUE(host.start());
  // This test's own process keeps the watcher here; its name is cut to 15 characters.
  EXPECT_THAT(report(bus.address()), ElementsAre(AllOf(HasSubstr("watcher kept by test_linux_stat"),
                                                       HasSubstr("not a host we know")),
                                                 _, _));
}

TEST(DesktopServices, WithoutAPortalTheColourLineNamesTheThemeSourceThatDecided) {
  DbusDaemon bus;
  ASSERT_TRUE(bus.running()) << "dbus-daemon is needed";
  TempDir config;
  config.write("gtk-3.0/settings.ini", "[Settings]\ngtk-theme-name=Greybird\n");
  ScopedEnv noX("DISPLAY", std::nullopt);
  ScopedEnv home("XDG_CONFIG_HOME", config.path().string());
  ScopedEnv noUserSettings("GSETTINGS_BACKEND", "memory");
  EXPECT_THAT(
      report(bus.address()),
      ElementsAre(
          _, _, AllOf(HasSubstr("light theme from GTK settings file"), HasSubstr("a dark glyph"))));

  config.write("gtk-3.0/settings.ini", "");
  EXPECT_THAT(report(bus.address()),
              ElementsAre(_, _, HasSubstr("no theme source either: a light glyph")));
}

}  // namespace
}  // namespace nuvlet::test
