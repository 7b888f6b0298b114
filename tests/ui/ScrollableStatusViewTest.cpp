#include <gtest/gtest.h>

#include <memory>

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
};

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

// The host's symbolic icon follows the glyph, level by level, even when the pixels do
// not change.
TEST_F(ScrollableStatusViewTest, TheSymbolicIconNameFollowsTheLevelAndTheGlyph) {
  sim::RecordedItem& item = *bar.item("brightness");
  bool muted = false;
  view->render = [&](double level) {
    return IconRenderer::volumeImage(level, muted, IconStyle::Pie);
  };
  view->setLevel(0.42);
  EXPECT_EQ(item.iconName, "nuvlet-volume-pie-040-symbolic");
  muted = true;
  view->redraw();
  EXPECT_EQ(item.iconName, "nuvlet-volume-muted-symbolic");
}

}  // namespace
}  // namespace nuvlet
