#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/harness/BacklightTree.h"
#include "tests/harness/plasma/PlasmaSession.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

// KDE's ScreenCast portal against the real xdg-desktop-portal-kde and KWin: a grant the
// user gave earlier is restored without the screen chooser, and the stream is set up.
// A virtual KWin output never sends a frame (KWin 5.27 records only what its DRM
// backend presents), so "no frame yet" is what a headless session can show; no frame
// is faked here.
TEST(PlasmaPortal, AStoredGrantOpensTheStreamWithoutADialog) {
  PlasmaSession session({PlasmaSession::Display::Wayland, false, /*portal=*/true});
  ASSERT_EQ(session.failure(), "");
  // The program's report waits only a few seconds for a frame: the portal starts first.
  ASSERT_TRUE(session.startPortal()) << "no ScreenCast portal";
  const std::string token = session.seedScreencastGrant();
  ASSERT_FALSE(token.empty()) << "the permission store refused the grant";
  TempDir sysfs;
  writeBacklight(sysfs, 60);
  session.home().write("state/nuvlet/screencast-token", token + "\n");

  auto devices =
      ChildProcess::run({NUVLET_PROGRAM, "devices"}, session.programEnvironment(sysfs.path()), 120);
  const std::string& out = devices.out;
  EXPECT_EQ(devices.status, 0) << out;
  EXPECT_NE(out.find("compositor KDE"), std::string::npos) << out;
  EXPECT_NE(out.find("route: ScreenCast portal"), std::string::npos) << out;
  EXPECT_NE(out.find("permission: stored"), std::string::npos) << out;
  // Start answered at once (a dialog would have held it past the wait), a node was
  // handed over and its format negotiated to the output's size.
  EXPECT_TRUE(std::regex_search(out, std::regex("state: no frame yet.*PipeWire node [0-9]+, "
                                                "1280x800")))
      << out;
  // What the screen showed (a dialog?) when the stream did not come.
  if (HasFailure()) keepShot([&] { return session.screenshot(); }, "portal-failed");
}

}  // namespace
}  // namespace nuvlet::test
