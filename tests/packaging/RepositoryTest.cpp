#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/harness/Lintian.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

namespace fs = std::filesystem;

const fs::path kPublish = fs::path(NUVLET_SOURCE_DIR) / "scripts/publish-repo.sh";

// What every test shares: the project key, and the package built from this tree for a
// repository at `repo` (the build tree's own install plus the packaging part configured
// with that address, as a release build makes it), installed by dpkg into `root`.
struct Suite {
  TempDir dir;
  fs::path deb;
  fs::path gnupg = dir / "gnupg";
  fs::path keyring = dir / "nuvlet-archive-keyring.gpg";
  fs::path repo = dir / "repo";
  fs::path root = dir / "root";
};
Suite* suite = nullptr;

class Repository : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    suite = new Suite;
    auto key = run({kPublish.string(), "new-key", suite->gnupg.string(), suite->keyring.string(),
                    "--no-passphrase"});
    ASSERT_EQ(key.status, 0) << key.out;

    const fs::path packaging = suite->dir / "packaging-build";
    const std::string source = NUVLET_SOURCE_DIR;
    auto configure = run({"cmake", "-S", source + "/packaging", "-B", packaging.string(),
                          "-DCMAKE_INSTALL_PREFIX=/usr",
                          "-DNUVLET_APT_REPOSITORY=file://" + suite->repo.string(),
                          "-DNUVLET_APT_KEYRING=" + suite->keyring.string()});
    ASSERT_EQ(configure.status, 0) << configure.out;
    std::string out;
    suite->deb = packFromBuildTree(suite->dir.path(),
                                   std::string(NUVLET_BUILD_DIR) + ";nuvlet;ALL;/;" +
                                       packaging.string() + ";nuvlet-packaging;ALL;/",
                                   {"CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA=" + source +
                                    "/packaging/postinst;" + source + "/packaging/postrm"},
                                   &out);
    ASSERT_FALSE(suite->deb.empty()) << out;
    auto install = dpkgIn(suite->root, {"--install", suite->deb.string()});
    ASSERT_EQ(install.status, 0) << install.out;
  }
  static void TearDownTestSuite() {
    // The key's agent was started for this test's key ring alone.
    run({"gpgconf", "--homedir", suite->gnupg.string(), "--kill", "gpg-agent"});
    delete suite;
    suite = nullptr;
  }

  std::string packageVersion() {
    auto v = run({"dpkg-deb", "--field", suite->deb.string(), "Version"});
    return v.out.substr(0, v.out.find('\n'));
  }

  TempDir apt;
};

TEST_F(Repository, LintianFindsNothingInTheReleasePackage) {
  ASSERT_TRUE(findProgram("lintian")) << "lintian is required";
  EXPECT_EQ(lintianComplaints(suite->deb), "");
}

