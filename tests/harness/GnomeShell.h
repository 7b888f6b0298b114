#pragma once
// Plays a GNOME Wayland session: headless GNOME Shell with the AppIndicator extension
// on private session and system buses, one virtual monitor, the wheel through Mutter's
// remote-desktop API, and on demand the real ScreenCast portal with PipeWire.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nuvlet/ui/PngFile.h"
#include "tests/harness/AppProcess.h"
#include "tests/harness/ChildProcess.h"
#include "tests/harness/PanelWatch.h"
#include "tests/harness/Servers.h"
#include "tests/harness/TrayHost.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

class GnomeShell {
 public:
  static constexpr int kTopBarHeight = 32;

  // Starts the shell; with `withTray`, until its tray host is registered.
  void startShell() {
    namespace fs = std::filesystem;
    ASSERT_TRUE(findProgram("gnome-shell")) << "gnome-shell is required";
    ASSERT_TRUE(sessionBus.running() && systemBus.running()) << "dbus-daemon is required";
    runtime = home / "run";
    fs::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);
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

  void stopShell() {
    portal.clear();
    shell.reset();
    // xdg-document-portal, when something started it, mounts here.
    ChildProcess::run({"fusermount", "-uz", (runtime / "doc").string()}, {}, 5);
  }

  // PipeWire, WirePlumber (which links Mutter's stream to the consumer, and gives up when
  // PipeWire is not there yet), the permission store and the portal with GNOME's backend.
  void startScreenCastPortal() {
    namespace fs = std::filesystem;
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
         {"org.freedesktop.impl.portal.PermissionStore",
          "org.freedesktop.impl.portal.desktop.gnome", "org.freedesktop.portal.Desktop"}) {
      ASSERT_TRUE(pumpUntil([&] { return hasOwner(name); }, 20)) << name;
    }
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

  // Whether the permission store holds the screen-cast grant `token`.
  bool holdsScreencastGrant(const std::string& token) { return grantStore("Lookup", token); }

  // The user revoking the grant `token` through the permission store, as the README says;
  // true once it is gone. The portal stores the grant once more when it closes the session
  // of a client that left: the revocation that counts comes after.
  bool revokeScreencastGrant(const std::string& token) {
    for (int i = 0; i < 3 && holdsScreencastGrant(token); ++i) {
      if (!grantStore("Delete", token)) return false;
      pumpUntil([&] { return holdsScreencastGrant(token); }, 1.0);
    }
    return !holdsScreencastGrant(token);
  }

  bool grantStore(const char* method, const std::string& token) {
    return peer
        .call("org.freedesktop.impl.portal.PermissionStore",
              "/org/freedesktop/impl/portal/PermissionStore",
              "org.freedesktop.impl.portal.PermissionStore", method,
              g_variant_new("(ss)", "screencast", token.c_str()))
        .ok();
  }

  bool hasOwner(const std::string& name) { return peer.hasOwner(name).value_or(false); }

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

  // The screen once the top bar has settled, with the pointer away from it: a hovered item
  // is drawn on a lighter patch.
  std::optional<Screenshot> settledScreen() {
    PanelWatch watch([&] { return screenshot(); },
                     [](const std::function<bool()>& done, double s) { return pumpUntil(done, s); },
                     {0, 0, 1919, kTopBarHeight - 1}, {0, 0, 1919, 1079});
    if (!pointerTo(960, 600)) return std::nullopt;
    return watch.settled();
  }

  // The pointer to (x, y) by relative motion from the top right corner.
  bool pointerTo(int x, int y) {
    return remote("NotifyPointerMotionRelative", g_variant_new("(dd)", 5000.0, -5000.0)) &&
           remote("NotifyPointerMotionRelative",
                  g_variant_new("(dd)", static_cast<double>(x - 1919), static_cast<double>(y)));
  }

  // Mutter's remote-desktop session for the pointer and wheel. It puts a "screen shared"
  // indicator into the top bar, which moves the tray icons: start it before looking for one.
  bool startRemoteInput() {
    auto created = peer.call("org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
                             "org.gnome.Mutter.RemoteDesktop", "CreateSession", nullptr);
    if (!created.ok()) return false;
    const gchar* path = nullptr;
    g_variant_get(created.value.get(), "(&o)", &path);
    session = path;
    return remote("Start", nullptr);
  }

  // Walks the pointer leftwards along the top bar, a notch up at each stop, until
  // answered() holds: the x where the item under the pointer answered. The extension shows
  // an icon a moment after its item registers, and the shell may still be leaving the
  // overview it starts in: it sweeps again until then.
  std::optional<int> sweepTopBar(const std::function<bool()>& answered, double seconds = 40) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      leaveOverview();
      if (!pointerTo(1919, 12)) return std::nullopt;
      for (int x = 1919; x > 600; x -= 8) {
        if (!remote("NotifyPointerMotionRelative", g_variant_new("(dd)", -8.0, 0.0)) || !notch(-1))
          return std::nullopt;
        if (pumpUntil(answered, 0.2)) return x;
      }
    }
    return std::nullopt;
  }

  // One wheel notch (+1 down, -1 up) where the pointer is.
  bool notch(int steps) {
    return remote("NotifyPointerAxisDiscrete", g_variant_new("(ui)", 0u, steps));
  }

  TempDir home;
  std::filesystem::path runtime;
  TempDir sysfs;
  DbusDaemon sessionBus;
  DbusDaemon systemBus{DbusDaemon::Kind::System};
  BusPeer peer{sessionBus.address()};
  std::unique_ptr<ChildProcess> shell;
  std::vector<std::unique_ptr<ChildProcess>> portal;
  std::string session;
  bool screenshotNameOwned = false;
  bool withTray = true;
  std::string extensions = "['ubuntu-appindicators@ubuntu.com']";
};

}  // namespace nuvlet::test
