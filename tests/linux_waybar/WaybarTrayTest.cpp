#include <gtest/gtest.h>

#include "nuvlet/platform/Defaults.h"
#include "platform/linux/tray/StatusNotifierBar.h"
#include "platform/sim/ScriptedColorScheme.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/wlroots/WaybarSession.h"
#include "tests/support/ItemOnAPanel.h"

namespace nuvlet::test {
namespace {

// Our brightness item in waybar's tray (tests/harness/wlroots/WaybarSession.h), as a
// person sees and uses it.
class WaybarTray : public ::testing::Test, public WaybarSession {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(startWaybar()); }

  sim::VirtualRunLoop loop;
  MemoryDefaults defaults;
  sim::ScriptedColorScheme scheme{ColorScheme::Preference::NoPreference};
};

TEST_F(WaybarTray, TheGlyphStandsOutAndTheWheelClicksAndMenuWork) {
  linux_platform::StatusNotifierBarOptions options;
  options.busAddress = bus.address();
  options.iconThemePath = NUVLET_BUILD_DIR "/icons";
  auto bar = linux_platform::makeStatusNotifierBar(loop, options);
  BrightnessItem item(bar->addItem("brightness"), defaults, scheme);
  PanelUser person = user(loop);
  ASSERT_TRUE(person.turn([&] { return bar->hostAvailable(); })) << "waybar never kept a tray";

  ASSERT_TRUE(person.findGlyph([&](double level) { item.view.setLevel(level); }))
      << "the glyph never showed in the bar";
  const Box glyph = person.glyph;
  expectGlyphStandsOut(*person.full, glyph, "waybar", {glyph.x0 - 40, 0, glyph.x1 + 12, 40});
  // The host's notch (Scroll(2)) is read right.
  expectTheWheelAndAMiddleClick(person, item);

  const auto menu = person.openMenu(1, item.menusBuilt);
  ASSERT_TRUE(menu) << "left click opened no menu";
  person.keep("-menu", {menu->x0 - 10, 0, menu->x1 + 10, menu->y1 + 10});
}

}  // namespace
}  // namespace nuvlet::test
