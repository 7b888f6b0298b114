#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "nuvlet/ui/GlyphColor.h"
#include "nuvlet/ui/ScrollableStatusView.h"
#include "platform/sim/RecordingStatusBar.h"
#include "platform/sim/ScriptedColorScheme.h"

namespace nuvlet {
namespace {

using Preference = ColorScheme::Preference;

class ScrollableStatusViewTest : public ::testing::Test {
 protected:
  sim::RecordingStatusBar bar;
  MemoryDefaults defaults;
  sim::ScriptedColorScheme scheme{Preference::Dark};
  std::unique_ptr<ScrollableStatusView> view =
      std::make_unique<ScrollableStatusView>(bar.addItem("brightness"), defaults, scheme);
  sim::RecordedItem& item = *bar.item("brightness");

  int renders = 0;
  void useBrightnessGlyph() {
    view->render = [this](double level) {
      ++renders;
      return IconRenderer::brightnessImage(level, DisplayKind::BuiltIn, IconStyle::Pie);
    };
  }

  // The colour of the solid pixels of the icon last sent; 0 when there are none.
  std::uint32_t glyphColour() const {
    for (std::uint32_t pixel : item.icon()->back().argb) {
      if ((pixel >> 24) == 0xFF) return pixel & 0xFFFFFF;
    }
    return 0;
  }
};

TEST_F(ScrollableStatusViewTest, FreshViewShowsNothingAndIgnoresInput) {
  ASSERT_EQ(item.icons.size(), 1u);
  ASSERT_EQ(item.icon()->size(), ScrollableStatusView::iconSizes.size());
  for (const Pixmap& p : *item.icon()) {
    EXPECT_EQ(p.argb, std::vector<std::uint32_t>(std::size_t(p.width * p.height), 0));
  }
  EXPECT_EQ(item.toolTip().text, "100%");
  EXPECT_TRUE(item.scroll(10));
  EXPECT_TRUE(item.activate());
  EXPECT_TRUE(item.secondaryActivate());
  EXPECT_TRUE(item.openMenu()->empty());
}

TEST_F(ScrollableStatusViewTest, AccessibilityValueIsTheRoundedPercentage) {
  view->setAccessibilityLabel("Brightness");
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  const std::pair<double, const char*> cases[] = {{0.5, "50%"},   {0.125, "13%"},   {0.004, "0%"},
                                                  {-0.004, "0%"}, {-0.125, "-13%"}, {1.5, "150%"},
                                                  {nan, "?"},     {inf, "?"},       {-inf, "?"}};
  for (const auto& [level, text] : cases) {
    view->setLevel(level);
    EXPECT_EQ(view->accessibilityValue(), text) << level;
    EXPECT_EQ(item.toolTip().text, text) << level;
  }
  EXPECT_EQ(item.title(), "Brightness");
  EXPECT_EQ(item.toolTip().title, "Brightness");
  // Absurd but finite: a long number, not a crash or a wrapped integer.
  view->setLevel(1e300);
  EXPECT_GT(view->accessibilityValue().size(), 300u);
}

TEST_F(ScrollableStatusViewTest, EverySetLevelRendersButTheTrayGetsOnlyChanges) {
  useBrightnessGlyph();
  view->setLevel(0.5);
  const auto icons = item.icons.size();
  const auto toolTips = item.toolTips.size();
  view->setLevel(0.5);
  view->redraw();
  EXPECT_EQ(renders, 3);
  EXPECT_EQ(item.icons.size(), icons);
  EXPECT_EQ(item.toolTips.size(), toolTips);
  view->setLevel(0.25);
  EXPECT_EQ(item.icons.size(), icons + 1);
  EXPECT_EQ(item.toolTips.size(), toolTips + 1);
  const IconImage image = IconRenderer::brightnessImage(0.25, DisplayKind::BuiltIn, IconStyle::Pie);
  EXPECT_EQ(item.icon()->front().argb, tint(image.rasterize(16), 0xFFFFFF).argb);
}

TEST_F(ScrollableStatusViewTest, GlyphColourFollowsTheSchemeUnlessTheSettingForcesIt) {
  useBrightnessGlyph();
  const std::uint32_t light = glyphRgb(GlyphTone::Light);
  const std::uint32_t dark = glyphRgb(GlyphTone::Dark);
  ASSERT_NE(light, dark);
  const struct {
    nlohmann::json setting;  // null: absent
    Preference preference;
    std::uint32_t expected;
  } cases[] = {
      {nullptr, Preference::Dark, light},
      {nullptr, Preference::Light, dark},
      {nullptr, Preference::NoPreference, light},
      {"auto", Preference::Light, dark},
      {"light", Preference::Light, light},
      {"dark", Preference::Dark, dark},
      {"dark", Preference::NoPreference, dark},
      {"purple", Preference::Light, dark},
      {1, Preference::Dark, light},
  };
  for (const auto& c : cases) {
    if (c.setting.is_null()) {
      defaults.remove("iconColor");
    } else {
      defaults.setValue("iconColor", c.setting);
    }
    scheme.change(c.preference);
    view->redraw();
    EXPECT_EQ(glyphColour(), c.expected) << c.setting << " " << static_cast<int>(c.preference);
  }
}

TEST_F(ScrollableStatusViewTest, CallbackOrMenuActionMayDestroyTheView) {
  for (int viaMenu : {0, 1}) {
    view = std::make_unique<ScrollableStatusView>(bar.addItem("volume"), defaults, scheme);
    sim::RecordedItem& volume = *bar.item("volume");
    view->onRightClick = [this] { view.reset(); };
    view->menu = [this](bool) {
      MenuItem hide;
      hide.label = "Hide";
      hide.activate = [this] { view.reset(); };
      return Menu{MenuItem::separator(), hide};
    };
    EXPECT_TRUE(viaMenu ? sim::clickEntry(*volume.openMenu(), {"Hide"})
                        : volume.secondaryActivate());
    EXPECT_EQ(view, nullptr);
    EXPECT_TRUE(volume.removed);
    EXPECT_FALSE(volume.scroll(10));  // nothing reaches a removed item
  }
}

}  // namespace
}  // namespace nuvlet
