#include <gtest/gtest.h>

#include <filesystem>

#include "tests/harness/AppCommandOutsideSession.h"

namespace nuvlet {
namespace {

const char* kExampleModel =
    R"({"table":[{"lumBin":6,"darkBin":0,"brightBin":2,"chromaBin":0,"warmBin":1,"todBin":1},{"preferredB":0.42,"count":12},)"
    R"({"lumBin":12,"darkBin":0,"brightBin":0,"chromaBin":5,"warmBin":1,"todBin":9,"ambientBin":1},{"preferredB":0.61,"count":3},)"
    R"({"lumBin":1,"darkBin":2,"brightBin":0,"chromaBin":2,"warmBin":0,"todBin":3},{"preferredB":0.755,"count":40}],)"
    R"("prior":{"bByLumBin":[0.8,0.74,0.7,0.66,0.6,0.55,0.5,0.45]},"fittedAt":786000000.5,"observationCount":57})";

class Command : public ::testing::Test, public test::AppCommandOutsideSession {};

// The section of `nuvlet devices` output under `title`, up to the blank line after it.
std::string section(const std::string& out, const std::string& title) {
  const auto at = out.find(title + "\n");
  if (at == std::string::npos) return "";
  const auto end = out.find("\n\n", at);
  return out.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// What a newcomer sees outside any desktop session, on a machine without I2C buses: why
// nothing is found, and what to do.
TEST_F(Command, DevicesOutsideASessionSaysSoAndWhyMonitorsCannotBeReached) {
  auto result = run("devices");
  ASSERT_EQ(result.status, 0) << result.out;

  const std::string displays = section(result.out, "Displays");
  EXPECT_NE(displays.find("missing: no graphical session (DISPLAY and WAYLAND_DISPLAY are unset)"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(displays.find("XWayland"), std::string::npos) << displays;
  EXPECT_NE(section(result.out, "Screen capture")
                .find("route: none (no graphical session: DISPLAY and WAYLAND_DISPLAY are unset)"),
            std::string::npos)
      << result.out;
  // No bus in the fake tree: the module is missing here, whether the kernel has it or not.
  const std::string monitors = section(result.out, "External monitors (DDC/CI)");
  EXPECT_NE(monitors.find("\n  unusable: "), std::string::npos) << monitors;
  EXPECT_NE(monitors.find("i2c-dev"), std::string::npos) << monitors;
}

TEST_F(Command, StatusSummarisesModelAndDailyStatisticsFromTheXdgPlaces) {
  home.write("data/nuvlet/brightness_model_v2.json", kExampleModel);
  // Today in the child's clock is unknown to the test, so give it a past day only.
  home.write("data/nuvlet/dailystats.json", R"({"2020-01-01":3,"2020-01-02":1})");
  auto result = run("status");
  EXPECT_EQ(result.status, 0);
  const std::string expected =
      "Calibration\n"
      "  3 content buckets learned\n"
      "  Fit from 57 observations\n"
      "  Last 7 days: 0.0 adj/day (baseline 2.0)\n"
      "  Today: 0 \u2022 days tracked: 2\n"
      "\n"
      "  Top learned content:\n"
      "    darker / vivid / cool, night: B=0.76 (40)\n"
      "    brighter / neutral / neutral, day: B=0.42 (12)\n"
      "    ? / ? / neutral, ?: B=0.61 (3)\n";
  EXPECT_NE(result.out.find(expected), std::string::npos) << result.out;
  EXPECT_NE(result.out.find((home / "data/nuvlet/brightness_model_v2.json").string()),
            std::string::npos);
  EXPECT_NE(result.out.find((home / ".config/nuvlet/settings.json").string()), std::string::npos)
      << "an empty XDG_CONFIG_HOME falls back to ~/.config";
}

TEST_F(Command, StatusWithoutFilesReportsTheEmptyModelAndWritesNothing) {
  auto result = run("status");
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("0 content buckets learned\n  Fit from 0 observations\n"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("not created yet: the empty model applies"), std::string::npos);
  EXPECT_NE(result.out.find("Keep My Corrections is off"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(home.path()));
}

TEST_F(Command, StatusSaysHowCorrectionsAreTreated) {
  struct Case {
    const char* settings;
    const char* line;
  };
  const Case cases[] = {{R"({"keepCorrections": true})", "Keep My Corrections is on"},
                        {R"({"keepCorrections": false})", "Keep My Corrections is off"},
                        {R"({"keepCorrections": "yes"})", "Keep My Corrections is off"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    home.write(".config/nuvlet/settings.json", c.settings);
    auto result = run("status");
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find(c.line), std::string::npos) << result.out;
  }
}

TEST_F(Command, StatusOfADamagedModelIsReportedNotFatal) {
  home.write("data/nuvlet/brightness_model_v2.json", R"({"table":[],"prior":)");
  home.write("data/nuvlet/dailystats.json", "\xff garbage");
  auto result = run("status");
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("unreadable: the empty model applies"), std::string::npos);
  EXPECT_NE(result.out.find("days tracked: 0"), std::string::npos);
}

}  // namespace
}  // namespace nuvlet
