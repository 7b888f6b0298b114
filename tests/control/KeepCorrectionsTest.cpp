#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "nuvlet/control/CompensationLoop.h"
#include "nuvlet/platform/Log.h"
#include "tests/control/LoopHarness.h"

namespace nuvlet::test {
namespace {

// Darker content wants more backlight: 0.9 on black down to 0.2 on white.
BrightnessModel rampModel() {
  BrightnessModel m = BrightnessModel::empty();
  m.prior.bByLumBin = {0.9, 0.8, 0.7, 0.6, 0.5, 0.4, 0.3, 0.2};
  return m;
}

double preferred(const BrightnessModel& m, double L) {
  return m.preferredBacklight(L, ContentSignature::neutral(L), std::nullopt, 12);
}

// The loop's settled level is within the write threshold's reach of what it aims at.
constexpr double kSettled = 0.032;

struct KeepHarness : LoopHarness {
  explicit KeepHarness(bool keep, double hardware = 0.5) : LoopHarness(hardware) {
    loop->setKeepsCorrections(keep);
  }
  // Ten ticks a second on a screen of luminance L.
  void run(double seconds, double L) {
    for (int i = 0; i < static_cast<int>(seconds * 10); ++i) {
      clock.advance(0.1);
      loop->onLuminanceUpdate(L, L);
    }
  }
  // What a scroll does: the hardware first, then the loop is told.
  void correct(double level) {
    backlight.level = level;
    loop->onManualChange(level, "scroll");
  }
};

TEST(KeepCorrections, OnTheUsersLevelHoldsOffTheLoopWalksBackToTheModel) {
  // A correction a second for two minutes, the last one to 0.8; a minute later the
  // level is the user's only while the mode is on.
  const int corrections = 120;
  for (bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "on" : "off");
    KeepHarness h(keep);
    h.loop->setModel(flatModel(0.5));
    h.settle();
    h.run(1, 0.5);
    for (int i = corrections - 1; i >= 0; --i) {
      h.correct(i == 0 ? 0.8 : 0.8 + 0.05 * (i % 3));
      h.backlight.writes.clear();
      h.run(1, 0.5);
      ASSERT_TRUE(h.backlight.writes.empty()) << "the loop wrote inside the pause";
    }
    h.run(60, 0.5);
    EXPECT_NEAR(h.backlight.level, keep ? 0.8 : 0.5, kSettled);
    EXPECT_EQ(h.stats.todayCount(), corrections) << "every correction counts in both modes";
    EXPECT_DOUBLE_EQ(h.loop->B_target(), 0.5) << "the model is still asked for its own level";
  }
}

// Once the content changes the level moves as the model says it should, relative to
// the correction, and comes back when the content does. The user's offset from the
// model carries over less the further the luminance has gone.
TEST(KeepCorrections, TheLevelMovesByTheModelsRatioInsideTheBand) {
  struct Case {
    const char* name;
    double correctedTo, L_then, L_now;
  };
  const Case cases[] = {{"brighter content dims", 0.7, 0.2, 0.8},
                        {"darker content brightens", 0.5, 0.8, 0.3},
                        {"a near luminance keeps most of the offset", 0.6, 0.5, 0.6},
                        {"the band stops a large ratio", 0.3, 0.95, 0.02 + 1e-3},
                        {"the ceiling stops it", 0.9, 0.8, 0.1}};
  const BrightnessModel m = rampModel();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KeepHarness h(true);
    h.loop->setModel(m);
    h.settle(c.L_then);
    h.run(1, c.L_then);
    h.correct(c.correctedTo);
    h.run(10, c.L_then);
    EXPECT_NEAR(h.backlight.level, c.correctedTo, 1e-9) << "unchanged content: no write";

    h.run(60, c.L_now);
    const double carried = std::max(
        CompensationLoop::kCorrectionCarriesAtLeast,
        std::exp(-std::abs(std::log(c.L_now / c.L_then)) / CompensationLoop::kCorrectionReach));
    const double offset = c.correctedTo / preferred(m, c.L_then);
    const double expected = std::clamp(preferred(m, c.L_now) * std::pow(offset, carried),
                                       c.correctedTo * 0.4, std::min(1.0, c.correctedTo * 1.6));
    EXPECT_NEAR(h.loop->B_current(), expected, kSettled);
    h.run(60, c.L_then);
    EXPECT_NEAR(h.loop->B_current(), c.correctedTo, kSettled);
  }
}

