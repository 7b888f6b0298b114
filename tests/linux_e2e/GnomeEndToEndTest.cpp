#include <gmock/gmock.h>
#include <signal.h>

#include <string>

#include "tests/harness/BacklightTree.h"
#include "tests/harness/ChildProcess.h"
#include "tests/harness/GnomeShell.h"
#include "tests/linux_e2e/RunningApp.h"
#include "tests/support/ItemOnAPanel.h"

namespace nuvlet::test {
namespace {

namespace fs = std::filesystem;

// Nuvlet in a real GNOME Wayland session (tests/harness/GnomeShell.h); the virtual
// monitor has no DRM connector: with the test's backlight it stands for the panel.
class GnomeEndToEnd : public ::testing::Test, public GnomeShell {
 protected:
  void SetUp() override {
    writeBacklight(sysfs, 60);
    ASSERT_NO_FATAL_FAILURE(startShell());
  }
  void TearDown() override { stopShell(); }

  std::optional<int> backlight() const { return backlightLevel(sysfs); }
};

// Stock GNOME Shell, its tray extension installed but not enabled.
class GnomeWithoutTray : public GnomeEndToEnd {
 protected:
  GnomeWithoutTray() {
    withTray = false;
    extensions = "[]";
  }
};

TEST_F(GnomeWithoutTray, DevicesSaysHowToGetATray) {
  auto devices = ChildProcess::run({NUVLET_PROGRAM, "devices"}, environment(), 60);
  for (const char* says : {"GNOME Shell shows no tray without its AppIndicator extension",
                           "gnome-extensions enable ubuntu-appindicators@ubuntu.com"}) {
    EXPECT_THAT(devices.out, testing::HasSubstr(says));
  }
  // The command it gives brings the tray.
  auto enable = ChildProcess::run({"gnome-extensions", "enable", "ubuntu-appindicators@ubuntu.com"},
                                  environment(), 60);
  EXPECT_EQ(enable.status, 0) << enable.out;
  EXPECT_TRUE(pumpUntil([&] { return hasOwner("org.kde.StatusNotifierWatcher"); }, 60))
      << "enabling the extension brought no tray";
}

TEST_F(GnomeEndToEnd, TheWheelOverTheTopBarItemMovesThePanelBothWays) {
  // Stopped before the shell, as it leaves the test.
  ChildProcess app({"/bin/sh", "-c", "exec \"$0\" 2>/dev/null", NUVLET_PROGRAM}, environment());
  ASSERT_TRUE(pumpUntil([&] { return trayItems() >= 1; }, 20)) << "the item never appeared";

  ASSERT_TRUE(startRemoteInput());
  const auto itemX = sweepTopBar([&] { return backlight() != 60; });
  ASSERT_TRUE(itemX) << "no wheel notch over the top bar reached the backlight";
  EXPECT_TRUE(pumpUntil([&] { return backlight() == 65; })) << backlight().value_or(-1);
  for (int expected : {70, 65, 60}) {
    ASSERT_TRUE(notch(expected > *backlight() ? -1 : 1));
    EXPECT_TRUE(pumpUntil([&] { return backlight() == expected; })) << backlight().value_or(-1);
  }

  // What a person sees: the glyph against the top bar.
  const auto shot = settledScreen();
  ASSERT_TRUE(shot) << "no screenshot from the shell";
  const int bottom = kTopBarHeight - 1;
  const Box glyph = drawnOn(*shot, {0, 0, 1919, bottom}, {*itemX - 16, 0, *itemX + 16, bottom}).box;
  ASSERT_FALSE(glyph.empty()) << "nothing drawn where the wheel found the item";
  expectGlyphStandsOut(*shot, glyph, "gnome", {glyph.x0 - 60, 0, glyph.x1 + 60, bottom});
}

// In GNOME the screen is read through the desktop portal and PipeWire. The permission is
// pre-seeded in the permission store as a grant the user gave earlier, so no dialog comes
// up; the real portal and Mutter then stream the background, and compensation dims the
// panel on white and brightens it on a dark one, inside the band around the level last
// set.
TEST_F(GnomeEndToEnd, CompensationReadsTheScreenThroughTheDesktopPortal) {
  setBackground("#808080");
  ASSERT_TRUE(pumpUntil([&] { return overviewGone(); }, 20));
  ASSERT_NO_FATAL_FAILURE(startScreenCastPortal());
  const std::string token = seedScreencastGrant();
  home.write("state/nuvlet/screencast-token", token + "\n");

  auto devices = ChildProcess::run({NUVLET_PROGRAM, "devices"}, environment(), 60);
  for (const char* says :
       {"Wayland session, compositor GNOME", "1920x1080+0+0  built-in  main",
        "route: ScreenCast portal", "state: streaming; sharing the monitor of 1920x1080 at +0+0"}) {
    EXPECT_THAT(devices.out, testing::HasSubstr(says));
  }

  writeBacklight(sysfs, 90);
  home.write("config/nuvlet/settings.json", R"({"autoAdjustEnabled": true})");
  RunningApp nuvlet(environment());
  ASSERT_TRUE(
      nuvlet.waitFor([&] { return nuvlet.printed("screen capture (portal): streaming"); }, 30))
      << nuvlet.output() << "\nportal log:\n"
      << readText(home.path() / "portal.log");
  // The shell's black top bar is part of the picture: the screen is never quite white.
  expectCompensationFollowsTheScreen(
      nuvlet,
      [&](const std::string& colour) {
        setBackground(colour.c_str());
        return true;
      },
      [&] { return backlight(); }, /*dimmedTo=*/65, /*rise=*/10);

  // The user revokes the grant as the README says, through the permission store, and the
  // token file stays behind. It counts as none: `devices` opens no session (which would
  // bring up GNOME's dialog) and forgets it, and a login with compensation on asks nothing.
  ::kill(nuvlet.process().pid(), SIGTERM);
  ASSERT_EQ(nuvlet.process().wait(5), 0);
  const fs::path tokenFile = home / "state/nuvlet/screencast-token";
  const std::string current = readLines(tokenFile).at(0);
  ASSERT_TRUE(holdsScreencastGrant(current)) << "the grant behind the token file";
  ASSERT_TRUE(revokeScreencastGrant(current));
  devices = ChildProcess::run({NUVLET_PROGRAM, "devices"}, environment(), 60);
  for (const char* says : {"permission: none stored (the desktop no longer held the one kept: "
                           "revoked, so it was forgotten)",
                           "state: not asked"}) {
    EXPECT_THAT(devices.out, testing::HasSubstr(says));
  }
  EXPECT_FALSE(fs::exists(tokenFile));

  home.write("state/nuvlet/screencast-token", current + "\n");
  RunningApp again(environment());
  EXPECT_TRUE(
      again.waitFor([&] { return again.printed("screen capture (portal): not asked"); }, 30))
      << again.output();
  EXPECT_TRUE(again.printed("no longer holds the permission it gave (revoked): forgotten"))
      << again.output();
  EXPECT_FALSE(again.printed("screen capture (portal): asked")) << again.output();
  EXPECT_FALSE(fs::exists(tokenFile));
}

}  // namespace
}  // namespace nuvlet::test
