#pragma once

// Shared by the benchmark programs: a reporter that keeps each benchmark's time per
// iteration, so a program can print its figures as ratios to a floor measured in the
// same run on the same (noisy, shared) machine.

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "nuvlet/sensing/FrameReducer.h"
#include "nuvlet/sensing/KernelChooser.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace nuvlet::bench {

// CPU time of the calling thread alone.
inline double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Keeps, per benchmark ("name/arg/arg"), the time per iteration of every repetition.
// Work done in this thread alone is best compared in CPU time (the machine is shared;
// CPU time leaves out the moments another process had the core); work that waits on
// another process, such as an X server, only in real time.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  enum class Time { Cpu, Real };

  explicit RatioReporter(Time time) : time_(time) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      std::string key = run.run_name.function_name;
      if (!run.run_name.args.empty()) key += "/" + run.run_name.args;
      const double total =
          time_ == Time::Cpu ? run.cpu_accumulated_time : run.real_accumulated_time;
      seconds_[key].push_back(total / static_cast<double>(run.iterations));
      for (const auto& [name, counter] : run.counters)
        counters_[key + "#" + name].push_back(counter.value);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Median seconds per iteration over the repetitions of a benchmark; 0 if it did not run.
  double seconds(const std::string& name) const { return median(seconds_, name); }

  // Median of a user counter over the repetitions; 0 if absent.
  double counter(const std::string& name, const std::string& counterName) const {
    return median(counters_, name + "#" + counterName);
  }

  // For a benchmark that timed a kernel and its floor alternately and kept both as
  // counters (in ms): prints both medians and the median of the per-run ratios.
  double printCounterRatio(const std::string& label, const std::string& name,
                           const std::string& measured, const std::string& floor,
                           double goal) const {
    const double a = counter(name, measured), b = counter(name, floor);
    auto it = counters_.find(name + "#" + measured);
    auto jt = counters_.find(name + "#" + floor);
    if (a <= 0 || b <= 0 || it == counters_.end() || jt == counters_.end()) {
      std::printf("%-38s not measured\n", label.c_str());
      return 0;
    }
    std::vector<double> ratios;
    for (std::size_t i = 0; i < it->second.size() && i < jt->second.size(); ++i) {
      ratios.push_back(it->second[i] / jt->second[i]);
    }
    std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
    const double r = ratios[ratios.size() / 2];
    std::printf("%-38s %8.3f ms against %8.3f ms: %5.2fx  (goal <= %.2fx)%s\n", label.c_str(), a, b,
                r, goal, r <= goal ? "" : "  OVER");
    return r;
  }

  // Prints "label: 1.12x floor (goal <= 1.30x)" and returns the ratio.
  double ratio(const std::string& label, const std::string& measured, const std::string& floor,
               double goal) const {
    const double a = seconds(measured), b = seconds(floor);
    if (a <= 0 || b <= 0) {
      std::printf("%-58s not measured\n", label.c_str());
      return 0;
    }
    const double r = a / b;
    std::printf("%-58s %6.3f ms / %6.3f ms = %5.2fx  (goal <= %.2fx)%s\n", label.c_str(), a * 1e3,
                b * 1e3, r, goal, r <= goal ? "" : "  OVER");
    return r;
  }

 private:
  static double median(const std::map<std::string, std::vector<double>>& from,
                       const std::string& key) {
    auto it = from.find(key);
    if (it == from.end() || it->second.empty()) return 0;
    auto v = it->second;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  }

  Time time_;
  std::map<std::string, std::vector<double>> seconds_;
  std::map<std::string, std::vector<double>> counters_;
};

// The processor the figures were measured on, for the first line of a benchmark's
// report: "AMD EPYC, family 25 model 17 stepping 1, AVX2 yes, AVX-512 yes, 2 CPUs;
// L1d 32K L1i 32K L2 1024K L3 32768K".
inline std::string processorLine() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::map<std::string, std::string> fields;
  std::string line;
  while (std::getline(cpuinfo, line) && !line.empty()) {  // the first processor only
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    key.erase(key.find_last_not_of(" \t") + 1);
    fields[key] = colon + 2 <= line.size() ? line.substr(colon + 2) : "";
  }
  const std::string flags = " " + fields["flags"] + " ";
  auto has = [&](const char* flag) {
    return flags.find(std::string(" ") + flag + " ") != std::string::npos ? "yes" : "no";
  };
  std::string out = (fields["model name"].empty() ? "unknown processor" : fields["model name"]) +
                    ", family " + fields["cpu family"] + " model " + fields["model"] +
                    " stepping " + fields["stepping"] + ", AVX2 " + has("avx2") + ", AVX-512 " +
                    has("avx512f") + ", " + std::to_string(std::thread::hardware_concurrency()) +
                    " CPUs;";
  for (int i = 0; i < 8; ++i) {
    const std::string dir = "/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(i) + "/";
    std::ifstream levelFile(dir + "level"), typeFile(dir + "type"), sizeFile(dir + "size");
    std::string level, type, size;
    if (!(levelFile >> level) || !(typeFile >> type) || !(sizeFile >> size)) break;
    out += " L" + level + (type == "Data" ? "d" : type == "Instruction" ? "i" : "") + " " + size;
  }
  return out;
}

