#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "nuvlet/ui/PngFile.h"
#include "tests/harness/ChildProcess.h"
#include "tests/harness/PanelWatch.h"
#include "tests/harness/Servers.h"
#include "tests/harness/TrayHost.h"
#include "tests/linux_e2e/RunningApp.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

namespace fs = std::filesystem;

// Nuvlet in a real GNOME Wayland session: headless GNOME Shell with the AppIndicator
// extension on private session and system buses, one virtual monitor (no DRM
// connector: with the test's backlight it stands for the panel). The wheel comes
// through Mutter's remote-desktop API, as a real pointer over the top bar.
class GnomeEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(findProgram("gnome-shell")) << "gnome-shell is required";
    ASSERT_TRUE(sessionBus.running() && systemBus.running()) << "dbus-daemon is required";
    runtime = home / "run";
    fs::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);
    writeBacklight(sysfs, 60);
    for (auto args : std::vector<std::vector<std::string>>{
             {"org.gnome.shell", "enabled-extensions", extensions},
             {"org.gnome.shell", "disable-user-extensions", "false"},
             {"org.gnome.desktop.interface", "enable-hot-corners", "false"}}) {
      args.insert(args.begin(), {"gsettings", "set"});
      ASSERT_EQ(ChildProcess::run(args, environment()).status, 0) << args[3];
    }
    shell = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>/dev/null", "gnome-shell",
                                 "--headless", "--wayland", "--no-x11", "--virtual-monitor",
                                 "1920x1080"},
        environment());
    if (!withTray) {
      ASSERT_TRUE(pumpUntil([&] { return hasOwner("org.gnome.Shell"); }, 60))
          << "GNOME Shell did not come up";
      return;
    }
    ASSERT_TRUE(pumpUntil([&] { return hasOwner("org.kde.StatusNotifierWatcher"); }, 60))
        << "GNOME Shell or its tray did not come up";
    ASSERT_TRUE(pumpUntil([&] { return hostRegistered(); }, 30)) << "no tray host";
    leaveOverview();
  }

  // The shell starts in the overview, where the top bar's items take no wheel.
  void leaveOverview() {
    peer.call(
        "org.gnome.Shell", "/org/gnome/Shell", "org.freedesktop.DBus.Properties", "Set",
        g_variant_new("(ssv)", "org.gnome.Shell", "OverviewActive", g_variant_new_boolean(FALSE)));
  }

  // Until the overview has gone, the screen shows it (a dimmed background) instead of
  // the desktop.
  bool overviewGone() {
    leaveOverview();
    auto active =
        peer.property("org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell", "OverviewActive");
    return active && !g_variant_get_boolean(active.get());
  }

  void TearDown() override {
    app.reset();
    portal.clear();
    shell.reset();
    // xdg-document-portal, when something started it, mounts here.
    ChildProcess::run({"fusermount", "-uz", (runtime / "doc").string()}, {}, 5);
  }

  std::map<std::string, std::string> environment() const {
    auto env = appEnvironment(home.path(), sysfs.path(), sessionBus.address(), systemBus.address());
    env.merge(std::map<std::string, std::string>{{"DISPLAY", ""},
                                                 {"WAYLAND_DISPLAY", "wayland-0"},
                                                 {"XDG_SESSION_TYPE", "wayland"},
                                                 {"XDG_CURRENT_DESKTOP", "GNOME"},
                                                 {"XDG_RUNTIME_DIR", runtime.string()},
                                                 {"GSETTINGS_BACKEND", "keyfile"}});
    return env;
  }

  void setBackground(const char* colour) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"org.gnome.desktop.background", "picture-uri", "''"},
             {"org.gnome.desktop.background", "picture-uri-dark", "''"},
             {"org.gnome.desktop.background", "color-shading-type", "solid"},
             {"org.gnome.desktop.background", "primary-color", colour}}) {
      args.insert(args.begin(), {"gsettings", "set"});
      ASSERT_EQ(ChildProcess::run(args, environment()).status, 0) << args[3];
    }
  }

  // A screen-cast grant for the virtual monitor, as the portal stores one after the user
  // allowed it to be remembered; its id is the restore token.
  std::string seedScreencastGrant() {
    gchar* uuid = g_uuid_string_random();
    const std::string token = uuid;
    g_free(uuid);
    const gint64 now = g_get_real_time();
    auto r = peer.call(
        "org.freedesktop.impl.portal.PermissionStore",
        "/org/freedesktop/impl/portal/PermissionStore",
        "org.freedesktop.impl.portal.PermissionStore", "Set",
        g_variant_new_parsed("('screencast', true, %s, {'': ['yes']}, <('GNOME', uint32 1, "
                             "<(%x, %x, [(uint32 0, uint32 1, "
                             "<'MetaVendor:MetaVirtualMonitor:0x00'>)])>)>)",
                             token.c_str(), now, now));
    EXPECT_TRUE(r.ok()) << "the permission store refused the grant";
    return token;
  }

  bool hasOwner(const std::string& name) {
    auto r = peer.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                       "NameHasOwner", g_variant_new("(s)", name.c_str()));
    gboolean owned = FALSE;
    if (r.ok()) g_variant_get(r.value.get(), "(b)", &owned);
    return owned != FALSE;
  }

  VariantPtr watcher(const char* property) {
    return peer.property("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                         "org.kde.StatusNotifierWatcher", property);
  }
  bool hostRegistered() {
    auto yes = watcher("IsStatusNotifierHostRegistered");
    return yes && g_variant_get_boolean(yes.get());
  }
  std::size_t trayItems() {
    auto items = watcher("RegisteredStatusNotifierItems");
    return items ? g_variant_n_children(items.get()) : 0;
  }

  std::optional<int> backlight() const { return backlightLevel(sysfs); }

  bool remote(const char* method, GVariant* parameters) {
    return peer
        .call("org.gnome.Mutter.RemoteDesktop", session, "org.gnome.Mutter.RemoteDesktop.Session",
              method, parameters)
        .ok();
  }

  // The screen as the shell draws it (last in a test: the remote-desktop session was
  // seen to end once this was used, and the tray icons move back), through its screenshot
  // interface, which answers only the owner of a name on its allow-list.
  std::optional<Screenshot> screenshot() {
    if (!screenshotNameOwned) screenshotNameOwned = peer.own("org.gnome.Screenshot");
    const auto file = home.path() / "shot.png";
    auto r = peer.call("org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot",
                       "org.gnome.Shell.Screenshot", "Screenshot",
                       g_variant_new("(bbs)", FALSE, FALSE, file.c_str()));
    if (!r.ok()) return std::nullopt;
    auto png = readPng(file);
    if (!png) return std::nullopt;
    Screenshot shot{png->width, png->height, {}};
    for (std::uint32_t argb : png->argb) shot.rgb.push_back(argb & 0xFFFFFF);
    return shot;
  }

  // The pointer to (x, y) by relative motion from the top right corner.
  bool pointerTo(int x, int y) {
    return remote("NotifyPointerMotionRelative", g_variant_new("(dd)", 5000.0, -5000.0)) &&
           remote("NotifyPointerMotionRelative",
                  g_variant_new("(dd)", static_cast<double>(x - 1919), static_cast<double>(y)));
  }

  // One wheel notch (+1 down, -1 up) where the pointer is.
  bool notch(int steps) {
    return remote("NotifyPointerAxisDiscrete", g_variant_new("(ui)", 0u, steps));
  }

  TempDir home;
  fs::path runtime;
  TempDir sysfs;
  DbusDaemon sessionBus;
  DbusDaemon systemBus{DbusDaemon::Kind::System};
  BusPeer peer{sessionBus.address()};
  std::unique_ptr<ChildProcess> shell;
  std::unique_ptr<ChildProcess> app;
  std::vector<std::unique_ptr<ChildProcess>> portal;
  std::string session;
  bool screenshotNameOwned = false;
  bool withTray = true;
  std::string extensions = "['ubuntu-appindicators@ubuntu.com']";
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
  EXPECT_NE(devices.out.find("GNOME Shell shows no tray without its AppIndicator extension"),
            std::string::npos)
      << devices.out;
  EXPECT_NE(devices.out.find("gnome-extensions enable ubuntu-appindicators@ubuntu.com"),
            std::string::npos)
      << devices.out;
  // The command it gives brings the tray.
  auto enable = ChildProcess::run({"gnome-extensions", "enable", "ubuntu-appindicators@ubuntu.com"},
                                  environment(), 60);
  EXPECT_EQ(enable.status, 0) << enable.out;
  EXPECT_TRUE(pumpUntil([&] { return hasOwner("org.kde.StatusNotifierWatcher"); }, 60))
      << "enabling the extension brought no tray";
}

