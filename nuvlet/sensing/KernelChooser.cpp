#include "nuvlet/sensing/KernelChooser.h"

#include <algorithm>
#include <cstdio>

namespace nuvlet {
namespace {

// The sample a quarter of the way up, rounded to the nearest: the 3rd fastest of 9, the
// 2nd of 5, the fastest of 2.
double lowerQuartile(std::vector<double> v) {
  if (v.empty()) return 0;
  const auto at = static_cast<std::ptrdiff_t>((v.size() - 1 + 2) / 4);
  std::nth_element(v.begin(), v.begin() + at, v.end());
  return v[static_cast<std::size_t>(at)];
}

std::string milliseconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f ms", seconds * 1e3);
  return text;
}

}  // namespace

KernelChooser::Kernel KernelChooser::next(int width, int height,
                                          const std::vector<Kernel>& candidates) {
  if (width != width_ || height != height_ || candidates != candidates_) {
    width_ = width;
    height_ = height;
    candidates_ = candidates;
    hasChosen_ = false;
    trials_ = 0;
    lastTrial_.clear();
    startTrial();
  }
  if (!trying_ && held_ >= options_.holdFrames) startTrial();
  answered_ = true;
  if (!trying_) {
    pendingIndex_ = -1;
    return chosen_;
  }
  // Each round starts one candidate later, so none always follows the same one.
  const int n = static_cast<int>(active_.size());
  pendingIndex_ = active_[static_cast<std::size_t>((place_ + round_) % n)];
  return candidates_[static_cast<std::size_t>(pendingIndex_)];
}

void KernelChooser::took(double seconds) {
  if (!answered_) return;
  answered_ = false;
  if (!trying_ || pendingIndex_ < 0) {
    ++held_;
    return;
  }
  if (round_ >= options_.warmupRounds) {
    samples_[static_cast<std::size_t>(pendingIndex_)].push_back(seconds);
  }
  ++slot_;
  if (++place_ < static_cast<int>(active_.size())) return;
  place_ = 0;
  ++round_;
  const int counted = round_ - std::max(0, options_.warmupRounds);
  if (counted <= 0) return;
  if (counted == options_.pruneAfter) prune();
  // With one candidate left there is nothing more to compare.
  if (counted >= options_.rounds || active_.size() == 1) endTrial();
}

void KernelChooser::prune() {
  auto fastest = [this](int i) {
    const auto& v = samples_[static_cast<std::size_t>(i)];
    return *std::min_element(v.begin(), v.end());
  };
  double best = fastest(active_.front());
  for (int i : active_) best = std::min(best, fastest(i));
  const double limit = best * std::max(1.0, options_.pruneAbove);
  std::erase_if(active_, [&](int i) { return fastest(i) > limit; });
}

void KernelChooser::startTrial() {
  samples_.assign(candidates_.size(), {});
  active_.clear();
  for (std::size_t i = 0; i < candidates_.size(); ++i) active_.push_back(static_cast<int>(i));
  round_ = place_ = 0;
  slot_ = 0;
  held_ = 0;
  trying_ = candidates_.size() > 1 && options_.rounds > 0;
  if (!trying_ && !candidates_.empty()) {
    chosen_ = candidates_.front();
    hasChosen_ = true;
  }
}

void KernelChooser::endTrial() {
  std::vector<Timing> timings;
  for (int i : active_) {
    timings.push_back({candidates_[static_cast<std::size_t>(i)],
                       lowerQuartile(samples_[static_cast<std::size_t>(i)])});
  }
  std::stable_sort(timings.begin(), timings.end(),
                   [](const Timing& a, const Timing& b) { return a.seconds < b.seconds; });
  Timing best = timings.front();
  // A kernel that asks for rows ahead must beat its plain twin clearly. On the processor
  // where the two came within 1-5% of each other in trials, either way round, the
  // prefetching one then ran 5-15% slower over the frames that followed: its requests
  // cost time on some frames only, which the lower quartile does not see. Where
  // prefetch helps, it helps by a third.
  if (best.kernel.prefetch) {
    Kernel plain = best.kernel;
    plain.prefetch = false;
    auto twin = std::find_if(timings.begin(), timings.end(),
                             [&](const Timing& t) { return t.kernel == plain; });
    if (twin != timings.end() && twin->seconds <= best.seconds * (1 + options_.prefetchMargin)) {
      best = *twin;
    }
  }
  auto incumbent = std::find_if(timings.begin(), timings.end(),
                                [&](const Timing& t) { return t.kernel == chosen_; });
  const bool keep = hasChosen_ && incumbent != timings.end() &&
                    incumbent->seconds <= best.seconds * (1 + options_.keepMargin);
  if (!keep) chosen_ = best.kernel;
  hasChosen_ = true;
  lastTrial_ = std::move(timings);
  trying_ = false;
  held_ = 0;
  ++trials_;
}

std::string KernelChooser::describe() const {
  if (candidates_.empty()) return "no frame yet";
  if (!hasChosen_) {
    return "timing " + std::to_string(candidates_.size()) + " kernels, " + std::to_string(slot_) +
           (slot_ == 1 ? " frame" : " frames") + " so far";
  }
  std::string out = chosen_.name();
  if (lastTrial_.empty()) return out + " (the only kernel for this frame size)";
  const int warmup = std::max(0, options_.warmupRounds);
  out += ", the fastest of " + std::to_string(candidates_.size()) + " (lower quartile of up to " +
         std::to_string(options_.rounds) + " frames";
  if (warmup > 0) out += " after " + std::to_string(warmup) + " warm-up";
  out += "; those left out lost clearly in the first " + std::to_string(options_.pruneAfter) + "):";
  for (const Timing& t : lastTrial_)
    out += " " + t.kernel.name() + " " + milliseconds(t.seconds) + ";";
  out.pop_back();
  if (trying_) out += " (re-checking now)";
  return out;
}

}  // namespace nuvlet
