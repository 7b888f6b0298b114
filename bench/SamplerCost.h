#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "nuvlet/platform/Frame.h"
#include "nuvlet/platform/ScreenCapture.h"
#include "nuvlet/sensing/ContentSampler.h"
#include "platform/sim/VirtualRunLoop.h"

// What the benchmarks of the sampler's CPU share: CPU time of this process and of
// others, and the sampler's 10 Hz beat kept in real time.
namespace nuvlet::bench {

inline double ownCpuSeconds(int who = RUSAGE_SELF) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// utime + stime from a /proc stat file (in clock ticks: 10 ms steps).
inline double statCpuSeconds(const std::string& statPath) {
  std::ifstream stat(statPath);
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoul(field);
    if (i == 15) stime = std::stoul(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

inline double processCpuSeconds(pid_t pid) {
  return statCpuSeconds("/proc/" + std::to_string(pid) + "/stat");
}

// A first argument that is not an option is the seconds of each phase; it is taken off
// argv, so the rest goes to the benchmark library.
inline double takeSecondsArgument(int& argc, char**& argv, double fallback) {
  if (argc < 2 || argv[1][0] == '-') return fallback;
  const double seconds = std::atof(argv[1]);
  --argc;
  ++argv;
  return seconds;
}

// Runs the sampler for `seconds`: its 100 ms timer in real time (the virtual loop is
// only advanced at its beats), each beat waiting up to a second for its sample, counted
// in `delivered`. Returns the wall time it took.
inline double runSamplerInRealTime(double seconds, ContentSampler& sampler,
                                   sim::VirtualRunLoop& loop, int& delivered) {
  const auto start = std::chrono::steady_clock::now();
  const int first = delivered;
  sampler.start();
  const int ticks = static_cast<int>(seconds * 10);
  for (int k = 0; k < ticks; ++k) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(100 * k));
    loop.advance(k == 0 ? 0 : 0.1);
    const int want = first + k + 1;
    loop.runUntil([&] { return delivered >= want; }, 1.0);
  }
  sampler.stop();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The sampler's own cost without any capture: one small frame, then Unchanged for ever.
class StillCapture final : public ScreenCapture {
 public:
  Result capture(DisplayID, FrameSink& sink, bool allowUnchanged) override {
    if (allowUnchanged) return Result::Unchanged;
    Frame frame(64, 64);
    frame.fill(128, 128, 128);
    sink.begin(64, 64);
    sink.rows(frame.view());
    return Result::Captured;
  }
};

}  // namespace nuvlet::bench
