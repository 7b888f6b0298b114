#include <gtest/gtest.h>

#include <string>

#include "platform/linux/capture/CaptureRoute.h"

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

}  // namespace
}  // namespace nuvlet::linux_platform
