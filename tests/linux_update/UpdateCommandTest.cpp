#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>

#include "tests/harness/AppProcess.h"
#include "tests/harness/FakePackageKit.h"
#include "tests/harness/Servers.h"
#include "tests/harness/UpdateDpkgDatabase.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;

const fs::path kProgram = fs::path(NUVLET_BUILD_DIR) / "app/nuvlet";

// The built program, as if dpkg had installed it from the package `nuvlet` 0.1.0, with the
// stand-in PackageKit on a private system bus offering 0.2.0.
class UpdateCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.running()) << "dbus-daemon is required";
    packageKit.script("GetUpdates", {.packages = {{5, "nuvlet;0.2.0;amd64;nuvlet"}}});
    ASSERT_TRUE(packageKit.own());
    writeDpkgDatabase(home, "dpkg", "0.1.0", fs::weakly_canonical(kProgram));
  }
  std::map<std::string, std::string> env() const {
    auto e = appEnvironment(home.path(), home / "sys", session.address(), bus.address());
    e.merge(std::map<std::string, std::string>{{"NUVLET_DPKG_ADMINDIR", (home / "dpkg").string()},
                                               {"DISPLAY", ""}});
    return e;
  }
  int installs() { return packageKit.calls("UpdatePackages (2, ['nuvlet;0.2.0;amd64;nuvlet'])"); }

  DbusDaemon bus{DbusDaemon::Kind::System};
  DbusDaemon session;
  FakePackageKit packageKit{bus.address()};
  TempDir home;
};

TEST_F(UpdateCommand, CheckInstallsTheUpdateAndDevicesShowTheUpdateState) {
  auto devices = ChildProcess::run({kProgram.string(), "update"}, env());
  EXPECT_EQ(devices.status, 0);
  EXPECT_THAT(devices.out, HasSubstr("nuvlet 0.1.0 from its package, updated through PackageKit; "
                                     "checked at launch and daily"));
  EXPECT_THAT(devices.out, HasSubstr("PackageKit is running"));

  auto check = ChildProcess::run({kProgram.string(), "update", "--check"}, env());
  EXPECT_EQ(check.status, 0);
  EXPECT_THAT(check.out, HasSubstr("Nuvlet 0.2.0 is installed"));
  EXPECT_EQ(installs(), 1);
}

TEST_F(UpdateCommand, TheTrayAppEndsInOrderAndRestartsIntoTheUpdate) {
  auto e = env();
  e["NUVLET_UPDATE_CHECK_DELAY"] = "0";
  ChildProcess app({"/bin/sh", "-c", "exec \"$0\" -v 2>&1", kProgram.string()}, e);
  ASSERT_TRUE(app.started());
  auto waitFor = [&](const std::string& text) {
    while (auto line = app.readLine(20)) {
      if (line->find(text) != std::string::npos) return true;
    }
    return false;
  };
  ASSERT_TRUE(waitFor("version 0.2.0 installed; restarting into it"));
  ASSERT_TRUE(waitFor("terminating"));
  ASSERT_TRUE(waitFor("restarting into " + fs::weakly_canonical(kProgram).string()));
  // The same process, now the new program, runs again and finds nothing more to install.
  ASSERT_TRUE(waitFor("running"));
  ASSERT_TRUE(waitFor("updates: up to date"));
  EXPECT_EQ(installs(), 1);
  ASSERT_EQ(::kill(app.pid(), SIGTERM), 0);
  EXPECT_EQ(app.wait(5.0), 0);
}

}  // namespace
}  // namespace nuvlet::test
