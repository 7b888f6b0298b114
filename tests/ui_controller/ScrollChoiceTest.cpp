#include "nuvlet/sensing/DisplayRouter.h"
#include "tests/harness/ddc/MonitorState.h"
#include "tests/ui_controller/ControllerFixture.h"

namespace nuvlet::test {
namespace {

using enum DisplayKind;

constexpr DisplayID kPanel = 1, kLeft = 2, kRight = 3, kOther = 4;

// A screen whose EDID carries `serial`; monitors of one model without serial numbers
// share one.
Screen screen(DisplayID id, const char* name, std::uint32_t serial, bool builtIn = false,
              std::string description = {}) {
  Screen s;
  s.id = id;
  s.name = name;
  s.edid = simddc::makeEdid(serial);
  s.builtIn = builtIn;
  s.description = std::move(description);
  s.frame = {double(id - 1) * 1920, 0, 1920, 1080};
  return s;
}

const Screen kBuiltIn = screen(kPanel, "eDP-1", 1, true);
// Two monitors of one model without serial numbers: the same EDID on two connectors.
const Screen kLeftTwin = screen(kLeft, "DP-1", 7, false, "Acme Sharp 27");
const Screen kRightTwin = screen(kRight, "DP-2", 7, false, "Acme Sharp 27");
const Screen kMonitor = screen(kOther, "HDMI-A-1", 9);

// The setting a choice of `s` leaves, as if `s` was on `connector` then.
nlohmann::json chosen(const Screen& s, const char* connector = nullptr) {
  DisplayChoice choice = DisplayChoice::of(s);
  if (connector != nullptr) choice.connector = connector;
  return choice.toJson();
}

// A desktop without a global pointer (Wayland): the user picks the display.
class ScrollChoiceTest : public ControllerTest {
 protected:
  void desktop(std::vector<Screen> screens, bool hasPointer = false) {
    topology.hasPointer = hasPointer;
    topology.reportsMotion = hasPointer;
    topology.screenList = std::move(screens);
    topology.online.clear();
    topology.builtIn.clear();
    for (const auto& s : topology.screenList) {
      topology.online.push_back(*s.id);
      if (s.builtIn) topology.builtIn.push_back(*s.id);
    }
    topology.main = topology.screenList.empty() ? std::nullopt : topology.screenList[0].id;
  }

  void startWithRouter() {
    router = std::make_unique<DisplayRouter>(topology, clock);
    router->onActiveDisplayChange = [this](DisplayID) { controller->refreshSilhouette(); };
    start();
    controller->enableFullFeatures(&external, router.get(), &volume, &compensation, &stats);
  }

  const MenuItem* scrollMenu() {
    menu = brightnessItem().openMenu();
    return menu ? sim::findEntry(*menu, {"Scroll Adjusts"}) : nullptr;
  }

  void TearDown() override {
    controller.reset();
    router.reset();
  }

  // No monitor answers: a scroll routed to a monitor leaves the backlight alone.
  ExternalBrightnessController external{clock, dir / "no-monitor-tool"};
  std::unique_ptr<DisplayRouter> router;
  std::optional<Menu> menu;
};

TEST_F(ScrollChoiceTest, TheTargetFollowsTheRememberedChoiceElseThePanelAndTheSubmenuShowsIt) {
  struct Case {
    const char* what;
    std::vector<Screen> screens;
    std::optional<nlohmann::json> stored;
    DisplayID target;
    bool hasPointer = false;
  } cases[] = {
      {"one external display, a choice of another", {kMonitor}, chosen(kLeftTwin), kOther},
      {"panel and monitor, no choice", {kBuiltIn, kMonitor}, std::nullopt, kPanel},
      {"panel and monitor, the monitor chosen", {kBuiltIn, kMonitor}, chosen(kMonitor), kOther},
      {"the chosen monitor is gone", {kBuiltIn, kMonitor}, chosen(kLeftTwin), kPanel},
      {"twins: the right one by its connector",
       {kBuiltIn, kLeftTwin, kRightTwin},
       chosen(kRightTwin),
       kRight},
      {"a monitor moved to another connector",
       {kBuiltIn, kLeftTwin},
       chosen(kLeftTwin, "DP-9"),
       kLeft},
      {"no panel, no choice: the main display", {kLeftTwin, kMonitor}, std::nullopt, kLeft},
      {"a damaged setting", {kBuiltIn, kMonitor}, nlohmann::json("DP-1"), kPanel},
      {"a setting missing its connector",
       {kBuiltIn, kMonitor},
       nlohmann::json{{"edid", "00"}},
       kPanel},
      {"X11 ignores the choice", {kBuiltIn, kMonitor}, chosen(kMonitor), kPanel, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    defaults.remove(StatusItemController::kScrollDisplayKey);
    if (c.stored) defaults.setValue(StatusItemController::kScrollDisplayKey, *c.stored);
    desktop(c.screens, c.hasPointer);
    startWithRouter();
    EXPECT_EQ(router->currentTarget(), c.target);
    EXPECT_EQ(controller->displayKind(), c.target == kPanel ? BuiltIn : External);
    EXPECT_EQ(scrollMenu() != nullptr, c.screens.size() > 1 && !c.hasPointer)
        << "the submenu shows only without a pointer and with two displays";
    TearDown();
  }
}

// A choice holds while its monitor is away (the panel stands in) and outlives a restart;
// an entry of a menu opened before an unplug still makes its choice.
TEST_F(ScrollChoiceTest, AChosenMonitorTakesScrollAndGlyphAndComesBackAfterAnUnplug) {
  desktop({kBuiltIn, kLeftTwin, kRightTwin});
  startWithRouter();
  const MenuItem* sub = scrollMenu();
  ASSERT_TRUE(sub);
  std::vector<std::pair<std::string, bool>> entries;  // label, checked
  for (const auto& e : sub->children) entries.emplace_back(e.label, e.checked);
  EXPECT_EQ(entries, (decltype(entries){{"Built-in Display (eDP-1)", true},
                                        {"Acme Sharp 27 (DP-1)", false},
                                        {"Acme Sharp 27 (DP-2)", false}}));
  const MenuItem leftEntry = sub->children[1];

  sub->children[2].activate();
  EXPECT_EQ(router->currentTarget(), kRight);
  EXPECT_EQ(controller->displayKind(), External);
  EXPECT_TRUE(scrollMenu()->children[2].checked);
  brightnessItem().scroll(-10);
  EXPECT_TRUE(backlight.writes.empty()) << "a scroll over the item no longer reaches the panel";

  desktop({kBuiltIn});
  topology.changed();
  EXPECT_EQ(controller->displayKind(), BuiltIn);
  leftEntry.activate();
  EXPECT_EQ(router->currentTarget(), kPanel);
  EXPECT_EQ(controller->displayKind(), BuiltIn);
  brightnessItem().scroll(-10);
  EXPECT_FALSE(backlight.writes.empty());

  desktop({kBuiltIn, kLeftTwin, kRightTwin});
  topology.changed();
  EXPECT_EQ(router->currentTarget(), kLeft);
  EXPECT_EQ(controller->displayKind(), External) << "the glyph follows the replug";
  TearDown();
  startWithRouter();
  EXPECT_EQ(router->currentTarget(), kLeft);
  EXPECT_EQ(controller->displayKind(), External);
}

}  // namespace
}  // namespace nuvlet::test
