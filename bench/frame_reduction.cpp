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

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "nuvlet/sensing/FrameReducer.h"

namespace {

using nuvlet::bench::threadSeconds;

using nuvlet::AreaAverager;
using nuvlet::Frame;
using nuvlet::FrameReducer;

constexpr int kChosen = -1;  // the kernel argument: the reducer's own choice

std::vector<AreaAverager::Kernel> kernelsFor(int width) {
  return AreaAverager(FrameReducer::kSignatureSize).kernelsFor(width);
}

nuvlet::bench::KernelChoices choices;

struct Size {
  int width, height;
};
constexpr Size kSizes[] = {{1920, 1080}, {2560, 1600}, {3840, 2160}};

// Enough distinct frames that, cycled through, each one has left every cache before
// it is read again.
constexpr std::size_t kPoolBytes = std::size_t{384} << 20;

std::vector<Frame>& pool(int width, int height) {
  static std::map<std::pair<int, int>, std::vector<Frame>> pools;
  auto& frames = pools[{width, height}];
  if (frames.empty()) {
    const std::size_t bytes = std::size_t{4} * width * height;
    const std::size_t count = std::max<std::size_t>(4, kPoolBytes / bytes);
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
    }
  }
  return frames;
}

void reduceAgainstRead(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  auto& frames = pool(width, static_cast<int>(state.range(1)));
  FrameReducer reducer;
  if (state.range(2) != kChosen) reducer.forceKernel(kernelsFor(width)[state.range(2)]);
  std::size_t i = 0;
  // Left to itself, the reducer first times its kernels; the figures are of the one it
  // then keeps (the trial comes back once in 3000 frames).
  for (int n = 0; state.range(2) == kChosen && n < 1000 &&
                  (!reducer.chooser().hasChosen() || reducer.chooser().trying());
       ++n) {
    const Frame& f = frames[i++ % frames.size()];
    reducer.begin(f.width(), f.height());
    reducer.rows(f.view());
  }
  double readSeconds = 0, reduceSeconds = 0;
  for (auto _ : state) {
    const Frame& a = frames[i++ % frames.size()];
    double t0 = threadSeconds();
    benchmark::DoNotOptimize(
        nuvlet::bench::sumBytes(a.view().data, static_cast<std::size_t>(a.stride()) * a.height()));
    double t1 = threadSeconds();
    const Frame& b = frames[i++ % frames.size()];
    reducer.begin(b.width(), b.height());
    reducer.rows(b.view());
    benchmark::DoNotOptimize(reducer.finish());
    double t2 = threadSeconds();
    readSeconds += t1 - t0;
    reduceSeconds += t2 - t1;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["read_ms"] = readSeconds / n * 1e3;
  state.counters["reduce_ms"] = reduceSeconds / n * 1e3;
  state.counters["ratio"] = reduceSeconds / readSeconds;
  if (state.range(2) == kChosen) {
    choices.add(width, reducer.chooser());
  }
}

std::string key(Size s, int kernel) {
  return "reduceAgainstRead/" + std::to_string(s.width) + "/" + std::to_string(s.height) + "/" +
         std::to_string(kernel);
}

}  // namespace

int main(int argc, char** argv) {
  for (Size s : kSizes) {
    const int kernels = static_cast<int>(kernelsFor(s.width).size());
    for (int k = 0; k < kernels; ++k) {
      benchmark::RegisterBenchmark("reduceAgainstRead", reduceAgainstRead)
          ->Args({s.width, s.height, k})
          ->Unit(benchmark::kMillisecond)
          ->MinTime(0.3)
          ->Repetitions(3);
    }
    benchmark::RegisterBenchmark("reduceAsChosen", reduceAgainstRead)
        ->Args({s.width, s.height, kChosen})
        ->Unit(benchmark::kMillisecond)
        ->MinTime(1.0)
        ->Repetitions(5);
  }
  benchmark::Initialize(&argc, argv);
  nuvlet::bench::RatioReporter reporter(nuvlet::bench::RatioReporter::Time::Cpu);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nProcessor: %s\n", nuvlet::bench::processorLine().c_str());
  std::printf("\nReduction of a cold frame against the single-thread read (median of runs):\n");
  for (Size s : kSizes) {
    const std::string size = std::to_string(s.width) + "x" + std::to_string(s.height);
    const auto kernels = kernelsFor(s.width);
    for (std::size_t k = 0; k < kernels.size(); ++k) {
      reporter.printCounterRatio(size + " " + kernels[k].name(), key(s, static_cast<int>(k)),
                                 "reduce_ms", "read_ms", 1.3);
    }
    reporter.printCounterRatio(size + " as chosen", "reduceAsChosen" + key(s, kChosen).substr(17),
                               "reduce_ms", "read_ms", 1.3);
    choices.print(s.width);
  }
  benchmark::Shutdown();
  return 0;
}
