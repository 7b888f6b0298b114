#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/linux/ScrollNormalizer.h"
#include "platform/sim/VirtualRunLoop.h"

namespace nuvlet::linux_platform {
namespace {

class ScrollBursts : public ::testing::Test {
 protected:
  sim::VirtualRunLoop loop;
  std::vector<double> delivered;
  std::unique_ptr<ScrollNormalizer> scroll =
      std::make_unique<ScrollNormalizer>(loop, [this](double u) { delivered.push_back(u); });
};

TEST_F(ScrollBursts, ABurstIsAddedUpAndBoundedPerWindow) {
  // A touchpad on a host that rounds every event up to a notch.
  for (int i = 0; i < 8; ++i) scroll->scroll(1, "vertical");
  EXPECT_EQ(delivered, std::vector<double>{10});
  loop.advance(ScrollNormalizer::kWindowSeconds);
  EXPECT_EQ(delivered, (std::vector<double>{10, ScrollNormalizer::kMaxUnitsPerWindow}));
  // The excess of the burst is dropped, not played out later.
  loop.advance(1);
  EXPECT_EQ(delivered.size(), 2u);
}

TEST_F(ScrollBursts, SmallStepsAreAddedUpAndABurstThatCancelsOutDeliversNothingMore) {
  for (int i = 0; i < 6; ++i) scroll->scroll(-12, "Vertical");
  scroll->scroll(5, "horizontal");
  loop.advance(ScrollNormalizer::kWindowSeconds);
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_NEAR(delivered[0], 1.0, 1e-9);
  EXPECT_NEAR(delivered[1], 5.0, 1e-9);

  delivered.clear();
  loop.advance(1);
  scroll->scroll(1, "vertical");
  scroll->scroll(1, "vertical");
  scroll->scroll(-1, "vertical");
  scroll->scroll(0, "vertical");
  loop.advance(1);
  EXPECT_EQ(delivered, std::vector<double>{10});
}

TEST_F(ScrollBursts, TheReceiverMayDestroyTheNormalizer) {
  scroll = std::make_unique<ScrollNormalizer>(loop, [this](double u) {
    delivered.push_back(u);
    scroll.reset();
  });
  scroll->scroll(1, "vertical");
  EXPECT_EQ(scroll, nullptr);
  loop.advance(1);
  EXPECT_EQ(delivered, std::vector<double>{10});
  EXPECT_EQ(loop.activeTimers(), 0u);
}

}  // namespace
}  // namespace nuvlet::linux_platform
