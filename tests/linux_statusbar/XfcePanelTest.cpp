// The item against a real panel: xfce4-panel with only its tray plugin, under Xvfb, on a
// private bus, driven with xdotool like a user would.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <xcb/xcb.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/StatusNotifierBar.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/linux_statusbar/TrayHost.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Servers.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

constexpr std::uint32_t kMagenta = 0xFFFF00FFu;

constexpr const char* kPanelConfig = R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="32"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
)";

// A session of its own: home and XDG directories, a bus that can start xfconfd in
// them, an X server and the panel.
class PanelSession {
 public:
  PanelSession() {
    prctl(PR_SET_CHILD_SUBREAPER, 1);  // so that the bus's xfconfd can be reaped
    const std::string home = (dir_ / "home").string();
    env_ = {{"HOME", home},
            {"XDG_CONFIG_HOME", home + "/.config"},
            {"XDG_DATA_HOME", home + "/.local/share"},
            {"XDG_CACHE_HOME", home + "/.cache"},
            {"XDG_STATE_HOME", home + "/.local/state"},
            {"XDG_RUNTIME_DIR", (dir_ / "run").string()},
            {"NO_AT_BRIDGE", "1"}};
    dir_.write("home/.config/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml", kPanelConfig);
    dir_.write("run/.keep", "");
    address_ = "unix:path=" + (dir_ / "bus").string();
    auto config = dir_.write("bus.conf", testBusConfig("session", address_, true));
    // xfconfd is started by the bus and sees only the bus's environment.
    bus_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"dbus-daemon", "--config-file=" + config.string(),
                                 "--print-address=1", "--nofork", "--nopidfile"},
        env_);
    if (!bus_->readLine(20)) return;
    if (!xvfb_.running()) return;
    env_["DISPLAY"] = xvfb_.display();
    env_["DBUS_SESSION_BUS_ADDRESS"] = address_;
    panel_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"xfce4-panel", "--disable-wm-check"}, env_);
  }

  ~PanelSession() {
    guint32 xfconfd = 0;
    if (BusPeer peer(address_); peer.connected()) {
      auto r = peer.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "GetConnectionUnixProcessID", g_variant_new("(s)", "org.xfce.Xfconf"));
      if (r.ok()) g_variant_get(r.value.get(), "(u)", &xfconfd);
    }
    panel_.reset();
    bus_.reset();
    if (xfconfd > 0) {
      ::kill(static_cast<pid_t>(xfconfd), SIGKILL);
      ::waitpid(static_cast<pid_t>(xfconfd), nullptr, 0);  // ours since its bus is gone
    }
  }

  bool started() const { return panel_ && panel_->started(); }
  const std::string& address() const { return address_; }
  const std::string& display() const { return xvfb_.display(); }

  bool xdotool(std::vector<std::string> args) {
    args.insert(args.begin(), "xdotool");
    return ChildProcess::run(args, env_, 10).status == 0;
  }

 private:
  TempDir dir_;
  std::map<std::string, std::string> env_;
  std::string address_;
  std::unique_ptr<ChildProcess> bus_;
  XvfbServer xvfb_{"800x600x24"};
  std::unique_ptr<ChildProcess> panel_;
};

// The screen as the user sees it, to find the icon and read the modifier keys.
class Screen {
 public:
  explicit Screen(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
    if (!xcb_connection_has_error(c_)) screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
  }
  ~Screen() { xcb_disconnect(c_); }

  // The centre of the pixels of one colour, if any are shown.
  std::optional<std::pair<int, int>> find(std::uint32_t rgb) {
    if (!screen_) return std::nullopt;
    const int w = screen_->width_in_pixels, h = screen_->height_in_pixels;
    auto* image = xcb_get_image_reply(
        c_, xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, 0, 0, w, h, ~0u), nullptr);
    if (!image) return std::nullopt;
    const std::uint8_t* p = xcb_get_image_data(image);
    long sx = 0, sy = 0, n = 0;
    for (long i = 0; i < long{w} * h; ++i, p += 4) {
      if (((std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0]) == (rgb & 0xFFFFFFu)) {
        sx += i % w;
        sy += i / w;
        ++n;
      }
    }
    free(image);
    if (n == 0) return std::nullopt;
    return std::make_pair(static_cast<int>(sx / n), static_cast<int>(sy / n));
  }

  bool alternateHeld() {
    auto* reply = screen_
                      ? xcb_query_pointer_reply(c_, xcb_query_pointer(c_, screen_->root), nullptr)
                      : nullptr;
    bool held = reply && (reply->mask & (XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_1)) != 0;
    free(reply);
    return held;
  }

 private:
  xcb_connection_t* c_;
  xcb_screen_t* screen_ = nullptr;
};

