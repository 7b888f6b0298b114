// The real program killed (SIGKILL) at random moments while it writes its records and
// settings, round after round: every file still reads, nothing a round wrote is lost
// in a later one, and the program starts again and goes on writing.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "nuvlet/learning/BrightnessModel.h"
#include "nuvlet/records/AdjustmentLogger.h"
#include "tests/harness/BacklightTree.h"
#include "tests/harness/ChildProcess.h"
#include "tests/harness/X11Desktop.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Complete telemetry rows that read as JSON. A row cut short by the kill may stay
// behind, but only with a line feed after it once the next run has written.
std::size_t telemetryRows(const std::string& text, std::string& problem) {
  std::size_t rows = 0;
  const auto lines = splitLines(text);
  const bool torn = !text.empty() && text.back() != '\n';
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (nlohmann::json::accept(lines[i])) {
      ++rows;
    } else if (i + 1 < lines.size() || !torn) {
      // A torn row in the middle must be followed by a whole one.
      if (i + 1 >= lines.size() || !nlohmann::json::accept(lines[i + 1])) {
        problem = "rows glued together or damaged at line " + std::to_string(i + 1);
      }
    }
  }
  return rows;
}

class KillMidWrite : public ::testing::Test, public BusLessX11Desktop {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.running()) << "Xvfb is required";
    writeBacklight(sysfs, 50);
    home.write("config/nuvlet/settings.json", R"({"telemetryRecording": true})");
  }

  fs::path telemetryDir() const { return home.path() / "state/nuvlet/telemetry"; }

  // Checks every file as the program would read it at its next start, and that what
  // the earlier rounds left in the telemetry files is still there, unchanged.
  void checkFiles(std::map<fs::path, std::string>& telemetry, const std::string& round) {
    SCOPED_TRACE(round);
    const fs::path& h = home.path();
    const auto settings =
        nlohmann::json::parse(readText(h / "config/nuvlet/settings.json"), nullptr, false);
    ASSERT_TRUE(settings.is_object()) << "settings.json does not read";
    EXPECT_EQ(settings.value("telemetryRecording", false), true) << "a setting was lost";

    const fs::path model = h / "data/nuvlet/brightness_model_v2.json";
    if (fs::exists(model)) {
      EXPECT_TRUE(BrightnessModel::load(model)) << "the model does not load";
    }

    const std::string log = readText(h / "state/nuvlet/adjustments.csv");
    EXPECT_TRUE(log.empty() || log.starts_with(AdjustmentLogger::kHeader))
        << "the adjustment log lost its header";

    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(telemetryDir(), ec)) {
      const std::string text = readText(entry.path());
      std::string& before = telemetry[entry.path()];
      EXPECT_TRUE(text.starts_with(before)) << entry.path() << " lost what it held";
      std::string problem;
      telemetryRows(text, problem);
      EXPECT_EQ(problem, "") << entry.path();
      before = text;
    }
  }
};

TEST_F(KillMidWrite, KilledAtRandomMomentsItLosesNothingAndStartsAgain) {
  const unsigned seed = std::random_device{}();
  std::printf("[ figure ] random seed %u\n", seed);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayMs(0, 600);
  std::map<fs::path, std::string> telemetry;

  const auto start = Clock::now();
  int rounds = 0;
  while (Clock::now() - start < std::chrono::seconds(20) && rounds < 300) {
    paintGrey(rounds * 37 % 256);  // a new picture: rows to write
    ChildProcess app({NUVLET_BUILD_DIR "/app/nuvlet"}, environment());
    ASSERT_TRUE(app.started());
    // The program prints nothing without --verbose: reading its output is the wait.
    const auto killAt = Clock::now() + std::chrono::milliseconds(delayMs(random));
    while (Clock::now() < killAt) {
      const double left = std::chrono::duration<double>(killAt - Clock::now()).count();
      if (app.readLine(std::max(left, 0.0)) && app.wait(0).has_value()) break;
    }
    ::kill(app.pid(), SIGKILL);
    ASSERT_TRUE(app.wait(10).has_value());
    ++rounds;
    checkFiles(telemetry, "after round " + std::to_string(rounds));
    if (HasFatalFailure()) return;
  }
  ASSERT_GE(rounds, 10);

  // It starts again, reads what is there and goes on writing rows.
  std::size_t rowsBefore = 0;
  std::string problem;
  for (const auto& [file, text] : telemetry) rowsBefore += telemetryRows(text, problem);
  ChildProcess app({NUVLET_BUILD_DIR "/app/nuvlet"}, environment());
  std::size_t rowsAfter = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  for (int shade = 0; rowsAfter < rowsBefore + 2 && Clock::now() < deadline; shade += 16) {
    paintGrey(shade % 256);
    app.readLine(0.3);
    rowsAfter = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(telemetryDir(), ec)) {
      rowsAfter += telemetryRows(readText(entry.path()), problem);
    }
  }
  EXPECT_GE(rowsAfter, rowsBefore + 2) << "the program did not go on writing";
  app.terminate();
  checkFiles(telemetry, "after the last run");
}

}  // namespace
}  // namespace nuvlet::test
