#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/harness/DesktopEntry.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

namespace fs = std::filesystem;

class Installed : public ::testing::Test {
 protected:
  void SetUp() override {
    auto install = ChildProcess::run(
        {"cmake", "--install", NUVLET_BUILD_DIR, "--prefix", prefix.path().string()});
    ASSERT_EQ(install.status, 0) << install.out;
  }
  fs::path bin() const { return prefix.path() / "bin/nuvlet"; }
  TempDir prefix;
};

TEST_F(Installed, TheLayoutHasBothProgramsAValidDesktopEntryAndTheIcon) {
  EXPECT_TRUE(fs::exists(bin()));
  EXPECT_TRUE(fs::exists(prefix.path() / "libexec/nuvlet/nuvlet-ddc"));
  EXPECT_TRUE(fs::exists(prefix.path() / "share/icons/hicolor/scalable/apps/nuvlet.svg"));
  const fs::path entry = prefix.path() / "share/applications/nuvlet.desktop";
  auto validate = validateDesktopEntry(entry);
  EXPECT_EQ(validate.status, 0) << validate.out;
  EXPECT_EQ(desktopEntryValue(entry, "Exec"), bin().string());
  EXPECT_EQ(desktopEntryValue(entry, "Icon"), "nuvlet");

  auto version = ChildProcess::run({bin().string(), "--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "nuvlet " NUVLET_VERSION "\n");
}

}  // namespace
}  // namespace nuvlet::test
