#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "nuvlet/sensing/KernelChooser.h"

namespace nuvlet {
namespace {

using Kernel = AreaAverager::Kernel;
using Isa = Kernel::Isa;
using Walk = Kernel::Walk;

const std::vector<Kernel> kCandidates = {
    {Isa::Avx2, Walk::Pairs, false},
    {Isa::Avx2, Walk::Pairs, true},
    {Isa::Avx2, Walk::Across, false},
    {Isa::Sse2, Walk::Columns, false},
};

// Runs `frames` frames of 1920 × 1080 through the chooser, each taking what `cost`
// says for its kernel and its index; returns the kernels used, in order.
std::vector<Kernel> run(KernelChooser& chooser, int frames,
                        const std::function<double(const Kernel&, int)>& cost,
                        const std::vector<Kernel>& candidates = kCandidates) {
  std::vector<Kernel> used;
  for (int i = 0; i < frames; ++i) {
    used.push_back(chooser.next(1920, 1080, candidates));
    chooser.took(cost(used.back(), i));
  }
  return used;
}

std::function<double(const Kernel&, int)> costs(std::vector<double> seconds) {
  return [seconds](const Kernel& k, int) {
    for (std::size_t i = 0; i < kCandidates.size(); ++i) {
      if (kCandidates[i] == k) return seconds[i];
    }
    return 1.0;
  };
}

TEST(KernelChooser, TriesEachCandidateInInterleavedRoundsAndKeepsTheLowestQuartile) {
  KernelChooser chooser({.warmupRounds = 0, .rounds = 5, .pruneAfter = 0, .holdFrames = 100});
  // The second candidate is fastest, but other work interrupted three of its five frames,
  // which would give it the worst median; the fourth had one lucky frame. The lower
  // quartile sees through both.
  auto cost = [](const Kernel& k, int frame) {
    if (k == kCandidates[1]) return frame < 12 ? 0.9 : 0.30;
    if (k == kCandidates[3]) return frame == 12 ? 0.05 : 0.40;
    return k == kCandidates[0] ? 0.34 : 0.36;
  };
  const auto used = run(chooser, 20, cost);
  EXPECT_FALSE(chooser.trying());
  EXPECT_EQ(chooser.chosen(), kCandidates[1]);
  for (const Kernel& k : kCandidates) EXPECT_EQ(std::count(used.begin(), used.end(), k), 5);
  // No candidate always runs right after the same one.
  std::map<std::string, int> follows;
  for (std::size_t i = 1; i < used.size(); ++i)
    ++follows[used[i - 1].name() + ", " + used[i].name()];
  for (const auto& [pair, count] : follows) EXPECT_LT(count, 5) << pair;
  ASSERT_EQ(chooser.lastTrial().size(), 4u);
  EXPECT_EQ(chooser.lastTrial().front().kernel, kCandidates[1]);
  EXPECT_DOUBLE_EQ(chooser.lastTrial().front().seconds, 0.30);
  EXPECT_EQ(chooser.lastTrial().back().kernel, kCandidates[3]);
  EXPECT_DOUBLE_EQ(chooser.lastTrial().back().seconds, 0.40);
  EXPECT_EQ(chooser.describe().rfind("avx2 pairs + prefetch, the fastest of 4", 0), 0u)
      << chooser.describe();
}

TEST(KernelChooser, DoesNotCountTheFirstRoundWhoseFramesPayForTheStreamStarting) {
  // A stream's first six frames are slow whichever kernel reads them (fresh buffers);
  // the third candidate, fastest from then on, reads two of them in the first two
  // rounds, and counted they would have it dropped.
  auto cost = [](const Kernel& k, int frame) {
    if (frame < 6) return 1.0;
    return k == kCandidates[2] ? 0.30 : k == kCandidates[0] ? 0.34 : 0.36;
  };
  KernelChooser chooser(
      {.warmupRounds = 1, .rounds = 4, .pruneAfter = 2, .pruneAbove = 1.25, .holdFrames = 100});
  const auto used = run(chooser, 4 * 5, cost);
  ASSERT_TRUE(chooser.hasChosen());
  EXPECT_EQ(chooser.chosen(), kCandidates[2]) << chooser.describe();
  EXPECT_EQ(std::count(used.begin(), used.end(), kCandidates[2]), 5);
}

TEST(KernelChooser, TakesAPrefetchingKernelOrChangesOnARecheckOnlyForAClearWin) {
  struct Case {
    const char* what;
    std::vector<double> seconds;  // avx2 pairs, + prefetch, across, sse2 columns
    Kernel expected;
    bool recheck = false;  // the times of a second trial, after the first chose avx2 pairs
  };
  const Case cases[] = {
      {"5% faster with prefetch: the plain twin", {0.315, 0.30, 0.40, 0.40}, kCandidates[0]},
      {"20% faster with prefetch: the prefetching one", {0.36, 0.30, 0.40, 0.40}, kCandidates[1]},
      {"a plain kernel of another walk is no twin", {0.40, 0.30, 0.305, 0.40}, kCandidates[1]},
      {"a rival 2% faster does not unseat it", {0.30, 0.40, 0.294, 0.40}, kCandidates[0], true},
      {"a rival 10% faster does", {0.30, 0.40, 0.27, 0.40}, kCandidates[2], true},
      {"the kept one slows: the fastest wins", {0.50, 0.45, 0.40, 0.60}, kCandidates[2], true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The margins are the ones the app runs with.
    KernelChooser chooser({.warmupRounds = 0, .rounds = 3, .pruneAfter = 0, .holdFrames = 50});
    if (c.recheck) {
      run(chooser, 12, costs({0.30, 0.35, 0.40, 0.40}));
      ASSERT_EQ(chooser.chosen(), kCandidates[0]);
      const auto held = run(chooser, 50, costs(c.seconds));
      EXPECT_EQ(std::count(held.begin(), held.end(), kCandidates[0]), 50);
    }
    run(chooser, 12, costs(c.seconds));
    EXPECT_EQ(chooser.trials(), c.recheck ? 2 : 1);
    EXPECT_EQ(chooser.chosen(), c.expected);
  }
}

TEST(KernelChooser, DropsTheCandidatesThatClearlyLoseAfterTheFirstRounds) {
  struct Case {
    const char* what;
    double second;  // the second candidate's time, but for its disturbed first frame
    std::vector<int> frames;
    std::size_t left;
  };
  const Case cases[] = {
      {"the other frame of a close rival keeps it in", 0.31, {5, 5, 2, 2}, 2},
      {"with one candidate left the trial ends", 0.40, {2, 2, 2, 2}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KernelChooser chooser(
        {.warmupRounds = 0, .rounds = 5, .pruneAfter = 2, .pruneAbove = 1.25, .holdFrames = 100});
    auto cost = [&c](const Kernel& k, int frame) {
      if (k == kCandidates[1]) return frame == 1 ? 0.9 : c.second;
      return k == kCandidates[0] ? 0.30 : k == kCandidates[2] ? 0.50 : 0.45;
    };
    const int total = c.frames[0] + c.frames[1] + c.frames[2] + c.frames[3];
    const auto used = run(chooser, total, cost);
    EXPECT_FALSE(chooser.trying());
    EXPECT_EQ(chooser.chosen(), kCandidates[0]);
    for (std::size_t i = 0; i < kCandidates.size(); ++i) {
      EXPECT_EQ(std::count(used.begin(), used.end(), kCandidates[i]), c.frames[i]) << i;
    }
    EXPECT_EQ(chooser.lastTrial().size(), c.left);
  }
}

TEST(KernelChooser, StartsOverForANewFrameSizeAndCountsOnlyFinishedFrames) {
  KernelChooser chooser({.warmupRounds = 1, .rounds = 2, .holdFrames = 1000});
  run(chooser, 12, costs({0.5, 0.4, 0.3, 0.6}));
  ASSERT_EQ(chooser.chosen(), kCandidates[2]);

  // A frame that was never finished tells nothing: the next frame repeats its slot.
  const Kernel first = chooser.next(2560, 1600, kCandidates);
  EXPECT_TRUE(chooser.trying());
  EXPECT_FALSE(chooser.hasChosen());
  EXPECT_EQ(chooser.next(2560, 1600, kCandidates), first);
  chooser.took(0.1);
  EXPECT_EQ(chooser.describe(), "timing 4 kernels, 1 frame so far");

  // A size with a single kernel that fits needs no trial.
  const std::vector<Kernel> one = {kCandidates[3]};
  EXPECT_EQ(chooser.next(7, 90, one), kCandidates[3]);
  EXPECT_FALSE(chooser.trying());
  EXPECT_TRUE(chooser.hasChosen());
}

}  // namespace
}  // namespace nuvlet