TEST(XfcePanel, ScrollsClicksAndTheMenuArriveFromARealPanel) {
  ASSERT_TRUE(findProgram("xfce4-panel")) << "xfce4-panel is needed";
  ASSERT_TRUE(findProgram("xdotool")) << "xdotool is needed";
  PanelSession session;
  ASSERT_TRUE(session.started());
  Screen screen(session.display());

  sim::VirtualRunLoop loop;
  auto bar = linux_platform::makeStatusNotifierBar(
      loop, {session.address(), [&] { return screen.alternateHeld(); }, 15.0});
  auto item = bar->addItem("brightness");
  std::vector<double> scrolls;
  int middle = 0, chosen = 0;
  std::vector<bool> menus;
  StatusItem::Callbacks callbacks;
  callbacks.onScroll = [&](double d) { scrolls.push_back(d); };
  callbacks.onSecondaryActivate = [&] { ++middle; };
  callbacks.menu = [&](bool alternate) {
    menus.push_back(alternate);
    MenuItem first, debug, quit;
    // A label that changes at every opening, like the menu's counts.
    first.label = "Opened " + std::to_string(menus.size());
    first.activate = [&] { ++chosen; };
    debug.label = "Show Compensation Debug";
    quit.label = "Quit Nuvlet";
    debug.activate = quit.activate = [] {};
    Menu menu{first, MenuItem::separator(), quit};
    if (alternate) menu.insert(menu.begin() + 1, debug);
    return menu;
  };
  item->setCallbacks(callbacks);
  std::vector<Pixmap> icon;
  for (int size : {16, 22, 24, 32, 48})
    icon.push_back({size, size, std::vector(size * size, kMagenta)});
  item->setIcon(icon);

  ASSERT_TRUE(pumpUntil([&] { return bar->hostAvailable(); }, 20));
  std::optional<std::pair<int, int>> at;
  ASSERT_TRUE(pumpUntil([&] { return (at = screen.find(kMagenta)).has_value(); }, 10));
  ASSERT_TRUE(
      session.xdotool({"mousemove", std::to_string(at->first), std::to_string(at->second)}));

  // Wheel down, then up: the panel's lower-case convention.
  ASSERT_TRUE(session.xdotool({"click", "5"}));
  ASSERT_TRUE(pumpUntil([&] { return scrolls.size() == 1; }));
  loop.advance(1);
  ASSERT_TRUE(session.xdotool({"click", "4"}));
  ASSERT_TRUE(pumpUntil([&] { return scrolls.size() == 2; }));
  EXPECT_EQ(scrolls, (std::vector<double>{10, -10}));

  ASSERT_TRUE(session.xdotool({"click", "2"}));
  EXPECT_TRUE(pumpUntil([&] { return middle == 1; }));

  // A left click opens the menu, built then with the modifier as held then; the keyboard
  // picks its first entry, which the panel reports with EventGroup. Shift brings the
  // alternate entries, and they leave the layout again without it.
  for (bool shift : {false, true, false}) {
    SCOPED_TRACE(shift);
    const std::size_t built = menus.size();
    const int before = chosen;
    ASSERT_TRUE(!shift || session.xdotool({"keydown", "shift"}));
    ASSERT_TRUE(session.xdotool({"click", "1"}));
    ASSERT_TRUE(pumpUntil([&] { return menus.size() > built; }));
    ASSERT_TRUE(!shift || session.xdotool({"keyup", "shift"}));
    EXPECT_EQ(menus.back(), shift);
    EXPECT_TRUE(pumpUntil(
        [&] {
          session.xdotool({"key", "Down", "Return"});
          return pumpUntil([&] { return chosen == before + 1; }, 0.3);
        },
        10));
  }
}

}  // namespace
}  // namespace nuvlet::test