TEST_F(Repository, TheInstalledPackageSubscribesAptToTheRepositoryUntilRemoved) {
  const fs::path source = "etc/apt/sources.list.d/nuvlet.sources";
  const std::string text = readText(suite->root / source);
  EXPECT_NE(text.find("\nURIs: file://" + suite->repo.string() + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nSigned-By: /usr/share/keyrings/nuvlet-archive-keyring.gpg\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(readText(suite->root / "usr/share/keyrings/nuvlet-archive-keyring.gpg"),
            readText(suite->keyring));

  // Its key leaves with the package, so the source must too; a new install brings both.
  TempDir other;
  ASSERT_EQ(dpkgIn(other.path(), {"--install", suite->deb.string()}).status, 0);
  ASSERT_TRUE(fs::exists(other / source.string()));
  auto remove = dpkgIn(other.path(), {"--remove", "nuvlet"});
  EXPECT_EQ(remove.status, 0) << remove.out;
  EXPECT_FALSE(fs::exists(other / source.string()));
  EXPECT_FALSE(fs::exists(other / "usr/share/keyrings/nuvlet-archive-keyring.gpg"));
  ASSERT_EQ(dpkgIn(other.path(), {"--install", suite->deb.string()}).status, 0);
  EXPECT_EQ(readText(other / source.string()), text);
}

// What apt makes of the repository: a newer version is the candidate, an older one is
// left alone, and an index that is not signed by the shipped key is refused.
TEST_F(Repository, AptTakesOnlyANewerVersionThatTheShippedKeySigned) {
  struct Case {
    const char* name;
    std::string installed;
    enum { Intact, OtherKey } repository;
    bool accepted;
    std::string candidate;  // "" = the package's own version
  };
  const std::vector<Case> cases = {
      {"newer version offered", "0.0.1", Case::Intact, true, ""},
      {"signed by another key", "0.0.1", Case::OtherKey, false, "0.0.1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(suite->repo);
    fs::remove_all(apt.path());
    fs::create_directories(apt.path());
    // apt with the source the installed package gave it, dpkg's status claiming `installed`.
    writePrivateApt(apt, c.installed);
    copyAptSource(suite->root, apt);

    TempDir otherKey;
    fs::path signer = suite->gnupg;
    if (c.repository == Case::OtherKey) {
      signer = otherKey / "gnupg";
      auto key = run({kPublish.string(), "new-key", signer.string(),
                      (otherKey / "keyring.gpg").string(), "--no-passphrase"});
      ASSERT_EQ(key.status, 0) << key.out;
    }
    auto publish = run(
        {kPublish.string(), "publish", signer.string(), suite->repo.string(), suite->deb.string()});
    ASSERT_EQ(publish.status, 0) << publish.out;
    if (c.repository == Case::OtherKey) {
      run({"gpgconf", "--homedir", signer.string(), "--kill", "gpg-agent"});
    }

    auto update = aptIn(apt, {"apt-get", "update"});
    if (c.accepted) {
      EXPECT_EQ(update.status, 0) << update.out;
    } else {
      EXPECT_NE(update.status, 0) << update.out;
      EXPECT_NE(update.out.find("is not signed"), std::string::npos) << update.out;
    }
    EXPECT_EQ(aptCandidate(apt, "nuvlet"), c.candidate.empty() ? packageVersion() : c.candidate);
  }
}

TEST_F(Repository, PublishingAVersionAgainWithOtherContentsIsRefused) {
  auto first = run({kPublish.string(), "publish", suite->gnupg.string(), suite->repo.string(),
                    suite->deb.string()});
  ASSERT_EQ(first.status, 0) << first.out;
  const std::string index = readText(suite->repo / "dists/stable/InRelease");
  // Where the AppStream metadata of a package for this repository finds them.
  for (const char* shot : {"tray-light.png", "tray-dark.png"}) {
    EXPECT_EQ(readText(suite->repo / "screenshots" / shot),
              readText(fs::path(NUVLET_SOURCE_DIR) / "docs" / shot))
        << shot;
  }

  // The same name and version with one file changed.
  TempDir other;
  ASSERT_EQ(run({"dpkg-deb", "-R", suite->deb.string(), (other / "tree").string()}).status, 0);
  std::ofstream(other / "tree/usr/share/doc/nuvlet/copyright", std::ios::app) << "\n";
  const fs::path changed = other / suite->deb.filename().string();
  auto build = run({"dpkg-deb", "-Zgzip", "-z1", "--root-owner-group", "-b",
                    (other / "tree").string(), changed.string()});
  ASSERT_EQ(build.status, 0) << build.out;
  auto again = run({kPublish.string(), "publish", suite->gnupg.string(), suite->repo.string(),
                    changed.string()});
  EXPECT_NE(again.status, 0);
  EXPECT_NE(again.out.find("already published"), std::string::npos) << again.out;
  EXPECT_EQ(readText(suite->repo / "dists/stable/InRelease"), index);
}

}  // namespace
}  // namespace nuvlet::test
