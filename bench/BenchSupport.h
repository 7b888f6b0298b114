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
      std::printf("%-30s not measured\n", label.c_str());
      return 0;
    }
    std::vector<double> ratios;
    for (std::size_t i = 0; i < it->second.size() && i < jt->second.size(); ++i) {
      ratios.push_back(it->second[i] / jt->second[i]);
    }
    std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
    const double r = ratios[ratios.size() / 2];
    std::printf("%-30s %8.3f ms against %8.3f ms: %5.2fx  (goal <= %.2fx)%s\n", label.c_str(), a, b,
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
