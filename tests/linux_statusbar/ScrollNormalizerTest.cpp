#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/linux/tray/ScrollNormalizer.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/support/TempDir.h"

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
  EXPECT_THAT(delivered,
              testing::ElementsAre(testing::DoubleNear(1.0, 1e-9), testing::DoubleNear(5.0, 1e-9)));

  delivered.clear();
  loop.advance(1);
  for (std::int64_t delta : {1, 1, -1, 0}) scroll->scroll(delta, "vertical");
  loop.advance(1);
  EXPECT_EQ(delivered, std::vector<double>{10});
}

// One notch down and one up, as each host sends them, must move a level by the same
// 0.05 (10 units) everywhere.
TEST(ScrollHosts, OneNotchIsTenUnitsOnEveryKnownHost) {
  struct Case {
    const char* process;
    std::int64_t notchDown;
    const char* orientation;
  };
  const Case cases[] = {
      {"waybar", 2, "vertical"},          {"gnome-shell", 1, "vertical"},
      {"xfce4-panel", 1, "vertical"},     {"wrapper-2.0", 1, "vertical"},
      {"panel-6-systray", 1, "vertical"}, {"plasmashell", -120, "Vertical"},
      {"kded6", -120, "Vertical"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.process);
    const KnownTrayHost* host = knownTrayHost(c.process);
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(ScrollNormalizer::units(c.notchDown, c.orientation, host), 10.0);
    EXPECT_EQ(ScrollNormalizer::units(-c.notchDown, c.orientation, host), -10.0);
    EXPECT_EQ(ScrollNormalizer::units(c.notchDown, "horizontal", host), std::nullopt);
    EXPECT_EQ(ScrollNormalizer::units(0, c.orientation, host), std::nullopt);
  }
  // A caller we do not know keeps the rule of the orientation's spelling.
  for (const char* unknown : {"", "waybar2", "panel-6-clock", "test_linux_stat"}) {
    EXPECT_EQ(knownTrayHost(unknown), nullptr) << unknown;
  }
  EXPECT_EQ(ScrollNormalizer::units(1, "vertical", nullptr), 10.0);
  EXPECT_EQ(ScrollNormalizer::units(-120, "Vertical", nullptr), 10.0);
}

TEST(ScrollHosts, AProcessNameIsReadWithoutItsLineFeedAndOnlyWhenItIsText) {
  test::TempDir proc;
  proc.write("10/comm", "waybar\n");
  proc.write("11/comm", "");
  proc.write("12/comm", std::string("way\xff") + "bar\n");
  proc.write("13/comm", std::string("a\0b\n", 4));
  EXPECT_EQ(processName(10, proc.path()), "waybar");
  // Empty, not text, with a NUL, and gone.
  for (std::uint32_t pid : {11u, 12u, 13u, 14u})
    EXPECT_EQ(processName(pid, proc.path()), "") << pid;
  EXPECT_FALSE(processName(static_cast<std::uint32_t>(getpid())).empty());
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
