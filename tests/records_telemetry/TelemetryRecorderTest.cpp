#include <gtest/gtest.h>
#include <sys/stat.h>

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
  RecorderTest() : zone_("Europe/Berlin"), loop_(kNoon), paths_(Paths::under(tmp_.path())) {}

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
    std::ifstream in(day(key), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      out.push_back(json::parse(line));  // throws, failing the test, on a bad line
    }
    return out;
  }

  PinnedZone zone_;
  test::TempDir tmp_;
  sim::VirtualRunLoop loop_;
  Paths paths_;
  MemoryDefaults defaults_;
  TelemetrySnapshot snap_ = steady();

  static TelemetrySnapshot steady() {
    TelemetrySnapshot s;
    s.brightness = 0.5;
    s.lumSlow = 0.4;
    return s;
  }
};

TEST_F(RecorderTest, SwitchingOnStartsASessionInAPrivateDayFile) {
  auto r = make();
  EXPECT_FALSE(r->isRecording());
  std::vector<bool> changes;
  r->setOnRecordingChange([&](bool on) { changes.push_back(on); });
  r->toggleRecording();
  EXPECT_TRUE(r->isRecording());
  EXPECT_EQ(defaults_.value("telemetryRecording"), json(true));
  EXPECT_EQ(changes, std::vector<bool>{true});

  struct stat st {};
  ASSERT_EQ(::stat(day("2026-12-05").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(paths_.telemetryDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  const auto all = rows();
  ASSERT_EQ(all.size(), 1u);
  const json& start = all[0];
  EXPECT_EQ(start["trigger"], "start");
  EXPECT_EQ(start["event"], "session_start");
  EXPECT_EQ(start["schema"], 2);
  EXPECT_EQ(start["ts"], "2026-12-05T12:00:00.000Z");
  EXPECT_EQ(start["t"], kNoon);
  EXPECT_EQ(start["hour"], 13);
  EXPECT_EQ(start["weekday"], 7);
  for (const char* member : {"brightness", "amb_avail", "builtin", "display_id", "auto_on"}) {
    EXPECT_TRUE(start.contains(member)) << member;
  }
  for (const char* member : {"source", "b_before", "lum_grid", "app_id", "app_name", "amb_lux"}) {
    EXPECT_FALSE(start.contains(member)) << member;
  }
}

TEST_F(RecorderTest, TheStoredSwitchResumesRecordingAtStart) {
  defaults_.setValue("telemetryRecording", true);
  auto r = make();
  EXPECT_TRUE(r->isRecording());
  EXPECT_FALSE(std::filesystem::exists(day("2026-12-05")));
  r->startIfEnabled();
  r->startIfEnabled();  // a second call starts no second session
  loop_.advance(0.5);
  EXPECT_EQ(rows().size(), 1u);  // the start row; the tick has nothing new to say
  EXPECT_EQ(loop_.activeTimers(), 1u);
}

TEST_F(RecorderTest, ASteadyScreenWritesAHeartbeatEveryTenAndAHalfSeconds) {
  auto r = make();
  r->setRecording(true);
  loop_.advance(60);
  std::vector<double> times;
  for (const auto& row : rows()) times.push_back(row["t"].get<double>() - kNoon);
  EXPECT_EQ(times, (std::vector<double>{0, 10.5, 21, 31.5, 42, 52.5}));
}

TEST_F(RecorderTest, TickRulesDecideWhenARowIsWorthWriting) {
  struct Case {
    const char* what;
    void (*change)(TelemetrySnapshot&);
    bool writes;
  } cases[] = {
      {"backlight +0.002", [](TelemetrySnapshot& s) { s.brightness += 0.002; }, false},
      {"backlight +0.004", [](TelemetrySnapshot& s) { s.brightness += 0.004; }, true},
      {"backlight -0.004", [](TelemetrySnapshot& s) { s.brightness -= 0.004; }, true},
      {"lum_slow +0.01", [](TelemetrySnapshot& s) { *s.lumSlow += 0.01; }, false},
      {"lum_slow +0.02", [](TelemetrySnapshot& s) { *s.lumSlow += 0.02; }, true},
      {"lum_slow gone", [](TelemetrySnapshot& s) { s.lumSlow.reset(); }, false},
      {"app appears", [](TelemetrySnapshot& s) { s.appID = "org.example.App"; }, true},
      {"ambient moves", [](TelemetrySnapshot& s) { s.ambNorm = 0.9; }, false},
  };
  auto r = make();
  r->setRecording(true);
  for (const auto& c : cases) {
    snap_ = steady();
    loop_.advance(0.5);
    const auto before = rows().size();
    c.change(snap_);
    loop_.advance(0.5);
    EXPECT_EQ(rows().size() - before, c.writes ? 1u : 0u) << c.what;
  }
}

TEST_F(RecorderTest, EventRowsCarryTheirNamesAndRestartTheHeartbeat) {
  auto r = make();
  r->setRecording(true);
  loop_.advance(5);
  snap_.appID = "org.example.Editor";
  snap_.appName = "Editor";
  r->recordEvent("app_switch");
  r->recordEvent("brightness_change", "manual", 0.5, 0.123456);
  loop_.advance(10);  // the tick sees the new app already written: nothing until 10.5 s
  snap_.appID.reset();
  const auto all = rows();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1]["trigger"], "app_switch");
  EXPECT_EQ(all[1]["event"], "app_switch");
  EXPECT_EQ(all[1]["app_id"], "org.example.Editor");
  EXPECT_EQ(all[1]["app_name"], "Editor");
  EXPECT_FALSE(all[1].contains("source"));
  EXPECT_EQ(all[2]["source"], "manual");
  EXPECT_EQ(all[2]["b_before"], 0.5);
  EXPECT_EQ(all[2]["b_after"], 0.1235);
  loop_.advance(0.5);
  EXPECT_EQ(rows().size(), 4u);
}

TEST_F(RecorderTest, NumbersAreRoundedAndAbsentValuesLeftOut) {
  TelemetrySnapshot s;
  s.brightness = 0.123456;
  s.ambLux = 123.456;
  s.lumGrid = {0.00049, 0.0005, 0.12345, -0.0004};
  s.lumRaw = std::nan("");
  s.lumFast = INFINITY;
  s.sigDark = 0.00005;
  s.sigBright = -0.00005;
  s.displayID = 4294967295u;
  const json row =
      json::parse(TelemetryRecorder::formatRow("tick", {}, {}, {}, {}, s, kNoon + 0.2506));
  EXPECT_EQ(row["brightness"], 0.1235);
  EXPECT_EQ(row["amb_lux"], 123.5);
  EXPECT_EQ(row["lum_grid"], json::parse("[0,0.001,0.123,0]"));
  EXPECT_EQ(row["lum_raw"], 0);
  EXPECT_EQ(row["lum_fast"], 0);
  EXPECT_EQ(row["sig_dark"], 0.0001);  // halves away from zero
  EXPECT_EQ(row["sig_bright"], -0.0001);
  EXPECT_EQ(row["display_id"], 4294967295u);
  EXPECT_EQ(row["t"], kNoon + 0.251);
  EXPECT_EQ(row["ts"], "2026-12-05T12:00:00.251Z");
  for (const char* member : {"event", "source", "app_id", "app_name", "lum_slow", "amb_norm",
                             "b_target", "b_loop", "chroma", "warm_cool"}) {
    EXPECT_FALSE(row.contains(member)) << member;
  }
  s.lumGrid.clear();
  EXPECT_FALSE(json::parse(TelemetryRecorder::formatRow("tick", {}, {}, {}, {}, s, kNoon))
                   .contains("lum_grid"));
}

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

TEST_F(RecorderTest, RowsAfterLocalMidnightGoToTheNewDaysFile) {
  loop_.advanceTo(1796511600.0 - 3);  // 23:59:57 in Berlin
  auto r = make();
  r->setRecording(true);
  snap_.brightness = 0.7;
  loop_.advance(1);
  loop_.advance(2);  // midnight: nothing changed, no row
  snap_.brightness = 0.8;
  loop_.advance(0.5);
  const auto before = rows("2026-12-05");
  const auto after = rows("2026-12-06");
  ASSERT_EQ(before.size(), 2u);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(before[1]["brightness"], 0.7);
  EXPECT_EQ(after[0]["brightness"], 0.8);
  EXPECT_EQ(after[0]["hour"], 0);
  EXPECT_EQ(after[0]["weekday"], 1);  // Sunday
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

TEST_F(RecorderTest, WithoutAProviderNothingIsWritten) {
  TelemetryRecorder r(paths_, defaults_, loop_);
  r.setRecording(true);
  r.recordEvent("app_switch");
  loop_.advance(30);
  EXPECT_FALSE(std::filesystem::exists(day("2026-12-05")));
}

TEST_F(RecorderTest, ARowCutShortBeforeIsNotGluedToTheNextOne) {
  std::filesystem::create_directories(paths_.telemetryDir());
  std::ofstream(day("2026-12-05")) << "{\"schema\":2,\"brightn";
  auto r = make();
  r->setRecording(true);
  std::ifstream in(day("2026-12-05"));
  std::string first, second;
  std::getline(in, first);
  std::getline(in, second);
  EXPECT_EQ(first, "{\"schema\":2,\"brightn");
  EXPECT_EQ(json::parse(second)["trigger"], "start");
}

TEST_F(RecorderTest, AnUnwritableDirectoryDropsRowsUntilItCanBeOpened) {
  // A file where the directory should be: nothing can be created below it.
  std::filesystem::create_directories(paths_.stateDir());
  std::ofstream(paths_.telemetryDir()) << "in the way";
  auto r = make();
  r->setRecording(true);
  loop_.advance(5);
  std::filesystem::remove(paths_.telemetryDir());
  snap_.brightness = 0.9;
  loop_.advance(0.5);
  const auto all = rows();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]["trigger"], "tick");
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
