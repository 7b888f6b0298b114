#include <gtest/gtest.h>
#include <xcb/randr.h>

#include <cstdlib>
#include <memory>

#include "nuvlet/sensing/DisplayRouter.h"
#include "platform/linux/X11DisplayTopology.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/support/Servers.h"

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

  // Waits for the adapter to see a change the test made through another client.
  bool waitForChange() {
    int before = changes;
    return loop.runUntil([&] { return changes > before; }, 10);
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

TEST_F(X11DisplayTopologyTest, OneOutputIsTheMainOnlineDisplayCoveringTheRoot) {
  ASSERT_EQ(topology->screens().size(), 1u);
  const Screen& screen = topology->screens()[0];
  ASSERT_TRUE(screen.id);
  EXPECT_EQ(topology->mainDisplay(), screen.id);
  EXPECT_EQ(topology->onlineDisplays(), std::vector<DisplayID>{*screen.id});
  EXPECT_EQ(screen.frame, (ScreenRect{0, 0, 1920, 1080}));
  EXPECT_EQ(screen.name, "screen");
  EXPECT_FALSE(screen.builtIn);
  EXPECT_FALSE(topology->isBuiltIn(*screen.id));
  EXPECT_FALSE(screen.panels);
  EXPECT_TRUE(topology->pointerLocation());
}

TEST_F(X11DisplayTopologyTest, AConnectorTypePanelPropertyMakesTheOutputBuiltIn) {
  DisplayID id = *topology->mainDisplay();
  xcb_connection_t* other = xcb_connect(xvfb.display().c_str(), nullptr);
  auto atomOf = [&](const std::string& name) {
    auto* r = xcb_intern_atom_reply(
        other, xcb_intern_atom(other, 0, static_cast<std::uint16_t>(name.size()), name.data()),
        nullptr);
    xcb_atom_t a = r->atom;
    std::free(r);
    return a;
  };
  xcb_atom_t panel = atomOf("Panel");
  xcb_atom_t connectorType = atomOf("ConnectorType");
  xcb_randr_change_output_property(other, id, connectorType, XCB_ATOM_ATOM, 32,
                                   XCB_PROP_MODE_REPLACE, 1, &panel);
  std::uint8_t edid[128] = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00, 0x10, 0xac};
  xcb_randr_change_output_property(other, id, atomOf("EDID"), XCB_ATOM_INTEGER, 8,
                                   XCB_PROP_MODE_REPLACE, 128, edid);
  xcb_flush(other);
  ASSERT_TRUE(loop.runUntil([&] { return topology->isBuiltIn(id); }, 10));
  ASSERT_TRUE(loop.runUntil([&] { return topology->screens()[0].edid.size() == 128; }, 10));
  EXPECT_EQ(topology->screens()[0].connectorType, "Panel");
  EXPECT_EQ(topology->screens()[0].edid[9], 0xac);
  xcb_disconnect(other);
}

TEST_F(X11DisplayTopologyTest, MonitorsDefinedByAClientComeAndGoAsScreensWithTheirOwnIds) {
  twoMonitors();
  const auto& screens = topology->screens();
  EXPECT_EQ(screens[0].name, "eDP-1");
  EXPECT_EQ(screens[0].frame, (ScreenRect{0, 0, 960, 1080}));
  EXPECT_TRUE(screens[0].builtIn);
  EXPECT_EQ(screens[1].name, "HDMI-1");
  EXPECT_EQ(screens[1].frame, (ScreenRect{960, 0, 960, 1080}));
  EXPECT_FALSE(screens[1].builtIn);
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
}

TEST_F(X11DisplayTopologyTest, PanelStripsComeFromTheDesktopsWorkAreas) {
  twoMonitors();
  // A top panel of 32 on the first monitor, a bottom one of 40 on the second.
  run({"xprop", "-root", "-f", "_GTK_WORKAREAS_D0", "32c", "-set", "_GTK_WORKAREAS_D0",
       "0, 32, 960, 1048, 960, 0, 960, 1040"});
  ASSERT_TRUE(loop.runUntil([&] { return topology->screens()[1].panels.has_value(); }, 10));
  EXPECT_EQ(topology->screens()[0].panels, (PanelInsets{32, 0}));
  EXPECT_EQ(topology->screens()[1].panels, (PanelInsets{0, 40}));
}

TEST_F(X11DisplayTopologyTest, WithoutPerMonitorAreasTheDesktopWorkAreaApplies) {
  run({"xprop", "-root", "-f", "_NET_WORKAREA", "32c", "-set", "_NET_WORKAREA",
       "0, 28, 1920, 1052"});
  ASSERT_TRUE(loop.runUntil([&] { return topology->screens()[0].panels.has_value(); }, 10));
  EXPECT_EQ(topology->screens()[0].panels, (PanelInsets{28, 0}));
  // A work area that reserves nothing says nothing: the router's default strip holds.
  run({"xprop", "-root", "-f", "_NET_WORKAREA", "32c", "-set", "_NET_WORKAREA",
       "0, 0, 1920, 1080"});
  ASSERT_TRUE(loop.runUntil([&] { return !topology->screens()[0].panels.has_value(); }, 10));
}

TEST_F(X11DisplayTopologyTest, RelativePointerMovesAreReportedWithTheNewPosition) {
  run({"xdotool", "mousemove", "100", "500"});
  int moves = 0;
  auto id = topology->addPointerMovedListener([&] { ++moves; });
  ASSERT_TRUE(id) << "XInput 2 raw motion is expected on Xvfb";
  run({"xdotool", "mousemove_relative", "--", "40", "-20"});
  ASSERT_TRUE(loop.runUntil(
      [&] {
        return moves > 0 && topology->pointerLocation() == ScreenPoint{140, 480};
      },
      10));
  topology->removeListener(*id);
  int before = moves;
  run({"xdotool", "mousemove_relative", "5", "5"});
  ASSERT_TRUE(loop.runUntil([&] { return topology->pointerLocation() == ScreenPoint{145, 485}; }));
  EXPECT_EQ(moves, before);
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

TEST_F(X11DisplayTopologyTest, AServerThatGoesAwayLeavesNoDisplays) {
  xvfb = test::XvfbServer("16x16x24");  // replaces, and so stops, the first server
  ASSERT_TRUE(loop.runUntil([&] { return x->broken(); }, 10));
  loop.runPending();
  EXPECT_TRUE(topology->screens().empty());
  EXPECT_TRUE(topology->onlineDisplays().empty());
  EXPECT_FALSE(topology->mainDisplay());
  EXPECT_FALSE(topology->pointerLocation());
}

TEST(X11Connection, NoServerGivesNoTopology) {
  sim::VirtualRunLoop loop;
  EXPECT_FALSE(XConnection::open(loop, ":999999"));
  EXPECT_FALSE(makeX11DisplayTopology(nullptr));
}

}  // namespace
}  // namespace nuvlet::linux_platform
