#pragma once

#include <string>
#include <vector>

#include "nuvlet/sensing/AreaAverager.h"

namespace nuvlet {

// Picks the fastest of equivalent row kernels by timing them on the frames a reducer is
// given, since the winner depends on the processor and on whether the frames come
// from memory or from cache, and no rule of thumb held on every machine measured.
//
// A trial gives each candidate one frame a round, in interleaved rounds (a machine's
// load drifts into all of them alike). The first `warmupRounds` rounds are not counted:
// a stream's first frames also pay for faulting in fresh buffers and for cold caches,
// and whichever kernels happen to read them would look slow. After `pruneAfter` counted
// rounds a candidate whose fastest frame is slower than `pruneAbove` times the fastest
// frame of any other is dropped (disturbance only ever adds time, so it has no chance),
// which spares most of the trial's slow frames. Those left run until each has `rounds`
// counted frames (or until one is left), and the one with the lowest lower quartile is
// kept: on a shared machine other work only ever adds time, to some frames more than
// others, so the low end of a kernel's times tells kernels apart where a median still
// carries the noise, and the quartile, unlike the single fastest frame, is not won by
// one lucky frame. A kernel with prefetch is kept only if it beats its twin without by
// more than `prefetchMargin`. The choice holds for `holdFrames` frames, then a new trial
// checks it; the kernel in use keeps its place unless another beats it by more than
// `keepMargin`.
// A new frame size, or a new set of candidates, starts over.
//
// Not thread-safe; one per reducer.
class KernelChooser {
 public:
  using Kernel = AreaAverager::Kernel;

  struct Options {
    int warmupRounds = 1;
    int rounds = 9;
    int pruneAfter = 2;
    double pruneAbove = 1.5;
    int holdFrames = 3000;  // about five minutes of sampling at 10 Hz
    double keepMargin = 0.03;
    double prefetchMargin = 0.10;
  };

  struct Timing {
    Kernel kernel;
    double seconds = 0;  // lower quartile of the last trial; 0 before it ends
  };

  KernelChooser() = default;
  explicit KernelChooser(Options options) : options_(options) {}

  // The kernel for the next frame of this size, one of `candidates` (with none, the
  // default Kernel and no trial).
  Kernel next(int width, int height, const std::vector<Kernel>& candidates);

  // How long the frame that next() last answered for took; a frame that was not
  // finished is simply not reported.
  void took(double seconds);

  bool trying() const { return trying_; }
  // Valid once a trial has ended.
  const Kernel& chosen() const { return chosen_; }
  bool hasChosen() const { return hasChosen_; }
  // The lower quartile of each candidate that stayed to the end of the last trial,
  // fastest first.
  const std::vector<Timing>& lastTrial() const { return lastTrial_; }
  // Trials ended since the frame size last changed.
  int trials() const { return trials_; }

  // "avx2 across, the fastest of 12 (...): avx2 across 0.444 ms; avx2 pairs 0.480 ms",
  // or how far the first trial is.
  std::string describe() const;

 private:
  void startTrial();
  void prune();
  void endTrial();

  Options options_;
  int width_ = 0, height_ = 0;
  std::vector<Kernel> candidates_;
  std::vector<std::vector<double>> samples_;  // per candidate, this trial
  std::vector<int> active_;                   // candidates still in this trial
  bool trying_ = false;
  int round_ = 0;  // warm-up rounds included
  int place_ = 0;  // frames timed in this round
  int slot_ = 0;   // frames timed in this trial
  int held_ = 0;   // frames since the last trial ended
  bool hasChosen_ = false;
  Kernel chosen_;
  int pendingIndex_ = -1;  // the candidate next() last answered with in a trial
  bool answered_ = false;
  std::vector<Timing> lastTrial_;
  int trials_ = 0;
};

}  // namespace nuvlet
