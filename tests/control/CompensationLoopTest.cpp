#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "nuvlet/control/CompensationLoop.h"
#include "nuvlet/learning/ModelFitter.h"
#include "tests/control/LoopHarness.h"
#include "tests/support/PinnedZone.h"

namespace nuvlet::test {
namespace {

constexpr double k0 = 0.1 / 1.2;

const double kNone = std::numeric_limits<double>::quiet_NaN();

// The worked examples: one tick from a given anchor and level towards a model target.
TEST(CompensationLoop, OneTickWritesAndLogsAsSpecified) {
  struct Case {
    const char* name;
    double B_manual, B_current, target;
    double written;  // NaN: nothing is written
    bool logged;
  };
  const Case cases[] = {
      // wanted 0.6, delta 0.1, gain 1.4 k0
      {"SmallErrorSmallGain", 0.5, 0.5, 0.6, 0.5 + 0.1 * 1.4 * k0, false},
      // the band caps 1.0 at 0.8; delta 0.5 gets the full boost of 2 k0
      {"BandCapsAndLogs", 0.5, 0.3, 1.0, 0.3 + 0.5 / 6, true},
      // the band floor is 0.4 of the anchor
      {"BandFloor", 1.0, 1.0, 0.1, 1.0 - 0.6 / 6, true},
      // an anchor of 0 leaves only the 0.05 floor, whatever the model says
      {"ZeroAnchor", 0.0, 0.0, 1.0, 0.05, false},
      // settle bound: a step of at most 0.003 is not written (about 0.0319 of error)
      {"SettledJustInside", 0.5, 0.5, 0.5318, kNone, false},
      {"SettledJustOutside", 0.5, 0.5, 0.5321, 0.5 + 0.0321 * (1 + 4 * 0.0321) * k0, false},
      {"SettledBelowToo", 0.5, 0.5, 0.4682, kNone, false},
      // log bound: a step above 0.05 needs about 0.3 of error
      {"LogBoundInside", 0.6, 0.6, 0.8999, 0.6 + 0.2999 / 6, false},
      {"LogBoundOutside", 0.6, 0.6, 0.9001, 0.6 + 0.3001 / 6, true},
      // writes never go above 1.0 even from a level outside the band
      {"NeverAboveCeiling", 1.0, 1.2, 1.0, 1.0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopHarness h;
    h.settle();
    h.loop->setModel(flatModel(c.target));
    CompensationLoopTestPeer::setLevels(*h.loop, c.B_manual, c.B_current);
    h.backlight.writes.clear();

    h.loop->onLuminanceUpdate(0.5, 0.9);

    EXPECT_DOUBLE_EQ(h.loop->B_target(), c.target);
    if (std::isnan(c.written)) {
      EXPECT_TRUE(h.backlight.writes.empty());
      EXPECT_DOUBLE_EQ(h.loop->B_current(), c.B_current);
    } else {
      ASSERT_EQ(h.backlight.writes.size(), 1u);
      EXPECT_NEAR(h.backlight.writes[0], c.written, 1e-12);
      EXPECT_DOUBLE_EQ(h.loop->B_current(), h.backlight.writes[0]);
    }
    EXPECT_DOUBLE_EQ(h.loop->B_manual(), c.B_manual);
    const auto rows = h.rows();
    ASSERT_EQ(rows.size(), c.logged ? 1u : 0u);
    if (c.logged) {
      EXPECT_EQ(rows[0].event, "auto");
      EXPECT_NEAR(rows[0].B_before, c.B_current, 1e-4);
      EXPECT_NEAR(rows[0].B_after, c.written, 1e-4);
      EXPECT_NEAR(rows[0].L, 0.5, 1e-4);
      EXPECT_NEAR(rows[0].target, c.target, 1e-4);
    }
  }
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

TEST(CompensationLoop, OnlyLuminanceAboveTwoPercentDrivesTheBacklight) {
  for (double L : {0.02, 0.0201, 0.0, std::nan("")}) {
    LoopHarness h;
    h.settle();
    h.loop->setModel(flatModel(0.8));
    h.backlight.writes.clear();
    h.loop->onLuminanceUpdate(L, 0.5);
    EXPECT_EQ(!h.backlight.writes.empty(), L > 0.02) << L;
  }
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

TEST(CompensationLoop, EnabledAssignmentsStoreNotifyAndReanchor) {
  LoopHarness h(0.5, /*enabled=*/false);
  std::vector<bool> heard;
  h.loop->onEnabledChange = [&](bool on) { heard.push_back(on); };
  h.settle();

  h.loop->setEnabled(false);
  EXPECT_EQ(h.defaults.value(CompensationLoop::kEnabledKey), nlohmann::json(false));
  EXPECT_FALSE(h.loop->freshStart()) << "switching off does not re-anchor";

  const auto readsBefore = h.backlight.reads;
  h.backlight.level = 0.4;
  h.loop->setEnabled(true);
  EXPECT_DOUBLE_EQ(h.loop->B_manual(), 0.4);
  h.loop->onLuminanceUpdate(0.5, 0.5);  // consumes the fresh start
  h.backlight.level = 0.3;
  h.loop->setEnabled(true);
  EXPECT_DOUBLE_EQ(h.loop->B_manual(), 0.3);
  EXPECT_TRUE(h.loop->freshStart());
  EXPECT_EQ(h.backlight.reads - readsBefore, 3u);
  EXPECT_EQ(h.defaults.value(CompensationLoop::kEnabledKey), nlohmann::json(true));
  EXPECT_EQ(heard, (std::vector<bool>{false, true, true}));
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

TEST(CompensationLoop, ManualChangesAnchorLogAndCountUserCorrections) {
  struct Case {
    const char* source;
    double L_filtered;
    bool counted;
    double loggedL;
  };
  const Case cases[] = {
      {"scroll", 0.45, true, 0.45}, {"system_key", 0.45, true, 0.45}, {"menu", 0.45, false, 0.45},
      {"scroll", 0.0, true, 0.02},  {"system_key", 0.02, true, 0.02},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.source) + " at L " + std::to_string(c.L_filtered));
    LoopHarness h(0.5);
    h.settle(c.L_filtered);
    h.loop->onManualChange(0.7, c.source);
    EXPECT_DOUBLE_EQ(h.loop->B_current(), 0.7);
    EXPECT_DOUBLE_EQ(h.loop->B_manual(), 0.7);
    EXPECT_EQ(h.stats.todayCount(), c.counted ? 1 : 0);
    EXPECT_TRUE(h.backlight.writes.empty()) << "the caller has already written";
    const auto rows = h.rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].event, c.source);
    EXPECT_NEAR(rows[0].B_before, 0.5, 1e-4);
    EXPECT_NEAR(rows[0].B_after, 0.7, 1e-4);
    EXPECT_NEAR(rows[0].L, c.loggedL, 1e-4);
    EXPECT_NEAR(rows[0].target, 0.5, 1e-4) << "B_target before any acting tick";
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
  CompensationLoopTestPeer::setLevels(*h.loop, 0.9, 0.9);
  h.clock.advance(CompensationLoop::kManualPause + 0.1);
  h.backlight.writes.clear();
  for (int i = 0; i < 50; ++i) h.loop->onLuminanceUpdate(0.15, 0.15);
  EXPECT_NEAR(h.loop->B_target(), 0.9, 1e-4);
  EXPECT_TRUE(h.backlight.writes.empty()) << "the loop walked away from the correction";
}

TEST(CompensationLoop, ManualChangeToANonNumberIsIgnored) {
  LoopHarness h(0.5);
  h.settle();
  h.loop->setModel(flatModel(0.55));
  h.loop->onManualChange(std::nan(""), "scroll");
  EXPECT_DOUBLE_EQ(h.loop->B_manual(), 0.5);
  EXPECT_TRUE(h.rows().empty());
  h.loop->onLuminanceUpdate(0.5, 0.5);
  ASSERT_EQ(h.backlight.writes.size(), 1u);
  EXPECT_LT(h.backlight.writes[0], 0.51);
}

// The model is asked with the provider's signature, the provider's ambient level
// and the local hour; drop any one of them and a different bucket answers.
TEST(CompensationLoop, AsksTheModelWithSignatureAmbientAndLocalHour) {
  const ContentSignature dark{0.9, 0.0, 0.3, 0.0, 0.0};
  const double L = 0.3, ambient = 0.9;
  // 12:00 UTC is 21:00 (evening) at UTC+9 and 07:00 (morning) at UTC-5.
  BrightnessModel model = flatModel(0.6);
  model.table[ContentBucket::from(L, dark, ambient, 21)] = BucketStat{0.9, 8};

  struct Case {
    const char* name;
    const char* tz;
    bool withSignature, withAmbient;
    double target;
  };
  const Case cases[] = {
      {"all three", "JST-9", true, true, 0.9},
      {"another hour", "EST5", true, true, 0.6},
      {"no signature", "JST-9", false, true, 0.6},
      {"no ambient", "JST-9", true, false, 0.6},
  };
  for (const auto& c : cases) {
    test::PinnedZone zone(c.tz);
    LoopHarness h;
    h.settle();
    h.loop->setModel(model);
    h.loop->signatureProvider = [&] {
      return c.withSignature ? std::optional(dark) : std::nullopt;
    };
    if (c.withAmbient) h.loop->ambientProvider = [&] { return std::optional(ambient); };
    h.loop->onLuminanceUpdate(L, L);
    EXPECT_DOUBLE_EQ(h.loop->B_target(), c.target) << c.name;
  }
}

}  // namespace
}  // namespace nuvlet::test
