#include <sys/stat.h>

#include <cmath>
#include <filesystem>

#include "nuvlet/platform/Files.h"
#include "nuvlet/ui/IconStyle.h"
#include "tests/ui_controller/ControllerFixture.h"

namespace nuvlet::test {
namespace {

using sim::clickEntry;
using sim::findEntry;

const std::string kDescription =
    "Samples on-screen luminance and adjusts the backlight to hold emitted light (backlight "
    "times content) roughly constant across content.";
const std::string kVersion = "Nuvlet " NUVLET_VERSION;

TEST_F(ControllerTest, BeforeTheSecondStageTheBrightnessItemAloneDrivesTheBacklight) {
  // Even an external main display goes through the backlight while nothing else exists.
  topology.main = 2;
  topology.online = {1, 2};
  backlight.level = 0.3;
  start();
  EXPECT_EQ(bar.liveItems(), std::vector<std::string>{"brightness"});
  EXPECT_EQ(brightnessItem().title(), "Brightness");
  EXPECT_EQ(brightnessItem().toolTip().text, "30%");

  EXPECT_TRUE(brightnessItem().scroll(-4));
  EXPECT_NEAR(backlight.level, 0.32, 1e-12);
  EXPECT_EQ(brightnessItem().toolTip().text, "32%");
  EXPECT_EQ(controller->displayKind(), DisplayKind::BuiltIn);
  // No right-click action on the brightness item.
  brightnessItem().secondaryActivate();
  EXPECT_NEAR(backlight.level, 0.32, 1e-12);

  // Without a volume controller the menu starts with a separator.
  EXPECT_EQ(labels(*brightnessItem().openMenu()),
            (std::vector<std::string>{"-", "Deruzorar!", kDescription, "-", "Icon Style", "-",
                                      "Start at Login", "-", kVersion, "Quit Nuvlet"}));

  // The entries of components still absent do nothing.
  const Menu menu = *brightnessItem().openMenu(true);
  for (auto path : std::vector<std::vector<std::string>>{
           {"Deruzorar!"}, {"Calibration\u2026", "Reset everything"}, {"Quit Nuvlet"}}) {
    EXPECT_TRUE(clickEntry(menu, path)) << path.back();
  }
  controller->toggleMute();
  controller->revealData();
  EXPECT_FALSE(defaults.value(CompensationLoop::kEnabledKey).has_value());
  EXPECT_TRUE(workspace.openedFolders.empty());
}

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

TEST_F(ControllerTest, UnreadableBacklightStepsFromTheGlyphNotFromDarkness) {
  startFully();
  controller->updateBrightness(0.6);
  backlight.failReads = true;
  brightnessItem().scroll(-4);
  EXPECT_NEAR(backlight.level, 0.62, 1e-12);
  EXPECT_NEAR(compensation.B_manual(), 0.62, 1e-12);

  // With nothing sensible to step from, nothing is written and the loop hears nothing.
  controller->updateBrightness(std::nan(""));
  const auto writes = backlight.writes.size();
  brightnessItem().scroll(-4);
  EXPECT_EQ(backlight.writes.size(), writes);
  EXPECT_NEAR(compensation.B_manual(), 0.62, 1e-12);
}

TEST_F(ControllerTest, SilhouetteFollowsTheTargetDisplay) {
  topology.online = {1, 2};
  topology.screenList = {Screen{1, "eDP-1", {0, 0, 100, 100}, true, "Panel", {}, {}},
                         Screen{2, "HDMI-1", {100, 0, 100, 100}, false, "HDMI", {}, {}}};
  topology.pointer = ScreenPoint{150, 50};
  DisplayRouter router(topology, loop);
  start();
  const auto laptopIcon = *brightnessItem().icon();
  controller->enableFullFeatures(nullptr, &router, nullptr, nullptr, nullptr);
  EXPECT_EQ(controller->displayKind(), DisplayKind::External);
  EXPECT_NE(brightnessItem().icon()->back().argb, laptopIcon.back().argb);

  topology.movePointer({50, 50});
  controller->refreshSilhouette();
  EXPECT_EQ(controller->displayKind(), DisplayKind::BuiltIn);
  EXPECT_EQ(brightnessItem().icon()->back().argb, laptopIcon.back().argb);
}

TEST_F(ControllerTest, VolumeScrollUnmutesOnlyWhenSoundRemains) {
  startFully();
  const struct {
    bool muted;
    double start;
    double delta;
    double level;
    bool mutedAfter;
  } cases[] = {
      {true, 0.5, -4, 0.52, false},
      {true, 0.02, 10, 0.0, true},
      {false, 0.5, 10, 0.45, false},
      {false, 0.01, 10, 0.0, false},
  };
  for (const auto& c : cases) {
    mixer.muteValue = c.muted ? 1 : 0;
    mixer.level = c.start;
    EXPECT_TRUE(volumeItem().scroll(c.delta));
    // The mixer keeps single precision.
    EXPECT_NEAR(*mixer.level, c.level, 1e-6) << c.start << " " << c.delta;
    EXPECT_EQ(volume.isMuted(), c.mutedAfter) << c.start << " " << c.delta;
    EXPECT_NEAR(controller->volumeView()->level(), c.level, 1e-6);
  }
}

TEST_F(ControllerTest, MiddleClickAndTheMuteEntryToggleMuteWithoutTouchingTheLevel) {
  mixer.level = 0.4;
  startFully();
  EXPECT_EQ(volumeItem().title(), "Volume");
  EXPECT_EQ(volumeItem().toolTip().text, "40%");
  const auto soundIcon = *volumeItem().icon();

  EXPECT_TRUE(volumeItem().secondaryActivate());
  EXPECT_TRUE(volume.isMuted());
  EXPECT_NE(volumeItem().icon()->back().argb, soundIcon.back().argb) << "glyph not redrawn";
  auto menu = *volumeItem().openMenu();
  ASSERT_EQ(menu.front().label, "Mute");
  EXPECT_TRUE(menu.front().checked);

  EXPECT_TRUE(clickEntry(menu, {"Mute"}));
  EXPECT_FALSE(volume.isMuted());
  EXPECT_EQ(volumeItem().icon()->back().argb, soundIcon.back().argb);
  // A host's context-menu request counts as the right click too.
  EXPECT_TRUE(volumeItem().contextMenu());
  EXPECT_TRUE(volume.isMuted());
  EXPECT_EQ(*mixer.level, 0.4);
  EXPECT_TRUE(mixer.volumeWrites.empty());
  // The brightness menu has no Mute entry.
  EXPECT_EQ(findEntry(*brightnessItem().openMenu(), {"Mute"}), nullptr);
}

TEST_F(ControllerTest, ShowVolumeSettingAddsAndRemovesTheItemAtOnce) {
  defaults.setValue(StatusItemController::kShowVolumeKey, "no");  // not a Boolean: shown
  startFully();
  auto* first = &volumeItem();
  auto menu = *first->openMenu();
  EXPECT_EQ(labels(menu)[1], "Show Volume in Menu Bar");
  EXPECT_TRUE(menu[1].checked);

  // Chosen from the volume item's own menu, which goes with it.
  EXPECT_TRUE(clickEntry(menu, {"Show Volume in Menu Bar"}));
  EXPECT_TRUE(first->removed);
  EXPECT_EQ(bar.liveItems(), std::vector<std::string>{"brightness"});
  EXPECT_EQ(controller->volumeView(), nullptr);
  EXPECT_FALSE(first->openMenu().has_value());
  EXPECT_TRUE(controller->menu(StatusItemController::Origin::Volume, false).empty());
  controller->updateVolume(0.9);  // the poll carries on without the item

  mixer.level = 0.7;
  menu = *brightnessItem().openMenu();
  EXPECT_FALSE(findEntry(menu, {"Show Volume in Menu Bar"})->checked);
  EXPECT_TRUE(clickEntry(menu, {"Show Volume in Menu Bar"}));
  EXPECT_EQ(bar.addCount("volume"), 2);
  EXPECT_EQ(volumeItem().toolTip().text, "70%");
}

TEST_F(ControllerTest, OptionEntriesAppearWithTheModifierAndRecordingOnlyWithARecorder) {
  TelemetryRecorder recorder(paths, defaults, loop);
  startFully();
  const std::vector<std::string> optionOnly = {"Show Compensation Debug", "Calibration\u2026"};
  const std::vector<std::string> recorderOnly = {"Record Brightness Data",
                                                 "Reveal Data in File Manager"};
  for (bool withRecorder : {false, true}) {
    controller->setRecorder(withRecorder ? &recorder : nullptr);
    for (bool alternate : {false, true}) {
      const Menu menu = *brightnessItem().openMenu(alternate);
      for (const auto& label : optionOnly) {
        EXPECT_EQ(findEntry(menu, {label}) != nullptr, alternate) << label;
      }
      for (const auto& label : recorderOnly) {
        EXPECT_EQ(findEntry(menu, {label}) != nullptr, alternate && withRecorder) << label;
      }
    }
  }
  EXPECT_EQ(
      labels(*brightnessItem().openMenu(true)),
      (std::vector<std::string>{
          "Show Volume in Menu Bar", "-", "Deruzorar!", kDescription, "Show Compensation Debug",
          "Calibration\u2026", "-", "Record Brightness Data", "Reveal Data in File Manager", "-",
          "Icon Style", "-", "Start at Login", "-", kVersion, "Quit Nuvlet"}));
}

TEST_F(ControllerTest, EntryStatesFollowTheComponents) {
  TelemetryRecorder recorder(paths, defaults, loop);
  startFully();
  controller->setRecorder(&recorder);
  auto checked = [&](const std::string& label) {
    return findEntry(*brightnessItem().openMenu(true), {label})->checked;
  };
  for (const char* label :
       {"Deruzorar!", "Show Compensation Debug", "Record Brightness Data", "Start at Login"}) {
    EXPECT_FALSE(checked(label)) << label;
    EXPECT_TRUE(clickEntry(*brightnessItem().openMenu(true), {label})) << label;
    EXPECT_TRUE(checked(label)) << label;
  }
  EXPECT_TRUE(compensation.enabled());
  EXPECT_EQ(defaults.value(CompensationLoop::kEnabledKey), true);
  EXPECT_EQ(defaults.value(StatusItemController::kShowDebugKey), true);
  EXPECT_TRUE(recorder.isRecording());
  EXPECT_EQ(loginService.status(), LoginService::Status::Enabled);

  const Menu menu = *brightnessItem().openMenu();
  EXPECT_EQ(findEntry(menu, {"Deruzorar!"})->toolTip.rfind("Continuously samples on-screen", 0),
            0u);
  EXPECT_FALSE(findEntry(menu, {kDescription})->enabled);
  EXPECT_FALSE(findEntry(menu, {kVersion})->enabled);
  recorder.setRecording(false);
}

TEST_F(ControllerTest, IconStyleEntriesSwitchBothGlyphs) {
  startFully();
  auto styles = [&] { return findEntry(*brightnessItem().openMenu(), {"Icon Style"})->children; };
  EXPECT_EQ(labels(styles()), (std::vector<std::string>{"Pie", "Curtain"}));
  EXPECT_TRUE(styles()[1].checked);
  EXPECT_EQ(styles()[0].toggle, MenuItem::Toggle::Radio);
  const auto brightnessIcons = brightnessItem().icons.size();
  const auto volumeIcons = volumeItem().icons.size();

  EXPECT_TRUE(clickEntry(*brightnessItem().openMenu(), {"Icon Style", "Pie"}));
  EXPECT_EQ(currentIconStyle(defaults), IconStyle::Pie);
  EXPECT_TRUE(styles()[0].checked);
  EXPECT_FALSE(styles()[1].checked);
  EXPECT_EQ(brightnessItem().icons.size(), brightnessIcons + 1);
  EXPECT_EQ(volumeItem().icons.size(), volumeIcons + 1);

  controller->setIconStyle("Curtain");  // display name, not the stored value
  EXPECT_EQ(currentIconStyle(defaults), IconStyle::Pie);
}

TEST_F(ControllerTest, CalibrationLinesCountBucketsAndMarkUnknownBins) {
  startFully();
  BrightnessModel model = BrightnessModel::empty();
  model.table[ContentBucket{5, 0, 0, 0, 2, 5, std::nullopt}] = {0.6, 3};  // time of day 5: "?"
  model.observationCount = 12;
  compensation.setModel(model);
  const Menu menu = findEntry(*brightnessItem().openMenu(true), {"Calibration\u2026"})->children;
  ASSERT_GE(menu.size(), 4u);
  EXPECT_EQ(menu[0].label, "1 content bucket learned");
  EXPECT_EQ(menu[1].label, "Fit from 12 observations");
  EXPECT_EQ(menu[2].label, "Last 7 days: 0.0 adj/day (baseline 0.0)");
  EXPECT_EQ(menu[3].label, "Today: 0 \u2022 days tracked: 0");
  EXPECT_NE(findEntry(menu, {"  bright / neutral / warm, ?: B=0.60 (3)"}), nullptr);
  for (const MenuItem& item : menu) {
    if (item.kind == MenuItem::Kind::Separator) continue;
    EXPECT_EQ(item.enabled, item.label.rfind("Reset ", 0) == 0) << item.label;
  }
  EXPECT_EQ(labels(menu).back(), "Reset everything");

  // Without a loop there is no model to speak of.
  controller->enableFullFeatures(nullptr, nullptr, &volume, nullptr, nullptr);
  EXPECT_EQ(labels(findEntry(*brightnessItem().openMenu(true), {"Calibration\u2026"})->children),
            (std::vector<std::string>{"0 content buckets learned", "-", "Reset learned brightness",
                                      "Reset everything"}));
}

TEST_F(ControllerTest, ResetsForgetTheModelAndEverythingAlsoTheAnchor) {
  startFully();
  compensation.onLuminanceUpdate(0.5, 0.5);
  ASSERT_FALSE(compensation.freshStart());
  BrightnessModel learned = BrightnessModel::empty();
  learned.table[ContentBucket{}] = {0.7, 4};
  learned.observationCount = 4;
  ASSERT_TRUE(learned.save(paths.modelFile()));
  compensation.setModel(learned);

  EXPECT_TRUE(clickEntry(*brightnessItem().openMenu(true),
                         {"Calibration\u2026", "Reset learned brightness"}));
  EXPECT_FALSE(std::filesystem::exists(paths.modelFile()));
  EXPECT_EQ(compensation.model(), BrightnessModel::empty());
  EXPECT_FALSE(compensation.freshStart());

  // A missing file is no obstacle.
  compensation.setModel(learned);
  EXPECT_TRUE(
      clickEntry(*brightnessItem().openMenu(true), {"Calibration\u2026", "Reset everything"}));
  EXPECT_EQ(compensation.model(), BrightnessModel::empty());
  EXPECT_TRUE(compensation.freshStart());
}

TEST_F(ControllerTest, RevealRecreatesTheTelemetryFolderPrivatelyAndOpensIt) {
  TelemetryRecorder recorder(paths, defaults, loop);
  startFully();
  controller->setRecorder(&recorder);
  std::filesystem::remove_all(paths.stateDir());
  workspace.canOpenFolders = false;  // no file manager: nothing breaks

  EXPECT_TRUE(clickEntry(*brightnessItem().openMenu(true), {"Reveal Data in File Manager"}));
  ASSERT_EQ(workspace.openedFolders, std::vector<std::filesystem::path>{paths.telemetryDir()});
  struct stat info {};
  ASSERT_EQ(::stat(paths.telemetryDir().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(ControllerTest, QuitRunsTheShellsTerminationOnlyWhileTheControllerLives) {
  startFully();
  int quits = 0;
  controller->onQuit = [&] { ++quits; };
  const Menu menu = *brightnessItem().openMenu();
  EXPECT_EQ(menu.back().label, "Quit Nuvlet");
  EXPECT_EQ(menu.back().shortcut, "q");
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
