#include <gtest/gtest.h>

#include <vector>

#include "nuvlet/sensing/DisplayRouter.h"
#include "platform/sim/ScriptedDisplayTopology.h"
#include "platform/sim/VirtualRunLoop.h"

namespace nuvlet {
namespace {

constexpr DisplayID kBuiltIn = 1;
constexpr DisplayID kExternal = 2;

class DisplayRouterTest : public ::testing::Test {
 protected:
  DisplayRouterTest() {
    topology.main = kBuiltIn;
    topology.online = {kBuiltIn, kExternal};
    topology.screenList = {
        Screen{kBuiltIn, "eDP-1", {0, 0, 1440, 900}, true, "Panel", {}, std::nullopt},
        Screen{kExternal, "HDMI-1", {1440, 0, 1920, 1080}, false, "HDMI", {}, std::nullopt}};
    topology.pointer = ScreenPoint{100, 100};
  }

  sim::VirtualRunLoop loop;
  sim::ScriptedDisplayTopology topology;
};

TEST_F(DisplayRouterTest, StartsOnTheMainDisplayAndListensForMotionUntilDestroyed) {
  {
    DisplayRouter router(topology, loop);
    EXPECT_EQ(router.activeDisplay(), kBuiltIn);
    EXPECT_TRUE(router.hasMonitor());
    EXPECT_TRUE(topology.hasMotionListeners());
  }
  EXPECT_FALSE(topology.hasMotionListeners());
  topology.movePointer({1500, 500});  // must not reach a destroyed router
}

TEST_F(DisplayRouterTest, FollowsThePointerBelowThePanelStripToAnotherScreenAndSaysSo) {
  DisplayRouter router(topology, loop);
  std::vector<DisplayID> told;
  router.onActiveDisplayChange = [&](DisplayID id) { told.push_back(id); };
  topology.movePointer({1500, 23});  // the strip: see ThePanelStripBoundary
  EXPECT_EQ(router.activeDisplay(), kBuiltIn);
  topology.movePointer({1500, 24});
  EXPECT_EQ(router.activeDisplay(), kExternal);
  EXPECT_EQ(router.currentTarget(), kExternal);
  topology.movePointer({1600, 600});  // same screen: no news
  EXPECT_EQ(told, std::vector<DisplayID>{kExternal});
}

TEST_F(DisplayRouterTest, ReachingForTheOtherScreensPanelKeepsTheTargetForFiveSeconds) {
  DisplayRouter router(topology, loop);
  topology.movePointer({200, 400});
  loop.advance(1);
  topology.movePointer({1500, 10});  // the external screen's top strip
  EXPECT_EQ(router.activeDisplay(), kBuiltIn);
  loop.advance(3.9);
  EXPECT_EQ(router.currentTarget(), kBuiltIn);
  loop.advance(0.1);  // 5 s since the last movement outside a strip
  EXPECT_EQ(router.currentTarget(), kExternal);
}

TEST_F(DisplayRouterTest, ThePanelStripBoundary) {
  struct Case {
    std::optional<PanelInsets> panels;
    double y;
    bool inStrip;
  };
  // The external screen is 1080 tall.
  const Case cases[] = {
      {std::nullopt, 0, true},           {std::nullopt, 23, true},
      {std::nullopt, 23.5, true},        {std::nullopt, 24, false},
      {std::nullopt, 1079, false},       {PanelInsets{32, 0}, 31, true},
      {PanelInsets{32, 0}, 32, false},   {PanelInsets{0, 48}, 10, false},
      {PanelInsets{0, 48}, 1031, false}, {PanelInsets{0, 48}, 1032, true},
  };
  for (const auto& c : cases) {
    Screen screen = topology.screenList[1];
    screen.panels = c.panels;
    EXPECT_EQ(DisplayRouter::inPanelStrip(screen, {1500, c.y}), c.inStrip)
        << "y=" << c.y << " top=" << (c.panels ? c.panels->top : -1);
  }
}

TEST_F(DisplayRouterTest, MovementWithinTheSameScreenRenewsTrust) {
  DisplayRouter router(topology, loop);
  int changes = 0;
  router.onActiveDisplayChange = [&](DisplayID) { ++changes; };
  topology.movePointer({1500, 500});
  loop.advance(4);
  topology.movePointer({1510, 500});
  loop.advance(4);
  topology.pointer = ScreenPoint{100, 10};  // jumped without an event, into a strip
  EXPECT_EQ(router.currentTarget(), kExternal);
  EXPECT_EQ(changes, 1);
}

TEST_F(DisplayRouterTest, AStaleTargetFallsBackToTheScreenUnderThePointerEvenInItsStrip) {
  DisplayRouter router(topology, loop);
  topology.movePointer({1500, 500});
  loop.advance(6);
  topology.pointer = ScreenPoint{100, 5};
  EXPECT_EQ(router.currentTarget(), kBuiltIn);
}

TEST_F(DisplayRouterTest, AnUnpluggedDisplayIsNeverReturned) {
  DisplayRouter router(topology, loop);
  topology.movePointer({1500, 500});
  topology.online = {kBuiltIn};
  topology.screenList.pop_back();
  topology.pointer = ScreenPoint{100, 100};
  EXPECT_EQ(router.currentTarget(), kBuiltIn);
}

TEST_F(DisplayRouterTest, APointerOutsideEveryScreenChangesNothingAndTargetsMain) {
  DisplayRouter router(topology, loop);
  topology.movePointer({1500, 500});
  loop.advance(10);
  topology.movePointer({-50, 2000});
  EXPECT_EQ(router.activeDisplay(), kExternal);
  EXPECT_EQ(router.currentTarget(), kBuiltIn);
  topology.pointer.reset();
  EXPECT_EQ(router.currentTarget(), kBuiltIn);
}

TEST_F(DisplayRouterTest, AScreenWithoutADisplayIdMapsToMain) {
  topology.screenList[1].id.reset();
  DisplayRouter router(topology, loop);
  topology.movePointer({1500, 500});
  EXPECT_EQ(router.activeDisplay(), kBuiltIn);
  loop.advance(10);
  EXPECT_EQ(router.currentTarget(), kBuiltIn);
}

TEST_F(DisplayRouterTest, WithASingleScreenTheTargetIsAlwaysThatScreen) {
  topology.online = {kBuiltIn};
  topology.screenList.pop_back();
  DisplayRouter router(topology, loop);
  for (ScreenPoint p : {ScreenPoint{10, 5}, ScreenPoint{700, 800}, ScreenPoint{5000, 5}}) {
    topology.movePointer(p);
    EXPECT_EQ(router.currentTarget(), kBuiltIn);
    loop.advance(6);
    EXPECT_EQ(router.currentTarget(), kBuiltIn);
  }
}

TEST_F(DisplayRouterTest, WithoutMotionEventsTheTargetFollowsThePointer) {
  topology.reportsMotion = false;
  DisplayRouter router(topology, loop);
  EXPECT_FALSE(router.hasMonitor());
  topology.pointer = ScreenPoint{1500, 5};
  EXPECT_EQ(router.currentTarget(), kExternal);
}

TEST_F(DisplayRouterTest, WithNoDisplaysAtAllTheAnswerIsNoDisplay) {
  topology.main.reset();
  topology.online.clear();
  topology.screenList.clear();
  DisplayRouter router(topology, loop);
  topology.movePointer({10, 10});
  EXPECT_EQ(router.currentTarget(), 0u);
}

}  // namespace
}  // namespace nuvlet
