// The controller's cost per run of the monitor tool against the floor: posix_spawn
// of /bin/true with stdout through a pipe, read to end of file and reaped.
//
//   build/bench/bench_external_tool
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "bench/SpawnFloor.h"
#include "nuvlet/control/ExternalBrightnessController.h"
#include "nuvlet/platform/Subprocess.h"
#include "platform/sim/VirtualRunLoop.h"

namespace {

void spawnTrueFloor(benchmark::State& state) {
  for (auto _ : state) {
    if (!nuvlet::bench::spawnTrueAndWait()) state.SkipWithError("posix_spawn");
  }
}
BENCHMARK(spawnTrueFloor)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

void subprocessRun(benchmark::State& state) {
  for (auto _ : state) {
    auto r =
        nuvlet::Subprocess::runAndWait({"/bin/true", "display", "id=1", "get", "luminance"}, {});
    benchmark::DoNotOptimize(r.exitStatus);
  }
}
BENCHMARK(subprocessRun)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

void controllerGet(benchmark::State& state) {
  nuvlet::sim::VirtualRunLoop loop;
  nuvlet::ExternalBrightnessController controller(loop, std::filesystem::path("/bin/true"));
  for (auto _ : state) {
    bool done = false;
    controller.get(1, [&](std::optional<double>) { done = true; });
    loop.runUntil([&] { return done; }, 10);
  }
}
BENCHMARK(controllerGet)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.iterations > 0) perRun[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
  }
  std::map<std::string, double> perRun;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto floor = reporter.perRun.find("spawnTrueFloor/min_time:1.000");
  if (floor == reporter.perRun.end() || floor->second <= 0) return 0;
  std::printf("\nper tool run, against posix_spawn of /bin/true (goal: at most 1.5x)\n");
  for (const auto& [name, time] : reporter.perRun) {
    std::printf("  %-36s %8.1f us  %.2fx\n", name.c_str(), time, time / floor->second);
  }
  return 0;
}
