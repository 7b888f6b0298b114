#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/harness/Lintian.h"
#include "tests/harness/PackagingRelease.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

namespace fs = std::filesystem;

const fs::path kPublish = fs::path(NUVLET_SOURCE_DIR) / "scripts/publish-repo.sh";

// What every test shares: the project key, and the package built from this tree for a
// repository at `repo` as a release build makes it, installed by dpkg into `root`.
struct Suite {
  TempDir dir;
  PackagingSigningKey key{dir / "gnupg", dir / "nuvlet-archive-keyring.gpg"};
  fs::path deb;
  fs::path repo = dir / "repo";
  fs::path root = dir / "root";
};
Suite* suite = nullptr;

class Repository : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    suite = new Suite;
    ASSERT_EQ(suite->key.made.status, 0) << suite->key.made.out;
    std::string out;
    suite->deb = packReleaseFromBuildTree(suite->dir.path(), "file://" + suite->repo.string(),
                                          suite->key.keyring, &out);
    ASSERT_FALSE(suite->deb.empty()) << out;
    auto install = dpkgIn(suite->root, {"--install", suite->deb.string()});
    ASSERT_EQ(install.status, 0) << install.out;
  }
  static void TearDownTestSuite() {
    delete suite;
    suite = nullptr;
  }

  // Publishes the package in the repository, signed with the key in `gnupg`.
  static void publish(const fs::path& gnupg) {
    auto publish = run(
        {kPublish.string(), "publish", gnupg.string(), suite->repo.string(), suite->deb.string()});
    ASSERT_EQ(publish.status, 0) << publish.out;
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
            readText(suite->key.keyring));

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

// What apt makes of the repository: an index that is not signed by the shipped key is
// refused, and a newer version the shipped key signed is the candidate.
TEST_F(Repository, AptTakesOnlyANewerVersionThatTheShippedKeySigned) {
  // apt with the source the installed package gave it, dpkg's status claiming 0.0.1.
  writePrivateApt(apt, "0.0.1");
  copyAptSource(suite->root, apt);
  TempDir other;
  {
    PackagingSigningKey otherKey(other / "gnupg", other / "keyring.gpg");
    ASSERT_EQ(otherKey.made.status, 0) << otherKey.made.out;
    publish(otherKey.gnupg);
  }
  auto refused = aptIn(apt, {"apt-get", "update"});
  EXPECT_NE(refused.status, 0) << refused.out;
  EXPECT_NE(refused.out.find("is not signed"), std::string::npos) << refused.out;
  EXPECT_EQ(aptCandidate(apt, "nuvlet"), "0.0.1");

  publish(suite->key.gnupg);
  auto update = aptIn(apt, {"apt-get", "update"});
  EXPECT_EQ(update.status, 0) << update.out;
  auto version = run({"dpkg-deb", "--field", suite->deb.string(), "Version"});
  EXPECT_EQ(aptCandidate(apt, "nuvlet") + "\n", version.out);
}

TEST_F(Repository, PublishingAVersionAgainWithOtherContentsIsRefused) {
  publish(suite->key.gnupg);
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
  auto again = run({kPublish.string(), "publish", suite->key.gnupg.string(), suite->repo.string(),
                    changed.string()});
  EXPECT_NE(again.status, 0);
  EXPECT_NE(again.out.find("already published"), std::string::npos) << again.out;
  EXPECT_EQ(readText(suite->repo / "dists/stable/InRelease"), index);
}

}  // namespace
}  // namespace nuvlet::test
