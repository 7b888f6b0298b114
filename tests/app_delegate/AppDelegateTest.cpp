#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "nuvlet/app/AppDelegate.h"
#include "platform/sim/InlineWorkQueue.h"
#include "platform/sim/MemoryBacklight.h"
#include "platform/sim/MemoryLoginService.h"
#include "platform/sim/MemoryUpdateService.h"
#include "platform/sim/RecordingStatusBar.h"
#include "platform/sim/ScriptedAudioMixer.h"
#include "platform/sim/ScriptedColorScheme.h"
#include "platform/sim/ScriptedDisplayTopology.h"
#include "platform/sim/ScriptedLightSensor.h"
#include "platform/sim/ScriptedWorkspace.h"
#include "platform/sim/SyntheticScreenCapture.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/support/TempDir.h"

namespace nuvlet {
namespace {

constexpr DisplayID kBuiltIn = 1;
constexpr DisplayID kExternal = 2;

Frame grey(std::uint8_t v) {
  Frame f(64, 48);
  f.fill(v, v, v);
  return f;
}

std::vector<std::string> lines(const std::filesystem::path& file) {
  std::vector<std::string> out;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The whole application on simulated hardware in virtual time.
struct App {
  App() {
    topology.screenList = {
        Screen{kBuiltIn, "eDP-1", {0, 0, 1000, 800}, true, "Panel", {}, {}},
        Screen{kExternal, "HDMI-1", {1000, 0, 1000, 800}, false, "HDMI", {}, {}}};
    topology.online = {kBuiltIn, kExternal};
    light.reading = 120.0;
  }

  void launch() {
    delegate = AppDelegate::create(
        AppPlatform{loop, samplerQueue, fitQueue, defaults, paths, workspace, topology, backlight,
                    screen, light, mixer, bar, colorScheme, login, updates, std::nullopt, nullptr});
    delegate->applicationDidFinishLaunching();
  }

  // Lets the given seconds of virtual time pass.
  void run(double seconds) { loop.advance(seconds); }

  std::vector<std::string> adjustments(const std::string& event) const {
    std::vector<std::string> found;
    for (const auto& line : lines(paths.adjustmentLog())) {
      if (line.find("," + event + ",") != std::string::npos) found.push_back(line);
    }
    return found;
  }

  std::vector<nlohmann::json> telemetry(const std::string& event = {}) const {
    std::vector<nlohmann::json> rows;
    if (!std::filesystem::exists(paths.telemetryDir())) return rows;
    for (const auto& entry : std::filesystem::directory_iterator(paths.telemetryDir())) {
      for (const auto& line : lines(entry.path())) {
        auto row = nlohmann::json::parse(line);
        if (event.empty() || row.value("event", "") == event) rows.push_back(row);
      }
    }
    return rows;
  }

  std::string toolTip(const std::string& id) {
    auto* item = bar.item(id);
    return item == nullptr ? "" : item->toolTip().text;
  }

  test::TempDir dir;
  Paths paths = Paths::under(dir.path());
  sim::VirtualRunLoop loop;
  sim::InlineWorkQueue samplerQueue;
  sim::ManualWorkQueue fitQueue;
  MemoryDefaults defaults;
  sim::ScriptedWorkspace workspace;
  sim::ScriptedDisplayTopology topology;
  sim::MemoryBacklight backlight{0.5};
  std::shared_ptr<sim::SyntheticScreenCapture> screen =
      std::make_shared<sim::SyntheticScreenCapture>(kBuiltIn, grey(128));
  sim::ScriptedLightSensor light;
  sim::ScriptedAudioMixer mixer;
  sim::RecordingStatusBar bar;
  sim::ScriptedColorScheme colorScheme;
  sim::MemoryLoginService login;
  sim::MemoryUpdateService updates;
  std::shared_ptr<AppDelegate> delegate;
};

TEST(AppDelegate, LaunchShowsBothLevelsBeforeAnyPollAndStartsTheServices) {
  App app;
  app.backlight.level = 0.42;
  app.mixer.level = 0.3;
  app.launch();
  EXPECT_EQ(app.toolTip("brightness"), "42%");
  EXPECT_EQ(app.toolTip("volume"), "30%");
  EXPECT_DOUBLE_EQ(app.delegate->lastBuiltInBrightness(), 0.42);
  EXPECT_DOUBLE_EQ(app.delegate->recorderLastBrightness(), 0.42);
  EXPECT_NEAR(app.delegate->lastVolume(), 0.3, 1e-6);
  EXPECT_EQ(app.updates.starts, 1);
  EXPECT_EQ(app.login.registerCalls, 1) << "the first launch applies the login default";
  EXPECT_FALSE(app.delegate->sampler()->running()) << "compensation and recording are off";
  EXPECT_EQ(app.fitQueue.pending(), 1u) << "one fit at start-up";
  // An update ready at quit is installed at once.
  EXPECT_TRUE(app.updates.offerUpdateReadyAtQuit());
  EXPECT_EQ(app.updates.installs, 1);
}

TEST(AppDelegate, SamplerRunsWhileCompensationOrRecordingNeedsItAndGridOnlyWhileRecording) {
  struct Case {
    bool autoOn, recording, running, grid;
  };
  for (const Case& c : {Case{false, false, false, false}, Case{true, false, true, false},
                        Case{false, true, true, true}, Case{true, true, true, true}}) {
    SCOPED_TRACE(testing::Message() << "auto " << c.autoOn << " recording " << c.recording);
    App app;
    app.launch();
    app.delegate->loop()->setEnabled(c.autoOn);
    app.delegate->recorder()->setRecording(c.recording);
    EXPECT_EQ(app.delegate->sampler()->running(), c.running);
    EXPECT_EQ(app.delegate->sampler()->captureGrid(), c.grid);
    // Both off again: the sampler stops and the grid goes with recording.
    app.delegate->loop()->setEnabled(false);
    app.delegate->recorder()->setRecording(false);
    EXPECT_FALSE(app.delegate->sampler()->running());
    EXPECT_FALSE(app.delegate->sampler()->captureGrid());
  }
}

TEST(AppDelegate, SettingsLeftOnAtQuitStartTheSamplerAtLaunch) {
  App app;
  app.defaults.setValue("telemetryRecording", true);
  app.launch();
  EXPECT_TRUE(app.delegate->sampler()->running());
  ASSERT_FALSE(app.telemetry().empty());
  EXPECT_EQ(app.telemetry().front()["trigger"], "start");
}

// The poll's rule for a backlight changed outside the system: far from the loop's own
// level and moved since the last poll.
TEST(AppDelegate, PollReportsOutsideChangesOnceAndOnlyBeyondBothThresholds) {
  struct Case {
    const char* what;
    double loopLevel;  // the loop's B_current before the poll
    double hardware;   // the level the poll reads
    bool reported;
  };
  for (const Case& c : {
           Case{"a key press far from the loop's level", 0.5, 0.6, true},
           Case{"within 0.03 of the loop's level", 0.5, 0.525, false},
           Case{"the loop's level moved, the hardware did not", 0.7, 0.5, false},
           Case{"just over both thresholds", 0.5, 0.5 - 0.035, true},
       }) {
    SCOPED_TRACE(c.what);
    App app;
    app.launch();
    // The loop is told of a level the hardware never got: only its belief moves.
    if (c.loopLevel != 0.5) app.delegate->loop()->onManualChange(c.loopLevel, "scroll");
    app.backlight.level = c.hardware;
    app.run(0.25);
    app.run(1.0);  // more polls at the same level report nothing more
    EXPECT_EQ(app.adjustments("system_key").size(), c.reported ? 1u : 0u);
    if (c.reported) {
      EXPECT_DOUBLE_EQ(app.delegate->loop()->B_current(), c.hardware);
    }
  }
}

TEST(AppDelegate, AFailedBacklightReadIsNeitherACorrectionNorADarkIcon) {
  App app;
  app.launch();
  app.backlight.failReads = true;
  app.run(1.0);
  EXPECT_TRUE(app.adjustments("system_key").empty());
  EXPECT_EQ(app.toolTip("brightness"), "50%");
  app.backlight.failReads = false;
  app.backlight.level = 0.8;
  app.run(0.25);
  EXPECT_EQ(app.adjustments("system_key").size(), 1u);
  EXPECT_EQ(app.toolTip("brightness"), "80%");
}

TEST(AppDelegate, IconsAreRedrawnOnlyForMovesBeyondHalfAPercent) {
  App app;
  app.launch();
  const auto drawn = app.bar.item("brightness")->toolTips.size();
  app.backlight.level = 0.504;
  app.mixer.level = 0.504;
  app.run(0.25);
  EXPECT_EQ(app.bar.item("brightness")->toolTips.size(), drawn);
  EXPECT_DOUBLE_EQ(app.delegate->lastVolume(), 0.5);
  app.backlight.level = 0.51;
  app.mixer.level = 0.7;
  app.run(0.25);
  EXPECT_DOUBLE_EQ(app.delegate->lastBuiltInBrightness(), 0.51);
  EXPECT_EQ(app.toolTip("volume"), "70%");
}

TEST(AppDelegate, RecordingLogsBacklightMovesBeyondTheTelemetryStepWithTheirSource) {
  App app;
  app.launch();
  app.delegate->recorder()->setRecording(true);
  app.backlight.level = 0.503;
  app.run(0.25);
  EXPECT_TRUE(app.telemetry("brightness_change").empty()) << "0.003 is within the step";
  app.backlight.level = 0.505;
  app.run(0.25);
  auto rows = app.telemetry("brightness_change");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["source"], "manual") << "compensation is off";
  EXPECT_DOUBLE_EQ(rows[0]["b_before"].get<double>(), 0.5);
  EXPECT_DOUBLE_EQ(rows[0]["b_after"].get<double>(), 0.505);

  // With compensation on, a level next to the loop's own is its write; a key press far
  // from it stays "manual" although the loop adopts the new level in the same poll.
  app.delegate->loop()->setEnabled(true);
  app.delegate->loop()->onManualChange(0.52, "scroll");
  app.backlight.level = 0.52;
  app.run(0.25);
  app.backlight.level = 0.9;
  app.run(0.25);
  rows = app.telemetry("brightness_change");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1]["source"], "auto");
  EXPECT_EQ(rows[2]["source"], "manual");
  EXPECT_EQ(app.adjustments("system_key").size(), 1u);
}

