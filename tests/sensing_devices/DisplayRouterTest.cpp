#include <gtest/gtest.h>

#include <vector>

#include "nuvlet/sensing/DisplayRouter.h"
#include "platform/sim/ScriptedDisplayTopology.h"
#include "platform/sim/VirtualRunLoop.h"

namespace nuvlet {
namespace {

constexpr DisplayID kBuiltIn = 1;
constexpr DisplayID kExternal = 2;

TEST(DisplayRouter, FollowsThePointerBelowThePanelStripUntilUnpluggedAndListensUntilDestroyed) {
  sim::VirtualRunLoop loop;
  sim::ScriptedDisplayTopology topology;
  topology.main = kBuiltIn;
  topology.online = {kBuiltIn, kExternal};
  topology.screenList = {
      Screen{kBuiltIn, "eDP-1", {0, 0, 1440, 900}, true, "Panel", {}, std::nullopt},
      Screen{kExternal, "HDMI-1", {1440, 0, 1920, 1080}, false, "HDMI", {}, std::nullopt}};
  topology.pointer = ScreenPoint{100, 100};
  {
    DisplayRouter router(topology, loop);
    EXPECT_EQ(router.activeDisplay(), kBuiltIn);
    EXPECT_TRUE(router.hasMonitor());
    EXPECT_TRUE(topology.hasMotionListeners());
    std::vector<DisplayID> told;
    router.onActiveDisplayChange = [&](DisplayID id) { told.push_back(id); };
    topology.movePointer({1500, 23});  // the panel strip at the top
    EXPECT_EQ(router.activeDisplay(), kBuiltIn);
    topology.movePointer({1500, 24});
    EXPECT_EQ(router.activeDisplay(), kExternal);
    EXPECT_EQ(router.currentTarget(), kExternal);
    topology.movePointer({1600, 600});  // same screen: no news
    EXPECT_EQ(told, std::vector<DisplayID>{kExternal});

    // Unplugged, the display is never returned.
    topology.online = {kBuiltIn};
    topology.screenList.pop_back();
    topology.pointer = ScreenPoint{100, 100};
    EXPECT_EQ(router.currentTarget(), kBuiltIn);
  }
  EXPECT_FALSE(topology.hasMotionListeners());
  topology.movePointer({1500, 500});  // must not reach a destroyed router
}

}  // namespace
}  // namespace nuvlet
