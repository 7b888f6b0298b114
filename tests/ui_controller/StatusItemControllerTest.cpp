#include <filesystem>
#include <utility>

#include "nuvlet/records/TelemetryRecorder.h"
#include "nuvlet/ui/IconStyle.h"
#include "tests/ui_controller/ControllerFixture.h"

namespace nuvlet::test {
namespace {

using sim::clickEntry;

TEST_F(ControllerTest, ScrollOnTheBuiltInDisplaySetsTheBacklightAndTellsTheLoop) {
  startFully();
  const struct {
    double start;
    double delta;
    double level;
  } cases[] = {{0.5, -4, 0.52}, {0.5, 10, 0.45}, {0.99, -4, 1.0}, {0.01, 10, 0.0}};
  int corrections = 0;
  for (const auto& c : cases) {
    backlight.level = c.start;
    EXPECT_TRUE(brightnessItem().scroll(c.delta));
    EXPECT_NEAR(backlight.level, c.level, 1e-12) << c.start << " " << c.delta;
    EXPECT_NEAR(controller->brightnessView().level(), c.level, 1e-12);
    EXPECT_NEAR(compensation.B_manual(), c.level, 1e-12);
    ASSERT_TRUE(compensation.manualOverrideUntil().has_value());
    EXPECT_EQ(stats.todayCount(), ++corrections);
  }
  EXPECT_NE(readText(paths.adjustmentLog()).find(",scroll,"), std::string::npos);
}

// Eight hardware steps of 0.125 and notches of 0.05: the notches add up and move the
// panel in both directions, instead of rounding back to where it was every time.
TEST_F(ControllerTest, NotchesSmallerThanTheBacklightsStepAddUp) {
  startFully();
  backlight.steps = 8;
  backlight.level = 0.5;
  const double down[] = {0.5, 0.375, 0.375, 0.25};
  for (double level : down) {
    EXPECT_TRUE(brightnessItem().scroll(10));
    EXPECT_NEAR(backlight.level, level, 1e-12);
    EXPECT_NEAR(compensation.B_manual(), level, 1e-12) << "the loop anchors on the step held";
  }
  EXPECT_TRUE(brightnessItem().scroll(-20));
  EXPECT_NEAR(backlight.level, 0.375, 1e-12);
}

TEST_F(ControllerTest, ResetsForgetTheModelAndEverythingAlsoTheAnchor) {
  startFully();
  compensation.onLuminanceUpdate(0.5, 0.5);
  ASSERT_FALSE(compensation.freshStart());
  BrightnessModel learned = BrightnessModel::empty();
  learned.table[ContentBucket{}] = {0.7, 4};
  learned.observationCount = 4;
  ASSERT_TRUE(learned.save(paths.modelFile()));
  // The second finds the file gone already, which is no obstacle.
  for (const auto& [entry, anchorForgotten] :
       {std::pair{"Reset learned brightness", false}, {"Reset everything", true}}) {
    compensation.setModel(learned);
    EXPECT_TRUE(clickEntry(*brightnessItem().openMenu(true), {"Calibration\u2026", entry}));
    EXPECT_FALSE(std::filesystem::exists(paths.modelFile())) << entry;
    EXPECT_EQ(compensation.model(), BrightnessModel::empty()) << entry;
    EXPECT_EQ(compensation.freshStart(), anchorForgotten) << entry;
  }
}

TEST_F(ControllerTest, KeepMyCorrectionsIsACheckEntryOfTheCalibrationMenu) {
  startFully();
  const std::vector<std::string> path = {"Calibration\u2026", "Keep My Corrections"};
  for (bool on : {true, false}) {
    EXPECT_TRUE(clickEntry(*brightnessItem().openMenu(true), path));
    EXPECT_EQ(compensation.keepsCorrections(), on);
    EXPECT_EQ(defaults.value(CompensationLoop::kKeepCorrectionsKey), nlohmann::json(on));
    const auto menu = brightnessItem().openMenu(true);
    const MenuItem* entry = sim::findEntry(*menu, path);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->checked, on);
    EXPECT_EQ(entry->toggle, MenuItem::Toggle::Check);
  }
}

TEST_F(ControllerTest, RevealRecreatesTheTelemetryFolderPrivatelyAndOpensIt) {
  TelemetryRecorder recorder(paths, defaults, clock);
  startFully();
  controller->setRecorder(&recorder);
  std::filesystem::remove_all(paths.stateDir());
  workspace.canOpenFolders = false;  // no file manager: nothing breaks

  EXPECT_TRUE(clickEntry(*brightnessItem().openMenu(true), {"Reveal Data in File Manager"}));
  ASSERT_EQ(workspace.openedFolders, std::vector<std::filesystem::path>{paths.telemetryDir()});
  EXPECT_EQ(std::filesystem::status(paths.telemetryDir()).permissions(),
            std::filesystem::perms{0700});
}

TEST_F(ControllerTest, QuitRunsTheShellsTerminationOnlyWhileTheControllerLives) {
  startFully();
  int quits = 0;
  controller->onQuit = [&] { ++quits; };
  const Menu menu = *brightnessItem().openMenu();
  EXPECT_EQ(std::tuple(menu.back().label, menu.back().shortcut), std::tuple("Quit Nuvlet", "q"));
  EXPECT_TRUE(clickEntry(menu, {"Quit Nuvlet"}));
  EXPECT_EQ(quits, 1);

  // A menu a host still holds after the controller went does nothing.
  const Menu late = *brightnessItem().openMenu(true);
  controller.reset();
  EXPECT_TRUE(clickEntry(late, {"Quit Nuvlet"}));
  EXPECT_TRUE(clickEntry(late, {"Deruzorar!"}));
  EXPECT_TRUE(clickEntry(late, {"Icon Style", "Pie"}));
  EXPECT_EQ(quits, 1);
  EXPECT_FALSE(compensation.enabled());
  EXPECT_EQ(currentIconStyle(defaults), IconStyle::Curtain);
  scheme.change(ColorScheme::Preference::Light);  // no one listens any more
}

}  // namespace
}  // namespace nuvlet::test
