#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "nuvlet/sensing/ContentSampler.h"
#include "platform/sim/InlineWorkQueue.h"
#include "platform/sim/SyntheticScreenCapture.h"
#include "platform/sim/VirtualRunLoop.h"

namespace nuvlet {
namespace {

constexpr DisplayID kDisplay = 7;

Frame grey(std::uint8_t v) {
  Frame f(64, 48);
  f.fill(v, v, v);
  return f;
}

// With `manual` the capture jobs wait in `held`, so the in-between states are visible.
struct Rig {
  explicit Rig(Frame initial = grey(0), bool manual = false, DisplayID display = kDisplay)
      : screen(std::make_shared<sim::SyntheticScreenCapture>(kDisplay, std::move(initial))),
        sampler(make(display, manual)) {}
  std::unique_ptr<ContentSampler> make(DisplayID display, bool manual) {
    auto s = std::make_unique<ContentSampler>(display, screen, loop,
                                              manual ? static_cast<WorkQueue&>(held) : queue);
    s->onFiltered = [this](double slow, double fast) { filtered.push_back({slow, fast}); };
    return s;
  }
  sim::VirtualRunLoop loop;
  sim::InlineWorkQueue queue;
  sim::ManualWorkQueue held;
  std::shared_ptr<sim::SyntheticScreenCapture> screen;
  std::unique_ptr<ContentSampler> sampler;
  std::vector<std::pair<double, double>> filtered;
};

TEST(ContentSampler, SamplesAtStartThenEveryTenthOfASecond) {
  Rig rig;
  rig.loop.advance(1.0);
  EXPECT_EQ(rig.screen->captures(), 0) << "nothing before start()";
  rig.sampler->start();
  rig.loop.runPending();
  EXPECT_EQ(rig.filtered.size(), 1u);
  rig.loop.advance(1.0);
  EXPECT_EQ(rig.filtered.size(), 11u);
  EXPECT_EQ(rig.screen->captures(), 11);
  ASSERT_TRUE(rig.sampler->lastSampleAt());
  EXPECT_NEAR(*rig.sampler->lastSampleAt(), rig.loop.now(), 1e-6);

  // The screen serves only kDisplay: a sampler for another display captures that one.
  Rig other(grey(255), false, kDisplay + 1);
  other.sampler->start();
  other.loop.advance(0.3);
  EXPECT_EQ(other.screen->captures(), 4);
  EXPECT_FALSE(other.sampler->lastSampleAt());
}

TEST(ContentSampler, FailedCapturesDeliverNothingAndChangeNothing) {
  Rig rig(grey(255));
  rig.screen->setFailing(true);
  rig.sampler->start();
  rig.loop.advance(1.0);
  EXPECT_EQ(rig.screen->captures(), 11);
  EXPECT_TRUE(rig.filtered.empty());
  EXPECT_FALSE(rig.sampler->lastSampleAt());
  EXPECT_FALSE(rig.sampler->hasRealSample());
  EXPECT_EQ(rig.sampler->L_slow(), 0.5);

  // A failure between good samples keeps the values and the time of the last good one.
  rig.screen->setFailing(false);
  rig.loop.advance(0.1);
  const auto at = rig.sampler->lastSampleAt();
  rig.screen->setFailing(true);
  rig.loop.advance(0.5);
  EXPECT_EQ(rig.sampler->lastSampleAt(), at);
  EXPECT_EQ(rig.sampler->L_slow(), 1.0);
}

TEST(ContentSampler, DestroyedStoppedRunningMidCaptureOrByItsListenerWithoutFault) {
  Rig rig(grey(255), true);
  rig.make(kDisplay, true);  // never started
  rig.sampler->start();
  rig.sampler->stop();
  rig.sampler = rig.make(kDisplay, true);
  rig.sampler->start();
  rig.loop.runPending();
  ASSERT_EQ(rig.held.pending(), 1u);
  rig.sampler.reset();
  rig.held.runAll();      // the capture finishes after its sampler is gone
  rig.loop.advance(1.0);  // and its result, and any timer left behind, would run now
  EXPECT_TRUE(rig.filtered.empty());
  EXPECT_EQ(rig.loop.activeTimers(), 0u);

  rig.sampler = rig.make(kDisplay, false);
  rig.sampler->onSample = [&](double) { rig.sampler.reset(); };
  rig.sampler->start();
  rig.loop.runPending();
  EXPECT_FALSE(rig.sampler);
  EXPECT_TRUE(rig.filtered.empty());
  rig.loop.advance(1.0);
}

}  // namespace
}  // namespace nuvlet