TEST_F(GnomeEndToEnd, TheWheelOverTheTopBarItemMovesThePanelBothWays) {
  auto devices = ChildProcess::run({NUVLET_PROGRAM, "devices"}, environment(), 60);
  EXPECT_NE(devices.out.find("Wayland session, compositor GNOME"), std::string::npos)
      << devices.out;
  EXPECT_NE(devices.out.find("1920x1080+0+0  built-in  main"), std::string::npos) << devices.out;

  app = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" 2>/dev/null", NUVLET_PROGRAM},
      environment());
  ASSERT_TRUE(pumpUntil([&] { return trayItems() >= 1; }, 20)) << "the item never appeared";

  // The remote-desktop session puts a "screen shared" indicator into the top bar, which
  // moves the tray icons: start it before looking for the item.
  auto created = peer.call("org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
                           "org.gnome.Mutter.RemoteDesktop", "CreateSession", nullptr);
  ASSERT_TRUE(created.ok());
  const gchar* path = nullptr;
  g_variant_get(created.value.get(), "(&o)", &path);
  session = path;
  ASSERT_TRUE(remote("Start", nullptr));

  // Walk the pointer leftwards along the top bar, a notch up at each stop, until the
  // backlight answers: that is the brightness item. The extension shows the icon a
  // moment after the item registers, and the shell may still be leaving the overview
  // it starts in: sweep again until then.
  bool found = false;
  int lastX = 0;  // where the item answered: the glyph is looked for there
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  while (!found && std::chrono::steady_clock::now() < deadline) {
    leaveOverview();
    ASSERT_TRUE(remote("NotifyPointerMotionRelative", g_variant_new("(dd)", 5000.0, -5000.0)));
    ASSERT_TRUE(remote("NotifyPointerMotionRelative", g_variant_new("(dd)", 0.0, 12.0)));
    for (int x = 1919; x > 600 && !found; x -= 8) {
      lastX = x;
      ASSERT_TRUE(remote("NotifyPointerMotionRelative", g_variant_new("(dd)", -8.0, 0.0)));
      ASSERT_TRUE(notch(-1));
      found = pumpUntil([&] { return backlight() != 60; }, 0.2);
    }
  }
  ASSERT_TRUE(found) << "no wheel notch over the top bar reached the backlight";
  EXPECT_TRUE(pumpUntil([&] { return backlight() == 65; })) << backlight().value_or(-1);
  for (int expected : {70, 65, 60}) {
    ASSERT_TRUE(notch(expected > *backlight() ? -1 : 1));
    EXPECT_TRUE(pumpUntil([&] { return backlight() == expected; })) << backlight().value_or(-1);
  }

  // What a person sees: the glyph against the top bar, with the pointer elsewhere (a
  // hovered item is drawn on a lighter patch).
  const int barHeight = 32;
  PanelWatch watch([&] { return screenshot(); },
                   [&](const std::function<bool()>& done, double s) { return pumpUntil(done, s); },
                   {0, 0, 1919, barHeight - 1}, {0, 0, 1919, 1079});
  ASSERT_TRUE(pointerTo(960, 600));
  auto shot = watch.settled();
  ASSERT_TRUE(shot) << "no screenshot from the shell";
  std::map<std::uint32_t, int> counts;
  for (int x = 0; x < shot->width; ++x) ++counts[shot->at(x, barHeight / 2)];
  std::uint32_t bar = 0;
  for (auto [colour, n] : counts) {
    if (n > counts[bar]) bar = colour;
  }
  Box glyph{1 << 20, 1 << 20, -1, -1};
  for (int y = 2; y < barHeight - 2; ++y) {
    for (int x = std::max(0, lastX - 16); x <= std::min(1919, lastX + 16); ++x) {
      if (contrast(shot->at(x, y), bar) < 1.5) continue;
      glyph = {std::min(glyph.x0, x), std::min(glyph.y0, y), std::max(glyph.x1, x),
               std::max(glyph.y1, y)};
    }
  }
  ASSERT_FALSE(glyph.empty()) << "nothing drawn where the wheel found the item";
  const GlyphReading reading = readGlyph(*shot, glyph);
  std::printf("[ figure ] GNOME Shell: glyph #%06x on #%06x, contrast %.2f:1\n", reading.glyph,
              reading.background, reading.contrast);
  EXPECT_GE(reading.contrast, 3.0);
  if (const char* dir = std::getenv("NUVLET_PANEL_SHOTS")) {
    writeCrop(*shot, {glyph.x0 - 60, 0, glyph.x1 + 60, barHeight - 1},
              std::string(dir) + "/gnome.png");
  }
}

