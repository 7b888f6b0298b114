#include <gtest/gtest.h>

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
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/ChildProcess.h"
#include "tests/harness/Screenshot.h"
#include "tests/harness/Servers.h"
#include "tests/harness/TrayHost.h"
#include "tests/harness/XfceSession.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

// The panel's background (its commonest colour), and the bounding box and strongest
// colour of what differs from it.
struct Found {
  std::uint32_t background = 0;
  std::uint32_t glyph = 0;
  int minX = 1 << 20, minY = 1 << 20, maxX = -1, maxY = -1;
  bool any() const { return maxX >= 0; }
};

Found findGlyph(const Screenshot& shot, int panelHeight) {
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

class XfcePanel : public ::testing::TestWithParam<std::tuple<const char*, PanelSize, bool>>,
                  public XfceSession {
 protected:
  void SetUp() override {
    const auto [theme, panelSize, symbolic] = GetParam();
    ASSERT_NO_FATAL_FAILURE(startBus(theme, panelSize.first, panelSize.second));
  }

  void TearDown() override {
    view.reset();
    scheme.reset();
    bar.reset();
    stop();
  }

  // Starts the desktop and our item; true once the panel shows it.
  bool startPanelWithItem() {
    // Our scheme reads what the settings daemon publishes, as it would on this desktop
    // (the theme's name decides the glyph's tone, which the test checks below).
    if (!startPanel(loop)) return false;
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
                          const auto shot = screenshotOfX(xvfb.display());
                          if (!shot) return false;
                          glyph = findGlyph(*shot, size);
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
    const Screenshot shot = screenshotOfX(xvfb.display()).value_or(Screenshot{});
    ASSERT_FALSE(shot.empty());
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
