#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/harness/AppCommandOutsideSession.h"

namespace nuvlet {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

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
  EXPECT_THAT(displays,
              HasSubstr("missing: no graphical session (DISPLAY and WAYLAND_DISPLAY are unset)"));
  EXPECT_THAT(displays, Not(HasSubstr("XWayland")));
  EXPECT_THAT(
      section(result.out, "Screen capture"),
      HasSubstr("route: none (no graphical session: DISPLAY and WAYLAND_DISPLAY are unset)"));
  // No bus in the fake tree: the module is missing here, whether the kernel has it or not.
  const std::string monitors = section(result.out, "External monitors (DDC/CI)");
  EXPECT_THAT(monitors, AllOf(HasSubstr("\n  unusable: "), HasSubstr("i2c-dev")));
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
  EXPECT_THAT(result.out, HasSubstr(expected));
  EXPECT_THAT(result.out, HasSubstr((home / "data/nuvlet/brightness_model_v2.json").string()));
  EXPECT_THAT(result.out, HasSubstr((home / ".config/nuvlet/settings.json").string()))
      << "an empty XDG_CONFIG_HOME falls back to ~/.config";
}

// Missing, damaged or unusual records are reported, never fatal, and nothing is written.
TEST_F(Command, StatusReportsMissingAndDamagedRecordsAndHowCorrectionsAreTreated) {
  const std::string model = "data/nuvlet/brightness_model_v2.json",
                    settings = ".config/nuvlet/settings.json";
  struct Case {
    std::map<std::string, std::string> files;  // under the home
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {{},
       {"0 content buckets learned\n  Fit from 0 observations\n",
        "not created yet: the empty model applies", "Keep My Corrections is off"}},
      {{{model, R"({"table":[],"prior":)"}, {"data/nuvlet/dailystats.json", "\xff garbage"}},
       {"unreadable: the empty model applies", "days tracked: 0"}},
      {{{settings, R"({"keepCorrections": true})"}}, {"Keep My Corrections is on"}},
      {{{settings, R"({"keepCorrections": false})"}}, {"Keep My Corrections is off"}},
      {{{settings, R"({"keepCorrections": "yes"})"}}, {"Keep My Corrections is off"}},
  };
  for (const Case& c : cases) {
    for (const auto& entry : std::filesystem::directory_iterator(home.path())) {
      std::filesystem::remove_all(entry);
    }
    for (const auto& [file, text] : c.files) home.write(file, text);
    const auto result = run("status");
    EXPECT_EQ(result.status, 0);
    for (const auto& line : c.lines) EXPECT_THAT(result.out, HasSubstr(line));
    EXPECT_TRUE(!c.files.empty() || std::filesystem::is_empty(home.path())) << "status wrote";
  }
}

}  // namespace
}  // namespace nuvlet
