#include <gtest/gtest.h>

#include <memory>

#include "nuvlet/sensing/DisplayRouter.h"
#include "platform/linux/display/X11DisplayTopology.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/Servers.h"

namespace nuvlet::linux_platform {
namespace {

class X11DisplayTopologyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.running()) << "Xvfb is required";
    x = XConnection::open(loop, xvfb.display().c_str());
    ASSERT_TRUE(x);
    topology = makeX11DisplayTopology(x);
    ASSERT_TRUE(topology);
    topology->addDisplaysChangedListener([this] { ++changes; });
  }

  // Runs an X client (xrandr, xprop, xdotool) against the test's server.
  void run(std::vector<std::string> argv) {
    auto result = test::ChildProcess::run(argv, {{"DISPLAY", xvfb.display()}});
    ASSERT_EQ(result.status, 0) << argv[0] << ": " << result.out;
  }

  void twoMonitors() {
    run({"xrandr", "--setmonitor", "eDP-1", "960/254x1080/286+0+0", "screen"});
    run({"xrandr", "--setmonitor", "HDMI-1", "960/254x1080/286+960+0", "none"});
    ASSERT_TRUE(loop.runUntil([&] { return topology->screens().size() == 2; }, 10));
  }

  test::XvfbServer xvfb{"1920x1080x24"};
  sim::VirtualRunLoop loop;
  std::shared_ptr<XConnection> x;
  std::unique_ptr<DisplayTopology> topology;
  int changes = 0;
};

TEST_F(X11DisplayTopologyTest,
       MonitorsDefinedByAClientComeAndGoAsScreensWithTheirOwnIdsUntilTheServerGoes) {
  twoMonitors();
  const auto& screens = topology->screens();
  std::vector<std::tuple<std::string, ScreenRect, bool>> seen;
  for (const auto& s : screens) seen.emplace_back(s.name, s.frame, s.builtIn);
  EXPECT_EQ(seen, (decltype(seen){{"eDP-1", {0, 0, 960, 1080}, true},
                                  {"HDMI-1", {960, 0, 960, 1080}, false}}));
  // The monitor without an output gets an id that no output can have.
  EXPECT_NE(*screens[1].id & 0x80000000u, 0u);
  EXPECT_EQ(topology->mainDisplay(), screens[0].id);
  EXPECT_TRUE(topology->isBuiltIn(*screens[0].id));
  EXPECT_EQ(topology->onlineDisplays(), (std::vector<DisplayID>{*screens[0].id, *screens[1].id}));

  DisplayID external = *screens[1].id;
  run({"xrandr", "--delmonitor", "HDMI-1"});
  ASSERT_TRUE(loop.runUntil([&] { return topology->screens().size() == 1; }, 10));
  auto online = topology->onlineDisplays();
  EXPECT_EQ(std::count(online.begin(), online.end(), external), 0);

  // A server that goes away leaves no displays.
  xvfb = test::XvfbServer("16x16x24");  // replaces, and so stops, the first server
  ASSERT_TRUE(loop.runUntil([&] { return x->broken(); }, 10));
  loop.runPending();
  EXPECT_TRUE(topology->screens().empty());
  EXPECT_TRUE(topology->onlineDisplays().empty());
  EXPECT_FALSE(topology->mainDisplay());
  EXPECT_FALSE(topology->pointerLocation());
}

TEST_F(X11DisplayTopologyTest, TheRouterFollowsThePointerAcrossRealMonitors) {
  twoMonitors();
  DisplayRouter router(*topology, loop);
  DisplayID builtIn = *topology->screens()[0].id;
  DisplayID external = *topology->screens()[1].id;
  EXPECT_EQ(router.activeDisplay(), builtIn);
  run({"xdotool", "mousemove", "900", "500"});
  run({"xdotool", "mousemove_relative", "100", "0"});
  ASSERT_TRUE(loop.runUntil([&] { return router.activeDisplay() == external; }, 10));
  // Up into the external screen's top strip and back onto the built-in one's: nothing
  // moves the target, and for five seconds it holds.
  run({"xdotool", "mousemove_relative", "--", "0", "-490"});
  ASSERT_TRUE(loop.runUntil([&] { return topology->pointerLocation() == ScreenPoint{1000, 10}; }));
  EXPECT_EQ(router.activeDisplay(), external);
  EXPECT_EQ(router.currentTarget(), external);
}

TEST(X11Connection, NoServerGivesNoTopology) {
  sim::VirtualRunLoop loop;
  EXPECT_FALSE(XConnection::open(loop, ":999999"));
  EXPECT_FALSE(makeX11DisplayTopology(nullptr));
}

}  // namespace
}  // namespace nuvlet::linux_platform
