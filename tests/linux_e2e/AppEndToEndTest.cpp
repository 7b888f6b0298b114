#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "nuvlet/records/AdjustmentLogger.h"
#include "tests/harness/BacklightTree.h"
#include "tests/harness/ChildProcess.h"
#include "tests/harness/MockLogind.h"
#include "tests/harness/X11Desktop.h"
#include "tests/linux_e2e/RunningApp.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

namespace fs = std::filesystem;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Nuvlet on the X11 desktop of tests/harness/X11Desktop.h; the test talks to it only
// through the servers there.
class AppEndToEnd : public ::testing::Test, public X11Desktop {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(startDesktop()); }

  std::vector<fs::path> telemetryFiles() const {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(home / "state/nuvlet/telemetry", ec)) {
      files.push_back(entry.path());
    }
    return files;
  }

  // How many lines of the adjustment log record `event`.
  std::size_t logged(const std::string& event) const {
    const auto lines = readLines(home / "state/nuvlet/adjustments.csv");
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.find("," + event + ",") != l.npos; });
  }

  // Every record Nuvlet keeps reads whole after it ended.
  void expectRecordsWhole() const {
    const auto csv = readLines(home / "state/nuvlet/adjustments.csv");
    ASSERT_FALSE(csv.empty());
    EXPECT_EQ(csv[0] + "\n", AdjustmentLogger::kHeader);
    for (const auto& line : csv) {
      EXPECT_EQ(std::count(line.begin(), line.end(), ','), 11) << line;
    }
    for (const auto& file : telemetryFiles()) {
      for (const auto& line : readLines(file)) {
        EXPECT_FALSE(nlohmann::json::parse(line, nullptr, false).is_discarded()) << line;
      }
    }
    EXPECT_TRUE(settingsIn(home.path()).is_object());
    EXPECT_TRUE(
        nlohmann::json::parse(readText(home / "data/nuvlet/dailystats.json"), nullptr, false)
            .is_object());
  }
};

TEST_F(AppEndToEnd, TheTrayAppFollowsTheUserTheScreenAndTheMachine) {
  const auto started = std::chrono::steady_clock::now();
  RunningApp app(environment());
  ASSERT_TRUE(app.process().started());
  const auto backlight = [&] { return backlightLevel(sysfs); };

  // Both items appear with the current levels.
  ASSERT_TRUE(app.waitFor([&] { return host.registered.size() >= 2; }));
  std::printf("[ figure ] start to both tray items registered: %.0f ms\n",
              secondsSince(started) * 1000);
  const std::string brightness = host.itemTitled("Brightness");
  const std::string volume = host.itemTitled("Volume");
  ASSERT_FALSE(brightness.empty());
  ASSERT_FALSE(volume.empty());
  EXPECT_EQ(host.toolTip(brightness), "80%");
  EXPECT_TRUE(app.waitFor([&] { return host.toolTip(volume) == "40%"; }));

  // A second instance tells the user and leaves.
  auto second =
      ChildProcess::run({"/bin/sh", "-c", "exec \"$0\" 2>&1", NUVLET_PROGRAM}, environment(), 10);
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.out.find("already running"), std::string::npos) << second.out;

  // A change behind Nuvlet's back (a brightness key handled by the firmware). Made while
  // compensation is off: a loop writing its next step could overwrite it before a poll.
  writeBacklight(sysfs, 90);
  EXPECT_TRUE(app.waitFor([&] { return logged("system_key") == 1; }));
  EXPECT_TRUE(app.waitFor([&] { return host.toolTip(brightness) == "90%"; }));

  // Compensation on through the menu: stored, sampling starts, and it follows the screen.
  std::size_t mark = app.linesSoFar();
  ASSERT_TRUE(host.click(brightness, "Deruzorar!"));
  EXPECT_TRUE(
      app.waitFor([&] { return settingsIn(home.path()).value("autoAdjustEnabled", false); }));
  EXPECT_TRUE(app.waitFor([&] { return app.printed("sampling on", mark); }));
  expectCompensationFollowsTheScreen(
      app,
      [&](const std::string& colour) {
        return x({"xsetroot", "-solid", colour});
      },
      backlight);

  // Sleep stops sampling, the wake resumes it.
  mark = app.linesSoFar();
  ASSERT_TRUE(prepareForSleep(*logind, true));
  EXPECT_TRUE(app.waitFor([&] { return app.printed("will sleep: sampling off", mark); }));
  mark = app.linesSoFar();
  ASSERT_TRUE(prepareForSleep(*logind, false));
  EXPECT_TRUE(
      app.waitFor([&] { return app.printed("woke", mark) && app.printed("sampling on", mark); }));

  // Recording on from the menu opened with Shift held.
  ASSERT_TRUE(clickWithShift(brightness, "Record Brightness Data"));
  ASSERT_TRUE(app.waitFor([&] { return !telemetryFiles().empty(); }));
  ASSERT_TRUE(app.waitFor([&] { return readLines(telemetryFiles()[0]).size() >= 2; }));
  const auto first = nlohmann::json::parse(readLines(telemetryFiles()[0])[0]);
  EXPECT_EQ(first["trigger"], "start");
  EXPECT_EQ(first["builtin"], true) << "the panel's connector type reached the row";
  EXPECT_EQ(first.value("amb_lux", 0.0), 120.0) << "the sensor service reached the row";
  EXPECT_TRUE(settingsIn(home.path()).value("telemetryRecording", false));

  // SIGTERM: an orderly end within a second, every record whole.
  const auto csvBefore = readLines(home / "state/nuvlet/adjustments.csv");
  ASSERT_EQ(::kill(app.process().pid(), SIGTERM), 0);
  EXPECT_EQ(app.process().wait(1.0), 0);
  EXPECT_TRUE(app.printed("terminating"));

  EXPECT_GE(readLines(home / "state/nuvlet/adjustments.csv").size(), csvBefore.size());
  expectRecordsWhole();
  EXPECT_TRUE(fs::exists(home / "config/autostart/nuvlet.desktop"));
}

