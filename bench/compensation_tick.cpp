// One compensation tick without device I/O (the backlight is in memory): model lookup,
// band and approach. Goal: under 1 µs median. The floor is the model lookup alone,
// which every tick must make; the ratio shows what the loop adds around it.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "nuvlet/control/BrightnessController.h"
#include "nuvlet/control/CompensationLoop.h"
#include "nuvlet/platform/Defaults.h"
#include "nuvlet/platform/LocalTime.h"
#include "nuvlet/records/AdjustmentLogger.h"
#include "nuvlet/records/DailyStats.h"
#include "platform/sim/MemoryBacklight.h"
#include "platform/sim/ScriptedDisplayTopology.h"
#include "platform/sim/ScriptedWorkspace.h"
#include "platform/sim/VirtualRunLoop.h"

namespace nuvlet {
namespace {

const ContentSignature kSig{0.2, 0.1, 0.5, 0.05, 0.01};

// A model of the size a few weeks of use give: every luminance, dark and bright
// share at each time of day, with and without an ambient reading.
BrightnessModel trainedModel() {
  BrightnessModel model = BrightnessModel::empty();
  for (int lum = 0; lum < 8; ++lum) {
    for (int dark = 0; dark < 3; ++dark) {
      for (int bright = 0; bright < 3; ++bright) {
        for (int hour : {7, 13, 19, 23}) {
          const ContentSignature sig{dark / 3.0 + 0.1, bright / 3.0 + 0.1, lum / 8.0 + 0.06, 0, 0};
          model.table[ContentBucket::from(sig.mean, sig, std::nullopt, hour)] =
              BucketStat{0.3 + lum * 0.05, 1 + (lum + dark) % 9};
          model.table[ContentBucket::from(sig.mean, sig, 0.5, hour)] =
              BucketStat{0.35 + lum * 0.05, 1 + (bright + hour) % 9};
        }
      }
    }
  }
  return model;
}

struct Rig {
  Rig()
      : root(makeRoot()),
        paths(Paths::under(root)),
        logger(paths, clock, workspace),
        stats(paths, clock),
        brightness(backlight) {
    backlight.recordWrites = false;
    defaults.setValue(CompensationLoop::kEnabledKey, true);
    loop = std::make_unique<CompensationLoop>(brightness, stats, logger, defaults, topology, clock);
    loop->setModel(trainedModel());
    loop->signatureProvider = [this] { return std::optional(kSig); };
    loop->ambientProvider = [this] { return std::optional(ambient); };
    loop->onLuminanceUpdate(0.5, 0.5);
  }
  ~Rig() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }

  static std::filesystem::path makeRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nuvlet-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }

  std::filesystem::path root;
  sim::VirtualRunLoop clock;
  sim::ScriptedWorkspace workspace;
  sim::ScriptedDisplayTopology topology;
  sim::MemoryBacklight backlight;
  MemoryDefaults defaults;
  Paths paths;
  AdjustmentLogger logger;
  DailyStats stats;
  BrightnessController brightness;
  std::unique_ptr<CompensationLoop> loop;
  double ambient = 0.5;
};

void BM_ModelLookup(benchmark::State& state) {
  const BrightnessModel model = trainedModel();
  double L = 0.5;
  for (auto _ : state) {
    benchmark::DoNotOptimize(model.preferredBacklight(L, kSig, 0.5, 13));
    L = L > 0.9 ? 0.1 : L + 0.01;
  }
}

void BM_LocalHour(benchmark::State& state) {
  double t = sim::VirtualRunLoop::kDefaultStart;
  for (auto _ : state) {
    benchmark::DoNotOptimize(localtime::hour(t));
    t += 0.1;
  }
}

// Settled: the step stays under the write threshold, nothing is written.
void BM_TickSettled(benchmark::State& state) {
  Rig rig;
  for (int i = 0; i < 500; ++i) rig.loop->onLuminanceUpdate(0.5, 0.5);
  for (auto _ : state) rig.loop->onLuminanceUpdate(0.5, 0.5);
}

// Moving: the screen flips between two luminance bands every 40 ticks, so most ticks
// write a small step.
void BM_TickMoving(benchmark::State& state) {
  Rig rig;
  int i = 0;
  double L = 0.3;
  for (auto _ : state) {
    if (++i % 40 == 0) L = L < 0.5 ? 0.8 : 0.3;
    rig.loop->onLuminanceUpdate(L, L);
  }
  state.counters["writes/tick"] =
      static_cast<double>(rig.backlight.writeCount) / static_cast<double>(state.iterations());
}

BENCHMARK(BM_ModelLookup)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_LocalHour)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_TickSettled)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_TickMoving)->Repetitions(9)->ReportAggregatesOnly(true);

// Keeps the median of each benchmark for the ratios printed at the end.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medians[run.run_name.function_name] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // CPU time in ns: the machines we measure on are shared, and wall time there
  // mostly measures the neighbours.
  std::map<std::string, double> medians;
};

}  // namespace
}  // namespace nuvlet

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  nuvlet::MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto& m = reporter.medians;
  if (m.count("BM_ModelLookup") && m.count("BM_TickSettled") && m.count("BM_TickMoving")) {
    const double floor = m.at("BM_ModelLookup");
    std::printf("\nfloor (model lookup): %.1f ns CPU median\n", floor);
    for (const char* name : {"BM_LocalHour", "BM_TickSettled", "BM_TickMoving"}) {
      if (!m.count(name)) continue;
      std::printf("%-15s %7.1f ns median = %.2fx the floor, %.3f of the 1 us goal\n", name,
                  m.at(name), m.at(name) / floor, m.at(name) / 1000.0);
    }
  }
  benchmark::Shutdown();
  return 0;
}
