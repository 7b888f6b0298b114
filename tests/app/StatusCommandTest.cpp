#include <gtest/gtest.h>

#include <filesystem>

#include "tests/harness/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace nuvlet {
namespace {

const char* kExampleModel =
    R"({"table":[{"lumBin":6,"darkBin":0,"brightBin":2,"chromaBin":0,"warmBin":1,"todBin":1},{"preferredB":0.42,"count":12},)"
    R"({"lumBin":12,"darkBin":0,"brightBin":0,"chromaBin":5,"warmBin":1,"todBin":9,"ambientBin":1},{"preferredB":0.61,"count":3},)"
    R"({"lumBin":1,"darkBin":2,"brightBin":0,"chromaBin":2,"warmBin":0,"todBin":3},{"preferredB":0.755,"count":40}],)"
    R"("prior":{"bByLumBin":[0.8,0.74,0.7,0.66,0.6,0.55,0.5,0.45]},"fittedAt":786000000.5,"observationCount":57})";

class StatusCommand : public ::testing::Test {
 protected:
  test::TempDir home;
  std::map<std::string, std::string> env{{"HOME", home.path().string()},
                                         {"XDG_DATA_HOME", (home / "data").string()},
                                         {"XDG_STATE_HOME", (home / "state").string()},
                                         {"XDG_CONFIG_HOME", ""},
                                         {"TZ", "UTC"}};
  const std::string nuvlet = NUVLET_BUILD_DIR "/app/nuvlet";

  test::ChildProcess::Result run(std::vector<std::string> args) {
    args.insert(args.begin(), nuvlet);
    return test::ChildProcess::run(args, env);
  }
};

TEST_F(StatusCommand, SummarisesModelAndDailyStatisticsFromTheXdgPlaces) {
  home.write("data/nuvlet/brightness_model_v2.json", kExampleModel);
  // Today in the child's clock is unknown to the test, so give it a past day only.
  home.write("data/nuvlet/dailystats.json", R"({"2020-01-01":3,"2020-01-02":1})");
  auto result = run({"status"});
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

TEST_F(StatusCommand, WithoutFilesReportsTheEmptyModelAndWritesNothing) {
  auto result = run({"status"});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("0 content buckets learned\n  Fit from 0 observations\n"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("not created yet: the empty model applies"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(home.path()));
}

TEST_F(StatusCommand, SaysHowCorrectionsAreTreated) {
  struct Case {
    const char* settings;  // nullptr: no file
    const char* line;
  };
  const Case cases[] = {{nullptr, "Keep My Corrections is off"},
                        {R"({"keepCorrections": true})", "Keep My Corrections is on"},
                        {R"({"keepCorrections": false})", "Keep My Corrections is off"},
                        {R"({"keepCorrections": "yes"})", "Keep My Corrections is off"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings ? c.settings : "no settings");
    std::filesystem::remove_all(home / ".config");
    if (c.settings) home.write(".config/nuvlet/settings.json", c.settings);
    auto result = run({"status"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find(c.line), std::string::npos) << result.out;
  }
}

TEST_F(StatusCommand, DamagedModelIsReportedNotFatal) {
  home.write("data/nuvlet/brightness_model_v2.json", R"({"table":[],"prior":)");
  home.write("data/nuvlet/dailystats.json", "\xff garbage");
  auto result = run({"status"});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("unreadable: the empty model applies"), std::string::npos);
  EXPECT_NE(result.out.find("days tracked: 0"), std::string::npos);
}

}  // namespace
}  // namespace nuvlet
