#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <tuple>

#include "nuvlet/platform/Defaults.h"
#include "nuvlet/ui/GlyphColor.h"
#include "platform/linux/tray/StatusNotifierBar.h"
#include "platform/sim/ScriptedColorScheme.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/PanelWatch.h"
#include "tests/harness/plasma/PlasmaSession.h"
#include "tests/support/BrightnessItem.h"

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
    std::printf("[ figure ] Plasma session up in %.1f s; panel %s, %d px\n",
                session->startSeconds(), session->panelLocation().c_str(),
                session->panelThickness());
    scheme =
        std::make_unique<sim::ScriptedColorScheme>(dark ? Preference::Dark : Preference::Light);
  }

  void TearDown() override {
    item.reset();
    bar.reset();
    session.reset();
  }

  bool turn(const std::function<bool()>& done, double seconds = 30) {
    return pumpUntil(loop, done, seconds, 0.05);
  }

  void addItem() {
    linux_platform::StatusNotifierBarOptions options;
    options.busAddress = session->busAddress();
    options.iconThemePath = NUVLET_BUILD_DIR "/icons";
    bar = linux_platform::makeStatusNotifierBar(loop, options);
    item = std::make_unique<BrightnessItem>(bar->addItem("brightness"), defaults, *scheme);
  }

  PanelWatch watch() {
    return PanelWatch(
        [this] { return session->screenshot(); },
        [this](const std::function<bool()>& done, double seconds) { return turn(done, seconds); },
        session->panelBox(), {0, 0, session->options().width - 1, session->options().height - 1});
  }

  bool locateGlyph() {
    auto found = watch().findGlyph([this](double level) { item->view.setLevel(level); }, full);
    if (found) glyph = *found;
    if (!found) keepShot([this] { return session->screenshot(); }, "failed-" + shotName());
    return found.has_value();
  }

  // Opens the item's menu with `button` over the glyph; the part of the screen it covers.
  std::optional<Box> openMenu(int button) {
    menuClosed = watch().settled();
    const int built = item->menusBuilt;
    if (!menuClosed || !session->button(button)) return std::nullopt;
    if (!turn([&] { return item->menusBuilt > built; })) return std::nullopt;
    return watch().menuOver(*menuClosed);
  }

  // A Wayland popup may be drawn before it takes the keyboard, and an Escape sent in
  // between goes nowhere: a person would press it again.
  bool closeMenu() {
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (session->key("Escape") && watch().backTo(*menuClosed, 10)) return true;
    }
    keepShot([this] { return session->screenshot(); }, "failed-close-" + shotName());
    return false;
  }

  std::string shotName() const {
    const auto [display, dark] = GetParam();
    return std::string("plasma-") + (display == Display::X11 ? "x11" : "wayland") + "-" +
           (dark ? "dark" : "light");
  }

  // One notch up and one down over the glyph move the level by exactly 0.05 each way.
  void expectTheWheelSteps() {
    ASSERT_TRUE(session->pointerTo(glyph.centreX(), glyph.centreY()));
    const double before = item->view.level();
    ASSERT_TRUE(session->button(4));
    EXPECT_TRUE(turn([&] { return item->view.level() > before + 0.01; })) << item->view.level();
    EXPECT_NEAR(item->view.level(), before + 0.05, 1e-9);
    ASSERT_TRUE(session->button(5));
    EXPECT_TRUE(turn([&] { return item->view.level() < before + 0.01; })) << item->view.level();
    EXPECT_NEAR(item->view.level(), before, 1e-9);
  }

  std::unique_ptr<PlasmaSession> session;
  sim::VirtualRunLoop loop;
  MemoryDefaults defaults;
  std::unique_ptr<sim::ScriptedColorScheme> scheme;
  std::unique_ptr<BrightnessItem> item;
  std::unique_ptr<StatusBar> bar;
  std::optional<Screenshot> full, menuClosed;
  Box glyph;
};

