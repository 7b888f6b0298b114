#pragma once
// Plays the maintainer who releases Nuvlet (the project's signing key, the package built
// for a repository) and the host tools the package's maintainer scripts call.
#include <filesystem>
#include <string>

#include "tests/harness/DpkgRoot.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

// A signing key made by scripts/publish-repo.sh: its GnuPG home and its public key ring.
// The gpg-agent the key starts is stopped when the key goes.
struct PackagingSigningKey {
  PackagingSigningKey(std::filesystem::path home, std::filesystem::path ring)
      : gnupg(std::move(home)), keyring(std::move(ring)) {
    made = run({NUVLET_SOURCE_DIR "/scripts/publish-repo.sh", "new-key", gnupg.string(),
                keyring.string(), "--no-passphrase"});
  }
  ~PackagingSigningKey() { run({"gpgconf", "--homedir", gnupg.string(), "--kill", "gpg-agent"}); }
  PackagingSigningKey(const PackagingSigningKey&) = delete;
  PackagingSigningKey& operator=(const PackagingSigningKey&) = delete;

  std::filesystem::path gnupg;
  std::filesystem::path keyring;
  ChildProcess::Result made;
};

// The package a release build makes for the repository at `repository`, checked with
// `keyring`: the build tree's install plus the packaging part configured with that
// address, and the maintainer scripts. Built in `dir`; an empty path with the tools'
// output in `*out` when it fails.
inline std::filesystem::path packReleaseFromBuildTree(const std::filesystem::path& dir,
                                                      const std::string& repository,
                                                      const std::filesystem::path& keyring,
                                                      std::string* out) {
  const std::string source = NUVLET_SOURCE_DIR;
  const std::filesystem::path packaging = dir / "packaging-build";
  auto configure = run({"cmake", "-S", source + "/packaging", "-B", packaging.string(),
                        "-DCMAKE_INSTALL_PREFIX=/usr", "-DNUVLET_APT_REPOSITORY=" + repository,
                        "-DNUVLET_APT_KEYRING=" + keyring.string()});
  if (configure.status != 0) {
    *out = configure.out;
    return {};
  }
  return packFromBuildTree(dir,
                           std::string(NUVLET_BUILD_DIR) + ";nuvlet;ALL;/;" + packaging.string() +
                               ";nuvlet-packaging;ALL;/",
                           {"CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA=" + source +
                            "/packaging/postinst;" + source + "/packaging/postrm"},
                           out);
}

// Stand-ins in `bin` for the host tools the maintainer scripts call: a modprobe that
// notes its arguments in `bin`/calls and finds the module or not, and a udevadm that
// leaves the host's devices as they are.
inline void writePackagingHostTools(const TempDir& bin, bool moduleExists) {
  namespace fs = std::filesystem;
  bin.write("modprobe", std::string("#!/bin/sh\necho \"$@\" >> \"$(dirname \"$0\")/calls\"\n") +
                            (moduleExists ? "exit 0\n" : "echo 'modprobe: FATAL' >&2; exit 1\n"));
  bin.write("udevadm", "#!/bin/sh\nexit 0\n");
  fs::permissions(bin / "modprobe", fs::perms::owner_all);
  fs::permissions(bin / "udevadm", fs::perms::owner_all);
}

}  // namespace nuvlet::test
