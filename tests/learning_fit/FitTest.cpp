// Whole fits over record trees on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "nuvlet/learning/ModelFitter.h"
#include "nuvlet/platform/ThreadWorkQueue.h"
#include "nuvlet/records/AdjustmentLogger.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/support/TempDir.h"

namespace nuvlet {
namespace {

const std::string kHeader(AdjustmentLogger::kHeader);

// A records tree (telemetry directory and adjustment log) in a temporary directory.
struct Records {
  test::TempDir dir;
  FitSources sources{dir / "telemetry", dir / "adjustments.csv"};

  void telemetry(const std::string& name, const std::string& text) const {
    dir.write("telemetry/" + name, text);
  }
  void log(const std::string& text) const { dir.write("adjustments.csv", text); }
  FitResult fit() const { return ModelFitter::fit(sources, 1796558400.0); }
};

std::string row(double lum, double b, const std::string& extra = "") {
  return "{\"lum_slow\":" + std::to_string(lum) + ",\"brightness\":" + std::to_string(b) +
         ",\"hour\":12" + extra + "}\n";
}

TEST(Fit, NoRecordsAutomaticOnesOrAHeaderAloneGiveTheEmptyModel) {
  Records r;
  const std::string scroll = "2026-12-05T12:09:00Z,scroll,0.5,0.42,0.81,0.5,x";
  EXPECT_EQ(r.fit().model, BrightnessModel::empty());
  r.telemetry("telemetry-2026-12-05.jsonl", row(0.5, 0.5, ",\"auto_on\":true"));
  r.log(kHeader + "2026-12-05T12:09:00Z,auto,0.5,0.42,0.81,0.5,x\n");
  EXPECT_EQ(r.fit().model, BrightnessModel::empty());
  // The first line is the header whatever it holds, even a valid record.
  r.log(scroll + "\n");
  EXPECT_EQ(r.fit().model.observationCount, 0);
  r.log("\n\n" + scroll + "\n\n" + scroll);
  const auto result = r.fit();
  EXPECT_EQ(result.model.observationCount, 1);
  EXPECT_EQ(result.logObservations, 1);
}

TEST(Fit, BucketsTakeTheMedianAndCountOfTheirLevels) {
  Records r;
  r.telemetry("a.jsonl",
              row(0.1, 0.3) + row(0.1, 0.5) + row(0.9, 0.3) + row(0.9, 0.9) + row(0.9, 0.5));
  const auto model = r.fit().model;
  ASSERT_EQ(model.table.size(), 2u);
  const ContentBucket dark = ContentBucket::from(0.1, ContentSignature::neutral(0.1), {}, 12);
  const ContentBucket bright = ContentBucket::from(0.9, ContentSignature::neutral(0.9), {}, 12);
  EXPECT_EQ(model.table.at(dark), (BucketStat{0.4, 2}));
  EXPECT_EQ(model.table.at(bright), (BucketStat{0.5, 3}));
  EXPECT_EQ(model.observationCount, 5);
  // Band 0 has 0.4 (filled forward to band 6), band 7 has 0.5: rising, so pooled flat.
  EXPECT_EQ(model.prior, ModelFitter::priorFromBands({0.4, {}, {}, {}, {}, {}, {}, 0.5}));
  EXPECT_NEAR(model.prior.bByLumBin[0], (0.4 * 7 + 0.5) / 8, 1e-12);
  EXPECT_EQ(model.fittedAt, 1796558400.0 - kReferenceDateOffset);
}

TEST(FitFiles, DamagedFilesCostOnlyThemselves) {
  Records r;
  r.telemetry("telemetry-good.jsonl", row(0.5, 0.5));
  r.telemetry("invalid-utf8.jsonl", row(0.5, 0.9) + "{\"app_name\":\"\xff\"}\n");
  r.telemetry("invalid-utf8-tail.jsonl", row(0.5, 0.9) + "\xc3");
  r.telemetry("not-jsonl.json", row(0.5, 0.9));
  r.telemetry("jsonl", row(0.5, 0.9));
  r.telemetry("x.JSONL", row(0.5, 0.9));
  std::filesystem::create_directories(r.dir / "telemetry" / "dir.jsonl");
  std::filesystem::create_symlink("loop.jsonl", r.dir / "telemetry" / "loop.jsonl");
  std::filesystem::create_symlink("nowhere", r.dir / "telemetry" / "dangling.jsonl");
  ASSERT_EQ(::mkfifo((r.dir / "telemetry" / "fifo.jsonl").c_str(), 0600), 0);
  r.telemetry("empty.jsonl", "");
  r.telemetry("lines.jsonl", "\n\n" + row(0.5, 0.1) + "garbage\n[1]\n" + row(0.5, 0.3) +
                                 "{\"lum_slow\":0.5,\"brightness\":0.3");
  r.telemetry("tail.jsonl", row(0.5, 0.5) + "{\"lum_slow\":0.5,\"brightness\":0.7}");
  r.log(kHeader + "2026-12-05T12:09:00Z,scroll,0.5,0.42,0.81,0.5,caf\xe9\n");
  const auto result = r.fit();
  // good: 0.5; lines: 0.1 and 0.3 (the truncated last row is skipped); tail: 0.5 and 0.7
  // (a complete last line counts without its line feed); the log is not UTF-8: skipped.
  EXPECT_EQ(result.telemetryObservations, 5);
  EXPECT_EQ(result.logObservations, 0);
  EXPECT_EQ(result.model.table.begin()->second, (BucketStat{0.5, 5}));
  EXPECT_EQ(result.skippedFiles, 6);  // two not UTF-8, dir, loop, dangling, fifo
}

TEST(Fit, SpreadOverThreadsItLearnsWhatOneThreadLearns) {
  Records r;
  std::string log = kHeader;
  for (int day = 0; day < 6; ++day) {
    std::string text;
    for (int i = 0; i < 40; ++i) text += row(0.02 * (i + day), 0.01 * (i * 7 % 90), "");
    r.telemetry("telemetry-2026-12-0" + std::to_string(day + 1) + ".jsonl", text);
    log += "2026-12-0" + std::to_string(day + 1) + "T12:09:00Z,scroll,0.5,0." +
           std::to_string(day + 2) + ",0.81,0.5,x,0.1,0.2,0.1,0,0.5\n";
  }
  r.log(log + "2026-12-07T12:09:00Z,scroll,0.5,0.9,0.81,0.5,x");  // a last line without its feed
  FitOptions one, spread;
  one.maxThreads = 1;
  spread.maxThreads = 4;
  spread.parallelAbove = 0;
  FitCache oneCache, spreadCache;
  for (int round = 0; round < 2; ++round) {  // the second from the caches
    const auto a = ModelFitter::fit(r.sources, 0, &oneCache, one);
    const auto b = ModelFitter::fit(r.sources, 0, &spreadCache, spread);
    EXPECT_EQ(a.model, b.model);
    EXPECT_EQ(a.bytesParsed, b.bytesParsed);
    for (const FitResult* fit : {&a, &b})
      EXPECT_EQ(std::tuple(fit->telemetryObservations, fit->logObservations), std::tuple(240, 7));
  }
}

TEST(FitInBackground, HandsTheModelToTheMainThread) {
  Records r;
  r.telemetry("t.jsonl", row(0.5, 0.5));
  sim::VirtualRunLoop loop;
  ThreadWorkQueue queue;
  const Paths paths = Paths::under(r.dir.path());
  std::filesystem::create_directories(paths.stateDir());
  std::filesystem::rename(r.dir / "telemetry", paths.telemetryDir());
  std::optional<BrightnessModel> got;
  const auto mainThread = std::this_thread::get_id();
  auto cache = std::make_shared<FitCache>();
  for (int i = 0; i < 2; ++i) {
    got.reset();
    ModelFitter::fitInBackground(queue, loop, paths, cache, [&](BrightnessModel m) {
      EXPECT_EQ(std::this_thread::get_id(), mainThread);
      got = std::move(m);
    });
    ASSERT_TRUE(loop.runUntil([&] { return got.has_value(); }));
    EXPECT_EQ(got->observationCount, 1);
    EXPECT_EQ(got->fittedAt, loop.now() - kReferenceDateOffset);
  }
}

}  // namespace
}  // namespace nuvlet
