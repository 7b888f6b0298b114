#include <gtest/gtest.h>

#include <limits>

#include "platform/sim/RecordingStatusBar.h"

namespace nuvlet::sim {
namespace {

TEST(RecordingStatusBar, KeepsThePortsContractAndClicksOnlyEnabledActions) {
  RecordingStatusBar bar;
  auto handle = bar.addItem("volume");
  int calls = 0;
  StatusItem::Callbacks callbacks;
  callbacks.onScroll = [&](double) { ++calls; };
  handle->setCallbacks(callbacks);
  EXPECT_FALSE(bar.item("volume")->scroll(0));
  EXPECT_FALSE(bar.item("volume")->scroll(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_EQ(calls, 0);

  MenuItem reset;
  reset.label = "Reset";
  reset.activate = [&] { ++calls; };
  MenuItem disabled = reset;
  disabled.label = "Disabled";
  disabled.enabled = false;
  MenuItem calibration;
  calibration.kind = MenuItem::Kind::Submenu;
  calibration.label = "Calibration";
  calibration.children = {MenuItem::separator(), reset, disabled};
  const Menu menu{calibration};
  EXPECT_TRUE(clickEntry(menu, {"Calibration", "Reset"}));
  EXPECT_FALSE(clickEntry(menu, {"Calibration", "Disabled"}));
  EXPECT_FALSE(clickEntry(menu, {"Calibration"}));
  EXPECT_FALSE(clickEntry(menu, {"Reset"}));
  EXPECT_FALSE(clickEntry(menu, {"Calibration", "Reset", "deeper"}));
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace nuvlet::sim
