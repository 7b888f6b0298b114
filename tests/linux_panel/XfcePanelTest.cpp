#include <gmock/gmock.h>

#include <memory>
#include <string>

#include "nuvlet/platform/Defaults.h"
#include "nuvlet/ui/GlyphColor.h"
#include "platform/linux/desktop/DesktopServicesReport.h"
#include "platform/linux/tray/DesktopTheme.h"
#include "platform/linux/tray/StatusNotifierBar.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/TrayHost.h"
#include "tests/harness/XfceSession.h"
#include "tests/support/ItemOnAPanel.h"

namespace nuvlet::test {
namespace {

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
    item.reset();
    scheme.reset();
    bar.reset();
    stop();
  }

  // Starts the desktop and our item; true once the panel shows it.
  bool startPanelWithItem() {
    // Our scheme reads what the settings daemon publishes, as it would on this desktop
    // (the theme's name decides the glyph's tone, which the test checks below).
    if (!startPanel(loop)) return false;
    // The build's own symbolic set: the panel then draws the named icon in its colour.
    bar = linux_platform::makeStatusNotifierBar(
        loop, {busAddress, {}, 15.0, std::get<2>(GetParam()) ? NUVLET_BUILD_DIR "/icons" : ""});
    scheme = linux_platform::makeDesktopColorScheme(loop, nullptr, x, 0, home / "config");
    item = std::make_unique<BrightnessItem>(bar->addItem("brightness"), defaults, *scheme);
    return pumpUntil(
        loop, [&] { return bar->hostAvailable(); }, 20);
  }

  sim::VirtualRunLoop loop;
  MemoryDefaults defaults;
  std::unique_ptr<StatusBar> bar;
  std::unique_ptr<ColorScheme> scheme;
  std::unique_ptr<BrightnessItem> item;
};

TEST_P(XfcePanel, TheGlyphStandsOutAndTheWheelAndClicksWork) {
  const auto [theme, panelSize, symbolic] = GetParam();
  const int size = panelSize.first * panelSize.second;  // in pixels
  ASSERT_TRUE(startPanelWithItem());
  PanelUser person = user(
      loop, size,
      std::string("panel-") + theme + "-" + std::to_string(size) + (symbolic ? "-symbolic" : ""));
  Drawn glyph;
  ASSERT_TRUE(person.drawnOnPanel(3.0, glyph))
      << theme << " " << size << "px: background " << std::hex << glyph.reading.background
      << " glyph " << glyph.reading.glyph;
  // A glyph, not a strip of something else (the screen below a panel thinner than asked).
  EXPECT_LE(glyph.box.x1 - glyph.box.x0, size);
  EXPECT_LE(glyph.box.y1 - glyph.box.y0, size);
  // Which of the two the panel drew: our pixmap keeps our glyph colour exactly, the
  // symbolic icon takes the theme's text colour.
  const std::uint32_t ours = glyphRgb(glyphTone(defaults, *scheme));
  if (symbolic) {
    EXPECT_NE(glyph.reading.glyph, ours);
  } else {
    EXPECT_EQ(glyph.reading.glyph, ours);
  }
  EXPECT_TRUE(person.keep("", {glyph.box.x1 - 95, 0, glyph.box.x1, size - 1}));

  person.glyph = glyph.box;
  expectTheWheelAndAMiddleClick(person, *item);
  // A left click opens the menu, which the panel asks us to build afresh.
  const int built = item->menusBuilt;
  ASSERT_TRUE(person.input().button(1));
  EXPECT_TRUE(person.turn([&] { return item->menusBuilt > built; }, 10));
  person.input().key("Escape");

  // `nuvlet devices` names this panel with its notch, and the theme source that decided.
  using testing::HasSubstr;
  EXPECT_THAT(
      callPumping(
          [address = busAddress] { return linux_platform::describeDesktopServices(address); }),
      testing::ElementsAre(HasSubstr("xfce4-panel, one wheel notch = Scroll(+-1)"), testing::_,
                           HasSubstr(std::string("XSETTINGS Net/ThemeName \"") + theme + "\"")));
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