TEST(AppDelegate, WhileAnExternalMonitorIsTargetedThePollFollowsOnlyTheVolume) {
  App app;
  app.launch();
  app.topology.movePointer({1500, 400});
  ASSERT_EQ(app.delegate->router()->currentTarget(), kExternal);
  app.backlight.level = 0.9;
  app.mixer.level = 0.8;
  app.run(0.25);
  EXPECT_TRUE(app.adjustments("system_key").empty());
  EXPECT_EQ(app.toolTip("brightness"), "50%");
  EXPECT_EQ(app.toolTip("volume"), "80%");
  // Back on the built-in screen the change is seen.
  app.topology.movePointer({500, 400});
  app.run(0.25);
  EXPECT_EQ(app.adjustments("system_key").size(), 1u);
  EXPECT_EQ(app.toolTip("brightness"), "90%");
}

TEST(AppDelegate, WithNoDisplayKnownThePollStillFollowsTheBuiltInBacklight) {
  App app;
  app.topology.main = std::nullopt;
  app.topology.online.clear();
  app.topology.screenList.clear();
  app.launch();
  app.backlight.level = 0.9;
  app.run(0.25);
  EXPECT_EQ(app.adjustments("system_key").size(), 1u);
  EXPECT_EQ(app.toolTip("brightness"), "90%");
}

