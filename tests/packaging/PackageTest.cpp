#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/harness/PackagingRelease.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

namespace fs = std::filesystem;

const std::string kSource = NUVLET_SOURCE_DIR;

// What makes external monitors work for the user at the seat and the application known
// to software centres comes with the package `cpack` makes from the build tree (no
// repository) and goes with it, also when an earlier install stopped half-way.
TEST(Package, ModuleLoadUdevRuleAndMetainfoComeAndGoWithThePackage) {
  const std::vector<std::string> files = {
      "usr/lib/modules-load.d/nuvlet.conf", "usr/lib/udev/rules.d/70-nuvlet-i2c.rules",
      "usr/share/metainfo/org.nuvlet.Nuvlet.metainfo.xml", "usr/share/applications/nuvlet.desktop"};
  TempDir built, root;
  std::string out;
  const fs::path deb = packFromBuildTree(built.path(), NUVLET_BUILD_DIR ";nuvlet;ALL;/", {}, &out);
  ASSERT_FALSE(deb.empty()) << out;
  ASSERT_EQ(dpkgIn(root.path(), {"--unpack", deb.string()}).status, 0);
  auto install = dpkgIn(root.path(), {"--install", deb.string()});
  ASSERT_EQ(install.status, 0) << install.out;
  for (const auto& f : files) EXPECT_TRUE(fs::exists(root / f)) << f;

  EXPECT_EQ(readLines(root / "usr/lib/modules-load.d/nuvlet.conf").back(), "i2c-dev");
  const std::string rule = readText(root / "usr/lib/udev/rules.d/70-nuvlet-i2c.rules");
  for (const auto& line : splitLines(rule)) {
    if (line.empty() || line[0] == '#') continue;
    EXPECT_EQ(line.find("SUBSYSTEM==\"i2c-dev\""), 0u) << line;
    EXPECT_NE(line.find("TAG+=\"uaccess\""), std::string::npos) << line;
  }
  auto desktop = run({"desktop-file-validate", (root / "usr/share/applications/nuvlet.desktop")});
  EXPECT_EQ(desktop.status, 0) << desktop.out;
  // The metainfo against the installed tree: its launchable must name a desktop entry
  // that is there.
  auto appstream = run({"appstreamcli", "validate-tree", "--no-net", (root / "usr").string()});
  EXPECT_EQ(appstream.status, 0) << appstream.out;

  auto remove = dpkgIn(root.path(), {"--remove", "nuvlet"});
  EXPECT_EQ(remove.status, 0) << remove.out;
  for (const auto& f : files) EXPECT_FALSE(fs::exists(root / f)) << f;
  ASSERT_EQ(dpkgIn(root.path(), {"--install", deb.string()}).status, 0);
  for (const auto& f : files) EXPECT_TRUE(fs::exists(root / f)) << f;
}

// On the running system the maintainer script loads the module, and a machine without it
// (a container) is no reason to fail the install.
TEST(MaintainerScript, LoadsTheModuleAndToleratesItsAbsence) {
  if (fs::exists("/sys/module/i2c_dev")) GTEST_SKIP() << "i2c-dev is loaded here already";
  // The script configures the real root here: it must find no apt source of ours to copy.
  if (fs::exists("/usr/share/nuvlet/nuvlet.sources")) GTEST_SKIP() << "nuvlet is installed here";
  for (const bool moduleExists : {true, false}) {
    SCOPED_TRACE(moduleExists ? "module exists" : "no module");
    TempDir bin;
    writePackagingHostTools(bin, moduleExists);
    auto postinst = run({kSource + "/packaging/postinst", "configure"},
                        {{"DPKG_ROOT", ""}, {"PATH", bin.path().string() + ":/usr/bin:/bin"}});
    EXPECT_EQ(postinst.status, 0) << postinst.out;
    EXPECT_EQ(readText(bin / "calls"), "i2c-dev\n");
    EXPECT_EQ(postinst.out.find("not available") != std::string::npos, !moduleExists)
        << postinst.out;
  }
}

// A release build's metadata links the repository's address and shows the screenshots
// published there; an address a software centre cannot open is refused at configure time.
TEST(Metainfo, ScreenshotsComeFromAWebAddressOnly) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    bool configures;
    std::string screenshot;  // "" = none listed
  };
  const std::vector<Case> cases = {
      {"no repository", {}, true, ""},
      {"an https repository",
       {"-DNUVLET_APT_REPOSITORY=https://example.org/nuvlet/"},
       true,
       "<image>https://example.org/nuvlet/screenshots/tray-light.png</image>"},
      {"a repository on disk", {"-DNUVLET_APT_REPOSITORY=file:///srv/nuvlet"}, true, ""},
      {"a web site besides the repository",
       {"-DNUVLET_APT_REPOSITORY=file:///srv/nuvlet", "-DNUVLET_WEBSITE=https://nuvlet.example"},
       true,
       "<image>https://nuvlet.example/screenshots/tray-dark.png</image>"},
      {"a web site that is not on the web", {"-DNUVLET_WEBSITE=file:///srv"}, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path keyring = dir.write("keyring.gpg", "key");
    std::vector<std::string> argv = {"cmake",
                                     "-S",
                                     kSource + "/packaging",
                                     "-B",
                                     (dir / "build").string(),
                                     "-DNUVLET_APT_KEYRING=" + keyring.string()};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    auto configure = run(argv);
    ASSERT_EQ(configure.status == 0, c.configures) << configure.out;
    if (!c.configures) continue;
    const fs::path metainfo = dir / "build/staged/org.nuvlet.Nuvlet.metainfo.xml";
    const std::string text = readText(metainfo);
    const std::string sought = c.screenshot.empty() ? "<screenshot" : c.screenshot;
    EXPECT_EQ(text.find(sought) != std::string::npos, !c.screenshot.empty()) << text;
    auto validate = run({"appstreamcli", "validate", "--no-net", metainfo.string()});
    EXPECT_EQ(validate.status, 0) << validate.out;
  }
}

}  // namespace
}  // namespace nuvlet::test
