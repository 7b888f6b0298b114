#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>

#include "nuvlet/platform/Defaults.h"
#include "nuvlet/ui/GlyphColor.h"
#include "platform/linux/tray/StatusNotifierBar.h"
#include "platform/sim/ScriptedColorScheme.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/plasma/PlasmaSession.h"
#include "tests/support/ItemOnAPanel.h"

namespace nuvlet::test {
namespace {

using Display = PlasmaSession::Display;
using Preference = ColorScheme::Preference;

// Our brightness item in a real Plasma panel, built as the program builds it (the
// symbolic icon set of the build, the pixmap in the scheme's glyph colour), seen through
// screenshots and driven with real pointer and keyboard input.
class PlasmaTray : public ::testing::TestWithParam<std::tuple<Display, bool>> {
 protected:
  void SetUp() override {
    const auto [display, dark] = GetParam();
    session = std::make_unique<PlasmaSession>(PlasmaSession::Options{display, dark});
    ASSERT_EQ(session->failure(), "");
    scheme =
        std::make_unique<sim::ScriptedColorScheme>(dark ? Preference::Dark : Preference::Light);
    bar = linux_platform::makeStatusNotifierBar(
        loop, {session->busAddress(), {}, 15.0, NUVLET_BUILD_DIR "/icons"});
    item = std::make_unique<BrightnessItem>(bar->addItem("brightness"), defaults, *scheme);
    user.emplace(session->user(loop, std::string("plasma-") +
                                         (display == Display::X11 ? "x11" : "wayland") + "-" +
                                         (dark ? "dark" : "light")));
  }

  bool findGlyph() {
    return user->findGlyph([this](double level) { item->view.setLevel(level); });
  }

  // Declared in the order they start: the item leaves the bar, and the bar the bus,
  // before the session ends.
  std::unique_ptr<PlasmaSession> session;
  sim::VirtualRunLoop loop;
  MemoryDefaults defaults;
  std::unique_ptr<sim::ScriptedColorScheme> scheme;
  std::unique_ptr<StatusBar> bar;
  std::unique_ptr<BrightnessItem> item;
  std::optional<PanelUser> user;
};

TEST_P(PlasmaTray, TheGlyphStandsOutTheWheelClicksAndMenuWorkAndItComesBackWithTheShell) {
  ASSERT_TRUE(user->turn([&] {
    return bar->hostAvailable() && session->registeredItems().size() == 1;
  })) << "the watcher never listed the item";
  ASSERT_TRUE(findGlyph()) << "the glyph never showed in the panel";
  const Box glyph = user->glyph, panel = session->panelBox();
  const GlyphReading reading = expectGlyphStandsOut(
      *user->full, glyph, user->name(), {glyph.x0 - 40, panel.y0, glyph.x1 + 40, panel.y1});
  // Plasma draws the named icon recoloured to its text colour, not our pixmap.
  EXPECT_NE(reading.glyph, glyphRgb(glyphTone(defaults, *scheme)));
  expectTheWheelAndAMiddleClick(*user, *item);

  // A left click opens the menu as on the other hosts.
  EXPECT_TRUE(user->openMenu(1, item->menusBuilt)) << "left click opened no menu";
  EXPECT_TRUE(user->closeMenu());

  // The menu from a right click shows our entries; the colour scheme changing while it is
  // open redraws the item without closing it, and picking an entry reaches us.
  auto menu = user->openMenu(3, item->menusBuilt);
  ASSERT_TRUE(menu) << "right click opened no menu";
  user->keep("-menu", {menu->x0 - 10, menu->y0 - 10, menu->x1 + 10, session->options().height - 1});
  scheme->change(std::get<1>(GetParam()) ? Preference::Light : Preference::Dark);
  ASSERT_TRUE(session->key("Down"));
  ASSERT_TRUE(session->key("Return"));
  EXPECT_TRUE(user->turn([&] { return item->firstPicked == 1; }))
      << "the entry never reached the item";
  EXPECT_EQ(item->secondPicked, 0);

  // The shell going away and coming back (a crash, an update) brings the item back by
  // itself: the watcher stays in kded5, the new shell reads the items from it.
  ASSERT_TRUE(session->restartShell()) << session->failure();
  ASSERT_TRUE(findGlyph()) << "the item did not come back";
  expectTheWheelAndAMiddleClick(*user, *item);
}

INSTANTIATE_TEST_SUITE_P(
    BreezeLightAndDark, PlasmaTray,
    ::testing::Combine(::testing::Values(Display::X11, Display::Wayland), ::testing::Bool()),
    [](const auto& param) {
      return std::string(std::get<0>(param.param) == Display::X11 ? "X11" : "Wayland") +
             (std::get<1>(param.param) ? "BreezeDark" : "BreezeLight");
    });

}  // namespace
}  // namespace nuvlet::test
