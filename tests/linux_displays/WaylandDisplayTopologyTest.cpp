#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/linux/display/DrmConnectors.h"
#include "platform/linux/display/WaylandDisplayTopology.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/DisplaysDrmTree.h"
#include "tests/harness/SwayServer.h"
#include "tests/support/TempDir.h"

namespace nuvlet::linux_platform {
namespace {

using test::edidFile;
using test::layDrmConnectors;

TEST(DrmConnectorsTest, OnlyWholeEdidBlocksWithTheHeaderCount) {
  struct Case {
    const char* what;
    std::string bytes;
    bool valid;
  } cases[] = {
      {"empty", "", false},
      {"truncated", edidFile(1).substr(0, 100), false},
      {"one block and a half", edidFile(1, 192), false},
      {"bad header", std::string(128, '\0'), false},
      {"one block", edidFile(1), true},
      {"with an extension", edidFile(1, 256), true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(validEdid(c.bytes).empty(), !c.valid) << c.what;
  }
}

TEST(DrmConnectorsTest, ConnectorsAreReadFromTheTreeWithTheirEdid) {
  test::TempDir sys;
  sys.write("class/drm/card0/dev", "226:0\n");
  sys.write("class/drm/renderD128/dev", "226:128\n");
  layDrmConnectors(sys, {{"card0-eDP-1", edidFile(1)},
                         {"card0-HDMI-A-1", "", false},
                         {"card1-DP-2", edidFile(2, 64)}});
  // Sorted by name; DP-2's EDID is cut short, so it has none.
  std::vector<std::tuple<std::string, std::string, bool, std::size_t>> read;
  for (const auto& c : readDrmConnectors(sys.path()))
    read.emplace_back(c.card, c.name, c.connected, c.edid.size());
  EXPECT_EQ(read, (decltype(read){{"card1", "DP-2", true, 0},
                                  {"card0", "HDMI-A-1", false, 0},
                                  {"card0", "eDP-1", true, 128}}));
  EXPECT_TRUE(readDrmConnectors(sys / "missing").empty());
}

TEST(DrmConnectorsTest, IdenticalMonitorsOnTwoConnectorsGetTwoIds) {
  auto edid = validEdid(edidFile(7));
  EXPECT_NE(waylandDisplayId("DP-1", edid), waylandDisplayId("DP-2", edid));
  EXPECT_NE(waylandDisplayId("DP-1", edid), waylandDisplayId("DP-1", validEdid(edidFile(8))));
  EXPECT_EQ(waylandDisplayId("DP-1", edid), waylandDisplayId("DP-1", edid));
}

class WaylandDisplayTopologyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sway.running()) << "headless sway is required"; }

  std::unique_ptr<DisplayTopology> connect(const test::TempDir& sys) {
    const std::string display = (sway.runtimeDir() / sway.socket()).string();
    auto t = makeWaylandDisplayTopology(
        loop, sys.path(), [this] { ++lost; }, display.c_str());
    if (t) t->addDisplaysChangedListener([this] { ++changes; });
    return t;
  }

  test::SwayServer sway{"1920x1080"};
  sim::VirtualRunLoop loop;
  int changes = 0;
  int lost = 0;
};

TEST_F(WaylandDisplayTopologyTest, SeesTheFirstOutputThenOneAddedAtRunTimeThenNoneAtTheEnd) {
  test::TempDir sys;  // no backlight, no DRM connectors: every output is external
  auto topology = connect(sys);
  ASSERT_TRUE(topology);
  EXPECT_FALSE(topology->tracksPointer());
  ASSERT_EQ(topology->screens().size(), 1u);
  const Screen first = topology->screens()[0];
  EXPECT_EQ(std::tuple(first.name, first.frame, first.builtIn),
            std::tuple("HEADLESS-1", ScreenRect{0, 0, 1920, 1080}, false));
  EXPECT_EQ(topology->mainDisplay(), first.id);

  ASSERT_TRUE(sway.command("create_output"));
  ASSERT_TRUE(sway.command("output HEADLESS-2 resolution 1280x720 position 1920 0"));
  ASSERT_TRUE(loop.runUntil(
      [&] {
        const auto& s = topology->screens();
        return s.size() == 2 && s[1].frame == ScreenRect{1920, 0, 1280, 720};
      },
      10));
  EXPECT_GT(changes, 0);
  EXPECT_EQ(topology->screens()[1].name, "HEADLESS-2");
  EXPECT_EQ(topology->screens()[0], first);
  EXPECT_EQ(topology->mainDisplay(), first.id);

  ASSERT_TRUE(sway.command("output HEADLESS-2 scale 2"));
  ASSERT_TRUE(loop.runUntil([&] { return topology->screens()[1].scale == 2; }, 10));
  EXPECT_EQ(topology->screens()[1].frame, (ScreenRect{1920, 0, 640, 360}));

  // Another client, as after a restart, numbers the displays the same way.
  auto again = connect(sys);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->onlineDisplays(), topology->onlineDisplays());
  again.reset();

  // The compositor going away clears the displays and says so once.
  sway.kill();
  ASSERT_TRUE(loop.runUntil([&] { return lost > 0; }, 10));
  loop.runPending();
  EXPECT_EQ(lost, 1);
  EXPECT_TRUE(topology->screens().empty());
  EXPECT_FALSE(topology->mainDisplay());
}

