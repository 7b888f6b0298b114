#include "nuvlet/sensing/ContentSampler.h"

#include <atomic>
#include <utility>

#include "nuvlet/platform/Log.h"
#include "nuvlet/sensing/FrameReducer.h"

namespace nuvlet {

// What the capture job owns: touched by one job at a time, on the queue's thread,
// except the grid flag.
struct ContentSampler::Worker {
  Worker(std::shared_ptr<ScreenCapture> c, DisplayID d) : capture(std::move(c)), display(d) {}

  std::optional<Sample> sample() {
    const auto result = capture->capture(display, reducer, last.has_value());
    if (result == ScreenCapture::Result::Captured) {
      last = reducer.finish();
      if (reducer.chooser().trials() != trialsLogged) {
        trialsLogged = reducer.chooser().trials();
        if (trialsLogged > 0) log::debug("frame reduction kernel: " + reducer.chooser().describe());
      }
    } else if (result != ScreenCapture::Result::Unchanged) {
      last.reset();
    }
    if (!last) return std::nullopt;
    Sample s{last->luminance, last->signature, {}};
    if (captureGrid.load(std::memory_order_relaxed)) s.grid = last->grid;
    return s;
  }

  const std::shared_ptr<ScreenCapture> capture;
  const DisplayID display;
  std::atomic<bool> captureGrid{false};
  FrameReducer reducer;
  std::optional<FrameReduction> last;  // of the last frame captured whole
  int trialsLogged = 0;                // of the reducer's kernel trials, in the verbose log
};

ContentSampler::ContentSampler(DisplayID displayID, std::shared_ptr<ScreenCapture> capture,
                               RunLoop& loop, WorkQueue& queue)
    : displayID_(displayID),
      loop_(loop),
      queue_(queue),
      worker_(std::make_shared<Worker>(std::move(capture), displayID)) {}

ContentSampler::~ContentSampler() {
  loop_.cancel(firstTick_);
  loop_.cancel(timer_);
}

void ContentSampler::start() {
  if (running_) return;
  running_ = true;
  hasRealSample_ = false;
  ++generation_;
  firstTick_ = loop_.scheduleAfter(0, [this] { tick(); });
  timer_ = loop_.scheduleRepeating(kInterval, [this] { tick(); });
}

void ContentSampler::stop() {
  if (!running_) return;
  running_ = false;
  ++generation_;
  loop_.cancel(firstTick_);
  loop_.cancel(timer_);
  firstTick_ = timer_ = 0;
}

void ContentSampler::setCaptureGrid(bool on) {
  worker_->captureGrid.store(on, std::memory_order_relaxed);
}

bool ContentSampler::captureGrid() const {
  return worker_->captureGrid.load(std::memory_order_relaxed);
}

void ContentSampler::tick() {
  if (inFlight_) return;
  inFlight_ = true;
  queue_.async([worker = worker_, loop = &loop_, alive = std::weak_ptr<int>(alive_), this,
                generation = generation_] {
    auto sample = worker->sample();
    loop->post([alive, this, generation, sample = std::move(sample)]() mutable {
      if (alive.expired()) return;
      finishTick(generation, std::move(sample));
    });
  });
}

void ContentSampler::finishTick(unsigned generation, std::optional<Sample> sample) {
  inFlight_ = false;
  if (!sample || !running_ || generation != generation_) return;
  deliver(*sample);
}

void ContentSampler::deliver(const Sample& s) {
  const double L = s.luminance;
  L_raw_ = L;
  if (!hasRealSample_) {
    L_slow_ = L;
    L_fast_ = L;
    sig_ = s.signature;
    hasRealSample_ = true;
  } else {
    L_slow_ = L * kSlowAlpha + L_slow_ * (1 - kSlowAlpha);
    L_fast_ = L * kFastAlpha + L_fast_ * (1 - kFastAlpha);
    auto blend = [](double& smoothed, double value) {
      smoothed = smoothed * (1 - kSlowAlpha) + value * kSlowAlpha;
    };
    blend(sig_.pctDark, s.signature.pctDark);
    blend(sig_.pctBright, s.signature.pctBright);
    blend(sig_.mean, s.signature.mean);
    blend(sig_.chroma, s.signature.chroma);
    blend(sig_.warmCool, s.signature.warmCool);
  }
  L_grid_ = s.grid;
  lastSampleAt_ = loop_.clock().now();

  // A listener may destroy the sampler; then nothing more is touched.
  std::weak_ptr<int> alive = alive_;
  if (onSample) onSample(L);
  if (alive.expired()) return;
  if (onFiltered) onFiltered(L_slow_, L_fast_);
}

}  // namespace nuvlet
