#include <gtest/gtest.h>

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

  // The colour of the solid pixels of the 22-pixel icon last sent; 0 when none is.
  std::uint32_t glyphColour() const {
    const auto* icon = item.icon();
    if (icon == nullptr) return 0;
    for (const Pixmap& p : *icon) {
      if (p.width != 22) continue;
      for (std::uint32_t pixel : p.argb) {
        if ((pixel >> 24) == 0xFF) return pixel & 0xFFFFFF;
      }
    }
    return 0;
  }
};

TEST_F(ScrollableStatusViewTest, FreshViewShowsNothingAndIgnoresInput) {
  ASSERT_EQ(item.icons.size(), 1u);
  const std::vector<Pixmap>& icon = *item.icon();
  ASSERT_EQ(icon.size(), ScrollableStatusView::iconSizes.size());
  for (std::size_t i = 0; i < icon.size(); ++i) {
    EXPECT_EQ(icon[i].width, ScrollableStatusView::iconSizes[i]);
    EXPECT_EQ(icon[i].argb.size(), std::size_t(icon[i].width * icon[i].height));
    for (std::uint32_t pixel : icon[i].argb) ASSERT_EQ(pixel, 0u);
  }
  EXPECT_EQ(view->accessibilityValue(), "100%");
  EXPECT_EQ(item.toolTip().text, "100%");
  // Unset callbacks: the events arrive and do nothing.
  EXPECT_TRUE(item.scroll(10));
  EXPECT_TRUE(item.activate());
  EXPECT_TRUE(item.secondaryActivate());
  EXPECT_TRUE(item.contextMenu());
  ASSERT_TRUE(item.openMenu());
  EXPECT_TRUE(item.openMenu()->empty());
}

TEST_F(ScrollableStatusViewTest, AccessibilityValueIsTheRoundedPercentage) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double level;
    const char* text;
  } cases[] = {{0.5, "50%"},   {0.125, "13%"},   {0.004, "0%"}, {0.0, "0%"},
               {-0.004, "0%"}, {-0.125, "-13%"}, {1.5, "150%"}, {0.999, "100%"},
               {nan, "?"},     {inf, "?"},       {-inf, "?"},   {1e300, nullptr}};
  for (const auto& c : cases) {
    view->setLevel(c.level);
    if (c.text == nullptr) {
      // Absurd but finite: a long number, not a crash or a wrapped integer.
      EXPECT_GT(view->accessibilityValue().size(), 300u);
      EXPECT_EQ(view->accessibilityValue().back(), '%');
      continue;
    }
    EXPECT_EQ(view->accessibilityValue(), c.text) << c.level;
    EXPECT_EQ(item.toolTip().text, c.text) << c.level;
  }
}

TEST_F(ScrollableStatusViewTest, LabelBecomesTitleAndToolTipHeading) {
  view->setAccessibilityLabel("Brightness");
  view->setLevel(0.5);
  EXPECT_EQ(item.title(), "Brightness");
  EXPECT_EQ(item.toolTip().title, "Brightness");
  EXPECT_EQ(item.toolTip().text, "50%");
  // The tooltip is sent again only when its text changes.
  const auto sent = item.toolTips.size();
  view->setLevel(0.501);
  EXPECT_EQ(item.toolTips.size(), sent);
  view->setLevel(0.51);
  EXPECT_EQ(item.toolTips.size(), sent + 1);
}

TEST_F(ScrollableStatusViewTest, EverySetLevelRendersButTheTrayGetsOnlyNewIcons) {
  useBrightnessGlyph();
  view->setLevel(0.5);
  EXPECT_EQ(renders, 1);
  const auto sent = item.icons.size();
  view->setLevel(0.5);
  view->redraw();
  EXPECT_EQ(renders, 3);
  EXPECT_EQ(item.icons.size(), sent);
  view->setLevel(0.25);
  EXPECT_EQ(item.icons.size(), sent + 1);
  EXPECT_DOUBLE_EQ(view->level(), 0.25);
}

