#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "nuvlet/platform/Defaults.h"
#include "platform/linux/tray/StatusNotifierBar.h"
#include "platform/sim/ScriptedColorScheme.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/PanelWatch.h"
#include "tests/harness/wlroots/WaybarSession.h"
#include "tests/support/BrightnessItem.h"

namespace nuvlet::test {
namespace {

// Our brightness item in waybar's tray (tests/harness/wlroots/WaybarSession.h), as a
// person sees and uses it.
class WaybarTray : public ::testing::Test, public WaybarSession {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(startWaybar()); }

  bool turn(const std::function<bool()>& done, double seconds = 30) {
    return pumpUntil(loop, done, seconds, 0.05);
  }

  PanelWatch watch() {
    return PanelWatch([this] { return screenshotOfWlroots(env, home / "shot.ppm"); },
                      [this](const std::function<bool()>& done, double s) { return turn(done, s); },
                      {0, 0, kWidth - 1, 30}, {0, 0, kWidth - 1, kHeight - 1});
  }

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
  auto& view = item.view;
  ASSERT_TRUE(turn([&] { return bar->hostAvailable(); })) << "waybar never kept a tray";

  std::optional<Screenshot> full;
  auto glyph = watch().findGlyph([&](double level) { view.setLevel(level); }, full);
  ASSERT_TRUE(glyph) << "the glyph never showed in the bar";
  const GlyphReading reading = readGlyph(*full, *glyph);
  std::printf("[ figure ] waybar: glyph #%06x on #%06x, contrast %.2f:1\n", reading.glyph,
              reading.background, reading.contrast);
  EXPECT_GE(reading.contrast, 3.0);
  keepShot(full, "waybar", {glyph->x0 - 40, 0, glyph->x1 + 12, 40});

  // One notch each way moves the level by exactly one step: the host's notch is read
  // right, whatever it sends.
  ASSERT_TRUE(pointer->moveTo(glyph->centreX(), glyph->centreY(), kWidth, kHeight));
  ASSERT_TRUE(pointer->notches(-1));
  EXPECT_TRUE(turn([&] { return view.level() > 0.51; })) << view.level();
  EXPECT_NEAR(view.level(), 0.55, 1e-9);
  ASSERT_TRUE(pointer->notches(1));
  EXPECT_TRUE(turn([&] { return view.level() < 0.54; })) << view.level();
  EXPECT_NEAR(view.level(), 0.5, 1e-9);

  ASSERT_TRUE(click(kMiddle));
  EXPECT_TRUE(turn([&] { return item.middleClicks == 1; })) << "middle click";

  auto closed = watch().settled();
  ASSERT_TRUE(closed);
  const int built = item.menusBuilt;
  ASSERT_TRUE(click(kLeft));
  EXPECT_TRUE(turn([&] { return item.menusBuilt > built; })) << "left click opened no menu";
  auto menu = watch().menuOver(*closed);
  if (!menu) keepShot([&] { return screenshotOfWlroots(env, home / "shot.ppm"); }, "waybar-failed");
  ASSERT_TRUE(menu) << "no menu drawn";
  keepShot([&] { return screenshotOfWlroots(env, home / "shot.ppm"); }, "waybar-menu",
           {menu->x0 - 10, 0, menu->x1 + 10, menu->y1 + 10});
  // The first entry sits at the top of the menu; it lights up under the pointer.
  auto open = watch().settled();
  ASSERT_TRUE(open);
  ASSERT_TRUE(pointer->moveTo(menu->centreX(), menu->y0 + 14, kWidth, kHeight));
  EXPECT_TRUE(watch().changedFrom(*open, 10)) << "the entry never lit up";
  ASSERT_TRUE(pointer->button(kLeft, true));
  turn([] { return false; }, 0.3);
  ASSERT_TRUE(pointer->button(kLeft, false));
  const bool picked = turn([&] { return item.firstPicked == 1; }, 10);
  std::printf("[ info ] waybar, a click on a menu entry: %s\n",
              picked ? "reached the item" : "never reached the item");
}

}  // namespace
}  // namespace nuvlet::test
