// What a simulated week costs: one simulated day with compensation on, against the
// floor of virtual time alone (a day of ten timer ticks a second doing nothing). Then
// the peak memory of a process that simulates 1, 7 and 14 days, and of one that
// simulates a day on top of a year of records, as the tray app lives with them: its
// first fit reads the year, and the hourly refits keep every file's samples.
//
//   bench_simulate [--profile FILE] [benchmark options]
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "bench/BenchSupport.h"
#include "bench/HistoryGenerator.h"
#include "nuvlet/platform/Log.h"
#include "nuvlet/platform/Paths.h"
#include "platform/sim/Simulation.h"
#include "platform/sim/VirtualRunLoop.h"

extern char** environ;

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

// The child that is measured: `days` simulated days in the given home, then exit.
int simulateOnly(int days, const char* home, const char* profileFile) {
  nuvlet::log::setSink([](std::string_view) {});
  nuvlet::sim::SimulationOptions o;
  o.days = days;
  o.home = home;
  if (*profileFile != '\0') {
    std::ifstream in(profileFile, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    auto profile = nuvlet::sim::parseProfile(text.str(), error);
    if (!profile) {
      std::fprintf(stderr, "profile %s: %s\n", profileFile, error.c_str());
      return 1;
    }
    o.profile = *profile;
  }
  const auto result = nuvlet::sim::runSimulation(o);
  return result.days.size() == static_cast<std::size_t>(days) ? 0 : 1;
}

// Peak resident memory, in MiB, of a fresh process that simulates `days` days in a
// private home, with a year of records written there first when asked; negative on
// failure.
double peakMiB(int days, const std::string& profile, bool withHistory) {
  Home home;
  if (withHistory) {
    const nuvlet::bench::HistoryShape shape;
    const auto paths = nuvlet::Paths::under(home.path);
    const auto temp = home.path / "history";
    nuvlet::bench::HistoryGenerator(shape.seed).write(temp, shape);
    std::filesystem::create_directories(paths.stateDir());
    std::filesystem::rename(temp / "telemetry", paths.telemetryDir());
    std::filesystem::rename(temp / "adjustments.csv", paths.adjustmentLog());
  }
  const std::string dayCount = std::to_string(days);
  const std::string homePath = home.path.string();
  const char* args[] = {"/proc/self/exe", "--peak-child",  dayCount.c_str(),
                        homePath.c_str(), profile.c_str(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], nullptr, nullptr, const_cast<char**>(args), environ) != 0) {
    return -1;
  }
  int status = 0;
  struct rusage usage {};
  if (::wait4(pid, &status, 0, &usage) != pid || status != 0) return -1;
  return static_cast<double>(usage.ru_maxrss) / 1024;
}

int main(int argc, char** argv) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  if (argc == 5 && std::strcmp(argv[1], "--peak-child") == 0) {
    return simulateOnly(std::atoi(argv[2]), argv[3], argv[4]);
  }
  std::string profile;
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--profile") == 0 && i + 1 < argc) {
      profile = argv[++i];
    } else {
      rest.push_back(argv[i]);
    }
  }
  argc = static_cast<int>(rest.size());
  argv = rest.data();
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
  std::printf("\npeak resident memory of a process that simulates (%s):\n",
              profile.empty() ? "the default profile" : profile.c_str());
  for (int days : {1, 7, 14}) {
    std::printf("  %2d %-5s %7.1f MiB  (goal: flat in the days, at most 300 MB)\n", days,
                days == 1 ? "day" : "days", peakMiB(days, profile, false));
    std::fflush(stdout);
  }
  std::printf("  a day after a year of records (1M rows): %.1f MiB  (goal: under 100 MiB)\n",
              peakMiB(1, profile, true));
  benchmark::Shutdown();
  return 0;
}
