#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "nuvlet/app/AppDelegate.h"
#include "nuvlet/records/DailyStats.h"
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
// An adjustment-log line that records a change made outside the system (a key press).
const auto kKeyPress = testing::HasSubstr(",system_key,");
using testing::Contains;

Frame grey(std::uint8_t v) {
  Frame f(64, 48);
  f.fill(v, v, v);
  return f;
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

  // Starts it with `settings` stored before.
  void launch(const nlohmann::json& settings = nlohmann::json::object()) {
    for (const auto& [key, value] : settings.items()) defaults.setValue(key, value);
    delegate = AppDelegate::create(
        AppPlatform{loop, samplerQueue, fitQueue, defaults, paths, workspace, topology, backlight,
                    screen, light, mixer, bar, colorScheme, login, updates, std::nullopt, nullptr});
    delegate->applicationDidFinishLaunching();
  }

  void run(double seconds) { loop.advance(seconds); }
  // Runs the fits waiting on their queue, and hands their models over.
  void fit() {
    fitQueue.runAll();
    loop.runPending();
  }

  std::vector<std::string> adjustmentLog() const { return test::readLines(paths.adjustmentLog()); }

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

// A desktop may show a permission dialog when the screen is first read: only a switch the
// user makes allows it, never the launch, even with compensation left on.
TEST(AppDelegate, OnlyTheUsersSwitchLetsTheCaptureAskForPermission) {
  App app;
  app.launch({{"autoAdjustEnabled", true}});
  EXPECT_TRUE(app.delegate->sampler()->running());
  app.run(1.0);
  EXPECT_EQ(app.screen->askingAllowed(), 0);
  app.delegate->loop()->setEnabled(false);
  EXPECT_EQ(app.screen->askingAllowed(), 0);
  app.delegate->loop()->setEnabled(true);
  EXPECT_EQ(app.screen->askingAllowed(), 1);
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
    EXPECT_THAT(app.adjustmentLog(), Contains(kKeyPress).Times(c.reported ? 1 : 0));
    if (c.reported) {
      EXPECT_DOUBLE_EQ(app.delegate->loop()->B_current(), c.hardware);
    }
  }
}

// A coarse backlight keeps the step nearest each write; only a step the loop did not
// make is the user's.
TEST(AppDelegate, OnASteppedBacklightTheLoopsOwnRoundingIsNoCorrection) {
  App app;
  app.backlight.steps = 15;
  app.backlight.level = 12.0 / 15;
  app.launch({{"autoAdjustEnabled", true}});
  app.screen->show(grey(255));
  app.run(60.0);
  const double dimmed = app.backlight.level;
  EXPECT_LE(dimmed, 9.0 / 15) << "a white screen dims by several steps";
  app.screen->show(grey(40));
  app.run(60.0);
  EXPECT_GE(app.backlight.level, dimmed + 2.0 / 15) << "a dark one brightens again";
  EXPECT_THAT(app.adjustmentLog(), Contains(kKeyPress).Times(0));
  EXPECT_EQ(DailyStats(app.paths, app.loop, DailyStats::Access::ReadOnly).todayCount(), 0);

  // A real key press is still the user's.
  app.backlight.level = app.backlight.level > 0.5 ? 3.0 / 15 : 13.0 / 15;
  app.run(0.5);
  EXPECT_THAT(app.adjustmentLog(), Contains(kKeyPress).Times(1));
}

// A correction reaches the model within half a minute; a burst of them refits once per
// interval, and never two fits run at once.
TEST(AppDelegate, CorrectionsAreLearnedSoonWithOneFitAtATime) {
  App app;
  app.launch();
  app.fit();
  ASSERT_EQ(app.delegate->loop()->model().observationCount, 0);
  sim::RecordedItem* item = app.bar.item("brightness");
  ASSERT_NE(item, nullptr);

  item->scroll(-10.0);
  app.run(AppDelegate::kCorrectionRefitDelay - 1);
  EXPECT_EQ(app.fitQueue.pending(), 0u) << "the first correction of a burst waits";
  app.run(1.5);
  ASSERT_EQ(app.fitQueue.pending(), 1u);
  app.fit();
  EXPECT_EQ(app.delegate->loop()->model().observationCount, 1) << "the correction was learned";

  // A correction every second for two minutes, the fits left running meanwhile: at
  // most one waits at any time, and one more follows the last correction.
  int fits = 0;
  for (int s = 0; s < 120; ++s) {
    item->scroll(s % 2 == 0 ? -10.0 : 10.0);
    app.run(1.0);
    ASSERT_LE(app.fitQueue.pending(), 1u) << "at second " << s;
    if (s % 45 == 44 && app.fitQueue.pending() == 1) {
      app.fit();
      ++fits;
    }
  }
  app.run(AppDelegate::kCorrectionRefitDelay + 1);
  for (; app.fitQueue.pending() > 0; ++fits) app.fit();
  EXPECT_GE(fits, 3);
  EXPECT_LE(fits, 5) << "each fit took every correction made while it waited";
}

TEST(AppDelegate, TerminationStopsTheSamplerAndEveryLaterBacklightWrite) {
  App app;
  app.launch({{"autoAdjustEnabled", true}});
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
  app.launch({{"telemetryRecording", true}});
  auto* recorderBefore = app.delegate->recorder();
  ASSERT_NE(recorderBefore, nullptr);
  app.delegate.reset();
  // The fit queued at launch finishes after the delegate is gone: its model is still
  // saved, and nothing else runs.
  app.fit();
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
