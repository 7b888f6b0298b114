// The controller's cost per run of the monitor tool against the floor: posix_spawn
// of /bin/true with stdout through a pipe, read to end of file and reaped.
//
//   build/bench/bench_external_tool
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "nuvlet/control/ExternalBrightnessController.h"
#include "nuvlet/platform/Subprocess.h"
#include "platform/sim/VirtualRunLoop.h"

extern char** environ;

namespace {

void spawnTrueFloor(benchmark::State& state) {
  for (auto _ : state) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) state.SkipWithError("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    char arg0[] = "/bin/true";
    char* argv[] = {arg0, nullptr};
    pid_t pid = -1;
    ::posix_spawn(&pid, "/bin/true", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    char buf[256];
    while (::read(fds[0], buf, sizeof buf) > 0) {
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
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
