// The record and settings writers when the disk misbehaves: full, read-only, a file
// where their directory should be, or their directory removed while they run. After
// each fault, with or without a restart during it, every file still reads, nothing
// written before is lost, and writing resumes once the fault is gone.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "nuvlet/learning/AdjustmentLogParser.h"
#include "nuvlet/learning/BrightnessModel.h"
#include "nuvlet/platform/Defaults.h"
#include "nuvlet/platform/Paths.h"
#include "nuvlet/records/AdjustmentLogger.h"
#include "nuvlet/records/DailyStats.h"
#include "nuvlet/records/TelemetryRecorder.h"
#include "platform/linux/desktop/JsonFileDefaults.h"
#include "platform/sim/ScriptedWorkspace.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/SmallDisk.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

namespace fs = std::filesystem;

// What the files on disk hold, read as the program reads them at start.
struct OnDisk {
  std::int64_t modelObservations = -1;  // -1: no model file
  std::int64_t corrections = 0;         // today's count in the daily statistics
  std::int64_t logRecords = 0;          // adjustment-log lines the fitter learns from
  std::int64_t telemetryRows = 0;       // complete telemetry rows
  std::int64_t settingsRound = -1;
};

class WriterFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    root = dir.path() / "home";
    const std::string why = disk.mount(root);
    if (!why.empty()) GTEST_SKIP() << why;
  }

  void TearDown() override { writers.reset(); }

  // Every writer the program has, on this home.
  struct Writers {
    explicit Writers(const Paths& p)
        : paths(p),
          stats(paths, loop),
          logger(paths, loop, workspace),
          settings(linux_platform::makeJsonFileDefaults(paths.settingsFile(), loop)),
          recorder(paths, memory, loop) {
      workspace.frontmost = FrontmostApplication{"org.example.Editor", "Editor"};
      recorder.setSnapshotProvider([] {
        TelemetrySnapshot s;
        s.brightness = 0.4;
        s.lumSlow = 0.5;
        return s;
      });
      recorder.setRecording(true);
    }

    // One of each kind of write, as a correction causes them.
    void round(int n) {
      loop.advance(60);
      BrightnessModel model = BrightnessModel::empty();
      model.observationCount = n;
      model.save(paths.modelFile());
      stats.recordManualAdjustment();
      logger.log("scroll", 0.4, 0.5, 0.3, 0.45);
      recorder.recordEvent("brightness_change", "scroll", 0.4, 0.5);
      settings->setValue("round", n);
    }

    Paths paths;
    sim::VirtualRunLoop loop{1796558400.0};
    sim::ScriptedWorkspace workspace;
    MemoryDefaults memory;
    DailyStats stats;
    AdjustmentLogger logger;
    std::unique_ptr<Defaults> settings;
    TelemetryRecorder recorder;
  };

  Paths paths() const { return Paths::under(root); }
  void start() { writers = std::make_unique<Writers>(paths()); }

  // Reads everything back; a file that does not read fails the test.
  OnDisk read() const {
    const Paths p = paths();
    OnDisk d;
    std::error_code ec;
    if (fs::exists(p.modelFile(), ec)) {
      auto model = BrightnessModel::load(p.modelFile());
      EXPECT_TRUE(model) << "the model file does not load";
      if (model) d.modelObservations = model->observationCount;
    }
    sim::VirtualRunLoop clock{1796558400.0};
    d.corrections = DailyStats(p, clock, DailyStats::Access::ReadOnly).todayCount();
    auto log = readLines(p.adjustmentLog());
    if (!log.empty()) {
      EXPECT_EQ(log.front() + "\n", AdjustmentLogger::kHeader);
    }
    for (std::size_t i = 1; i < log.size(); ++i) {
      if (adjustment_log::parseLine(log[i])) ++d.logRecords;
    }
    for (const auto& entry : fs::directory_iterator(p.telemetryDir(), ec)) {
      for (const auto& row : readLines(entry.path())) {
        if (nlohmann::json::accept(row)) ++d.telemetryRows;
      }
    }
    if (fs::exists(p.settingsFile(), ec)) {
      auto settings = nlohmann::json::parse(readText(p.settingsFile()), nullptr, false);
      EXPECT_TRUE(settings.is_object()) << "the settings file does not read";
      if (settings.is_object()) d.settingsRound = settings.value("round", -1);
    }
    return d;
  }

  // Nothing on disk went back, and (when `grew`) every kind of record moved on.
  static void expectKept(const OnDisk& before, const OnDisk& after, bool grew) {
    for (auto count : {&OnDisk::modelObservations, &OnDisk::corrections, &OnDisk::logRecords,
                       &OnDisk::telemetryRows, &OnDisk::settingsRound}) {
      EXPECT_GE(after.*count, before.*count);
      if (grew) {
        EXPECT_GT(after.*count, before.*count);
      }
    }
  }

  TempDir dir;
  fs::path root;
  SmallDisk disk;
  std::unique_ptr<Writers> writers;
};

TEST_F(WriterFaults, EachFaultLosesNothingAndWritingResumesAfterIt) {
  const Paths p = paths();
  struct Fault {
    const char* name;
    std::function<void()> begin;
    std::function<void()> end;
  };
  const fs::path home = root;
  int n = 0;
  const Fault faults[] = {
      {"a full disk",
       [&] {
         ASSERT_TRUE(SmallDisk::fill(home / "filler"));
         // Until the log has filled its last page too: its last line is then cut short.
         for (std::uintmax_t size = 0, same = 0, i = 0; same < 3 && i < 300; ++i) {
           writers->round(++n);
           const auto now = fs::file_size(p.adjustmentLog());
           same = now == size ? same + 1 : 0;
           size = now;
         }
       },
       [&] { fs::remove(home / "filler"); }},
      {"read-only home", [&] { ASSERT_EQ(disk.readOnly(true), ""); },
       [&] { ASSERT_EQ(disk.readOnly(false), ""); }},
      {"a file where the state directory should be",
       [&] {
         fs::rename(p.stateDir(), home / "state-aside");
         std::ofstream(p.stateDir()) << "not a directory\n";
       },
       [&] {
         fs::remove(p.stateDir());
         fs::rename(home / "state-aside", p.stateDir());
       }},
  };

  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.name);
    for (bool restart : {false, true}) {
      start();
      writers->round(++n);
      const OnDisk before = read();
      fault.begin();
      if (restart) {
        writers.reset();
        start();
      }
      writers->round(++n);
      fault.end();
      const OnDisk during = read();
      expectKept(before, during, false);
      writers->round(++n);
      expectKept(during, read(), true);
      writers.reset();
    }
  }
}

TEST_F(WriterFaults, RecordsWrittenAfterTheirDirectoriesAreRemovedReachNewFiles) {
  start();
  writers->round(1);
  writers->round(2);
  fs::remove_all(paths().stateDir());
  fs::remove_all(paths().dataDir());
  fs::remove_all(paths().configDir());
  writers->round(3);
  const OnDisk after = read();
  EXPECT_EQ(after.modelObservations, 3);
  EXPECT_EQ(after.corrections, 3);  // the counts live on in memory
  EXPECT_EQ(after.logRecords, 1);
  EXPECT_GE(after.telemetryRows, 1);
  EXPECT_EQ(after.settingsRound, 3);
}

}  // namespace
}  // namespace nuvlet::test
