#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "nuvlet/learning/ModelFitter.h"
#include "nuvlet/records/TelemetryRecorder.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/support/PinnedZone.h"
#include "tests/support/TempDir.h"

namespace nuvlet {
namespace {

using nlohmann::json;
using test::PinnedZone;

// 2026-12-05 12:00:00 UTC; 13:00 in Berlin, a Saturday.
constexpr double kNoon = 1796472000.0;

class RecorderTest : public ::testing::Test {
 protected:
  RecorderTest() : zone_("Europe/Berlin"), loop_(kNoon), paths_(Paths::under(tmp_.path())) {
    snap_.brightness = 0.5;
    snap_.lumSlow = 0.4;
  }

  std::unique_ptr<TelemetryRecorder> make() {
    auto r = std::make_unique<TelemetryRecorder>(paths_, defaults_, loop_);
    r->setSnapshotProvider([this] { return snap_; });
    return r;
  }
  std::filesystem::path day(const std::string& key) const {
    return paths_.telemetryDir() / ("telemetry-" + key + ".jsonl");
  }
  // Every line of a day file, each read back with an independent JSON reader.
  std::vector<json> rows(const std::string& key = "2026-12-05") const {
    std::vector<json> out;
    // json::parse throws, failing the test, on a bad line.
    for (const auto& line : test::readLines(day(key))) out.push_back(json::parse(line));
    return out;
  }

  PinnedZone zone_;
  test::TempDir tmp_;
  sim::VirtualRunLoop loop_;
  Paths paths_;
  MemoryDefaults defaults_;
  TelemetrySnapshot snap_;
};

TEST_F(RecorderTest, TextIsEscapedAndRepairedNeverWrittenRaw) {
  TelemetrySnapshot s;
  s.appID = std::string("quote\" back\\ nl\n tab\t nul\0 del\x7f", 32);
  s.appName = "caf\xe9 \xf0\x9f\x98\x80";  // Latin-1 é, then a valid emoji
  const std::string line = TelemetryRecorder::formatRow("tick", {}, {}, {}, {}, s, kNoon);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  const json row = json::parse(line);
  EXPECT_EQ(row["app_id"].get<std::string>(), s.appID);
  EXPECT_EQ(row["app_name"], "caf\xef\xbf\xbd \xf0\x9f\x98\x80");
}

TEST_F(RecorderTest, OffAndOnAgainAppendsANewSessionAndOffWritesNothing) {
  auto r = make();
  r->setRecording(true);
  loop_.advance(2);
  r->setRecording(false);
  r->setRecording(false);
  r->recordEvent("app_switch");
  loop_.advance(30);
  EXPECT_EQ(rows().size(), 1u);
  EXPECT_EQ(loop_.activeTimers(), 0u);
  r->toggleRecording();
  const auto all = rows();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1]["trigger"], "start");
}

TEST_F(RecorderTest, ARowCutShortBeforeIsNotGluedToTheNextOne) {
  std::filesystem::create_directories(paths_.telemetryDir());
  std::ofstream(day("2026-12-05")) << "{\"schema\":2,\"brightn";
  auto r = make();
  r->setRecording(true);
  const auto lines = test::readLines(day("2026-12-05"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "{\"schema\":2,\"brightn");
  EXPECT_EQ(json::parse(lines[1])["trigger"], "start");
}

TEST_F(RecorderTest, TheFitterLearnsFromWhatTheRecorderWrote) {
  auto r = make();
  snap_.autoOn = false;
  r->setRecording(true);
  snap_.brightness = 0.6;
  loop_.advance(0.5);
  snap_.autoOn = true;
  snap_.brightness = 0.9;
  loop_.advance(0.5);
  const auto model = ModelFitter::fit(paths_, loop_);
  EXPECT_EQ(model.observationCount, 2);
  EXPECT_EQ(model.table.begin()->second, (BucketStat{0.55, 2}));
}

}  // namespace
}  // namespace nuvlet
