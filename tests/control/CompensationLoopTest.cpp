#include <gtest/gtest.h>

#include <cmath>

#include "nuvlet/control/CompensationLoop.h"
#include "nuvlet/learning/ModelFitter.h"
#include "tests/control/LoopHarness.h"
#include "tests/support/PinnedZone.h"

namespace nuvlet::test {
namespace {

TEST(BrightnessController, NotANumberWritesNothing) {
  LoopHarness h(0.6);
  EXPECT_DOUBLE_EQ(h.brightness.set(std::nan("")), 0.6);
  EXPECT_DOUBLE_EQ(h.brightness.adjust(std::nan("")), 0.6);
  EXPECT_TRUE(h.backlight.writes.empty());
}

TEST(CompensationLoop, SettlesInsideTheBandAndStopsWriting) {
  LoopHarness h(1.0);
  h.settle();
  h.loop->setModel(flatModel(0.1));
  for (int i = 0; i < 300; ++i) h.loop->onLuminanceUpdate(0.5, 0.5);
  EXPECT_GE(h.loop->B_current(), 0.4);
  EXPECT_LT(h.loop->B_current(), 0.4 + 0.0319);
  const auto writes = h.backlight.writes.size();
  h.loop->onLuminanceUpdate(0.5, 0.5);
  EXPECT_EQ(h.backlight.writes.size(), writes);
  EXPECT_DOUBLE_EQ(h.loop->B_manual(), 1.0);
}

TEST(CompensationLoop, PausesThreeSecondsAfterAManualChangeWhateverTheWallClockDoes) {
  LoopHarness h;
  h.settle();
  h.loop->setModel(flatModel(0.8));
  h.loop->onManualChange(0.6, "scroll");
  h.backlight.writes.clear();
  // The user sets the clock back an hour; the pause still ends 3 s later.
  h.clock.setWallClock(h.clock.now() - 3600);

  h.clock.advance(2.9);
  h.loop->onLuminanceUpdate(0.4, 0.4);
  EXPECT_TRUE(h.backlight.writes.empty());
  EXPECT_DOUBLE_EQ(h.loop->L_filtered(), 0.4) << "a paused tick still takes the luminance";

  h.clock.advance(0.2);
  h.loop->onLuminanceUpdate(0.4, 0.4);
  EXPECT_EQ(h.backlight.writes.size(), 1u);
}

// A brightness key pressed while the loop walks lands on the hardware before the poll
// reports it: the loop must leave it there for the poll, and go on from it once told.
TEST(CompensationLoop, AKeyPressedMidWalkIsNotWrittenOver) {
  LoopHarness h(1.0);
  h.settle();
  h.loop->setModel(flatModel(0.5));
  for (int i = 0; i < 5; ++i) h.loop->onLuminanceUpdate(0.5, 0.5);
  ASSERT_LT(h.backlight.level, 0.95) << "the loop walks down";
  h.backlight.level = 0.3;
  const auto writes = h.backlight.writes.size();
  for (int i = 0; i < 5; ++i) h.loop->onLuminanceUpdate(0.5, 0.5);
  EXPECT_EQ(h.backlight.writes.size(), writes);
  EXPECT_DOUBLE_EQ(h.backlight.level, 0.3);

  h.loop->onManualChange(0.3, "system_key");
  h.clock.advance(3.1);
  for (int i = 0; i < 300; ++i) h.loop->onLuminanceUpdate(0.5, 0.5);
  // The model's 0.5 is above the band the key's level opened: its top.
  EXPECT_NEAR(h.backlight.level, 0.3 * CompensationLoop::bandHigh, 0.032)
      << "the walk goes on from the key's level";
}

// The first tick after each of these re-reads the hardware and writes nothing.
TEST(CompensationLoop, FirstTickAfterAFreshStartReanchorsOnTheHardwareWithoutWriting) {
  struct Case {
    const char* name;
    bool enabled;
    void (*trigger)(CompensationLoop&);
  };
  const Case cases[] = {{"start", true, nullptr},
                        {"start while off", false, nullptr},
                        {"switched on", true, [](CompensationLoop& l) { l.setEnabled(true); }},
                        {"reset target", true, [](CompensationLoop& l) { l.resetTarget(); }}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopHarness h(0.5, c.enabled);
    h.loop->setModel(flatModel(1.0));
    if (c.trigger != nullptr) {
      h.settle();
      c.trigger(*h.loop);
    }
    h.backlight.level = 0.3;  // another program moved it
    h.backlight.writes.clear();

    h.loop->onLuminanceUpdate(0.7, 0.7);
    EXPECT_TRUE(h.backlight.writes.empty());
    EXPECT_DOUBLE_EQ(h.loop->B_current(), 0.3);
    EXPECT_DOUBLE_EQ(h.loop->B_manual(), 0.3);
    EXPECT_DOUBLE_EQ(h.loop->L_filtered(), 0.7);
    EXPECT_FALSE(h.loop->freshStart());

    h.loop->onLuminanceUpdate(0.7, 0.7);
    ASSERT_EQ(h.backlight.writes.size(), c.enabled ? 1u : 0u);
    EXPECT_TRUE(!c.enabled || h.backlight.writes[0] > 0.3) << "moves towards the model";
  }
}

TEST(CompensationLoop, UnreadableBacklightIsNotTakenForADarkScreen) {
  LoopHarness h(0.6);
  h.loop->setModel(flatModel(1.0));
  h.backlight.failReads = true;
  h.loop->resetTarget();
  h.loop->onLuminanceUpdate(0.5, 0.5);
  h.loop->onLuminanceUpdate(0.5, 0.5);
  // A failed read reads 0.0 through get(); anchoring on it would drive the panel to
  // the 0.05 floor. The loop waits for a real reading instead.
  EXPECT_TRUE(h.backlight.writes.empty());
  EXPECT_TRUE(h.loop->freshStart());
  EXPECT_DOUBLE_EQ(h.loop->B_manual(), 0.6);

  h.backlight.failReads = false;
  h.loop->onLuminanceUpdate(0.5, 0.5);
  EXPECT_FALSE(h.loop->freshStart());
  h.loop->onLuminanceUpdate(0.5, 0.5);
  ASSERT_EQ(h.backlight.writes.size(), 1u);
  EXPECT_GT(h.backlight.writes[0], 0.6);
}

TEST(CompensationLoop, IdleWhileDisabledSuppressedOrOnAnExternalMainDisplay) {
  struct Case {
    const char* name;
    void (*setup)(LoopHarness&);
    double L_filtered;  // suppressed: ticks are ignored entirely
  };
  const Case cases[] = {
      {"disabled", [](LoopHarness& h) { h.loop->setEnabled(false); }, 0.6},
      {"external main", [](LoopHarness& h) { h.topology.main = 2; }, 0.6},
      {"no main display", [](LoopHarness& h) { h.topology.main.reset(); }, 0.6},
      {"suppressed, even after a reset",
       [](LoopHarness& h) {
         h.loop->suppressWrites();
         h.loop->resetTarget();
       },
       0.5},
  };
  for (const auto& c : cases) {
    LoopHarness h;
    h.settle();
    c.setup(h);
    h.loop->setModel(flatModel(1.0));
    for (int i = 0; i < 3; ++i) h.loop->onLuminanceUpdate(0.6, 0.6);
    EXPECT_TRUE(h.backlight.writes.empty()) << c.name;
    EXPECT_DOUBLE_EQ(h.loop->L_filtered(), c.L_filtered) << c.name;
  }
}

// A correction is worth only as much as the fit can find it again: made on a machine
// with a light sensor, in front of a dark editor, it must come back from the log under
// the very bucket the next ticks look up. Corrections on other content of the same
// luminance pull the luminance prior elsewhere, so only that bucket can answer 0.9.
TEST(CompensationLoop, ACorrectionIsLearnedWhereTheLoopLooks) {
  PinnedZone zone("UTC");
  LoopHarness h(0.5);
  const ContentSignature editor{0.9, 0.0, 0.15, 0.02, -0.01};
  const ContentSignature chart{0.5, 0.5, 0.15, 0.3, 0.2};
  ContentSignature shown = chart;
  h.loop->signatureProvider = [&] { return shown; };
  h.loop->ambientProvider = [] { return 0.3; };
  h.settle(0.15);
  h.loop->onLuminanceUpdate(0.15, 0.15);  // one tick that asks the model
  for (int i = 0; i < 9; ++i) h.loop->onManualChange(0.3, "scroll");
  shown = editor;
  for (int i = 0; i < 8; ++i) h.loop->onManualChange(0.9, "scroll");

  h.loop->setModel(ModelFitter::fit(h.paths, h.clock));
  h.backlight.level = 0.9;
  h.loop->resetTarget();  // the next tick stands on the level the corrections left
  h.clock.advance(CompensationLoop::kManualPause + 0.1);
  h.backlight.writes.clear();
  for (int i = 0; i < 50; ++i) h.loop->onLuminanceUpdate(0.15, 0.15);
  EXPECT_NEAR(h.loop->B_target(), 0.9, 1e-4);
  EXPECT_TRUE(h.backlight.writes.empty()) << "the loop walked away from the correction";
}

}  // namespace
}  // namespace nuvlet::test