// What the model or the screen said at the correction, and what happens after it (the
// mode switched during its pause, a refit that learns it, a reset, the machine asleep
// until the next tick), must never turn into a jump or undo it.
TEST(KeepCorrections, EdgesOfTheCorrectionAndWhatFollowsHaveADefinedAnswer) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  BrightnessModel dark = BrightnessModel::empty();
  // Answers its floor on dark content and 1.0 on bright: a twentyfold ratio.
  dark.prior.bByLumBin = {0, 0, 0, 0, 1, 1, 1, 1};
  const BrightnessModel flat = flatModel(0.5);
  struct Case {
    const char* name;
    BrightnessModel model;
    double L_then, correctedTo, L_now;
    double low, high;  // where the level ends a minute later
    void (*after)(KeepHarness&) = nullptr;
    bool keep = true;  // the mode when the correction was made
  };
  const Case cases[] = {
      {"a model answering NaN: the level holds", flatModel(nan), 0.5, 0.7, 0.9, 0.7, 0.7},
      {"a model answering 0: the level holds", flatModel(0), 0.5, 0.7, 0.9, 0.7, 0.7},
      {"a floor answer at the correction: no further than the band", dark, 0.05, 0.5, 0.95,
       0.8 - kSettled, 0.8},
      {"made on a black screen: held for the content that comes", rampModel(), 0.01, 0.7, 0.6, 0.7,
       0.7},
      {"down to 0: the floor", rampModel(), 0.5, 0.0, 0.5, 0.0, 0.05},
      {"up to 1.0 and darker content: the ceiling", rampModel(), 0.5, 1.0, 0.05, 1.0 - kSettled,
       1.0},
      {"switched on during the pause", flat, 0.5, 0.8, 0.5, 0.8 - kSettled, 0.8 + kSettled,
       [](KeepHarness& h) { h.loop->setKeepsCorrections(true); }, false},
      {"switched off during the pause", flat, 0.5, 0.8, 0.5, 0.5 - kSettled, 0.5 + kSettled,
       [](KeepHarness& h) { h.loop->setKeepsCorrections(false); }},
      {"a refit learned the correction", flat, 0.5, 0.8, 0.5, 0.8 - kSettled, 0.8 + kSettled,
       [](KeepHarness& h) {
         h.run(20, 0.5);
         h.loop->setModel(flatModel(0.65));
       }},
      {"reset everything: the model's level again", flat, 0.5, 0.8, 0.5, 0.5 - kSettled,
       0.5 + kSettled, [](KeepHarness& h) { h.loop->resetTarget(); }},
      {"suspended for nine hours", flat, 0.5, 0.8, 0.5, 0.8 - kSettled, 0.8 + kSettled,
       [](KeepHarness& h) { h.clock.setWallClock(h.clock.now() + 9 * 3600); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KeepHarness h(c.keep);
    h.loop->setModel(c.model);
    h.settle(c.L_then);
    h.run(1, c.L_then);
    h.correct(c.correctedTo);
    if (c.after != nullptr) c.after(h);
    h.run(5, c.L_then);
    h.run(60, c.L_now);
    EXPECT_GE(h.backlight.level, c.low - 1e-9);
    EXPECT_LE(h.backlight.level, c.high + 1e-9);
    for (double w : h.backlight.writes) ASSERT_TRUE(w >= 0.05 && w <= 1.0) << w;
  }
}

TEST(KeepCorrections, ASettingThatIsNotABooleanIsNotedAndReadAsOff) {
  std::vector<std::string> lines;
  log::setSink([&](std::string_view line) { lines.emplace_back(line); });
  for (const nlohmann::json& value : {nlohmann::json("yes"), nlohmann::json(1)}) {
    LoopHarness h;
    h.defaults.setValue(CompensationLoop::kKeepCorrectionsKey, value);
    h.defaults.setValue("showVolumeInMenuBar", false);
    lines.clear();
    CompensationLoop loop(h.brightness, h.stats, h.logger, h.defaults, h.topology, h.clock);
    EXPECT_FALSE(loop.keepsCorrections()) << value;
    EXPECT_TRUE(loop.enabled()) << "the other settings are read as before";
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("keepCorrections"), std::string::npos) << lines[0];
    EXPECT_EQ(h.defaults.value("showVolumeInMenuBar"), nlohmann::json(false));
  }
  log::setSink({});
}

}  // namespace
}  // namespace nuvlet::test