// What a reducer chose in each run of a benchmark, for the report: how often each
// kernel won, and the last run's trial in full.
class KernelChoices {
 public:
  void add(int width, const KernelChooser& chooser) {
    ++counts_[width][chooser.hasChosen() ? chooser.chosen().name() : "(trial unfinished)"];
    last_[width] = chooser.describe();
  }
  void print(int width) const {
    auto it = counts_.find(width);
    if (it == counts_.end()) return;
    std::string line;
    for (const auto& [kernel, count] : it->second) {
      line += (line.empty() ? "" : ", ") + kernel + " x" + std::to_string(count);
    }
    std::printf("  chosen per run: %s\n  last run's trial: %s\n", line.c_str(),
                last_.at(width).c_str());
  }

 private:
  std::map<int, std::map<std::string, int>> counts_;
  std::map<int, std::string> last_;
};

// The single-thread read floor: every byte of the buffer summed, as fast as the memory
// delivers it.
#if defined(__x86_64__)
__attribute__((target("avx2"))) inline std::uint64_t sumBytesAvx2(const std::uint8_t* p,
                                                                  std::size_t n) {
  __m256i a = _mm256_setzero_si256(), b = _mm256_setzero_si256();
  const __m256i zero = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32));
    a = _mm256_add_epi64(a, _mm256_sad_epu8(x, zero));
    b = _mm256_add_epi64(b, _mm256_sad_epu8(y, zero));
  }
  alignas(32) std::uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), _mm256_add_epi64(a, b));
  std::uint64_t s = lanes[0] + lanes[1] + lanes[2] + lanes[3];
  for (; i < n; ++i) s += p[i];
  return s;
}
#endif

inline std::uint64_t sumBytes(const std::uint8_t* p, std::size_t n) {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2")) return sumBytesAvx2(p, n);
#endif
  std::uint64_t s = 0;
  for (std::size_t i = 0; i < n; ++i) s += p[i];
  return s;
}

// ---- the row kernels, each forced and as the reducer chooses ------------------------

struct FrameSize {
  int width, height;
  std::string name() const { return std::to_string(width) + "x" + std::to_string(height); }
};

// A benchmark's third argument: the index of a forced kernel in reductionKernels(), or
// this for the reducer's own choice.
constexpr int kChosenKernel = -1;

inline std::vector<AreaAverager::Kernel> reductionKernels(int width) {
  return AreaAverager(FrameReducer::kSignatureSize).kernelsFor(width);
}

// How each benchmark of a reduction path runs: "NAME/W/H/k" once per kernel that fits,
// forced, and "NAMEAsChosen/W/H/-1" with the reducer left to time them, each followed
// by `extraArgs`.
struct PerKernel {
  std::string name;
  double forcedMinTime = 0.3;
  int forcedRepetitions = 3;
  double chosenMinTime = 1.0;
  int chosenRepetitions = 5;
  bool realTime = false;
  int forcedIterations = 0;  // a fixed count instead of the least time, when not 0
  int chosenIterations = 0;
  std::vector<std::int64_t> extraArgs = {};

  std::string key(FrameSize s, int kernel) const {
    std::string out = name + (kernel == kChosenKernel ? "AsChosen" : "") + "/" +
                      std::to_string(s.width) + "/" + std::to_string(s.height) + "/" +
                      std::to_string(kernel);
    for (std::int64_t a : extraArgs) out += "/" + std::to_string(a);
    return out;
  }

