#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "nuvlet/platform/Paths.h"
#include "platform/sim/Simulation.h"
#include "tests/support/PinnedZone.h"
#include "tests/support/TempDir.h"

namespace nuvlet::sim {
namespace {

SimulationOptions shortRun(const std::filesystem::path& home) {
  SimulationOptions o;
  o.days = 1;
  o.seed = 7;
  o.home = home;
  return o;
}

TEST(Simulation, ADayHasSaneFiguresTheSameSeedRepeatsAndAnotherDoesNot) {
  test::PinnedZone zone("UTC");
  test::TempDir home, again, other;
  auto o = shortRun(home.path());
  o.traceDay = 1;
  const auto result = runSimulation(o);
  const DayFigures& day = result.days.at(0);
  EXPECT_EQ(day.date, "2026-12-07");
  EXPECT_GT(day.corrections, 0) << "a first day without a single correction is not a user";
  EXPECT_LE(day.keyPresses, day.corrections);
  EXPECT_GE(day.scrolls, day.corrections - day.keyPresses);
  EXPECT_DOUBLE_EQ(day.rollingAverage, static_cast<double>(day.corrections) / 7);
  EXPECT_DOUBLE_EQ(day.baselineAverage, static_cast<double>(day.corrections));
  EXPECT_GT(day.buckets, 0u) << "the hourly refits learned from the corrections";
  EXPECT_GT(day.withinTolerance, 0.5);

  const Paths paths = Paths::under(home.path());
  const auto stats = nlohmann::json::parse(test::readLines(paths.dailyStatsFile()).at(0));
  EXPECT_EQ(stats.at("2026-12-07").get<std::int64_t>(), day.corrections);
  const auto log = test::readLines(paths.adjustmentLog());
  using testing::Contains, testing::HasSubstr;
  EXPECT_THAT(log, Contains(HasSubstr(",scroll,")).Times(day.corrections - day.keyPresses));
  EXPECT_THAT(log, Contains(HasSubstr(",system_key,")).Times(day.keyPresses));

  ASSERT_FALSE(result.trace.hour.empty());
  EXPECT_EQ(result.trace.correctionHours.size(), static_cast<std::size_t>(day.corrections));

  // The same seed, untraced: the same corrections (the log has each one) and figures.
  const DayFigures same = runSimulation(shortRun(again.path())).days.at(0);
  EXPECT_EQ(test::readLines(Paths::under(again.path()).adjustmentLog()),
            test::readLines(paths.adjustmentLog()));
  EXPECT_EQ(std::tie(same.buckets, same.deviation, same.withinTolerance),
            std::tie(day.buckets, day.deviation, day.withinTolerance));

  auto otherSeed = shortRun(other.path());
  otherSeed.seed = 8;
  const DayFigures z = runSimulation(otherSeed).days.at(0);
  EXPECT_NE(std::make_tuple(day.deviation, day.scrolls), std::make_tuple(z.deviation, z.scrolls));
}

// On a fixed backlight that nobody corrects, the emitted light changes exactly as the
// content does, and the light the user wants changes by the content exponent of that
// (the light of the room and the hour drift far more slowly).
TEST(Simulation, SteadinessOfAFixedBacklightFollowsTheContent) {
  test::PinnedZone zone("UTC");
  test::TempDir home;
  auto o = shortRun(home.path());
  o.compensation = false;
  o.profile.user.tolerance = 20;  // never bothered
  o.profile.user.contentExponent = 0.5;
  o.profile.user.dailyNoise = 0;
  o.profile.user.baseEmitted = 0.08;  // a wish the panel can give on the darkest film too
  const auto result = runSimulation(o);
  ASSERT_EQ(result.days.at(0).corrections, 0);
  for (std::size_t k = 0; k < result.steadiness.size(); ++k) {
    SCOPED_TRACE(kContentKindNames[k]);
    const Steadiness& s = result.steadiness[k];
    for (std::size_t lag = 0; lag < Steadiness::kLags.size(); ++lag) {
      ASSERT_GT(s.emitted[lag].count, 60) << "a day shows every kind for a while";
      EXPECT_EQ(s.wanted[lag].count, s.emitted[lag].count);
      EXPECT_GT(s.emitted[lag].rms(), 0);
      EXPECT_NEAR(s.wanted[lag].rms(), 0.5 * s.emitted[lag].rms(), 0.05 * s.emitted[lag].rms());
    }
    EXPECT_GT(s.emitted[1].rms(), s.emitted[0].rms()) << "ten seconds span more scenes";
    EXPECT_GT(s.emitted[0].count, s.emitted[1].count) << "a new activity restarts the pairs";
  }
}

TEST(SimProfile, TheDefaultsReadBackAndEveryFaultNamesItsMember) {
  const nlohmann::json full = SimProfile{}.toJson();
  std::string error;
  auto parsed = parseProfile(full.dump(), error);
  ASSERT_TRUE(parsed) << error;
  EXPECT_EQ(parsed->toJson(), full);

  struct Case {
    const char* what;
    std::function<void(nlohmann::json&)> edit;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"missing", [](auto& j) { j["user"].erase("tolerance"); }, "user.tolerance: missing"},
      {"wrong type", [](auto& j) { j["world"]["lampLux"] = "bright"; },
       "world.lampLux: expected a number"},
      {"out of range", [](auto& j) { j["user"]["keyShare"] = 2; },
       "user.keyShare: 2 is outside 0 to 1"},
      {"unknown", [](auto& j) { j["user"]["tolerence"] = 0.2; }, "user.tolerence: unknown member"},
      {"part not an object", [](auto& j) { j["world"] = 3; }, "world: expected an object"},
      {"fractional steps", [](auto& j) { j["world"]["backlightSteps"] = 10.5; },
       "world.backlightSteps: expected a whole number"},
      {"bedtime before waking", [](auto& j) { j["world"]["sleepHour"] = 6; },
       "world.sleepHour: must come after world.wakeHour on the same day"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    nlohmann::json j = full;
    c.edit(j);
    error.clear();
    EXPECT_FALSE(parseProfile(j.dump(), error));
    EXPECT_EQ(error, c.message);
  }
  for (const char* text : {"", "{", "[1]", "null"}) {
    EXPECT_FALSE(parseProfile(text, error)) << text;
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace nuvlet::sim
