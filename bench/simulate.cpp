// What a simulated week costs: one simulated day with compensation on, against the
// floor of virtual time alone (a day of ten timer ticks a second doing nothing).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/BenchSupport.h"
#include "platform/sim/Simulation.h"
#include "platform/sim/VirtualRunLoop.h"

namespace {

// A private home for one run's records, removed after it.
struct Home {
  Home() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nuvlet-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~Home() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  std::filesystem::path path;
};

// The model fits of the last simulated day: how many, and their processor time.
int dayFits = 0;
double dayFitSeconds = 0;

void BM_SimulatedDay(benchmark::State& state) {
  for (auto _ : state) {
    Home home;
    nuvlet::sim::SimulationOptions o;
    o.days = 1;
    o.home = home.path;
    const auto result = nuvlet::sim::runSimulation(o);
    dayFits = result.fits;
    dayFitSeconds = result.fitCpuSeconds;
    benchmark::DoNotOptimize(result);
  }
}

void BM_VirtualDayFloor(benchmark::State& state) {
  for (auto _ : state) {
    nuvlet::sim::VirtualRunLoop loop;
    long ticks = 0;
    loop.scheduleRepeating(0.1, [&ticks] { ++ticks; });
    for (int s = 0; s < 86400; ++s) loop.advance(1);
    benchmark::DoNotOptimize(ticks);
  }
}

BENCHMARK(BM_SimulatedDay)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VirtualDayFloor)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  benchmark::Initialize(&argc, argv);
  nuvlet::bench::RatioReporter reporter(nuvlet::bench::RatioReporter::Time::Cpu);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double day = reporter.seconds("BM_SimulatedDay");
  const double floor = reporter.seconds("BM_VirtualDayFloor");
  if (day > 0 && floor > 0) {
    std::printf("\nfloor (a bare virtual day at 10 Hz): %.3f s CPU\n", floor);
    std::printf("one simulated day: %.3f s CPU = %.1fx the floor\n", day, day / floor);
    std::printf("seven simulated days: %.1f s CPU = %.2f of the one-minute goal\n", 7 * day,
                7 * day / 60);
    std::printf("model fits in the day: %d, %.3f s CPU together = %.1f%% of the day's CPU\n",
                dayFits, dayFitSeconds, 100 * dayFitSeconds / day);
  }
  benchmark::Shutdown();
  return 0;
}