  template <typename Function>
  void registerFor(const std::vector<FrameSize>& sizes, Function function) const {
    for (FrameSize s : sizes) {
      const int kernels = static_cast<int>(reductionKernels(s.width).size());
      for (int i = 0; i <= kernels; ++i) {
        const int k = i < kernels ? i : kChosenKernel;
        const bool chosen = k == kChosenKernel;
        auto* b =
            benchmark::RegisterBenchmark((chosen ? name + "AsChosen" : name).c_str(), function);
        std::vector<std::int64_t> args = {s.width, s.height, k};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        b->Args(args)->Unit(benchmark::kMillisecond);
        b->Repetitions(chosen ? chosenRepetitions : forcedRepetitions);
        if (const int n = chosen ? chosenIterations : forcedIterations; n > 0) {
          b->Iterations(n);
        } else {
          b->MinTime(chosen ? chosenMinTime : forcedMinTime);
        }
        if (realTime) b->UseRealTime();
      }
    }
  }

  // One line per kernel forced and one for the choice, for each size: the median of the
  // runs' ratios of `measured` to `floor` (counters of the same run).
  void print(const RatioReporter& reporter, const std::vector<FrameSize>& sizes,
             const std::string& measured, const std::string& floor, double goal,
             const KernelChoices* choices) const {
    for (FrameSize s : sizes) {
      const auto kernels = reductionKernels(s.width);
      for (int k = 0; k < static_cast<int>(kernels.size()); ++k) {
        reporter.printCounterRatio(s.name() + " " + kernels[static_cast<std::size_t>(k)].name(),
                                   key(s, k), measured, floor, goal);
      }
      reporter.printCounterRatio(s.name() + " as chosen", key(s, kChosenKernel), measured, floor,
                                 goal);
      if (choices != nullptr) choices->print(s.width);
    }
  }
};

// Readies `reducer` for the benchmark `state`: forces the kernel its third argument
// names, or has the reducer time its kernels on frames that `reduceOne(reducer)` passes
// it until it has chosen, so that the figures are of the kernel it keeps (the trial
// comes back once in 3000 frames). False when `reduceOne` does.
template <typename ReduceOne>
bool readyReducer(FrameReducer& reducer, const benchmark::State& state, ReduceOne reduceOne) {
  if (state.range(2) != kChosenKernel) {
    reducer.forceKernel(reductionKernels(
        static_cast<int>(state.range(0)))[static_cast<std::size_t>(state.range(2))]);
    return true;
  }
  for (int n = 0; n < 1000 && (!reducer.chooser().hasChosen() || reducer.chooser().trying()); ++n) {
    if (!reduceOne(reducer)) return false;
  }
  return true;
}

// The reduction of frames in memory against the read of the same kind of frame: the
// two alternate within each iteration, on different frames of `frames` (a pool larger
// than the caches, so each is cold when it is read), in the thread's CPU time, so a
// shared machine's load drifts into both alike.
inline void reduceAgainstRead(benchmark::State& state, const std::vector<FrameView>& frames,
                              KernelChoices& choices) {
  FrameReducer reducer;
  std::size_t i = 0;
  readyReducer(reducer, state, [&](FrameReducer& r) {
    const FrameView& f = frames[i++ % frames.size()];
    r.begin(f.width, f.height);
    r.rows(f);
    return true;
  });
  double readSeconds = 0, reduceSeconds = 0;
  for (auto _ : state) {
    const FrameView& a = frames[i++ % frames.size()];
    const double t0 = threadSeconds();
    benchmark::DoNotOptimize(sumBytes(
        a.data, static_cast<std::size_t>(a.stride) * static_cast<std::size_t>(a.height - 1) +
                    4 * static_cast<std::size_t>(a.width)));
    const double t1 = threadSeconds();
    const FrameView& b = frames[i++ % frames.size()];
    reducer.begin(b.width, b.height);
    reducer.rows(b);
    benchmark::DoNotOptimize(reducer.finish());
    const double t2 = threadSeconds();
    readSeconds += t1 - t0;
    reduceSeconds += t2 - t1;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["read_ms"] = readSeconds / n * 1e3;
  state.counters["reduce_ms"] = reduceSeconds / n * 1e3;
  if (state.range(2) == kChosenKernel)
    choices.add(static_cast<int>(state.range(0)), reducer.chooser());
}

}  // namespace nuvlet::bench

// A private Xvfb for the capture benchmarks (the test support library brings a test
// main with it, so this is a small copy of its launcher).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace nuvlet::bench {

class Xvfb {
 public:
  explicit Xvfb(const std::string& screen) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<std::string> args = {"Xvfb", "-displayfd", "1",         "-screen", "0",
                                     screen, "-noreset",   "-nolisten", "tcp"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char ch;
    while (pid_ > 0 && ::poll(&p, 1, 20000) > 0 && ::read(fds[0], &ch, 1) == 1 && ch != '\n') {
      number += ch;
    }
    ::close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~Xvfb() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  const std::string& display() const { return display_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace nuvlet::bench