TEST(AppDelegate, QuitFromTheMenuAsksTheEntryPointToEnd) {
  App app;
  app.launch();
  int quits = 0;
  app.delegate->onQuitRequested = [&] { ++quits; };
  EXPECT_TRUE(sim::clickEntry(*app.bar.item("brightness")->openMenu(), {"Quit Nuvlet"}));
  EXPECT_EQ(quits, 1);
}

TEST(AppDelegate, SleepStopsTheSamplerAndWakeRestartsItOnlyWhenNeeded) {
  for (bool autoOn : {true, false}) {
    SCOPED_TRACE(autoOn ? "compensation on" : "compensation off");
    App app;
    app.defaults.setValue("autoAdjustEnabled", autoOn);
    app.launch();
    EXPECT_EQ(app.delegate->sampler()->running(), autoOn);
    app.workspace.sleep();
    EXPECT_FALSE(app.delegate->sampler()->running());
    app.run(5.0);
    app.workspace.wake();
    EXPECT_EQ(app.delegate->sampler()->running(), autoOn);
  }
}

TEST(AppDelegate, SnapshotsLeaveOutSamplerValuesOlderThanTwoSeconds) {
  App app;
  app.workspace.frontmost = FrontmostApplication{"org.example.Editor", "Editor"};
  app.launch();
  app.delegate->recorder()->setRecording(true);
  app.run(0.5);
  auto fresh = app.delegate->makeSnapshot();
  ASSERT_TRUE(fresh.lumSlow);
  EXPECT_NEAR(*fresh.lumRaw, 0.502, 0.001);
  EXPECT_EQ(fresh.lumGrid.size(), 16u);
  EXPECT_TRUE(fresh.sigDark && fresh.sigBright && fresh.chroma && fresh.warmCool);
  EXPECT_EQ(fresh.displayID, kBuiltIn);
  EXPECT_EQ(fresh.appID, "org.example.Editor");
  EXPECT_DOUBLE_EQ(*fresh.ambLux, 120.0);

  app.workspace.sleep();
  app.run(1.9);
  EXPECT_TRUE(app.delegate->makeSnapshot().lumSlow) << "1.9 s old is still fresh";
  app.run(0.2);
  auto stale = app.delegate->makeSnapshot();
  EXPECT_FALSE(stale.lumRaw || stale.lumSlow || stale.lumFast || stale.sigDark || stale.sigBright ||
               stale.chroma || stale.warmCool);
  EXPECT_TRUE(stale.lumGrid.empty());
  EXPECT_DOUBLE_EQ(stale.brightness, 0.5);
}

