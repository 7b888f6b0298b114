#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/linux/capture/CaptureRoute.h"
#include "tests/harness/ChildProcess.h"
#include "tests/harness/SwayServer.h"
#include "tests/support/TempDir.h"

namespace nuvlet::linux_platform {
namespace {

TEST(CaptureRoute, OneRuleForEverySessionAndSetting) {
  using M = CaptureMethod;
  using S = SessionKind;
  using R = CaptureRoute;
  const struct {
    M method;
    S session;
    std::uint32_t portal;  // the portal's ScreenCast version, 0: none
    bool screencopy;
    R route;
    const char* because;  // a part of the reason
  } cases[] = {
      {M::Auto, S::X11, 4, true, R::X11, "X11 session"},
      {M::Auto, S::Wayland, 4, true, R::Portal, "offers ScreenCast (version 4)"},
      {M::Auto, S::Wayland, 0, true, R::Screencopy, "offers wlroots screencopy"},
      {M::Auto, S::Wayland, 0, false, R::None, "no ScreenCast and the compositor no wlroots"},
      {M::Auto, S::None, 0, false, R::None, "no graphical session"},
      {M::Portal, S::Wayland, 3, false, R::Portal, "captureMethod \"portal\""},
      {M::Portal, S::X11, 0, false, R::None, "offers no ScreenCast"},
      {M::Screencopy, S::Wayland, 4, true, R::Screencopy, "captureMethod \"screencopy\""},
      {M::Screencopy, S::Wayland, 4, false, R::None, "offers no wlroots screencopy"},
      {M::Screencopy, S::X11, 0, false, R::None, "needs a Wayland session"},
      {M::X11, S::X11, 4, false, R::X11, "captureMethod \"x11\""},
      // XWayland sees only X clients: never a stand-in for the compositor.
      {M::X11, S::Wayland, 0, true, R::None, "sees only X clients"},
  };
  for (const auto& c : cases) {
    const auto choice = chooseCaptureRoute(c.method, c.session, {c.portal, c.screencopy});
    SCOPED_TRACE(std::string(captureMethodName(c.method)) + " in " + sessionKindName(c.session));
    EXPECT_EQ(choice.route, c.route);
    EXPECT_NE(choice.why.find(c.because), std::string::npos) << choice.why;
  }
  for (const char* name : {"auto", "portal", "screencopy", "x11"}) {
    ASSERT_TRUE(parseCaptureMethod(name));
    EXPECT_STREQ(captureMethodName(*parseCaptureMethod(name)), name);
  }
  for (const char* bad : {"", "X11", "pipewire", "auto "}) EXPECT_FALSE(parseCaptureMethod(bad));
}

// `nuvlet devices`, the real program, in a headless sway session.
TEST(CaptureRoute, DevicesShowsTheRouteAndItsState) {
  test::SwayServer sway;
  ASSERT_TRUE(sway.running()) << "sway is required";
  ASSERT_TRUE(sway.command("output HEADLESS-1 bg #404040 solid_color"));
  test::TempDir home, sys;
  auto runtime = home.write("run/.keep", "").parent_path();
  ::chmod(runtime.c_str(), 0700);
  std::map<std::string, std::string> env{
      {"XDG_RUNTIME_DIR", runtime.string()},
      {"WAYLAND_DISPLAY", (sway.runtimeDir() / sway.socket()).string()},
      {"XDG_SESSION_TYPE", "wayland"},
      {"DISPLAY", ""},
      {"NUVLET_SYSFS_ROOT", sys.path().string()},
      {"XDG_CONFIG_HOME", (home / "config").string()}};
  auto section = [&] {
    auto run = test::ChildProcess::run({NUVLET_BUILD_DIR "/app/nuvlet", "devices"}, env, 60);
    EXPECT_EQ(run.status, 0);
    const auto from = run.out.find("Screen capture\n");
    return from == std::string::npos ? run.out
                                     : run.out.substr(from, run.out.find("\n\n", from) - from);
  };
  const struct {
    const char* settings;
    std::vector<std::string> shown;
  } cases[] = {
      // The repaint may still be on its way: the luminance is not pinned here.
      {"{}",
       {"route: wlroots screencopy (Wayland session; the desktop portal offers no ScreenCast; "
        "the compositor offers wlroots screencopy",
        "main output HEADLESS-1 (0x", "state: streaming (captured and reduced in"}},
      {R"({"captureMethod": "portal"})",
       {"route: none (captureMethod \"portal\": the desktop portal offers no ScreenCast",
        "state: failed: no route reads the screen"}},
      {R"({"captureMethod": 3})",
       {"captureMethod 3 is not one of", "route: wlroots screencopy", "state: streaming"}},
  };
  for (const auto& c : cases) {
    home.write("config/nuvlet/settings.json", c.settings);
    const std::string out = section();
    for (const auto& line : c.shown) EXPECT_NE(out.find(line), std::string::npos) << out;
  }
}

}  // namespace
}  // namespace nuvlet::linux_platform