TEST_F(WaylandDisplayTopologyTest, AVirtualOutputIsThePanelOnlyWithABacklightAndNoOtherPanel) {
  ASSERT_TRUE(sway.command("create_output"));
  ASSERT_TRUE(sway.command("output HEADLESS-2 resolution 1280x720 position 1920 0"));
  struct Case {
    const char* what;
    bool backlight;
    bool drmHeadless1;
    bool builtIn1, builtIn2;
  } cases[] = {
      {"no backlight", false, false, false, false},
      {"a backlight: the first unmatched output", true, false, true, false},
      {"HEADLESS-1 is a real external connector", true, true, false, true},
  };
  for (const auto& c : cases) {
    test::TempDir sys;
    if (c.backlight) sys.write("class/backlight/intel_backlight/max_brightness", "100\n");
    if (c.drmHeadless1) layDrmConnectors(sys, {{"card0-HEADLESS-1", edidFile(3)}});
    auto topology = connect(sys);
    ASSERT_TRUE(topology) << c.what;
    ASSERT_TRUE(loop.runUntil([&] { return topology->screens().size() == 2; }, 10)) << c.what;
    const Screen* one = nullptr;
    const Screen* two = nullptr;
    for (const auto& s : topology->screens()) (s.name == "HEADLESS-1" ? one : two) = &s;
    ASSERT_TRUE(one && two) << c.what;
    EXPECT_EQ(one->builtIn, c.builtIn1) << c.what;
    EXPECT_EQ(two->builtIn, c.builtIn2) << c.what;
    EXPECT_EQ(one->edid.size(), c.drmHeadless1 ? 128u : 0u) << c.what;
    // The panel is main and comes first; without one, the output at 0,0.
    const Screen* main = c.builtIn2 ? two : one;
    EXPECT_EQ(topology->mainDisplay(), main->id) << c.what;
    EXPECT_EQ(&topology->screens()[0], main) << c.what;
  }
}

TEST_F(WaylandDisplayTopologyTest, DevicesShowsTheOutputsWhereAScrollGoesAndTheCaptureRoute) {
  ASSERT_TRUE(sway.command("create_output"));
  ASSERT_TRUE(sway.command("output HEADLESS-2 resolution 1280x720 position 1920 0"));
  test::TempDir sys;
  sys.write("class/backlight/acpi_video0/max_brightness", "100\n");
  test::TempDir home;
  auto env = sway.clientEnvironment(home.path());
  env["NUVLET_SYSFS_ROOT"] = sys.path().string();
  env["XDG_CONFIG_HOME"] = (home / "config").string();
  // What it shows, by setting; the luminance it read is not pinned here.
  const struct {
    const char* settings;
    std::vector<std::string> shown;
  } cases[] = {
      {"{}",
       {"Wayland session, compositor sway", "HEADLESS-1  1920x1080+0+0  built-in  main  no EDID",
        "HEADLESS-2  1280x720+1920+0  no EDID", "scroll adjusts: HEADLESS-1 (the built-in panel",
        "route: wlroots screencopy (Wayland session; the desktop portal offers no ScreenCast; "
        "the compositor offers wlroots screencopy",
        "main output HEADLESS-1 (0x", "state: streaming (captured and reduced in"}},
      {R"({"captureMethod": "portal", "scrollDisplay": {"edid": "", "connector": "HEADLESS-2"}})",
       {"scroll adjusts: HEADLESS-2 (chosen under Scroll Adjusts)",
        "route: none (captureMethod \"portal\": the desktop portal offers no ScreenCast",
        "state: failed: no route reads the screen"}},
      {R"({"captureMethod": 3})",
       {"captureMethod 3 is not one of", "route: wlroots screencopy", "state: streaming"}},
  };
  for (const auto& c : cases) {
    home.write("config/nuvlet/settings.json", c.settings);
    auto run = test::ChildProcess::run({NUVLET_BUILD_DIR "/app/nuvlet", "devices"}, env, 60);
    EXPECT_EQ(run.status, 0);
    for (const auto& line : c.shown) EXPECT_NE(run.out.find(line), std::string::npos) << run.out;
  }
}

}  // namespace
}  // namespace nuvlet::linux_platform
