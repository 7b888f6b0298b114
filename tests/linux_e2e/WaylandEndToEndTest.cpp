#include <gmock/gmock.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/linux/display/DrmConnectors.h"
#include "tests/harness/BacklightTree.h"
#include "tests/harness/ChildProcess.h"
#include "tests/harness/MonitorTool.h"
#include "tests/harness/StandInPortal.h"
#include "tests/harness/SwayDesktop.h"
#include "tests/linux_e2e/RunningApp.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

// Nuvlet in a Wayland session (tests/harness/SwayDesktop.h): the machine has a
// backlight, and there is no X.
class WaylandEndToEnd : public ::testing::Test, public SwayDesktop {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(startDesktop());
    writeBacklight(sysfs, 60);
  }
  TempDir sysfs;
};

TEST_F(WaylandEndToEnd, TheWheelFollowsTheChosenDisplayCompensationReadsScreencopyAndSwayEndsIt) {
  ASSERT_TRUE(sway.command("output HEADLESS-1 bg #808080 solid_color"));
  // A monitor at 50%.
  const auto tool = writeMonitorTool(home, kMonitorTool, "monitor-tool");
  home.write("level", "50\n");
  home.write("config/nuvlet/settings.json",
             nlohmann::json{{"monitorToolPath", tool.string()}}.dump());
  RunningApp app(environment(sysfs.path()));
  std::string item;
  ASSERT_TRUE(app.waitFor([&] { return !(item = host.itemTitled("Brightness")).empty(); }));
  const auto backlight = [&] { return backlightLevel(sysfs); };

  // One display, and it is the panel: the wheel moves the backlight both ways.
  for (int expected : {65, 70, 65}) {
    ASSERT_TRUE(host.scroll(item, expected > backlight().value_or(0) ? -1 : 1));
    EXPECT_TRUE(app.waitFor([&] { return backlight() == expected; })) << backlight().value_or(-1);
  }
  EXPECT_EQ(host.menuIds(item).count("Scroll Adjusts"), 0u) << "one display needs no choice";

  // A monitor comes: the menu offers it, and once chosen the wheel goes to it, by the
  // id the app gives it in a Wayland session.
  ASSERT_TRUE(addMonitor("1280x720"));
  const std::string monitor = "Headless output 2 (HEADLESS-2)";
  const std::string panel = "Built-in Display (HEADLESS-1)";
  std::map<std::string, int> ids;
  ASSERT_TRUE(app.waitFor([&] { return (ids = host.menuIds(item)).count(monitor) == 1; }));
  EXPECT_EQ(ids.count("Scroll Adjusts"), 1u);
  EXPECT_EQ(ids.count(panel), 1u);
  ASSERT_TRUE(host.click(item, ids[monitor]));
  EXPECT_TRUE(app.waitFor([&] {
    auto s = settingsIn(home.path());
    return s.is_object() && s.contains("scrollDisplay") &&
           s["scrollDisplay"].value("connector", "") == "HEADLESS-2";
  }));
  ASSERT_TRUE(host.scroll(item, -1));
  const std::string id = std::to_string(linux_platform::waylandDisplayId("HEADLESS-2", {}));
  const std::string toolLog = (home / "log").string();
  EXPECT_TRUE(app.waitFor([&] {
    return readText(toolLog).find("display id=" + id + " set luminance 55") != std::string::npos;
  })) << readText(toolLog);

  // The panel chosen again: the wheel is back on the backlight, which the monitor's
  // notch did not touch.
  ASSERT_TRUE(host.click(item, ids[panel]));
  ASSERT_TRUE(host.scroll(item, -1));
  EXPECT_TRUE(app.waitFor([&] { return backlight() == 70; })) << backlight().value_or(-1);

  // Compensation reads the panel through screencopy (the cycle itself is AppEndToEnd's).
  ASSERT_TRUE(host.click(item, "Deruzorar!"));
  ASSERT_TRUE(
      app.waitFor([&] { return app.printed("screen capture (screencopy): streaming"); }, 20))
      << app.output();
  EXPECT_TRUE(app.printed("screen capture: wlroots screencopy")) << app.output();

  // The compositor goes away: Nuvlet ends in order, as with a lost X server.
  sway.kill();
  EXPECT_EQ(app.process().wait(10), 0);
}

// The user shared the monitor beside the panel in the desktop's dialog (the stand-in
// portal shares the one of 2560x1440 at +1920+0): `nuvlet devices` says which it is, and
// that compensation does not read it.
TEST_F(WaylandEndToEnd, DevicesSaysWhenTheDesktopSharesAMonitorOtherThanThePanel) {
  ASSERT_TRUE(addMonitor("2560x1440"));
  StandInPortal portal(
      sessionBus.address(), {}, [] { return 0u; }, [] { return -1; });
  ASSERT_TRUE(portal.own());
  home.write("config/nuvlet/settings.json", R"({"captureMethod": "portal"})");
  home.write("state/nuvlet/screencast-token", "grant-earlier\n");
  const auto devices =
      ChildProcess::run({NUVLET_PROGRAM, "devices"}, environment(sysfs.path()), 60);
  EXPECT_THAT(devices.out, testing::HasSubstr(
                               "state: another monitor shared: the desktop shares HEADLESS-2 (the "
                               "monitor of 2560x1440 at +1920+0), not HEADLESS-1, the built-in "
                               "panel: compensation does not read it"));
  EXPECT_FALSE(std::filesystem::exists(home / "state/nuvlet/screencast-token"));
}

}  // namespace
}  // namespace nuvlet::test