TEST_P(PlasmaTray, TheGlyphStandsOutAndTheWheelClicksAndMenuWork) {
  addItem();
  ASSERT_TRUE(turn([&] { return bar->hostAvailable() && session->registeredItems().size() == 1; }))
      << "the watcher never listed the item";
  // Away from the tray: a hovered icon is drawn lighter.
  ASSERT_TRUE(session->pointerTo(session->options().width / 2, session->options().height / 3));
  ASSERT_TRUE(locateGlyph()) << "the glyph never showed in the panel";

  const GlyphReading reading = readGlyph(*full, glyph);
  std::printf("[ figure ] %s: glyph #%06x on #%06x, contrast %.2f:1\n", shotName().c_str(),
              reading.glyph, reading.background, reading.contrast);
  EXPECT_GE(reading.contrast, 3.0);
  // Plasma draws the named icon recoloured to its text colour, not our pixmap.
  EXPECT_NE(reading.glyph, glyphRgb(glyphTone(defaults, *scheme)));
  const Box panel = session->panelBox();
  keepShot(full, shotName(), {glyph.x0 - 40, panel.y0, glyph.x1 + 40, panel.y1});

  expectTheWheelSteps();

  ASSERT_TRUE(session->button(2));
  EXPECT_TRUE(turn([&] { return item->middleClicks == 1; })) << "middle click";

  // A left click opens the menu as on the other hosts.
  auto menu = openMenu(1);
  EXPECT_TRUE(menu) << "left click opened no menu";
  EXPECT_TRUE(closeMenu());

  // The menu from a right click shows our entries; the colour scheme changing while it is
  // open redraws the item without closing it, and picking an entry reaches us.
  menu = openMenu(3);
  ASSERT_TRUE(menu) << "right click opened no menu";
  keepShot([this] { return session->screenshot(); }, shotName() + "-menu",
           {menu->x0 - 10, menu->y0 - 10, menu->x1 + 10, session->options().height - 1});
  scheme->change(std::get<1>(GetParam()) ? Preference::Light : Preference::Dark);
  ASSERT_TRUE(session->key("Down"));
  ASSERT_TRUE(session->key("Return"));
  EXPECT_TRUE(turn([&] { return item->firstPicked == 1; })) << "the entry never reached the item";
  EXPECT_EQ(item->secondPicked, 0);
}

// The shell going away and coming back (a crash, an update) must bring the item back
// by itself: the watcher stays in kded5, the new shell reads the items from it. The
// theme plays no part here: one per display server.
class PlasmaShellRestart : public PlasmaTray {};

TEST_P(PlasmaShellRestart, TheItemComesBackWithTheShell) {
  addItem();
  ASSERT_TRUE(turn([&] { return bar->hostAvailable() && session->registeredItems().size() == 1; }));
  ASSERT_TRUE(session->pointerTo(session->options().width / 2, session->options().height / 3));
  ASSERT_TRUE(locateGlyph());
  ASSERT_TRUE(session->restartShell()) << session->failure();
  std::printf("[ figure ] plasmashell killed and back with its panel in %.1f s\n",
              session->restartSeconds());
  ASSERT_TRUE(locateGlyph()) << "the item did not come back";
  expectTheWheelSteps();
}

INSTANTIATE_TEST_SUITE_P(
    BreezeLightAndDark, PlasmaTray,
    ::testing::Combine(::testing::Values(Display::X11, Display::Wayland), ::testing::Bool()),
    [](const auto& param) {
      return std::string(std::get<0>(param.param) == Display::X11 ? "X11" : "Wayland") +
             (std::get<1>(param.param) ? "BreezeDark" : "BreezeLight");
    });

INSTANTIATE_TEST_SUITE_P(BreezeLight, PlasmaShellRestart,
                         ::testing::Combine(::testing::Values(Display::X11, Display::Wayland),
                                            ::testing::Values(false)),
                         [](const auto& param) {
                           return std::string(std::get<0>(param.param) == Display::X11 ? "X11"
                                                                                       : "Wayland");
                         });

}  // namespace
}  // namespace nuvlet::test