// A correction by the wheel on a steady white screen: the loop takes the panel
// back towards the model's level once the pause is over; with Keep My Corrections on,
// the level stays where the user put it for a minute, through the refit that learns it.
// Then the end of the X session (a logout, a crashed server) while it samples.
TEST_F(AppEndToEnd, KeepMyCorrectionsHoldsAScrolledLevelAndALostXServerEndsItInOrder) {
  ASSERT_TRUE(x({"xsetroot", "-solid", "#ffffff"}));
  home.write("config/nuvlet/settings.json", R"({"autoAdjustEnabled": true})");
  RunningApp app(environment());
  ASSERT_TRUE(app.waitFor([&] { return host.registered.size() >= 2; }));
  const std::string brightness = host.itemTitled("Brightness");
  const auto backlight = [&] { return backlightLevel(sysfs).value_or(-1); };
  // Comes to rest: no change for three seconds.
  const auto rest = [&] {
    int last = backlight();
    auto since = std::chrono::steady_clock::now();
    app.waitFor(
        [&] {
          if (backlight() != last) {
            last = backlight();
            since = std::chrono::steady_clock::now();
          }
          return std::chrono::steady_clock::now() - since > std::chrono::seconds(3);
        },
        40);
    return last;
  };
  // Four notches up in two flicks (one event is at most two notches).
  const auto scrollUp = [&] {
    const std::size_t before = logged("scroll");
    for (std::size_t i = 1; i <= 2; ++i) {
      EXPECT_TRUE(host.scroll(brightness, -2));
      EXPECT_TRUE(app.waitFor([&] { return logged("scroll") == before + i; }));
    }
    return backlight();
  };

  const int dimmed = rest();
  ASSERT_LT(dimmed, 70) << "compensation dims a white screen";
  const int set = scrollUp();
  EXPECT_GE(set, dimmed + 15);
  EXPECT_TRUE(app.waitFor([&] { return backlight() <= set - 10; }, 15))
      << "without Keep My Corrections the loop walks back; at " << backlight() << " from " << set;

  ASSERT_TRUE(clickWithShift(brightness, "Keep My Corrections"));
  EXPECT_TRUE(app.waitFor([&] { return settingsIn(home.path()).value("keepCorrections", false); }));
  const int kept = scrollUp();
  const auto correctedAt = std::chrono::steady_clock::now();
  EXPECT_FALSE(app.waitFor([&] { return std::abs(backlight() - kept) > 1; }, 60))
      << "moved to " << backlight() << " from " << kept << " after " << secondsSince(correctedAt)
      << " s";
  const auto model = nlohmann::json::parse(readText(home / "data/nuvlet/brightness_model_v2.json"),
                                           nullptr, false);
  EXPECT_EQ(model.value("observationCount", 0), 4)
      << "the minute held through the refit that learned the corrections";

  xvfb.kill();
  EXPECT_EQ(app.process().wait(2.0), 0) << app.output();
  EXPECT_TRUE(app.printed("the X server is gone")) << app.output();
  EXPECT_TRUE(app.printed("terminating")) << app.output();
  EXPECT_EQ(logged("scroll"), 4u);
  EXPECT_TRUE(settingsIn(home.path()).value("keepCorrections", false));
  expectRecordsWhole();
}

}  // namespace
}  // namespace nuvlet::test
