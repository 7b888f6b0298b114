// The calls the 0.25 s poll and the compensation tick make on the sensing and volume
// ports must answer from memory. Each figure is printed as a ratio to a floor measured
// in the same run: one read of the monotonic clock (a vDSO call, no system call).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "nuvlet/control/VolumeController.h"
#include "nuvlet/platform/ThreadWorkQueue.h"
#include "nuvlet/sensing/AmbientLightSensor.h"
#include "nuvlet/sensing/DisplayRouter.h"
#include "platform/linux/devices/IioLightSensor.h"
#include "platform/linux/devices/PulseAudioMixer.h"
#include "platform/linux/display/X11DisplayTopology.h"
#include "platform/sim/InlineWorkQueue.h"
#include "platform/sim/ScriptedDisplayTopology.h"
#include "platform/sim/VirtualRunLoop.h"

namespace {

using namespace nuvlet;

void Floor_ClockRead(benchmark::State& state) {
  timespec ts{};
  for (auto _ : state) {
    clock_gettime(CLOCK_MONOTONIC, &ts);
    benchmark::DoNotOptimize(ts);
  }
}
BENCHMARK(Floor_ClockRead);

// The compensation tick's ambient input, through the real IIO adapter.
void AmbientRead_Iio(benchmark::State& state) {
  auto root = std::filesystem::temp_directory_path() / "nuvlet-bench-iio";
  std::filesystem::create_directories(root / "iio:device0");
  std::ofstream(root / "iio:device0/in_illuminance_input") << "320\n";
  sim::VirtualRunLoop loop;
  sim::InlineWorkQueue worker;
  auto device = linux_platform::makeIioLightSensor(loop, worker, root);
  loop.runPending();
  AmbientLightSensor sensor(*device);
  for (auto _ : state) benchmark::DoNotOptimize(sensor.read());
  std::filesystem::remove_all(root);
}
BENCHMARK(AmbientRead_Iio);

// The poll's volume read through the real PulseAudio adapter (its cache; with no
// server running this measures the path that finds no device).
void VolumeGet_Pulse(benchmark::State& state) {
  sim::VirtualRunLoop loop;
  auto mixer = linux_platform::makePulseAudioMixer(loop);
  loop.runUntil([&] { return mixer->defaultOutput().has_value(); }, 1.0);
  state.SetLabel(mixer->defaultOutput() ? "with a sink" : "no server");
  VolumeController volume(*mixer);
  for (auto _ : state) {
    benchmark::DoNotOptimize(volume.get());
    benchmark::DoNotOptimize(volume.isMuted());
  }
}
BENCHMARK(VolumeGet_Pulse);

// currentTarget() in its slow branch (trust expired): two screens, pointer lookup.
void CurrentTarget_Scripted(benchmark::State& state) {
  sim::VirtualRunLoop loop;
  sim::ScriptedDisplayTopology topology;
  topology.online = {1, 2};
  topology.screenList = {Screen{1, "eDP-1", {0, 0, 1440, 900}, true, "Panel", {}, {}},
                         Screen{2, "HDMI-1", {1440, 0, 1920, 1080}, false, "", {}, {}}};
  topology.pointer = ScreenPoint{2000, 500};
  DisplayRouter router(topology, loop);
  for (auto _ : state) benchmark::DoNotOptimize(router.currentTarget());
}
BENCHMARK(CurrentTarget_Scripted);

// The same through the real X11 adapter, when a display is at hand ($DISPLAY).
void CurrentTarget_X11(benchmark::State& state) {
  sim::VirtualRunLoop loop;
  auto x = linux_platform::XConnection::open(loop);
  if (!x) {
    state.SkipWithError("no X display");
    return;
  }
  auto topology = linux_platform::makeX11DisplayTopology(x);
  DisplayRouter router(*topology, loop);
  loop.advance(10);  // past the trust window: the pointer is looked up each time
  for (auto _ : state) benchmark::DoNotOptimize(router.currentTarget());
}
BENCHMARK(CurrentTarget_X11);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.error_occurred) continue;
      double ns = run.GetAdjustedRealTime();
      if (run.benchmark_name() == "Floor_ClockRead") floor_ = ns;
      results_.emplace_back(run.benchmark_name(), ns);
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nper call, and ratio to one monotonic clock read (%.1f ns):\n", floor_);
    for (const auto& [name, ns] : results_) {
      std::printf("  %-26s %8.1f ns  %6.2fx  %s\n", name.c_str(), ns, ns / floor_,
                  ns < 1000 ? "under 1 us" : "OVER 1 us");
    }
  }

 private:
  double floor_ = 1;
  std::vector<std::pair<std::string, double>> results_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