TEST_F(ScrollableStatusViewTest, IconIsTheRenderedGlyphAtEverySizeInTheGlyphColour) {
  useBrightnessGlyph();
  view->setLevel(0.3);
  const std::vector<Pixmap>& icon = *item.icon();
  ASSERT_EQ(icon.size(), ScrollableStatusView::iconSizes.size());
  const IconImage image = IconRenderer::brightnessImage(0.3, DisplayKind::BuiltIn, IconStyle::Pie);
  for (const Pixmap& p : icon) {
    EXPECT_EQ(p.argb, tint(image.rasterize(p.width), 0xFFFFFF).argb) << p.width;
  }
}

TEST_F(ScrollableStatusViewTest, GlyphColourFollowsTheSchemeUnlessTheSettingForcesIt) {
  useBrightnessGlyph();
  const std::uint32_t light = glyphRgb(GlyphTone::Light);
  const std::uint32_t dark = glyphRgb(GlyphTone::Dark);
  ASSERT_NE(light, dark);
  const struct {
    const char* setting;  // nullptr: absent
    Preference preference;
    std::uint32_t expected;
  } cases[] = {
      {nullptr, Preference::Dark, light},         {nullptr, Preference::Light, dark},
      {nullptr, Preference::NoPreference, light}, {"auto", Preference::Light, dark},
      {"light", Preference::Light, light},        {"dark", Preference::Dark, dark},
      {"dark", Preference::NoPreference, dark},   {"Dark", Preference::Light, dark},
      {"purple", Preference::Dark, light},
  };
  for (const auto& c : cases) {
    if (c.setting != nullptr) {
      defaults.setValue("iconColor", c.setting);
    } else {
      defaults.remove("iconColor");
    }
    scheme.change(c.preference);
    view->redraw();
    EXPECT_EQ(glyphColour(), c.expected)
        << (c.setting ? c.setting : "(absent)") << " " << static_cast<int>(c.preference);
  }
  // A value of another type counts as "auto".
  defaults.setValue("iconColor", 1);
  scheme.change(Preference::Light);
  view->redraw();
  EXPECT_EQ(glyphColour(), dark);
}

TEST_F(ScrollableStatusViewTest, TrayEventsReachTheirCallbacks) {
  std::vector<std::string> calls;
  view->onScroll = [&](double d) { calls.push_back("scroll " + std::to_string(int(d))); };
  view->onClick = [&] { calls.push_back("click"); };
  view->onRightClick = [&] { calls.push_back("right"); };
  view->menu = [&](bool alternate) {
    MenuItem entry;
    entry.label = alternate ? "alternate" : "plain";
    return Menu{entry};
  };
  item.scroll(-10);
  item.scroll(35);
  item.activate();
  item.secondaryActivate();  // middle click
  item.contextMenu();
  EXPECT_EQ(calls,
            (std::vector<std::string>{"scroll -10", "scroll 35", "click", "right", "right"}));
  EXPECT_EQ(item.openMenu(false)->front().label, "plain");
  EXPECT_EQ(item.openMenu(true)->front().label, "alternate");
}

TEST_F(ScrollableStatusViewTest, CallbackMayDestroyTheView) {
  view->onRightClick = [this] { view.reset(); };
  view->onClick = [this] { view.reset(); };
  EXPECT_TRUE(item.secondaryActivate());
  EXPECT_EQ(view, nullptr);
  EXPECT_TRUE(item.removed);
  // Nothing reaches the removed item any more.
  EXPECT_FALSE(item.activate());
  EXPECT_FALSE(item.scroll(10));
  EXPECT_FALSE(item.openMenu());
  EXPECT_TRUE(bar.liveItems().empty());
}

TEST_F(ScrollableStatusViewTest, MenuActionMayDestroyTheView) {
  view->menu = [this](bool) {
    MenuItem entry;
    entry.label = "Hide";
    entry.activate = [this] { view.reset(); };
    return Menu{MenuItem::separator(), entry};
  };
  const auto menu = item.openMenu();
  ASSERT_TRUE(menu);
  EXPECT_TRUE(sim::clickEntry(*menu, {"Hide"}));
  EXPECT_EQ(view, nullptr);
  EXPECT_TRUE(item.removed);
}

}  // namespace
}  // namespace nuvlet
