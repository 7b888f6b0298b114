#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "nuvlet/learning/BrightnessModel.h"
#include "nuvlet/learning/FitCache.h"
#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/Paths.h"
#include "nuvlet/platform/RunLoop.h"
#include "nuvlet/platform/WorkQueue.h"

namespace nuvlet {

// Where a fit reads its records.
struct FitSources {
  std::filesystem::path telemetryDir;
  std::filesystem::path adjustmentLog;

  static FitSources from(const Paths& paths) {
    return {paths.telemetryDir(), paths.adjustmentLog()};
  }
};

// Progress of a long fit: bytes of telemetry read so far, of the total. Called on
// the thread that called fit().
using FitProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

struct FitOptions {
  FitProgress progress;
  // Day files are spread over up to maxThreads threads (the caller's included) when
  // more than parallelAbove bytes wait to be parsed.
  unsigned maxThreads = 4;
  std::uint64_t parallelAbove = std::uint64_t{16} << 20;
};

// A fit's model and how it came about.
struct FitResult {
  BrightnessModel model;
  std::int64_t telemetryObservations = 0;
  std::int64_t logObservations = 0;
  std::int64_t telemetryFiles = 0;  // day files that contributed (valid UTF-8)
  std::int64_t skippedFiles = 0;    // unreadable, not regular, or not UTF-8
  std::uint64_t bytesParsed = 0;    // bytes read and parsed by this fit
};

// Turns the records on disk into a new model: the median level of every content
// bucket, and a non-increasing ramp over luminance as the prior. Every fit is the fit
// of the whole history; a cache only saves parsing what an earlier fit has read.
//
// Stateless: a namespace of static operations. fit() blocks on file reads and
// never fails (no records give the empty model).
class ModelFitter {
 public:
  ModelFitter() = delete;

  using Progress = FitProgress;

  // `unixNow` becomes fittedAt. Without a cache every file is parsed.
  static FitResult fit(const FitSources& sources, double unixNow, FitCache* cache = nullptr,
                       const FitOptions& options = {});
  static BrightnessModel fit(const Paths& paths, const Clock& clock, FitCache* cache = nullptr);

  // Runs fit() on `queue` and hands the model to `done` on the main thread, through
  // `loop`. Returns at once. The queue, the loop and the clock must outlive the job;
  // the cache may be shared by several fits (they take turns).
  static void fitInBackground(WorkQueue& queue, RunLoop& loop, const Paths& paths,
                              std::shared_ptr<FitCache> cache,
                              std::function<void(BrightnessModel)> done);

  // The median of the values (reordered in place); nothing for none.
  static std::optional<double> median(std::vector<double>& values);

  // The prior from the eight band medians: filled forward, then backward, then made
  // non-increasing by pool-adjacent-violators with every band weighing 1. The
  // default ramp when every band is empty.
  static LuminancePrior priorFromBands(const std::array<std::optional<double>, 8>& bands);
};

}  // namespace nuvlet
