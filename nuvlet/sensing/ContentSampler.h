#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "nuvlet/platform/DisplayTopology.h"
#include "nuvlet/platform/RunLoop.h"
#include "nuvlet/platform/ScreenCapture.h"
#include "nuvlet/platform/WorkQueue.h"
#include "nuvlet/sensing/ContentSignature.h"

namespace nuvlet {

// The system's eye: every 100 ms while running, captures one display on a background
// queue, reduces the frame to its mean luminance, content signature and (while asked)
// 4 × 4 luminance grid, and on the main thread keeps slow and fast smoothed values of
// them and tells its listeners.
//
// Thread: construct, call and destroy on the main thread (the one running `loop`),
// except setCaptureGrid(), which any thread may call. Callbacks run on the main thread.
// A capture that fails delivers nothing; the values keep their last state.
//
// The capture runs as a job on `queue` and is never started while the previous one is
// still running: ticks that come due meanwhile are merged into it. `loop` must outlive
// the jobs on `queue`; the sampler itself may be destroyed at any time, running or not.
class ContentSampler {
 public:
  static constexpr double kInterval = 0.1;
  static constexpr double kSlowAlpha = 0.18;
  static constexpr double kFastAlpha = 0.5;

  ContentSampler(DisplayID displayID, std::shared_ptr<ScreenCapture> capture, RunLoop& loop,
                 WorkQueue& queue);
  ~ContentSampler();
  ContentSampler(const ContentSampler&) = delete;
  ContentSampler& operator=(const ContentSampler&) = delete;

  // Starts sampling at once and then every 100 ms; the first sample after each start
  // seeds the filters. Does nothing while running.
  void start();
  // Stops sampling; a capture still running is discarded. Does nothing while stopped.
  void stop();
  bool running() const { return running_; }

  // Whether samples include the 4 × 4 grid; read by the capture job as it runs.
  void setCaptureGrid(bool on);
  bool captureGrid() const;

  DisplayID displayID() const { return displayID_; }
  double L_raw() const { return L_raw_; }
  double L_slow() const { return L_slow_; }
  double L_fast() const { return L_fast_; }
  // The last sample's grid: 16 values, or empty when the grid was not captured.
  const std::vector<double>& L_grid() const { return L_grid_; }
  bool hasRealSample() const { return hasRealSample_; }
  double sigDark() const { return sig_.pctDark; }
  double sigBright() const { return sig_.pctBright; }
  double sigMean() const { return sig_.mean; }
  double sigChroma() const { return sig_.chroma; }
  double sigWarmCool() const { return sig_.warmCool; }
  ContentSignature smoothedSignature() const { return sig_; }
  // Wall-clock time of the last delivered sample; nothing before the first. A reader
  // can tell a stale value by it.
  std::optional<double> lastSampleAt() const { return lastSampleAt_; }

  // Told L_raw after each sample.
  std::function<void(double L_raw)> onSample;
  // Told the new slow and fast luminance after each sample.
  std::function<void(double L_slow, double L_fast)> onFiltered;

 private:
  struct Sample {
    double luminance;
    ContentSignature signature;
    std::vector<double> grid;
  };
  struct Worker;

  void tick();
  void finishTick(unsigned generation, std::optional<Sample> sample);
  void deliver(const Sample& sample);

  const DisplayID displayID_;
  RunLoop& loop_;
  WorkQueue& queue_;
  std::shared_ptr<Worker> worker_;
  // Held only by the sampler: results posted back after it is gone see it expired.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);

  bool running_ = false;
  bool inFlight_ = false;
  unsigned generation_ = 0;  // bumped by start() and stop(): older results are void
  RunLoop::TimerId firstTick_ = 0;
  RunLoop::TimerId timer_ = 0;

  double L_raw_ = 0.5;
  double L_slow_ = 0.5;
  double L_fast_ = 0.5;
  bool hasRealSample_ = false;
  ContentSignature sig_{0, 0, 0.5, 0, 0};
  std::vector<double> L_grid_;
  std::optional<double> lastSampleAt_;
};

}  // namespace nuvlet
