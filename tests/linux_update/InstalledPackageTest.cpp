#include <gtest/gtest.h>

#include <filesystem>

#include "platform/linux/desktop/InstalledPackage.h"
#include "tests/harness/UpdateDpkgDatabase.h"
#include "tests/support/TempDir.h"

namespace nuvlet::linux_platform {
namespace {

namespace fs = std::filesystem;

// A dpkg database holding the package `nuvlet` in the given state, listing /usr/bin/nuvlet
// below the test's root or not.
TEST(InstalledPackage, OnlyAProgramListedByAnInstalledPackageComesFromIt) {
  struct Case {
    const char* name;
    std::string status;
    bool listed;
    bool viaLink;  // the program is run through a link to it
    bool found;
  };
  const std::vector<Case> cases = {
      {"installed and listed", "install ok installed", true, false, true},
      {"run through a link", "install ok installed", true, true, true},
      {"not listed: built or installed by hand", "install ok installed", false, false, false},
      {"half installed", "install ok half-installed", true, false, false},
      {"removed, configuration left", "deinstall ok config-files", true, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir root;
    const fs::path binary = root.write("usr/bin/nuvlet", "program");
    test::writeDpkgDatabase(root, "var/lib/dpkg", "0.1.0", c.listed ? binary : fs::path(),
                            c.status);
    fs::path run = binary;
    if (c.viaLink) {
      run = root / "link";
      fs::create_symlink(binary, run);
    }
    auto found = findInstalledPackage(run, root / "var/lib/dpkg");
    ASSERT_EQ(found.has_value(), c.found);
    if (found) {
      EXPECT_EQ(std::tie(found->name, found->version, found->binary),
                std::tie("nuvlet", "0.1.0", binary));
    }
  }
}

TEST(InstalledPackage, TheTestProgramItselfIsNotFromAPackage) {
  EXPECT_FALSE(findInstalledPackage(runningBinary()).has_value());
  EXPECT_FALSE(runningBinary().empty());
}

}  // namespace
}  // namespace nuvlet::linux_platform
