#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "nuvlet/records/DailyStats.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/support/PinnedZone.h"
#include "tests/support/TempDir.h"

namespace nuvlet {
namespace {

// Local midnight at the start of 2026-12-05 in Europe/Berlin (UTC+1).
constexpr double kDec5Berlin = 1796425200.0;

class DailyStatsTest : public ::testing::Test {
 protected:
  test::PinnedZone zone{"Europe/Berlin"};
  test::TempDir dir;
  Paths paths = Paths::under(dir.path());
  sim::VirtualRunLoop clock{kDec5Berlin + 12 * 3600};

  nlohmann::json file() const {
    return nlohmann::json::parse(test::readText(paths.dailyStatsFile()), nullptr, false);
  }
};

TEST_F(DailyStatsTest, NoFileMeansZeros) {
  DailyStats stats(paths, clock);
  EXPECT_EQ(stats.rollingAverage(7), 0);
  EXPECT_EQ(stats.baselineAverage(), 0);
  EXPECT_EQ(stats.todayCount(), 0);
  EXPECT_EQ(stats.daysRecorded(), 0);
}

TEST_F(DailyStatsTest, CountsPersistPerLocalDay) {
  {
    DailyStats stats(paths, clock);
    for (int i = 0; i < 3; ++i) stats.recordManualAdjustment();
    EXPECT_EQ(stats.todayCount(), 3);
    EXPECT_NEAR(stats.rollingAverage(7), 3.0 / 7, 1e-12);
    EXPECT_EQ(stats.baselineAverage(), 3.0);
    EXPECT_EQ(stats.daysRecorded(), 1);
  }
  EXPECT_EQ(test::readText(paths.dailyStatsFile()), R"({"2026-12-05":3})");
  DailyStats reloaded(paths, clock);
  EXPECT_EQ(reloaded.todayCount(), 3);
}

TEST_F(DailyStatsTest, MidnightSplitsDaysInTheLocalZone) {
  DailyStats stats(paths, clock);
  stats.recordManualAdjustment(kDec5Berlin - 60);  // 23:59 on the 4th
  stats.recordManualAdjustment(kDec5Berlin + 60);  // 00:01 on the 5th
  EXPECT_EQ(file(), nlohmann::json::parse(R"({"2026-12-04":1,"2026-12-05":1})"));
}

TEST_F(DailyStatsTest, RollingAverageAgainstBaseline) {
  nlohmann::json old;
  for (int d = 1; d <= 7; ++d) old["2025-01-0" + std::to_string(d)] = 10;
  old["2026-12-05"] = 2;
  dir.write("data/nuvlet/dailystats.json", old.dump());
  DailyStats stats(paths, clock);
  EXPECT_DOUBLE_EQ(stats.baselineAverage(), 10.0);
  EXPECT_NEAR(stats.rollingAverage(7), 2.0 / 7, 1e-12);
  EXPECT_EQ(stats.daysRecorded(), 8);
  // Yesterday and the day a week ago count; eight days ago does not.
  dir.write("data/nuvlet/dailystats.json", R"({"2026-12-04":7,"2026-11-29":7,"2026-11-28":100})");
  DailyStats window(paths, clock);
  EXPECT_DOUBLE_EQ(window.rollingAverage(7), 2.0);
}

TEST_F(DailyStatsTest, RollingWindowCrossesDaylightSavingChange) {
  // 2026-03-29 has 23 hours in Berlin; the window must still cover seven distinct days.
  clock.setWallClock(1774908000.0);  // 2026-03-31 00:00 +02:00
  dir.write(
      "data/nuvlet/dailystats.json",
      R"({"2026-03-25":1,"2026-03-26":1,"2026-03-27":1,"2026-03-28":1,"2026-03-29":1,"2026-03-30":1,"2026-03-31":1})");
  DailyStats stats(paths, clock);
  EXPECT_DOUBLE_EQ(stats.rollingAverage(7), 1.0);
}

TEST_F(DailyStatsTest, DamagedFileIsMovedAsideNotLost) {
  const std::string damaged = R"({"2026-12-01":4,"2026-12-02":"lots"})";
  dir.write("data/nuvlet/dailystats.json", damaged);
  DailyStats stats(paths, clock);
  EXPECT_EQ(stats.daysRecorded(), 0);
  // Reading alone leaves the file where it is.
  EXPECT_EQ(test::readText(paths.dailyStatsFile()), damaged);

  stats.recordManualAdjustment();
  EXPECT_EQ(test::readText(paths.dailyStatsFile()), R"({"2026-12-05":1})");
  int aside = 0;
  for (const auto& entry : std::filesystem::directory_iterator(paths.dataDir())) {
    if (entry.path().filename().string().rfind("dailystats.json.corrupt-", 0) == 0) {
      ++aside;
      EXPECT_EQ(test::readText(entry.path()), damaged);
    }
  }
  EXPECT_EQ(aside, 1);
}

TEST_F(DailyStatsTest, ReadOnlyNeverWrites) {
  DailyStats stats(paths, clock, DailyStats::Access::ReadOnly);
  stats.recordManualAdjustment();
  EXPECT_EQ(stats.todayCount(), 1);
  EXPECT_FALSE(std::filesystem::exists(paths.dataDir()));
}

}  // namespace
}  // namespace nuvlet
