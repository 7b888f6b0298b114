#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "nuvlet/ui/DayPlot.h"
#include "platform/sim/SimProfile.h"

namespace nuvlet::sim {

// What one simulated day came to.
struct DayFigures {
  int day = 0;                   // 1-based
  std::string date;              // the local day key the records use
  std::int64_t corrections = 0;  // as the daily statistics counted them
  int scrolls = 0;               // scroll notches the user turned
  int keyPresses = 0;            // corrections made with the brightness keys
  double rollingAverage = 0;     // what the menu shows at the end of the day
  double baselineAverage = 0;
  std::size_t buckets = 0;  // content buckets of the model at the end of the day
  // Root mean square of ln(emitted light / the light the user wanted), awake time.
  double deviation = 0;
  // Share of awake time the light was within the user's tolerance.
  double withinTolerance = 0;
};

// How steady the light was while one kind of content was on screen: the root mean
// square of ln(light(t) / light(t - lag)) over awake seconds, for lags of 1 and 10 s.
// Pairs that span a change of kind (a new activity) are left out.
struct Steadiness {
  struct Sums {
    double squares = 0;
    std::int64_t count = 0;
    double rms() const { return count > 0 ? std::sqrt(squares / static_cast<double>(count)) : 0; }
  };
  static constexpr std::array<int, 2> kLags = {1, 10};
  std::array<Sums, 2> emitted;  // the light the display gave, per lag
  std::array<Sums, 2> wanted;   // the light the user wanted, per lag
};

struct SimulationOptions {
  int days = 7;
  std::uint64_t seed = 1;
  SimProfile profile;
  // Whether the user switches automatic compensation on at the start.
  bool compensation = true;
  // Whether "Keep My Corrections" is on from the start.
  bool keepCorrections = false;
  // The home the real records go to (created when missing).
  std::filesystem::path home;
  // The day (1-based) whose trace is kept for a plot; 0 for none.
  int traceDay = 0;
  // Told the share of the run done, now and then.
  std::function<void(double)> progress;
};

struct SimulationResult {
  std::vector<DayFigures> days;
  DayTrace trace;
  // Per kind of content (ContentKind order), over the whole run.
  std::array<Steadiness, 4> steadiness;
  // The model fits of the run and the processor time they took (not deterministic:
  // for measurements only).
  int fits = 0;
  double fitCpuSeconds = 0;
};

// Runs the application on simulated hardware with a simulated user for the given
// days, in virtual time. The same options give the same result. The caller pins the
// time zone (the records' day keys are local).
//
// Thread: any one thread; blocks for the length of the run. Never fails: records that
// cannot be written are absent from the figures.
SimulationResult runSimulation(const SimulationOptions& options);

}  // namespace nuvlet::sim
