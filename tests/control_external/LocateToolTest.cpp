#include <gtest/gtest.h>
#include <sys/stat.h>

#include "nuvlet/control/ExternalBrightnessController.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

using Controller = ExternalBrightnessController;

std::filesystem::path executable(const TempDir& dir, const std::string& relative,
                                 unsigned mode = 0755) {
  auto path = dir.write(relative, "#!/bin/sh\n");
  ::chmod(path.c_str(), mode);
  return path;
}

TEST(LocateTool, InstalledToolComesBeforeTheBuildTreeOne) {
  TempDir dir;
  auto self = dir / "bin/nuvlet";
  EXPECT_EQ(Controller::locateTool(MemoryDefaults(), self), std::nullopt);
  auto built = executable(dir, "tools/nuvlet-ddc/nuvlet-ddc");
  EXPECT_EQ(Controller::locateTool(MemoryDefaults(), self), built);
  auto installed = executable(dir, "libexec/nuvlet/nuvlet-ddc");
  EXPECT_EQ(Controller::locateTool(MemoryDefaults(), self), installed);
  ::chmod(installed.c_str(), 0644);
  EXPECT_EQ(Controller::locateTool(MemoryDefaults(), self), built);
}

TEST(LocateTool, SettingOverridesAndIsNeverSilentlyReplaced) {
  TempDir dir;
  auto self = dir / "bin/nuvlet";
  executable(dir, "libexec/nuvlet/nuvlet-ddc");
  auto mine = executable(dir, "my tool");
  auto notExecutable = executable(dir, "plain", 0644);
  const struct {
    nlohmann::json setting;
    std::optional<std::filesystem::path> found;
  } cases[] = {
      {mine.string(), mine},
      {notExecutable.string(), std::nullopt},
      {(dir / "missing").string(), std::nullopt},
      {"relative/nuvlet-ddc", std::nullopt},
      {dir.path().string(), std::nullopt},  // a directory
      {"", dir / "libexec/nuvlet/nuvlet-ddc"},
      {42, dir / "libexec/nuvlet/nuvlet-ddc"},
  };
  for (const auto& tc : cases) {
    MemoryDefaults defaults(nlohmann::json{{"monitorToolPath", tc.setting}});
    EXPECT_EQ(Controller::locateTool(defaults, self), tc.found) << tc.setting.dump();
  }
}

}  // namespace
}  // namespace nuvlet::test