TEST(AppDelegate, AppSwitchesAreRecordedOnlyWhileRecording) {
  App app;
  app.launch();
  app.workspace.activate({"org.example.Mail", "Mail"});
  app.delegate->recorder()->setRecording(true);
  app.workspace.activate({"org.example.Editor", "Editor"});
  const auto rows = app.telemetry("app_switch");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["app_id"], "org.example.Editor");
}

TEST(AppDelegate, TheSavedModelIsLoadedAndFitsRunAtStartAndHourlyToReplaceIt) {
  App app;
  BrightnessModel model = BrightnessModel::empty();
  model.table[ContentBucket{}] = BucketStat{0.33, 12};
  model.observationCount = 12;
  ASSERT_TRUE(model.save(app.paths.modelFile()));
  app.launch();
  EXPECT_EQ(app.delegate->loop()->model(), model);
  EXPECT_EQ(app.fitQueue.pending(), 1u);
  for (double level : {0.3, 0.32, 0.31}) app.delegate->loop()->onManualChange(level, "scroll");
  app.run(3599.0);
  EXPECT_EQ(app.fitQueue.pending(), 1u);
  app.run(1.0);
  EXPECT_EQ(app.fitQueue.pending(), 2u) << "fits are neither cancelled nor merged";
  app.fitQueue.runAll();
  app.loop.runPending();
  const auto saved = BrightnessModel::load(app.paths.modelFile());
  ASSERT_TRUE(saved);
  EXPECT_EQ(app.delegate->loop()->model(), *saved);
  EXPECT_EQ(saved->observationCount, 3);
}

TEST(AppDelegate, TerminationStopsTheSamplerAndEveryLaterBacklightWrite) {
  App app;
  app.defaults.setValue("autoAdjustEnabled", true);
  app.launch();
  app.screen->show(grey(255));
  app.run(3.0);
  ASSERT_GT(app.backlight.writeCount, 0u) << "a white screen makes the loop dim";
  app.delegate->applicationWillTerminate();
  EXPECT_FALSE(app.delegate->sampler()->running());
  const auto writes = app.backlight.writeCount;
  app.delegate->loop()->onLuminanceUpdate(1.0, 1.0);
  app.run(3.0);
  EXPECT_EQ(app.backlight.writeCount, writes);
}

TEST(AppDelegate, CallbacksOutlivingTheDelegateDoNothing) {
  App app;
  app.defaults.setValue("telemetryRecording", true);
  app.launch();
  auto* recorderBefore = app.delegate->recorder();
  ASSERT_NE(recorderBefore, nullptr);
  app.delegate.reset();
  // The fit queued at launch finishes after the delegate is gone: its model is still
  // saved, and nothing else runs.
  app.fitQueue.runAll();
  app.loop.runPending();
  EXPECT_TRUE(std::filesystem::exists(app.paths.modelFile()));
  app.workspace.sleep();
  app.workspace.wake();
  app.workspace.activate({"org.example.Other", "Other"});
  app.run(3600.0);
  EXPECT_EQ(app.fitQueue.pending(), 0u);
  EXPECT_TRUE(app.bar.liveItems().empty());
}

}  // namespace
}  // namespace nuvlet
