// Reduction of a cold frame (exact mean luminance, 64 × 64 signature, 4 × 4 grid)
// against the single-thread read of a cold frame of the same size. Goal: at most 1.3×.
// First with each row kernel forced, then as the reducer runs: choosing its kernel by
// timing the candidates on its first frames, a trial each run repeats.
//
// The two are timed alternately within each iteration, on different frames of a pool
// larger than the caches, in the thread's CPU time, so a shared machine's load drifts
// into both alike.
//
//   build/bench/bench_frame_reduction [--benchmark_filter=Chosen]

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "bench/BenchSupport.h"

namespace {

using nuvlet::Frame;
using nuvlet::FrameView;
using nuvlet::bench::FrameSize;

nuvlet::bench::KernelChoices choices;

const std::vector<FrameSize> kSizes = {{1920, 1080}, {2560, 1600}, {3840, 2160}};

// Enough distinct frames that, cycled through, each one has left every cache before
// it is read again.
constexpr std::size_t kPoolBytes = std::size_t{384} << 20;

const std::vector<FrameView>& pool(int width, int height) {
  static std::map<std::pair<int, int>, std::pair<std::vector<Frame>, std::vector<FrameView>>> pools;
  auto& [frames, views] = pools[{width, height}];
  if (frames.empty()) {
    const std::size_t bytes = std::size_t{4} * width * height;
    const std::size_t count = std::max<std::size_t>(4, kPoolBytes / bytes);
    frames.reserve(count);
    std::mt19937 random(7);
    for (std::size_t i = 0; i < count; ++i) {
      Frame& f = frames.emplace_back(width, height);
      // Screen-like content: runs of flat colour.
      for (int y = 0; y < height; ++y) {
        std::uint32_t colour = random();
        for (int x = 0; x < width; ++x) {
          if (x % 97 == 0) colour = random();
          std::memcpy(f.row(y) + 4 * x, &colour, 4);
        }
      }
      views.push_back(f.view());
    }
  }
  return views;
}

void reduceAgainstRead(benchmark::State& state) {
  nuvlet::bench::reduceAgainstRead(
      state, pool(static_cast<int>(state.range(0)), static_cast<int>(state.range(1))), choices);
}

}  // namespace

int main(int argc, char** argv) {
  const nuvlet::bench::PerKernel runs{.name = "reduceAgainstRead"};
  runs.registerFor(kSizes, reduceAgainstRead);
  benchmark::Initialize(&argc, argv);
  nuvlet::bench::RatioReporter reporter(nuvlet::bench::RatioReporter::Time::Cpu);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nProcessor: %s\n", nuvlet::bench::processorLine().c_str());
  std::printf("\nReduction of a cold frame against the single-thread read (median of runs):\n");
  runs.print(reporter, kSizes, "reduce_ms", "read_ms", 1.3, &choices);
  benchmark::Shutdown();
  return 0;
}
