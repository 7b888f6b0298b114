// One run of nuvlet-ddc through the real libddcutil against a simulated DDC/CI monitor
// (its delays are libddcutil's own waits between request and reply), against the floor:
// posix_spawn of /bin/true with stdout through a pipe, read to end of file and reaped.
// Needs root (the simulated monitor lives in a private mount namespace).
//
//   build/bench/bench_ddc_monitor [MONITORS]   (default 1; libddcutil probes every one)
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "bench/SpawnFloor.h"
#include "nuvlet/platform/Subprocess.h"
#include "platform/linux/display/DrmConnectors.h"
#include "tests/harness/SimulatedMonitors.h"

namespace {

using nuvlet::test::SimulatedMonitors;

std::string displayArg;

void spawnTrueFloor(benchmark::State& state) {
  for (auto _ : state) {
    if (!nuvlet::bench::spawnTrueAndWait()) state.SkipWithError("posix_spawn");
  }
}
BENCHMARK(spawnTrueFloor)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();

void run(benchmark::State& state, std::vector<std::string> argv) {
  argv.insert(argv.begin(), NUVLET_DDC_TOOL);
  for (auto _ : state) {
    auto r = nuvlet::Subprocess::runAndWait(argv, {10.0, 0.5, 1 << 16});
    if (r.exitStatus != 0) state.SkipWithError(("nuvlet-ddc failed: " + r.err).c_str());
  }
}

void toolGet(benchmark::State& state) { run(state, {"display", displayArg, "get", "luminance"}); }
BENCHMARK(toolGet)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

void toolSet(benchmark::State& state) {
  int percent = 40;
  for (auto _ : state) {
    percent = percent == 40 ? 41 : 40;  // a change every time, as a notch makes
    auto r = nuvlet::Subprocess::runAndWait(
        {NUVLET_DDC_TOOL, "display", displayArg, "set", "luminance", std::to_string(percent)},
        {10.0, 0.5, 1 << 16});
    if (r.exitStatus != 0) state.SkipWithError(("nuvlet-ddc failed: " + r.err).c_str());
  }
}
BENCHMARK(toolSet)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

void toolList(benchmark::State& state) { run(state, {"list"}); }
BENCHMARK(toolList)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      if (r.iterations > 0 && !r.error_occurred)
        perRun[r.benchmark_name()] = r.GetAdjustedRealTime();
    }
  }
  std::map<std::string, double> perRun;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  SimulatedMonitors sim;
  if (!sim.whyNot().empty()) {
    std::printf("no simulated monitor: %s\n", sim.whyNot().c_str());
    return 0;
  }
  const auto monitor = nuvlet::test::simddc::sampleMonitor(1);
  sim.plug("DP-1", 3, monitor);
  const int monitors = argc > 1 ? std::atoi(argv[1]) : 1;
  for (int i = 1; i < std::min(monitors, 8); ++i) {
    sim.plug("DP-" + std::to_string(i + 1), 3 + i,
             nuvlet::test::simddc::sampleMonitor(static_cast<std::uint32_t>(i + 1)));
  }
  displayArg = "id=" + std::to_string(nuvlet::linux_platform::waylandDisplayId(
                           "DP-1", std::vector<std::uint8_t>(monitor.edid)));
  nuvlet::test::TempDir cache;
  for (auto [name, value] : sim.environment()) ::setenv(name.c_str(), value.c_str(), 1);
  ::setenv("XDG_CACHE_HOME", cache.path().c_str(), 1);
  ::setenv("XDG_SESSION_TYPE", "wayland", 1);
  ::unsetenv("DISPLAY");
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto floor = reporter.perRun.find("spawnTrueFloor/min_time:1.000/real_time");
  if (floor == reporter.perRun.end() || floor->second <= 0) return 0;
  std::printf(
      "\nper run of nuvlet-ddc with %d simulated monitor(s), against posix_spawn of "
      "/bin/true\n",
      std::max(monitors, 1));
  for (const auto& [name, time] : reporter.perRun) {
    std::printf("  %-30s %9.2f ms  %7.1fx\n", name.c_str(), time, time / floor->second);
  }
  return 0;
}
