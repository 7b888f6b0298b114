#include <gtest/gtest.h>

#include <limits>

#include "platform/sim/RecordingStatusBar.h"

namespace nuvlet::sim {
namespace {

TEST(RecordingStatusBar, DeliversInputOnlyWithinThePortsContract) {
  RecordingStatusBar bar;
  auto handle = bar.addItem("volume");
  double total = 0;
  StatusItem::Callbacks callbacks;
  callbacks.onScroll = [&](double d) { total += d; };
  handle->setCallbacks(callbacks);
  RecordedItem& item = *bar.item("volume");
  EXPECT_TRUE(item.scroll(10));
  // Zero and non-finite deltas never reach an item.
  EXPECT_FALSE(item.scroll(0));
  EXPECT_FALSE(item.scroll(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(item.scroll(std::numeric_limits<double>::infinity()));
  EXPECT_DOUBLE_EQ(total, 10);
  EXPECT_FALSE(item.activate());  // no callback installed

  handle.reset();
  EXPECT_TRUE(item.removed);
  EXPECT_FALSE(item.scroll(10));
  // A new item under the same id is recorded apart from the removed one.
  auto again = bar.addItem("volume");
  EXPECT_EQ(bar.addCount("volume"), 2);
  EXPECT_FALSE(bar.item("volume")->removed);
  EXPECT_EQ(bar.liveItems(), std::vector<std::string>{"volume"});
}

TEST(RecordingStatusBar, ClicksOnlyEnabledActionEntries) {
  int clicks = 0;
  MenuItem reset;
  reset.label = "Reset";
  reset.activate = [&] { ++clicks; };
  MenuItem disabled = reset;
  disabled.label = "Disabled";
  disabled.enabled = false;
  MenuItem info;
  info.label = "3 content buckets learned";
  MenuItem calibration;
  calibration.kind = MenuItem::Kind::Submenu;
  calibration.label = "Calibration";
  calibration.children = {info, MenuItem::separator(), reset, disabled};
  const Menu menu{calibration, MenuItem::separator()};

  EXPECT_TRUE(clickEntry(menu, {"Calibration", "Reset"}));
  EXPECT_FALSE(clickEntry(menu, {"Calibration", "Disabled"}));
  EXPECT_FALSE(clickEntry(menu, {"Calibration", "3 content buckets learned"}));
  EXPECT_FALSE(clickEntry(menu, {"Calibration"}));
  EXPECT_FALSE(clickEntry(menu, {"Reset"}));
  EXPECT_FALSE(clickEntry(menu, {"Calibration", "Reset", "deeper"}));
  EXPECT_EQ(clicks, 1);
  ASSERT_NE(findEntry(menu, {"Calibration", "3 content buckets learned"}), nullptr);
  EXPECT_EQ(findEntry(menu, {}), nullptr);
}

}  // namespace
}  // namespace nuvlet::sim
