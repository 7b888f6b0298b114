#include <gtest/gtest.h>

#include <string>

#include "tests/harness/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace nuvlet {
namespace {

// The section of `nuvlet devices` output under `title`, up to the blank line after it.
std::string section(const std::string& out, const std::string& title) {
  const auto at = out.find(title + "\n");
  if (at == std::string::npos) return "";
  const auto end = out.find("\n\n", at);
  return out.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// What a newcomer sees outside any desktop session, on a machine without I2C buses: why
// nothing is found, and what to do.
TEST(DevicesCommand, OutsideASessionSaysSoAndWhyMonitorsCannotBeReached) {
  test::TempDir home, sysfs;
  auto env = test::homeEnvironment(home.path());
  env.insert({{"DISPLAY", ""},
              {"WAYLAND_DISPLAY", ""},
              {"XDG_SESSION_TYPE", ""},
              {"NUVLET_SYSFS_ROOT", sysfs.path().string()}});
  auto result = test::ChildProcess::run({NUVLET_BUILD_DIR "/app/nuvlet", "devices"}, env, 60);
  ASSERT_EQ(result.status, 0) << result.out;

  const std::string displays = section(result.out, "Displays");
  EXPECT_NE(displays.find("missing: no graphical session (DISPLAY and WAYLAND_DISPLAY are unset)"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(displays.find("XWayland"), std::string::npos) << displays;
  EXPECT_NE(section(result.out, "Screen capture")
                .find("route: none (no graphical session: DISPLAY and WAYLAND_DISPLAY are unset)"),
            std::string::npos)
      << result.out;
  // No bus in the fake tree: the module is missing here, whether the kernel has it or not.
  const std::string monitors = section(result.out, "External monitors (DDC/CI)");
  EXPECT_NE(monitors.find("\n  unusable: "), std::string::npos) << monitors;
  EXPECT_NE(monitors.find("i2c-dev"), std::string::npos) << monitors;
}

}  // namespace
}  // namespace nuvlet
