#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <xcb/xcb.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nuvlet/platform/Defaults.h"
#include "nuvlet/ui/GlyphColor.h"
#include "nuvlet/ui/IconRenderer.h"
#include "nuvlet/ui/PngFile.h"
#include "nuvlet/ui/ScrollableStatusView.h"
#include "platform/linux/desktop/DesktopServicesReport.h"
#include "platform/linux/tray/DesktopTheme.h"
#include "platform/linux/tray/StatusNotifierBar.h"
#include "platform/linux/tray/TrayHostProcess.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/ChildProcess.h"
#include "tests/harness/Servers.h"
#include "tests/harness/TrayHost.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

// Turns the default GLib context (where the tray item talks to the bus) and the virtual
// loop, a tenth of a second a turn, until done() holds; false after timeoutSeconds.
bool pumpUntil(sim::VirtualRunLoop& loop, const std::function<bool()>& done,
               double timeoutSeconds = 10) {
  return test::pumpUntil(
      [&] {
        loop.advance(0.1);
        return done();
      },
      timeoutSeconds);
}

std::string panelXml(int size) {
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value=")" +
         std::to_string(size) + R"("/>
      <property name="icon-size" type="uint" value="0"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray">
      <property name="icon-size" type="int" value="0"/>
      <property name="square-icons" type="bool" value="true"/>
    </property>
  </property>
</channel>
)";
}

std::string xsettingsXml(const std::string& theme, int scale) {
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xsettings" version="1.0">
  <property name="Net" type="empty">
    <property name="ThemeName" type="string" value=")" +
         theme + R"("/>
  </property>
  <property name="Gdk" type="empty">
    <property name="WindowScalingFactor" type="int" value=")" +
         std::to_string(scale) + R"("/>
  </property>
</channel>
)";
}

