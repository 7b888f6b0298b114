#include <gtest/gtest.h>

#include "nuvlet/platform/Subprocess.h"
#include "platform/linux/display/DrmConnectors.h"
#include "tests/harness/ProcessCheck.h"
#include "tests/harness/ddc/MonitorState.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

struct Run {
  SubprocessResult result;
  double seconds;
};

Run runTool(const std::vector<std::string>& args) {
  std::vector<std::string> argv{NUVLET_DDC_TOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  auto start = std::chrono::steady_clock::now();
  auto result = Subprocess::runAndWait(argv, {10.0, 0.5, 1 << 16});
  return {result, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

bool oneLine(const std::string& s) {
  return !s.empty() && s.back() == '\n' && s.find('\n') == s.size() - 1;
}

class ToolProgram : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(childProcesses().empty()); }
  TempDir cache_;
  ScopedEnv cacheHome_{"XDG_CACHE_HOME", cache_.path().string()};
};

TEST_F(ToolProgram, WithoutAnXServerItFailsFastWithAReason) {
  ScopedEnv display("DISPLAY", ":9999");
  ScopedEnv wayland("WAYLAND_DISPLAY", std::nullopt);
  ScopedEnv type("XDG_SESSION_TYPE", "x11");
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"display", "id=1", "get", "luminance"},
                                             {"display", "id=1", "set", "luminance", "50"},
                                             {"list"}}) {
    auto run = runTool(args);
    EXPECT_EQ(run.result.exitStatus, 1);
    EXPECT_EQ(run.result.out, "") << "libddcutil's chatter reached stdout";
    EXPECT_TRUE(oneLine(run.result.err)) << run.result.err;
    EXPECT_NE(run.result.err.find("X server"), std::string::npos) << run.result.err;
    EXPECT_LT(run.seconds, 3.0) << "waited for something that is not there";
  }
}

// Without X the displays are the DRM connectors, numbered as the app numbers them in
// a Wayland session; whatever DDC/CI then says, the answer names the display.
TEST_F(ToolProgram, InAWaylandSessionDisplaysComeFromTheDrmConnectors) {
  TempDir sys;
  auto edid = [](std::uint32_t serial) {
    auto e = simddc::makeEdid(serial);
    return std::string(e.begin(), e.end());
  };
  sys.write("class/drm/card0-eDP-1/status", "connected\n");
  sys.write("class/drm/card0-eDP-1/edid", edid(1));
  sys.write("class/drm/card0-DP-1/status", "connected\n");
  sys.write("class/drm/card0-DP-1/edid", edid(2));
  sys.write("class/drm/card0-DP-2/status", "connected\n");
  sys.write("class/drm/card0-DP-2/edid", edid(3).substr(0, 100));
  sys.write("class/drm/card0-HDMI-A-1/status", "disconnected\n");
  ScopedEnv root("NUVLET_SYSFS_ROOT", sys.path().string());
  ScopedEnv display("DISPLAY", std::nullopt);
  ScopedEnv wayland("WAYLAND_DISPLAY", "wayland-9");
  ScopedEnv type("XDG_SESSION_TYPE", "wayland");

  const auto dp1 = linux_platform::waylandDisplayId("DP-1", linux_platform::validEdid(edid(2)));
  const auto dp2 = linux_platform::waylandDisplayId("DP-2", {});
  auto list = runTool({"list"});
  EXPECT_EQ(list.result.exitStatus, 0) << list.result.err;
  const std::string prefix1 = "id=" + std::to_string(dp1) + " DP-1: ";
  const std::string line2 = "id=" + std::to_string(dp2) + " DP-2: no usable EDID\n";
  ASSERT_EQ(list.result.out.rfind(prefix1, 0), 0u) << list.result.out;
  EXPECT_NE(list.result.out.find("\n" + line2), std::string::npos) << list.result.out;
  EXPECT_EQ(list.result.out.find("eDP-1"), std::string::npos) << "the panel is not external";
  EXPECT_EQ(list.result.out.find("HDMI"), std::string::npos) << "a disconnected connector";

  struct Case {
    std::vector<std::string> args;
    std::string reason;  // a part of the one line on stderr
  } cases[] = {
      {{"display", "id=" + std::to_string(dp2), "get", "luminance"}, "no usable EDID"},
      {{"display", "id=12345", "set", "luminance", "40"}, "no connected display has id 12345"},
  };
  for (const auto& c : cases) {
    auto run = runTool(c.args);
    EXPECT_EQ(run.result.exitStatus, 1);
    EXPECT_TRUE(oneLine(run.result.err)) << run.result.err;
    EXPECT_NE(run.result.err.find(c.reason), std::string::npos) << run.result.err;
  }
  // The monitor with a good EDID gets as far as DDC/CI: no X server is asked.
  auto get = runTool({"display", "id=" + std::to_string(dp1), "get", "luminance"});
  EXPECT_EQ(get.result.err.find("X server"), std::string::npos) << get.result.err;
}

}  // namespace
}  // namespace nuvlet::test