// In GNOME the screen is read through the desktop portal and PipeWire. The permission is
// pre-seeded in the permission store as a grant the user gave earlier, so no dialog comes
// up; the real portal and Mutter then stream the background, and compensation dims the
// panel on white and brightens it on a dark one, inside the band around the level last
// set.
TEST_F(GnomeEndToEnd, CompensationReadsTheScreenThroughTheDesktopPortal) {
  setBackground("#808080");
  ASSERT_TRUE(pumpUntil([&] { return overviewGone(); }, 20));
  // Mutter streams through PipeWire, which WirePlumber links to the consumer; WirePlumber
  // gives up when PipeWire is not there yet.
  auto start = [&](const char* program) {
    ASSERT_TRUE(fs::exists(program)) << program << " is required";
    portal.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" 2>>\"$1\"", program,
                                 (home.path() / "portal.log").string()},
        environment()));
  };
  start("/usr/bin/pipewire");
  ASSERT_TRUE(pumpUntil([&] { return fs::exists(runtime / "pipewire-0"); }, 20));
  for (const char* program :
       {"/usr/bin/wireplumber", "/usr/libexec/xdg-permission-store",
        "/usr/libexec/xdg-desktop-portal-gnome", "/usr/libexec/xdg-desktop-portal"}) {
    start(program);
  }
  for (const char* name :
       {"org.freedesktop.impl.portal.PermissionStore", "org.freedesktop.impl.portal.desktop.gnome",
        "org.freedesktop.portal.Desktop"}) {
    ASSERT_TRUE(pumpUntil([&] { return hasOwner(name); }, 20)) << name;
  }
  const std::string token = seedScreencastGrant();
  home.write("state/nuvlet/screencast-token", token + "\n");

  auto devices = ChildProcess::run({NUVLET_PROGRAM, "devices"}, environment(), 60);
  EXPECT_NE(devices.out.find("route: ScreenCast portal"), std::string::npos) << devices.out;
  EXPECT_NE(devices.out.find("state: streaming; sharing the monitor of 1920x1080 at +0+0"),
            std::string::npos)
      << devices.out;

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
  const auto store = [&](const char* method) {
    return peer
        .call("org.freedesktop.impl.portal.PermissionStore",
              "/org/freedesktop/impl/portal/PermissionStore",
              "org.freedesktop.impl.portal.PermissionStore", method,
              g_variant_new("(ss)", "screencast", current.c_str()))
        .ok();
  };
  // The portal stores the grant once more when it closes the session of a client that
  // left: the user's revocation is the one that comes after.
  ASSERT_TRUE(store("Lookup")) << "the grant behind the token file";
  for (int i = 0; i < 3 && store("Lookup"); ++i) {
    ASSERT_TRUE(store("Delete"));
    pumpUntil([&] { return store("Lookup"); }, 1.0);
  }
  ASSERT_FALSE(store("Lookup"));
  devices = ChildProcess::run({NUVLET_PROGRAM, "devices"}, environment(), 60);
  EXPECT_NE(devices.out.find("permission: none stored (the desktop no longer held the one kept: "
                             "revoked, so it was forgotten)"),
            std::string::npos)
      << devices.out;
  EXPECT_NE(devices.out.find("state: not asked"), std::string::npos) << devices.out;
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