// WCAG relative luminance of an 8-bit sRGB colour.
double luminance(std::uint32_t rgb) {
  auto channel = [](std::uint32_t c) {
    const double v = c / 255.0;
    return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * channel((rgb >> 16) & 0xff) + 0.7152 * channel((rgb >> 8) & 0xff) +
         0.0722 * channel(rgb & 0xff);
}

double contrast(std::uint32_t a, std::uint32_t b) {
  double la = luminance(a), lb = luminance(b);
  if (la < lb) std::swap(la, lb);
  return (la + 0.05) / (lb + 0.05);
}

struct Shot {
  int width = 0, height = 0;
  std::vector<std::uint32_t> rgb;  // 0xRRGGBB, row-major
  std::uint32_t at(int x, int y) const { return rgb[static_cast<std::size_t>(y * width + x)]; }
};

Shot screenshot(xcb_connection_t* x, int width, int height) {
  xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
  Shot shot;
  auto* image = xcb_get_image_reply(
      x,
      xcb_get_image(x, XCB_IMAGE_FORMAT_Z_PIXMAP, root, 0, 0, static_cast<std::uint16_t>(width),
                    static_cast<std::uint16_t>(height), ~0u),
      nullptr);
  if (!image) return shot;
  const std::uint8_t* data = xcb_get_image_data(image);
  const int length = xcb_get_image_data_length(image);
  if (length >= width * height * 4) {
    shot.width = width;
    shot.height = height;
    for (int i = 0; i < width * height; ++i) {
      shot.rgb.push_back(std::uint32_t{data[i * 4 + 2]} << 16 |
                         std::uint32_t{data[i * 4 + 1]} << 8 | data[i * 4]);
    }
  }
  free(image);
  return shot;
}

// The panel's background (its commonest colour), and the bounding box and strongest
// colour of what differs from it.
struct Found {
  std::uint32_t background = 0;
  std::uint32_t glyph = 0;
  int minX = 1 << 20, minY = 1 << 20, maxX = -1, maxY = -1;
  bool any() const { return maxX >= 0; }
};

Found findGlyph(const Shot& shot, int panelHeight) {
  std::map<std::uint32_t, int> counts;
  for (int y = 0; y < panelHeight; ++y) {
    for (int x = 0; x < shot.width; ++x) ++counts[shot.at(x, y)];
  }
  Found f;
  int best = 0;
  for (auto [colour, n] : counts) {
    if (n > best) best = n, f.background = colour;
  }
  double strongest = 1.0;
  // Leave out the panel's edges (its border lines).
  for (int y = 2; y + 2 < panelHeight; ++y) {
    for (int x = 2; x + 2 < shot.width; ++x) {
      const std::uint32_t c = shot.at(x, y);
      if (c == f.background) continue;
      const double ratio = contrast(c, f.background);
      if (ratio < 1.5) continue;  // antialiasing, gradients
      f.minX = std::min(f.minX, x), f.maxX = std::max(f.maxX, x);
      f.minY = std::min(f.minY, y), f.maxY = std::max(f.maxY, y);
      if (ratio > strongest) strongest = ratio, f.glyph = c;
    }
  }
  return f;
}

// The panel's size in points and the desktop's scale (2 for HiDPI).
using PanelSize = std::pair<int, int>;

class XfcePanel : public ::testing::TestWithParam<std::tuple<const char*, PanelSize, bool>> {
 protected:
  void SetUp() override {
    for (const char* program : {"xfce4-panel", "xfsettingsd", "xdotool", "dbus-daemon"}) {
      ASSERT_TRUE(findProgram(program)) << program << " is needed (scripts/packages-test.txt)";
    }
    ASSERT_TRUE(xvfb.running());
    ::chmod(runtime.path().c_str(), 0700);
    // The bus starts xfconfd with the bus's own environment: set it all first.
    for (const auto& [name, value] : homeEnvironment(home.path())) {
      env.push_back(std::make_unique<ScopedEnv>(name, value));
    }
    env.push_back(std::make_unique<ScopedEnv>("XDG_RUNTIME_DIR", runtime.path().string()));
    env.push_back(std::make_unique<ScopedEnv>("DISPLAY", xvfb.display()));
    env.push_back(std::make_unique<ScopedEnv>("NO_AT_BRIDGE", "1"));
    env.push_back(std::make_unique<ScopedEnv>("GSETTINGS_BACKEND", "memory"));
    const auto [theme, panelSize, symbolic] = GetParam();
    const std::string xml = "config/xfce4/xfconf/xfce-perchannel-xml/";
    home.write(xml + "xfce4-panel.xml", panelXml(panelSize.first));
    home.write(xml + "xsettings.xml", xsettingsXml(theme, panelSize.second));
    const auto conf =
        home.write("bus.conf", testBusConfig("session", "unix:dir=" + runtime.path().string(),
                                             /*serviceDirs=*/true));
    bus = std::make_unique<ChildProcess>(
        std::vector<std::string>{"dbus-daemon", "--config-file=" + conf.string(),
                                 "--print-address=1", "--nofork", "--nopidfile"});
    auto address = bus->readLine(20);
    ASSERT_TRUE(address && !address->empty());
    busAddress = *address;
    env.push_back(std::make_unique<ScopedEnv>("DBUS_SESSION_BUS_ADDRESS", busAddress));
    x = xcb_connect(xvfb.display().c_str(), nullptr);
    ASSERT_EQ(xcb_connection_has_error(x), 0);
  }

  void TearDown() override {
    view.reset();
    scheme.reset();
    bar.reset();
    // xfconfd was started by the bus and outlives the panel: stop every process on the
    // bus, each by its own id, before the bus itself.
    if (!busAddress.empty()) stopBusClients();
    panel.reset();
    settingsDaemon.reset();
    bus.reset();
    if (x) xcb_disconnect(x);
  }

  void stopBusClients() {
    GDBusConnection* c = g_dbus_connection_new_for_address_sync(
        busAddress.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (!c) return;
    GVariant* names = g_dbus_connection_call_sync(
        c, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListNames",
        nullptr, G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    if (names) {
      GVariantIter* it = nullptr;
      const gchar* name = nullptr;
      g_variant_get(names, "(as)", &it);
      while (g_variant_iter_next(it, "&s", &name)) {
        if (name[0] != ':') continue;
        auto pid = linux_platform::busPeerPid(c, name);
        if (pid && *pid != static_cast<std::uint32_t>(::getpid()))
          ::kill(static_cast<pid_t>(*pid), SIGTERM);
      }
      g_variant_iter_free(it);
      g_variant_unref(names);
    }
    g_object_unref(c);
  }

  // Starts the settings daemon, the panel and our item; true once the panel shows it.
  bool startPanelWithItem() {
    // No settings manager yet: no theme, and no X error either.
    if (linux_platform::readXSettingsThemeName(x, 0).has_value()) return false;
    settingsDaemon = std::make_unique<ChildProcess>(
        std::vector<std::string>{"xfsettingsd", "--disable-wm-check"});
    // Our scheme reads what the settings daemon publishes, as it would on this desktop
    // (the theme's name decides the glyph's tone, which the test checks below).
    if (!pumpUntil(loop, [&] { return linux_platform::readXSettingsThemeName(x, 0).has_value(); }))
      return false;
    panel = std::make_unique<ChildProcess>(
        std::vector<std::string>{"xfce4-panel", "--disable-wm-check"});
    linux_platform::StatusNotifierBarOptions options;
    options.busAddress = busAddress;
    // The build's own symbolic set: the panel then draws the named icon in its colour.
    if (std::get<2>(GetParam())) options.iconThemePath = NUVLET_BUILD_DIR "/icons";
    bar = linux_platform::makeStatusNotifierBar(loop, options);
    scheme = linux_platform::makeDesktopColorScheme(loop, nullptr, x, 0, home / "config");
    view = std::make_unique<ScrollableStatusView>(bar->addItem("brightness"), defaults, *scheme);
    view->render = [](double level) {
      return IconRenderer::brightnessImage(level, DisplayKind::BuiltIn, IconStyle::Curtain);
    };
    view->onScroll = [this](double delta) { view->setLevel(view->level() - delta / 200); };
    view->onRightClick = [this] { ++middleClicks; };
    view->menu = [this](bool) {
      ++menusBuilt;
      MenuItem quit;
      quit.label = "Quit Nuvlet";
      quit.activate = [] {};
      return Menu{quit};
    };
    view->setAccessibilityLabel("Brightness");
    view->setLevel(0.5);
    return pumpUntil(
        loop, [&] { return bar->hostAvailable(); }, 20);
  }

  TempDir home;
  TempDir runtime;
  XvfbServer xvfb{"640x120x24"};
  std::vector<std::unique_ptr<ScopedEnv>> env;
  std::unique_ptr<ChildProcess> bus;
  std::string busAddress;
  std::unique_ptr<ChildProcess> settingsDaemon;
  std::unique_ptr<ChildProcess> panel;
  xcb_connection_t* x = nullptr;
  sim::VirtualRunLoop loop;
  MemoryDefaults defaults;
  std::unique_ptr<StatusBar> bar;
  std::unique_ptr<ColorScheme> scheme;
  std::unique_ptr<ScrollableStatusView> view;
  int middleClicks = 0;
  int menusBuilt = 0;
};

TEST_P(XfcePanel, TheGlyphStandsOutAndTheWheelAndClicksWork) {
  const auto [theme, panelSize, symbolic] = GetParam();
  const int size = panelSize.first * panelSize.second;  // in pixels
  ASSERT_TRUE(startPanelWithItem());
  Found glyph;
  ASSERT_TRUE(pumpUntil(loop,
                        [&] {
                          glyph = findGlyph(screenshot(x, 640, size), size);
                          return glyph.any() && contrast(glyph.glyph, glyph.background) >= 3.0;
                        }))
      << theme << " " << size << "px: background " << std::hex << glyph.background << " glyph "
      << glyph.glyph;
  // A glyph, not a strip of something else (the screen below a panel thinner than asked).
  EXPECT_LE(glyph.maxX - glyph.minX, size);
  EXPECT_LE(glyph.maxY - glyph.minY, size);
  // Which of the two the panel drew: our pixmap keeps our glyph colour exactly, the
  // symbolic icon takes the theme's text colour.
  const std::uint32_t ours = glyphRgb(glyphTone(defaults, *scheme));
  if (symbolic) {
    EXPECT_NE(glyph.glyph, ours);
  } else {
    EXPECT_EQ(glyph.glyph, ours);
  }
  if (const char* dir = std::getenv("NUVLET_PANEL_SHOTS")) {
    Shot shot = screenshot(x, 640, size);
    Pixmap png{96, size, {}};
    for (int yy = 0; yy < size; ++yy)
      for (int xx = 0; xx < 96; ++xx)
        png.argb.push_back(0xFF000000u | shot.at(std::max(0, glyph.maxX - 95) + xx, yy));
    writePng(std::string(dir) + "/panel-" + theme + "-" + std::to_string(size) +
                 (symbolic ? "-symbolic" : "") + ".png",
             png);
  }

  const int cx = (glyph.minX + glyph.maxX) / 2, cy = (glyph.minY + glyph.maxY) / 2;
  ASSERT_EQ(ChildProcess::run({"xdotool", "mousemove", std::to_string(cx), std::to_string(cy)}, {})
                .status,
            0);
  const double before = view->level();
  ASSERT_EQ(ChildProcess::run({"xdotool", "click", "4"}, {}).status, 0);  // wheel up
  EXPECT_TRUE(pumpUntil(loop, [&] { return view->level() > before + 0.01; }));
  EXPECT_NEAR(view->level(), before + 0.05, 1e-9);
  loop.advance(1);
  ASSERT_EQ(ChildProcess::run({"xdotool", "click", "5"}, {}).status, 0);  // wheel down
  EXPECT_TRUE(pumpUntil(loop, [&] { return view->level() < before + 0.04; }));
  EXPECT_NEAR(view->level(), before, 1e-9);
  ASSERT_EQ(ChildProcess::run({"xdotool", "click", "2"}, {}).status, 0);
  EXPECT_TRUE(pumpUntil(loop, [&] { return middleClicks == 1; }));
  // A left click opens the menu, which the panel asks us to build afresh.
  const int built = menusBuilt;
  ASSERT_EQ(ChildProcess::run({"xdotool", "click", "1"}, {}).status, 0);
  EXPECT_TRUE(pumpUntil(loop, [&] { return menusBuilt > built; }));
  ChildProcess::run({"xdotool", "key", "Escape"}, {});

  // `nuvlet devices` names this panel with its notch, and the theme source that decided.
  auto report = std::async(std::launch::async, [address = busAddress] {
    return linux_platform::describeDesktopServices(address);
  });
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return report.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
      20));
  const auto lines = report.get();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("xfce4-panel, one wheel notch = Scroll(+-1)"), std::string::npos)
      << lines[0];
  EXPECT_NE(lines[2].find(std::string("XSETTINGS Net/ThemeName \"") + theme + "\""),
            std::string::npos)
      << lines[2];
}

INSTANTIATE_TEST_SUITE_P(LightAndDark, XfcePanel,
                         ::testing::Combine(::testing::Values("Adwaita", "HighContrastInverse"),
                                            ::testing::Values(PanelSize{16, 1}, PanelSize{22, 1},
                                                              PanelSize{32, 1}, PanelSize{64, 1},
                                                              PanelSize{22, 2}),
                                            ::testing::Bool()),
                         [](const auto& param) {
                           std::string theme = std::get<0>(param.param);
                           return (theme == "Adwaita" ? std::string("Light") : "Dark") +
                                  std::to_string(std::get<1>(param.param).first) + "px" +
                                  (std::get<1>(param.param).second == 2 ? "Scale2" : "") +
                                  (std::get<2>(param.param) ? "Symbolic" : "Pixmap");
                         });

}  // namespace
}  // namespace nuvlet::test
