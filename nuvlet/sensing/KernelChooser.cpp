#include "nuvlet/sensing/KernelChooser.h"

#include <algorithm>
#include <cstdio>

namespace nuvlet {
namespace {

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
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
  const int n = static_cast<int>(candidates_.size());
  pendingIndex_ = (slot_ % n + slot_ / n) % n;
  return candidates_[static_cast<std::size_t>(pendingIndex_)];
}

void KernelChooser::took(double seconds) {
  if (!answered_) return;
  answered_ = false;
  if (!trying_ || pendingIndex_ < 0) {
    ++held_;
    return;
  }
  samples_[static_cast<std::size_t>(pendingIndex_)].push_back(seconds);
  if (++slot_ == options_.rounds * static_cast<int>(candidates_.size())) endTrial();
}

void KernelChooser::startTrial() {
  samples_.assign(candidates_.size(), {});
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
  for (std::size_t i = 0; i < candidates_.size(); ++i) {
    timings.push_back({candidates_[i], median(samples_[i])});
  }
  std::stable_sort(timings.begin(), timings.end(),
                   [](const Timing& a, const Timing& b) { return a.seconds < b.seconds; });
  const Timing& best = timings.front();
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
           " of " + std::to_string(options_.rounds * static_cast<int>(candidates_.size())) +
           " frames so far";
  }
  std::string out = chosen_.name();
  if (lastTrial_.empty()) return out + " (the only kernel for this frame size)";
  out += ", the fastest on " + std::to_string(options_.rounds) + " frames each (median):";
  for (const Timing& t : lastTrial_)
    out += " " + t.kernel.name() + " " + milliseconds(t.seconds) + ";";
  out.pop_back();
  if (trying_) out += " (re-checking now)";
  return out;
}

}  // namespace nuvlet
